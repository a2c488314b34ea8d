// SysEx through the delay line: it waits as long as a word, leaves in its place among the
// delayed words (checked against a plain model over random scripts), and its bytes wait in a
// bounded store that drops whole messages when full and gets its room back however the line
// is passed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "engine/delayedsysex.h"
#include "engine/midiengine.h"
#include "engine/sysex.h"
#include "support/fakeengineports.h"

namespace {

using testsupport::Bytes;
using testsupport::Message;
using testsupport::taggedSysexOf;
using Sent = testsupport::FakeEnginePorts::Sent;

// A control change carrying `id` in its data bytes (no note: its routing is plain).
MidiWord wordOf(unsigned id) {
    return 0xB0u | (id & 0x7Fu) << 8 | (id >> 7 & 0x7Fu) << 16;
}

float delayValue(int frames) {
    return static_cast<float>(frames) / 32767.0f;
}

class SysexDelay : public ::testing::Test {
protected:
    void start(bool sampleAccurate, int delay) {
        ports.engine = engine.get();
        engine->setSampleAccurate(sampleAccurate);
        engine->enableSysex();
        engine->setParameter(param::OutputMidi, 1.0f);
        engine->setParameter(param::PutToBus, 1.0f);
        engine->setParameter(param::DelayOutput, 1.0f);
        engine->setParameter(param::DelayAmount, delayValue(delay));
        engine->processBlock(1);
        ports.host.clear();  // the knobs' first words
        ports.device.clear();
        ports.buses.clear();
    }
    void call(const std::vector<std::pair<Message, int>>& events) {
        engine->beginCall();
        for (const auto& [m, frame] : events) {
            if (const auto* w = std::get_if<MidiWord>(&m)) {
                engine->hostInput(*w, frame);
            } else {
                const Bytes& b = std::get<Bytes>(m);
                engine->hostSysex(b.data(), b.size(), frame);
            }
        }
        engine->endCall();
    }

    testsupport::FakeEnginePorts ports;
    std::unique_ptr<MidiEngine> engine = std::make_unique<MidiEngine>(ports);
};

}  // namespace

TEST_F(SysexDelay, ASysexWaitsInItsPlaceAmongTheDelayedWords) {
    for (const bool exact : {false, true}) {
        SCOPED_TRACE(exact ? "sample-accurate" : "from the block's start");
        ports = {};
        engine = std::make_unique<MidiEngine>(ports);
        start(exact, 100);
        const Bytes dump = taggedSysexOf(3000, 1);
        call({{wordOf(1), 10}, {dump, 20}, {wordOf(2), 30}});
        engine->processBlock(50);
        EXPECT_TRUE(ports.host.empty());
        EXPECT_TRUE(ports.device.empty());
        engine->processBlock(100);
        // Without sample-accurate output all three leave delay + 1 frames after the block's
        // start; with it each leaves `delay` frames after its own frame.
        const std::vector<Sent> expected =
            exact ? std::vector<Sent>{{wordOf(1), 60}, {dump, 70}, {wordOf(2), 80}}
                  : std::vector<Sent>{{wordOf(1), 51}, {dump, 52}, {wordOf(2), 53}};
        EXPECT_EQ(ports.host, expected);
        EXPECT_EQ(ports.device, (std::vector<Message>{wordOf(1), dump, wordOf(2)}));
        EXPECT_EQ(ports.buses[0], (std::vector<MidiWord>{wordOf(1), wordOf(2)}));  // words only
        EXPECT_EQ(engine->counters().sysexDrops, 0u);
        EXPECT_EQ(engine->delayLine()->occupied(), 0);
    }
}

// The store holds four of the longest messages: a fifth is dropped whole and counted. Passing
// the line with delayed output off sends nothing and gives the room back.
TEST_F(SysexDelay, AFullStoreDropsWholeMessagesAndPassingTheLineFreesIt) {
    start(false, 1000);
    const Bytes big = taggedSysexOf(kMaxSysex, 3);
    for (int i = 0; i < 5; ++i) call({{big, 0}});
    EXPECT_EQ(engine->counters().sysexDrops, 1u);
    engine->setParameter(param::DelayOutput, 0.0f);
    engine->processBlock(2000);
    EXPECT_TRUE(ports.host.empty());
    engine->setParameter(param::DelayOutput, 1.0f);
    engine->processBlock(1);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 4; ++i) call({{big, 0}});
        engine->processBlock(2000);
        EXPECT_EQ(ports.host.size(), std::size_t{4} * (round + 1));
    }
    EXPECT_EQ(engine->counters().sysexDrops, 1u);
    for (const Sent& s : ports.host) EXPECT_EQ(s.message, Message{big});
}

TEST(DelayedSysex, ReleasedInAnyOrderKeepsBytesWholeAndRoomBounded) {
    DelayedSysex store(100, 4);
    const Bytes a = taggedSysexOf(40, 1), b = taggedSysexOf(40, 2), c = taggedSysexOf(30, 3);
    const long ha = store.store(a.data(), a.size()), hb = store.store(b.data(), b.size());
    ASSERT_GE(ha, 0);
    ASSERT_GE(hb, 0);
    EXPECT_LT(store.store(c.data(), c.size()), 0);  // 80 of 100 taken: no room for 30
    // Releasing the later one first frees nothing yet: room comes back in order.
    store.release(static_cast<std::size_t>(hb));
    EXPECT_LT(store.store(c.data(), c.size()), 0);
    store.release(static_cast<std::size_t>(ha));
    EXPECT_EQ(store.held(), 0u);
    // Four entries at most, however small; a message that would cross the end starts at 0.
    std::vector<long> handles;
    for (unsigned i = 0; i < 4; ++i) {
        const Bytes m = taggedSysexOf(20, 10 + i);
        handles.push_back(store.store(m.data(), m.size()));
        ASSERT_GE(handles.back(), 0);
    }
    const Bytes e = taggedSysexOf(4, 20);
    EXPECT_LT(store.store(e.data(), e.size()), 0);
    store.release(static_cast<std::size_t>(handles[0]));
    store.release(static_cast<std::size_t>(handles[1]));
    const long he = store.store(a.data(), a.size());  // 40 bytes from 80 on: wraps to 0
    ASSERT_GE(he, 0);
    EXPECT_EQ(
        Bytes(store.data(static_cast<std::size_t>(he)),
              store.data(static_cast<std::size_t>(he)) + store.size(static_cast<std::size_t>(he))),
        a);
    for (unsigned i = 2; i < 4; ++i) {
        const auto h = static_cast<std::size_t>(handles[i]);
        EXPECT_EQ(Bytes(store.data(h), store.data(h) + store.size(h)), taggedSysexOf(20, 10 + i));
    }
    EXPECT_EQ(store.held(), 3u);
}

// Random scripts of words, SysEx, delay changes and delayed output switched on and off,
// against a model of the line: a message waits for the first free frame from its due frame on
// and leaves in frame order; a message the line passes while delayed output is off is gone.
TEST_F(SysexDelay, RandomScriptsLeaveInTheModelsOrder) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const bool exact = seed % 2 == 0;
        SCOPED_TRACE("seed " + std::to_string(seed));
        ports = {};
        engine = std::make_unique<MidiEngine>(ports);
        std::mt19937 rng(seed);
        const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        int delay = pick(300);
        bool delayOut = true;
        start(exact, delay);
        std::int64_t now = engine->delayTime();
        std::map<std::int64_t, Message> line;  // by the frame it leaves at
        std::vector<Sent> expected;
        unsigned id = 0;
        for (int step = 0; step < 300; ++step) {
            const int what = pick(10);
            if (what == 0) {
                delay = pick(300);
                engine->setParameter(param::DelayAmount, delayValue(delay));
            } else if (what == 1) {
                delayOut = !delayOut;
                engine->setParameter(param::DelayOutput, delayOut ? 1.0f : 0.0f);
            }
            const int frames = 1 + pick(200);
            std::vector<std::pair<Message, int>> events;
            std::vector<int> frameOf;
            for (int n = pick(6); n > 0; --n) frameOf.push_back(pick(frames));
            std::sort(frameOf.begin(), frameOf.end());
            for (const int f : frameOf) {
                ++id;
                Message m = pick(3) == 0 ? Message{taggedSysexOf(4 + rng() % 5000, id)}
                                         : Message{wordOf(id)};
                events.emplace_back(m, f);
                if (!delayOut) {
                    expected.push_back({m, f});
                    continue;
                }
                std::int64_t due = now + (exact ? f + delay : delay + 1);
                while (line.count(due)) ++due;
                line.emplace(due, m);
            }
            call(events);
            engine->processBlock(frames);
            for (auto it = line.begin(); it != line.end() && it->first < now + frames;) {
                if (delayOut) expected.push_back({it->second, static_cast<int>(it->first - now)});
                it = line.erase(it);
            }
            now += frames;
            ASSERT_EQ(engine->delayTime(), now);
        }
        engine->setParameter(param::DelayOutput, 1.0f);
        engine->processBlock(DelayLine::kSlots);
        for (const auto& [due, m] : line) expected.push_back({m, static_cast<int>(due - now)});
        ASSERT_EQ(ports.host.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(ports.host[i], expected[i]) << i;
        EXPECT_EQ(engine->counters().sysexDrops, 0u);
        EXPECT_EQ(engine->counters().delayDrops, 0u);
    }
}
