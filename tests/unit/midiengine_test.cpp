// The engine driven through its ports: decoded state, the block clock, the tick conversion, the
// delay line against a plain ring, and random scripts against a per-frame model of the chain.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/logtext.h"
#include "engine/midiengine.h"
#include "support/fakeengineports.h"

namespace {

using testsupport::Message;
using FakePorts = testsupport::FakeEnginePorts;

class EngineState : public ::testing::Test {
protected:
    void choose(int index, int entry) {
        engine->setParameter(index, static_cast<float>(entry) / 256.0f);
    }
    void block(int frames) {
        engine->processBlock(frames);
        ++ports.call;
    }
    EngineState() { ports.engine = engine.get(); }
    FakePorts ports;
    std::unique_ptr<MidiEngine> engine = std::make_unique<MidiEngine>(ports);
};

}  // namespace

TEST_F(EngineState, ReplaceMatchStateFollowsTheOrderOfChanges) {
    auto replacer = [&]() -> const Replacer& {
        block(0);
        return engine->settings().replacer;
    };
    choose(param::ReplaceMatchStatus, 15);  // a system status: the channel is then ignored
    EXPECT_EQ(replacer().matchStatus(), 0xF8);
    choose(param::ReplaceMatchChannel, 4);
    EXPECT_EQ(replacer().matchStatus(), 0xF8);
    EXPECT_FALSE(replacer().usesFieldTest());
    // Back to a voice status: the low bits of the system status stay as channel.
    choose(param::ReplaceMatchStatus, 3);
    EXPECT_EQ(replacer().matchStatus(), 0xB8);
    choose(param::ReplaceMatchChannel, 2);
    EXPECT_EQ(replacer().matchStatus(), 0xB2);
    choose(param::ReplaceMatchData1, 128);
    EXPECT_TRUE(replacer().usesFieldTest());
    choose(param::ReplaceMatchData1, 5);
    EXPECT_FALSE(replacer().usesFieldTest());
    // Both changes between two calls decode in the order they were set.
    choose(param::ReplaceMatchStatus, 15);
    choose(param::ReplaceMatchChannel, 7);  // ignored: the status is a system status
    choose(param::ReplaceMatchStatus, 1);
    EXPECT_EQ(replacer().matchStatus(), 0x98);
}

TEST_F(EngineState, BusNumbersDelayAndClock) {
    engine->setParameter(param::RecvBus, 0.3f);  // a host value beyond the buses
    choose(param::SendBus, 5);
    block(0);
    EXPECT_EQ(engine->settings().receiveBus, 76);
    EXPECT_EQ(engine->settings().sendBus, 5);

    const std::int64_t before = engine->delayTime();
    block(512);
    block(-3);
    EXPECT_EQ(engine->delayTime(), before + 512);

    engine->setParameter(param::Log, 1.0f);
    block(0);  // switching on restarts the clock and steps once
    EXPECT_EQ(engine->sampleClock(), 1);
    block(1000);
    EXPECT_EQ(engine->sampleClock(), 1001);
    EXPECT_EQ(ports.timeCalls, 2);  // once per call, not per frame
    block(4096);
    EXPECT_EQ(ports.timeCalls, 3);
    // Quiet blocks stage no lines and leave the position out; a call with a message asks it.
    EXPECT_EQ(ports.positionCalls, 1);
    const std::int64_t quietFrom = engine->delayTime();
    for (int i = 0; i < 40; ++i) block(1000);
    EXPECT_EQ(ports.positionCalls, 1);
    EXPECT_EQ(engine->delayTime(), quietFrom + 40000);
    engine->beginCall();
    engine->hostInput(0x403C90, 0);
    engine->endCall();
    EXPECT_EQ(ports.positionCalls, 2);
    EXPECT_EQ(engine->logLines().size(), 1u);
}

// Any participant can write the receive bus: a word that is no short MIDI message (bits 24..31
// set, where the chain keeps its own marks; a data byte, 0xF0 or 0xF7 as status; a data byte of
// 0x80 or more) is dropped and counted, also with SysEx enabled and the delay on, where a
// word with bit 27 would name a SysEx waiting in the delay line.
TEST(EngineBusWords, WordsThatAreNoShortMessageAreDroppedAndCounted) {
    const std::vector<MidiWord> malformed = {0x0800'0000, 0x0800'0001, 0x0800'0003, 0x0800'3C90,
                                             0x0100'3C90, 0x0200'3C90, 0x0400'3C90, 0x8000'3C90,
                                             0xFFFF'FFFF, 0x0000'3C40, 0x0000'00F0, 0x0000'00F7,
                                             0x0080'3C90, 0x0000'80C0, 0x0000'80F2};
    for (bool sysex : {false, true}) {
        SCOPED_TRACE(sysex ? "SysEx enabled" : "SysEx not enabled");
        FakePorts ports;
        MidiEngine engine(ports);
        ports.engine = &engine;
        if (sysex) engine.enableSysex();
        engine.setParameter(param::GetFromBus, 1.0f);
        engine.setParameter(param::DelayOutput, 1.0f);
        engine.processBlock(1);
        ports.host.clear();
        ports.buses[0] = malformed;
        // A program change with something in the byte it lacks keeps its message.
        ports.buses[0].insert(ports.buses[0].begin() + 3, {0x00FF'05C0, 0x403C90, 0, 0xF8});
        for (int i = 0; i < 2; ++i) engine.processBlock(1024);  // past the delay
        EXPECT_EQ(ports.hostMessages(), (std::vector<Message>{0x05C0u, 0x403C90u, 0xF8u}));
        EXPECT_EQ(engine.counters().busMalformed, malformed.size());
    }
}

// A knob's word runs once per change of word; one the filter removes runs again on repetition.
TEST_F(EngineState, KnobWordsAndTheirRepetition) {
    block(0);
    ports.host.clear();
    choose(param::KnobChannel1, 2);
    choose(param::KnobMessage1, 7);
    engine->setParameter(param::KnobValue1, 1.0f);
    engine->setParameter(param::KnobValue1, 1.0f);
    block(0);
    ASSERT_EQ(ports.host.size(), 1u);
    EXPECT_EQ(ports.host[0].word(), packWord(0xB2, 7, 127));
    engine->setParameter(param::FilterType, 0.0f);
    engine->setParameter(param::KnobValue1, 0.25f);
    block(0);
    EXPECT_EQ(engine->lastKnobWord(), 0u);
    engine->setParameter(param::FilterType, 1.0f);
    engine->setParameter(param::KnobValue1, 0.25f);
    block(0);
    ASSERT_EQ(ports.host.size(), 2u);
    EXPECT_EQ(ports.host[1].word(), packWord(0xB2, 7, 32));
}

// A word queued by another thread runs with the settings of its time, though later changes
// arrived before the processing call.
TEST_F(EngineState, QueuedWordsKeepTheSettingsOfTheirTime) {
    std::thread([&] {
        engine->deviceInput(packWord(0x90, 1, 1));
        engine->setParameter(param::DelayOutput, 1.0f);
        engine->deviceInput(packWord(0x90, 2, 2));
    }).join();
    block(1);
    ASSERT_EQ(ports.host.size(), 1u);
    EXPECT_EQ(ports.host[0].word(), packWord(0x90, 1, 1));
    ASSERT_NE(engine->delayLine(), nullptr);
    EXPECT_EQ(engine->delayLine()->occupied(), 1);  // the second waits in the line
}

// A host may move processing to another thread: what the old processing thread set still
// reaches the new one at its next call.
TEST_F(EngineState, ChangesFromAnEarlierProcessingThreadReachTheNextOne) {
    block(0);  // this thread processes
    engine->setParameter(param::SendToHost, 0.0f);
    std::thread([&] { engine->processBlock(0); }).join();
    EXPECT_FALSE(engine->settings().sendToHost);
}

// The processing thread and another thread take turns setting parameters (a token handed from
// one to the other orders them), with processing calls in between: each script ends in the
// settings that the same changes, made one after another, give.
TEST(EngineThreads, ChangesFromTwoThreadsEndAsTheirOrderSays) {
    std::mt19937 random(2024);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    constexpr int kIndices[] = {
        param::SendToHost,         param::Replace,    param::DelayAmount,
        param::DelayOutput,        param::FilterType, param::ReplaceMatchChannel,
        param::ReplaceMatchStatus, param::OutputMidi, param::RecvBus};
    struct Step {
        int thread;  // 0 the processing thread, 1 the other
        int index;   // -1: a processing call
        float value;
    };
    for (int script = 0; script < 100; ++script) {
        FakePorts ports;
        MidiEngine engine(ports);
        ports.engine = &engine;
        SettingsDecoder expected;
        std::vector<Step> steps{{0, -1, 0.0f}};  // the processing thread makes itself known
        for (int i = 0; i < 60; ++i) {
            const int thread = pick(2);
            if (thread == 0 && pick(4) == 0) {
                steps.push_back({0, -1, 0.0f});
                continue;
            }
            const int index = kIndices[pick(static_cast<int>(std::size(kIndices)))];
            const float value = static_cast<float>(pick(25)) / 24.0f;
            steps.push_back({thread, index, value});
            expected.apply(index, value);
        }
        std::atomic<std::size_t> next{0};
        auto play = [&](int thread) {
            for (;;) {
                const std::size_t at = next.load(std::memory_order_acquire);
                if (at == steps.size()) return;
                if (steps[at].thread != thread) {
                    std::this_thread::yield();
                    continue;
                }
                const Step& step = steps[at];
                if (step.index < 0)
                    engine.processBlock(16);
                else
                    engine.setParameter(step.index, step.value);
                next.store(at + 1, std::memory_order_release);
            }
        };
        std::thread other(play, 1);
        play(0);
        other.join();
        engine.processBlock(16);
        const EngineSettings& got = engine.settings();
        const EngineSettings& want = expected.settings();
        EXPECT_EQ(got.sendToHost, want.sendToHost) << "script " << script;
        EXPECT_EQ(got.replaceOn, want.replaceOn) << "script " << script;
        EXPECT_EQ(got.delayFrames, want.delayFrames) << "script " << script;
        EXPECT_EQ(got.delayOut, want.delayOut) << "script " << script;
        EXPECT_EQ(got.filter.mode, want.filter.mode) << "script " << script;
        EXPECT_EQ(got.replacer.matchStatus(), want.replacer.matchStatus()) << "script " << script;
        EXPECT_EQ(got.replacer.usesFieldTest(), want.replacer.usesFieldTest())
            << "script " << script;
        EXPECT_EQ(got.deviceOut, want.deviceOut) << "script " << script;
        EXPECT_EQ(got.receiveBus, want.receiveBus) << "script " << script;
    }
}

// Thousands of knob changes between two calls (a ramp 0..127 over and over, beyond what the
// queue holds): the call runs the messages in order, the knob's last value last, then a word
// that came after them; every change either sent its message or counts as dropped.
TEST_F(EngineState, AKnobRampOfThousandsOfStepsEndsAtItsLastValue) {
    block(0);  // this thread processes, and sets the knob
    ports.host.clear();
    constexpr int kSteps = 10000;
    for (int i = 0; i < kSteps; ++i)
        engine->setParameter(param::KnobValue1, static_cast<float>(i % 128) / 127.0f);
    std::thread([&] { engine->deviceInput(packWord(0x90, 60, 100)); }).join();
    block(64);
    ASSERT_GE(ports.host.size(), 2u);
    EXPECT_EQ(ports.host.back().word(), packWord(0x90, 60, 100));
    EXPECT_EQ(ports.host[ports.host.size() - 2].word(), packWord(0xB0, 0, (kSteps - 1) % 128));
    for (std::size_t i = 1; i + 1 < ports.host.size(); ++i)
        EXPECT_NE(ports.host[i].word(), ports.host[i - 1].word()) << i;  // no change ran twice
    EXPECT_EQ(ports.host.size() - 1 + engine->counters().inputQueueDrops,
              static_cast<std::size_t>(kSteps));
}

// --- Note-offs follow their note-ons --------------------------------------------------------

namespace {
constexpr float kAny = 1.0f;  // a match value above every "any" limit, a target that keeps
MidiWord on(unsigned ch, unsigned note) {
    return packWord(0x90 + ch, note, 100);
}
MidiWord off(unsigned ch, unsigned note) {
    return packWord(0x80 + ch, note, 64);
}
}  // namespace

class NoteRoutes : public EngineState {
protected:
    // Replace on: every message moves to channel `channel` (0..15).
    void moveEverythingTo(int channel) {
        for (int i = param::ReplaceMatchChannel; i <= param::ReplaceMatchData2; ++i)
            engine->setParameter(i, kAny);
        for (int i = param::ReplaceNewStatus; i <= param::ReplaceNewData2; ++i)
            engine->setParameter(i, kAny);
        choose(param::ReplaceNewChannel, channel);
        engine->setParameter(param::Replace, 1.0f);
    }
    // "Block only" with row 1 naming `status` (0 note-off, 1 note-on) on any channel.
    void blockOnly(int status) {
        engine->setParameter(param::FilterType, 0.3f);
        engine->setParameter(param::FilterRow1, 1.0f);
        choose(param::FilterRow1 + 1, 16);
        choose(param::FilterRow1 + 2, status);
    }
    void play(std::initializer_list<std::pair<MidiWord, int>> words) {
        engine->beginCall();
        for (auto [w, frame] : words) engine->hostInput(w, frame);
        engine->endCall();
        ++ports.call;
    }
    std::vector<MidiWord> sent() const {
        std::vector<MidiWord> words;
        for (const auto& o : ports.host) words.push_back(o.word());
        return words;
    }
};

TEST_F(NoteRoutes, ANoteOffGoesWhereItsNoteOnWentAfterTheReplaceTargetChanged) {
    play({{on(0, 60), 0}, {on(2, 60), 0}, {on(0, 61), 0}});
    moveEverythingTo(1);
    // Both kinds of note-off; the second note of channel 1 was on too.
    play({{off(0, 60), 3}, {packWord(0x92, 60, 0), 4}, {off(0, 61), 5}});
    // A note that begins under the new target ends there, and a note-off without a note-on
    // runs as any other message.
    play({{on(0, 62), 0}, {off(0, 62), 1}, {off(0, 63), 2}});
    EXPECT_EQ(sent(), (std::vector<MidiWord>{on(0, 60), on(2, 60), on(0, 61), off(0, 60),
                                             packWord(0x92, 60, 0), off(0, 61), on(1, 62),
                                             off(1, 62), off(1, 63)}));
    EXPECT_EQ(ports.host[3].frame, 3);
}

TEST_F(NoteRoutes, TheFilterKeepsWhatItDecidedAtTheNoteOn) {
    blockOnly(0);  // note-offs blocked from the start
    play({{on(0, 60), 0}, {on(0, 61), 0}});
    moveEverythingTo(1);
    play({{off(0, 60), 0}});
    // Unblocked since: the note-off leaves on the note-on's channel.
    engine->setParameter(param::FilterRow1, 0.0f);
    play({{off(0, 61), 0}});
    EXPECT_EQ(sent(), (std::vector<MidiWord>{on(0, 60), on(0, 61), off(0, 61)}));

    // Note-ons blocked, then all allowed: their note-offs stay removed. A note-on that passed
    // before note-offs were blocked still gets its note-off.
    ports.host.clear();
    engine->setParameter(param::Replace, 0.0f);
    blockOnly(1);
    play({{on(3, 40), 0}});
    engine->setParameter(param::FilterType, 1.0f);
    play({{on(3, 41), 0}});
    blockOnly(0);
    play({{off(3, 40), 0}, {off(3, 41), 0}, {off(3, 42), 0}});
    EXPECT_EQ(sent(), (std::vector<MidiWord>{on(3, 41), off(3, 41)}));
}

TEST_F(NoteRoutes, ANoteOffNeverOvertakesItsWaitingNoteOn) {
    engine->setParameter(param::DelayOutput, 1.0f);
    engine->setParameter(param::DelayAmount, 1000.0f / 32767.0f);
    play({{on(0, 60), 0}, {on(0, 61), 0}});
    block(10);
    // Shorter now: the note-off waits behind its note-on (which leaves 1001 frames after it
    // came in) and the note-on queued behind that.
    engine->setParameter(param::DelayAmount, 0.0f);
    play({{off(0, 60), 0}, {on(0, 70), 0}});
    block(10);  // the new note leaves one frame in
    block(1000);
    // The delay is off now, and both note-ons have left: their note-offs leave at once.
    engine->setParameter(param::DelayOutput, 0.0f);
    play({{off(0, 61), 0}, {off(0, 70), 0}});
    EXPECT_EQ(sent(), (std::vector<MidiWord>{on(0, 70), on(0, 60), on(0, 61), off(0, 60),
                                             off(0, 61), off(0, 70)}));
    ASSERT_EQ(ports.host.size(), 6u);
    EXPECT_EQ(ports.host[1].frame, 981);  // 20 of its 1001 frames passed in earlier blocks
    EXPECT_EQ(ports.host[3].frame, 983);
}

TEST_F(NoteRoutes, ASwitchedOffDelayTakesTheWaitingNoteOnAndItsNoteOff) {
    engine->setParameter(param::DelayOutput, 1.0f);
    engine->setParameter(param::DelayAmount, 100.0f / 32767.0f);
    play({{on(0, 60), 0}});
    engine->setParameter(param::DelayOutput, 0.0f);
    play({{off(0, 60), 0}});
    // On again before the note-on's frame: both leave, in order.
    engine->setParameter(param::DelayOutput, 1.0f);
    block(200);
    EXPECT_EQ(sent(), (std::vector<MidiWord>{on(0, 60), off(0, 60)}));
    EXPECT_EQ(ports.host[1].frame, 102);
}

// --- Sample-accurate delay ------------------------------------------------------------------

TEST_F(EngineState, ASampleAccurateDelayCountsFromTheWordsOwnFrame) {
    for (bool exact : {false, true}) {
        FakePorts out;
        MidiEngine e(out);
        out.engine = &e;
        e.setSampleAccurate(exact);
        e.setParameter(param::DelayOutput, 1.0f);
        e.setParameter(param::DelayAmount, 100.0f / 32767.0f);
        e.beginCall();
        e.hostInput(on(0, 60), 37);
        e.hostInput(on(0, 61), 200);
        e.endCall();
        e.processBlock(256);
        e.processBlock(256);
        ASSERT_EQ(out.host.size(), 2u);
        if (exact) {
            EXPECT_EQ(out.host[0].frame, 137);        // in the same block
            EXPECT_EQ(out.host[1].frame, 300 - 256);  // in the next one
        } else {
            EXPECT_EQ(out.host[0].frame, 101);  // delay + 1 after the block's start, as ever
            EXPECT_EQ(out.host[1].frame, 102);
        }
    }
}

TEST_F(EngineState, SoundStreamStopsBusReadingAndSaysSo) {
    struct StreamPorts : FakePorts {
        int busTake(int, MidiWord*, int) noexcept override { return -1; }
    } stream;
    MidiEngine e(stream);
    stream.engine = &e;
    e.setParameter(param::GetFromBus, 1.0f);
    e.processBlock(4);
    e.processBlock(4);
    EXPECT_EQ(stream.notices, std::vector<EngineNotice>{EngineNotice::SoundStream});
    EXPECT_EQ(e.counters().soundStreamNotices, 1u);
}

// The lines of a call reach the list together at its end, in order, however many there are. A
// clear on the processing thread within a call takes the lines logged before it; one from
// another thread takes the whole call's lines, as it takes the call's recorded events.
TEST_F(EngineState, LogLinesOfACallArriveAtItsEnd) {
    engine->setParameter(param::Log, 1.0f);
    block(0);
    std::vector<std::string> expected;
    engine->beginCall();
    for (unsigned i = 0; i < 300; ++i) {
        const MidiWord w = packWord(0x90 + i % 16, i % 128, 1 + i % 127);
        engine->hostInput(w, 0);
        expected.push_back(logLine(w));
    }
    engine->endCall();
    EXPECT_EQ(engine->logLines().lines(), expected);

    engine->beginCall();
    engine->hostInput(packWord(0x90, 60, 100), 0);
    engine->clearLog();
    engine->hostInput(packWord(0x80, 61, 0), 0);
    engine->endCall();
    EXPECT_EQ(engine->logLines().lines(), std::vector<std::string>{"[1] C#5 (61) Off"});

    block(32);  // the time signature is written again after the clear
    const std::size_t recorded = engine->recordedEvents();
    engine->beginCall();
    engine->hostInput(packWord(0x90, 62, 100), 0);
    std::thread([this] { engine->clearLog(); }).join();
    engine->endCall();
    EXPECT_EQ(engine->logLines().size(), 0u);
    EXPECT_EQ(engine->recordedEvents(), 0u);
    EXPECT_GT(recorded, 0u);
    engine->beginCall();
    engine->hostInput(packWord(0x90, 63, 100), 0);
    engine->endCall();
    EXPECT_EQ(engine->logLines().lines(), std::vector<std::string>{"[1] D#5 (63,100) On"});
}

// The log's and the delay line's memory come only once asked for, on another thread, and go
// once the feature is off and drained. Until it comes the small buffers keep the messages: the
// outputs and the log are as if it had been there from the start. What they cannot keep is
// counted, and the log says how many lines it lost.
TEST(EngineMemory, SwitchingOnUnderTrafficLosesNothing) {
    struct Run {
        std::vector<FakePorts::Sent> host;
        std::vector<std::string> lines;
    };
    auto run = [](bool held, bool fromProcessing) {
        FakePorts ports;
        MidiEngine engine(ports);
        ports.engine = &engine;
        ports.holdStorage = held;
        engine.setParameter(param::DelayAmount, 100.0f / 32767);
        auto turn = [&](float v) {
            engine.setParameter(param::Log, v);
            engine.setParameter(param::DelayOutput, v);
            engine.setParameter(param::InputMidi, v);
        };
        engine.processBlock(64);
        EXPECT_EQ(engine.delayLine(), nullptr);
        if (fromProcessing) {
            turn(1.0f);
        } else {
            std::thread([&] { turn(1.0f); }).join();
        }
        for (unsigned call = 0; call < 12; ++call) {
            if (held && call == 4) {
                ports.holdStorage = false;
                std::thread([&] { engine.prepareStorage(); }).join();
            }
            // The last call's first note ends from the device; from the third call on the
            // routing has changed, so the note-off follows its delayed note-on.
            if (call == 2) engine.setParameter(param::DelayAmount, 20.0f / 32767);
            if (call > 0)
                std::thread([&] { engine.deviceInput(packWord(0x80, (call - 1) * 5, 0)); }).join();
            engine.beginCall();
            for (unsigned i = 0; i < 5; ++i)
                engine.hostInput(packWord(0x90, call * 5 + i, 100), static_cast<int>(i * 7));
            engine.endCall();
            engine.processBlock(40);
            ++ports.call;
        }
        for (int i = 0; i < 4; ++i) engine.processBlock(64);  // the line empties
        turn(0.0f);
        engine.processBlock(64);
        EXPECT_EQ(engine.delayLine(), nullptr);  // off and drained
        Run r{ports.host, engine.logLines().lines()};
        engine.clearLog();
        engine.processBlock(64);
        EXPECT_EQ(engine.logLines().size(), 0u);
        EXPECT_EQ(engine.counters().delayDrops + engine.counters().recordingDrops, 0u);
        return r;
    };
    const Run ready = run(false, true);
    ASSERT_EQ(ready.host.size(), 71u);
    ASSERT_EQ(ready.lines.size(), 71u);
    for (const bool fromProcessing : {true, false}) {
        SCOPED_TRACE(fromProcessing ? "switched on by the processing thread" : "by another");
        const Run late = run(true, fromProcessing);
        EXPECT_EQ(late.host, ready.host);
        EXPECT_EQ(late.lines, ready.lines);
    }

    // More than the small buffers hold before the memory comes.
    FakePorts ports;
    MidiEngine engine(ports);
    ports.engine = &engine;
    ports.holdStorage = true;
    engine.setParameter(param::Log, 1.0f);
    engine.setParameter(param::DelayAmount, 0.0f);
    engine.setParameter(param::DelayOutput, 1.0f);
    engine.beginCall();
    for (unsigned i = 0; i < 100; ++i) engine.hostInput(packWord(0xB0, i, 1), 0);
    engine.endCall();
    ports.holdStorage = false;
    engine.prepareStorage();
    engine.processBlock(64);
    const auto lines = engine.logLines().lines();
    ASSERT_GT(lines.size(), 1u);  // the lines kept, then what was lost
    EXPECT_EQ(lines.back(), std::to_string(100 - (lines.size() - 1)) +
                                " log lines lost while the log was being prepared");
    EXPECT_EQ(engine.counters().recordingDrops + 64, 100u + 1);  // the time signature's event
    EXPECT_EQ(engine.counters().delayDrops, 100u - DelayWait::kCapacity);
    EXPECT_EQ(ports.host.size(), DelayWait::kCapacity);
}

// The device's words before their queue comes: the small queue keeps the first and counts the
// rest; the queue then takes the later ones behind them. Switched off, the words go back to the
// small queue once the processing thread has taken every word, still in order.
TEST(EngineMemory, DeviceWordsKeepTheirOrderWhileTheirQueueComesAndGoes) {
    FakePorts ports;
    MidiEngine engine(ports);
    ports.engine = &engine;
    ports.holdStorage = true;
    engine.setParameter(param::InputMidi, 1.0f);
    engine.processBlock(64);
    auto send = [&](unsigned from, unsigned to) {
        std::thread([&] {
            for (unsigned i = from; i < to; ++i) engine.deviceInput(packWord(0xB0, 7, i));
        }).join();
    };
    std::vector<Message> expected;
    auto expect = [&](unsigned from, unsigned to) {
        for (unsigned i = from; i < to; ++i) expected.emplace_back(packWord(0xB0, 7, i));
    };
    send(0, 100);
    expect(0, ChangeIntake::kSmallWords);
    ports.holdStorage = false;
    std::thread([&] { engine.prepareStorage(); }).join();
    send(100, 120);
    expect(100, 120);
    engine.processBlock(64);
    EXPECT_EQ(engine.counters().inputQueueDrops, 100u - ChangeIntake::kSmallWords);
    send(120, 125);  // waiting in the queue while the input is switched off
    expect(120, 125);
    engine.setParameter(param::InputMidi, 0.0f);
    for (unsigned round = 0; round < 3; ++round) {
        engine.processBlock(64);
        send(125 + round * 5, 130 + round * 5);
        expect(125 + round * 5, 130 + round * 5);
    }
    engine.processBlock(64);
    EXPECT_EQ(ports.hostMessages(), expected);
    EXPECT_EQ(engine.counters().inputQueueDrops, 100u - ChangeIntake::kSmallWords);
}

// A knob's queue is made once the knob moves. Until then the small queue keeps the first
// changes and counts the rest, and the knob's last change still leaves; afterwards a ramp
// leaves whole.
TEST(EngineMemory, KnobChangesBeforeAndAfterTheirQueueComes) {
    FakePorts ports;
    MidiEngine engine(ports);
    ports.engine = &engine;
    ports.holdStorage = true;
    auto ramp = [&](unsigned from, unsigned to) {
        for (unsigned i = from; i < to; ++i)
            engine.setParameter(param::KnobValue1, static_cast<float>(i) / 127.0f);
    };
    std::vector<Message> expected;
    auto expect = [&](unsigned from, unsigned to) {
        for (unsigned i = from; i < to; ++i) expected.emplace_back(packWord(0xB0, 0, i));
    };
    ramp(0, 100);
    expect(0, ChangeIntake::kSmallKnobs);
    expect(99, 100);
    engine.processBlock(64);
    const std::size_t dropped = 100u - ChangeIntake::kSmallKnobs - 1;
    EXPECT_EQ(engine.counters().inputQueueDrops, dropped);
    ports.holdStorage = false;
    engine.prepareStorage();
    ramp(0, 127);
    expect(0, 127);
    engine.processBlock(64);
    EXPECT_EQ(ports.hostMessages(), expected);
    EXPECT_EQ(engine.counters().inputQueueDrops, dropped);
}

// Readers of the log and the recording never meet released memory while the log's memory
// comes and goes (for ThreadSanitizer and AddressSanitizer).
TEST(EngineMemory, ReadersWhileTheLogsMemoryComesAndGoes) {
    FakePorts ports;
    ports.holdStorage = true;  // made by the worker below
    MidiEngine engine(ports);
    std::atomic<bool> done{false};
    std::atomic<std::size_t> seen{0};
    std::thread worker([&] {
        while (!done.load()) {
            engine.prepareStorage();
            std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        char text[LogLines::kLineLength];
        while (!done.load()) {
            seen += engine.logLines().lines().size() + engine.recording().events.size();
            std::uint64_t seq = 0;
            engine.logLines().copyLine(seq, text);
        }
    });
    for (unsigned round = 0; round < 400 || (seen.load() == 0 && round < 1'000'000); ++round) {
        engine.setParameter(param::Log, round % 4 < 2 ? 1.0f : 0.0f);
        if (round % 4 == 3) engine.clearLog();
        engine.beginCall();
        for (unsigned i = 0; i < 8; ++i) engine.hostInput(packWord(0x90, i, 1), 0);
        engine.endCall();
        std::this_thread::yield();
    }
    done = true;
    worker.join();
    reader.join();
    EXPECT_GT(seen.load(), 0u);
}

// Each line carries its status, its sample frame since logging started and the host's position
// at its frame, moved on within the call at the call's tempo; a tempo change shows from the
// next call on, from the host's new position.
TEST_F(EngineState, LogLinesCarryStatusAndTime) {
    engine->setSampleRate(48000.0f);
    ports.time = {120.0, 6, 8, 10.0, 9.0, true, true};
    engine->setParameter(param::Log, 1.0f);
    block(0);
    engine->beginCall();
    engine->hostInput(packWord(0x90, 60, 100), 0);
    engine->hostInput(packWord(0xF8, 0, 0), 12000);  // a quarter note on at 120 bpm
    engine->endCall();
    block(48000);
    ports.time = {60.0, 6, 8, 12.0, 12.0, true, true};
    engine->beginCall();
    engine->hostInput(packWord(0x80, 60, 0), 24000);  // a quarter note on at 60 bpm
    engine->endCall();
    ports.timeValid = false;
    engine->beginCall();
    engine->hostInput(packWord(0xB0, 7, 1), 0);
    engine->endCall();

    std::vector<LogEntry> got;
    LogEntry e;
    for (std::uint64_t seq = 0; engine->logLines().read(seq, e); ++seq) got.push_back(e);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].info.status, 0x90);
    EXPECT_EQ(got[0].info.clock, 0);
    EXPECT_EQ(got[0].info.sampleRate, 48000.0f);
    EXPECT_DOUBLE_EQ(got[0].info.ppq, 10.0);
    EXPECT_EQ(got[1].info.status, 0xF8);
    EXPECT_EQ(got[1].info.clock, 12000);
    EXPECT_DOUBLE_EQ(got[1].info.ppq, 10.5);
    EXPECT_EQ(got[1].info.numerator, 6);
    EXPECT_EQ(got[1].info.denominator, 8);
    EXPECT_TRUE(got[1].info.hasBar);
    EXPECT_DOUBLE_EQ(got[1].info.barStart, 9.0);
    EXPECT_EQ(got[2].info.clock, 48000 + 24000);
    EXPECT_DOUBLE_EQ(got[2].info.ppq, 12.5);
    EXPECT_EQ(got[3].text, "[1] CCM: Channel Volume (7,1)");
    EXPECT_FALSE(got[3].info.hasPpq);
    EXPECT_FALSE(got[3].info.hasBar);
}

// --- Ticks ---------------------------------------------------------------------------------------

namespace {
// The conversion as it has always been written: extended precision over the whole count.
std::int32_t referenceTicks(double tempo, float rate, std::int64_t samples) {
    const long double ticks = static_cast<long double>(tempo) * 192 *
                              static_cast<long double>(samples) * 0.016667L /
                              static_cast<long double>(rate);
    const long double r = std::nearbyint(ticks);
    if (!(std::fabs(r) < 9.2e18L)) return 0;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(r)));
}
}  // namespace

TEST(TickConversion, SameAsTheExtendedFormulaEverywhere) {
    const float rates[] = {22050.0f, 32000.0f, 44100.0f, 48000.0f, 88200.0f, 96000.0f, 192000.0f};
    long checked = 0;
    for (float rate : rates) {
        for (int bpm = 20; bpm <= 300; ++bpm) {
            for (double tempo : {static_cast<double>(bpm), bpm + 0.5, bpm + 1.0 / 3.0}) {
                TickRate t;
                t.set(tempo, rate);
                for (std::int64_t s = 0; s < (std::int64_t{1} << 31); s = s * 3 + 1) {
                    for (std::int64_t d = -1; d <= 1; ++d) {
                        if (s + d < 0) continue;
                        ASSERT_EQ(t.ticks(s + d), referenceTicks(tempo, rate, s + d))
                            << tempo << " " << rate << " " << s + d;
                        ++checked;
                    }
                }
            }
        }
    }
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> tempos(20.0, 300.0);
    std::uniform_int_distribution<std::int64_t> clocks(0, std::int64_t{1} << 31);
    for (int i = 0; i < 200000; ++i) {
        TickRate t;
        const double tempo = tempos(random);
        const float rate = rates[static_cast<std::size_t>(i) % std::size(rates)];
        t.set(tempo, rate);
        const std::int64_t s = clocks(random);
        ASSERT_EQ(t.ticks(s), referenceTicks(tempo, rate, s)) << tempo << " " << rate << " " << s;
    }
    // Clock values whose tick lies exactly on a half, where the two roundings could part.
    for (std::int64_t s = 0; s < 44100 * 20; s += 1) {
        TickRate t;
        t.set(125.0, 44100.0f);
        ASSERT_EQ(t.ticks(s), referenceTicks(125.0, 44100.0f, s)) << s;
    }
    EXPECT_GT(checked, 100000);
}

// Ticks count on from the last tempo change: 120 -> 60 -> 180 bpm keeps them rising, and each
// stretch advances by its own tempo.
TEST_F(EngineState, TicksAccumulateAcrossTempoChanges) {
    engine->setParameter(param::Log, 1.0f);
    block(44099);  // clock 44100: one second at 120 bpm
    engine->hostInput(packWord(0x90, 1, 1), 0);
    EXPECT_EQ(engine->lastEventTick(), 384);
    ports.time.tempo = 60.0;
    block(44100);  // the change at clock 44101
    engine->hostInput(packWord(0x90, 2, 1), 0);
    EXPECT_EQ(engine->lastEventTick(), 384 + 192);  // one more second at 60 bpm
    ports.time.tempo = 180.0;
    block(44100);
    engine->hostInput(packWord(0x90, 3, 1), 22050);
    EXPECT_EQ(engine->lastEventTick(), 384 + 192 + 864);  // 1.5 seconds more at 180 bpm
    engine->endCall();
    std::int32_t previous = 0;
    for (const RecordedEvent& r : engine->recordingSnapshot()) {
        EXPECT_GE(r.tick, previous);
        previous = r.tick;
    }
}

// --- The delay line against a plain ring -------------------------------------------------------

namespace {
struct PlainRing {
    std::vector<MidiWord> ring = std::vector<MidiWord>(DelayLine::kSlots);
    int pos = 0, delay = 0, occupied = 0;
    std::size_t dropped = 0;
    // Answers the slot's distance from the position, or -1 when nothing was stored.
    int insert(MidiWord w) { return insertAt(w, delay + 1); }
    int insertAt(MidiWord w, int distance) {
        if (!w) return -1;
        if (occupied == DelayLine::kSlots) {
            ++dropped;
            return -1;
        }
        int k = pos + distance - 1;
        do {
            if (++k > DelayLine::kSlots - 1) k -= DelayLine::kSlots;
        } while (ring[static_cast<std::size_t>(k)] != 0);
        ring[static_cast<std::size_t>(k)] = w;
        ++occupied;
        return (k - pos + DelayLine::kSlots) % DelayLine::kSlots;
    }
    MidiWord take() {
        const MidiWord w = std::exchange(ring[static_cast<std::size_t>(pos)], 0);
        if (w) --occupied;
        if (++pos > DelayLine::kSlots - 1) pos = 0;
        return w;
    }
};
}  // namespace

TEST(DelayLineRing, MatchesThePlainRingOverRandomUse) {
    std::mt19937 random(11);
    for (int round = 0; round < 6; ++round) {
        auto line = std::make_unique<DelayLine>();
        PlainRing plain;
        MidiWord next = 1;
        auto insert = [&](int n) {
            for (int i = 0; i < n; ++i) {
                line->insert(next);
                plain.insert(next);
                next = next % 0xFFFFFF + 1;
            }
        };
        auto advance = [&](long frames) {
            std::vector<std::pair<MidiWord, long>> got, want;
            line->advance(frames, [&](MidiWord w, long at) { got.push_back({w, at}); });
            for (long f = 0; f < frames; ++f)
                if (const MidiWord w = plain.take()) want.push_back({w, f});
            ASSERT_EQ(got, want) << "round " << round;
        };
        if (round == 0) {
            // A full ring: the rest is dropped; taking frees slots for the next words.
            insert(DelayLine::kSlots + 3);
            EXPECT_EQ(plain.dropped, 3u);
            advance(100);
            insert(150);
        }
        for (int step = 0; step < 3000; ++step) {
            const int what = static_cast<int>(random() % 10);
            if (what < 5) {
                insert(static_cast<int>(random() % 300));  // a burst aimed at one slot
            } else if (what < 8) {
                advance(static_cast<long>(random() % (random() % 2 ? 40 : 5000)));
            } else {
                const int d = static_cast<int>(random() % 32768);
                line->setDelay(d);
                plain.delay = d;
            }
            ASSERT_EQ(line->occupied(), plain.occupied);
            ASSERT_EQ(line->position(), plain.pos);
        }
        EXPECT_EQ(line->dropped(), plain.dropped);
    }
}

TEST(DelayLineRing, WrapsAndDropsWhenFull) {
    auto ring = std::make_unique<DelayLine>();
    ring->setPosition(32768);
    ring->setDelay(1);
    ring->insert(0x90);
    EXPECT_EQ(ring->slot(1), 0x90u);
    ring->insert(0);
    EXPECT_EQ(ring->occupied(), 1);
    for (int i = 1; i < DelayLine::kSlots; ++i) ring->insert(0x80);
    EXPECT_EQ(ring->occupied(), DelayLine::kSlots);
    ring->insert(0x91);
    ring->place();  // drops are counted when staged words are placed
    EXPECT_EQ(ring->dropped(), 1u);
    EXPECT_EQ(ring->take(), 0x80u);
    EXPECT_EQ(ring->position(), 0);
}

// --- Random scripts against a per-frame model ------------------------------------------------

namespace {

double x256(float v) {
    return static_cast<double>(v) * 256.0;
}
std::uint8_t byteOf(int v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}

// The chain as a plain per-frame loop that reads the float values for every message: the
// replacer and filter as they were first written, the ring frame by frame, the clock frame by
// frame, the receive bus at the first frame of a block.
struct Model {
    std::array<float, kNumParams> p{};
    // Replacer match state.
    std::uint8_t ms = 0, md1 = 0, md2 = 0;
    bool anyCh = false, anySt = false, anyD1 = false, anyD2 = false;
    std::uint8_t newCh = 0, newVoice = 128, newSys = 233, newD1 = 0, newD2 = 0;
    PlainRing ring;
    MidiWord lastKnob = 0;
    std::int64_t clock = 0, baseClock = 0;
    std::uint32_t baseTick = 0;
    double tempo = 120.0;
    int num = 0, den = 0;
    float rate = 44100.0f;
    std::vector<RecordedEvent> recording;
    std::vector<FakePorts::Sent> host;
    std::vector<Message> device;
    std::map<int, std::vector<MidiWord>> buses;
    long call = 0;
    const FakePorts* timeSource = nullptr;
    // Note-offs follow their note-ons after a change of the routing values.
    struct Note {
        bool sounding = false, delayed = false, offBlocked = false;
        unsigned generation = 0;
        MidiWord out = 0;
        std::int64_t due = 0;
    };
    std::array<std::array<Note, 128>, 16> notes{};
    unsigned generation = 0;
    std::array<float, kNumParams> settled{};  // routing values when the generation was taken
    unsigned settledMatch = 0;
    bool mend = true;
    long follows = 0;           // note-offs that followed their note-ons
    std::int64_t ringTime = 0;  // frames the ring has moved on

    Model() {
        for (int i = 0; i < kNumParams; ++i)
            p[static_cast<std::size_t>(i)] = kParameters[static_cast<std::size_t>(i)].defaultValue;
        ring.delay = roundEven(static_cast<double>(p[param::DelayAmount]) * 32767.0);
        applyMatch(31);
        applyMatch(32);
        settle();
        generation = 0;
    }

    void applyMatch(int index) {
        const float channel = p[31], status = p[32], data1 = p[33], data2 = p[34];
        if (index == 31) {
            if (x256(status) > 6.0) return;
            anyCh = false;
            if (static_cast<double>(channel) <= 0.0586)
                ms = byteOf((ms & 0xF0) + roundEven(x256(channel)));
            else
                anyCh = true;
        } else if (index == 32) {
            anySt = false;
            if (static_cast<double>(status) > 0.0898)
                anySt = true;
            else if (x256(status) <= 6.0)
                ms = byteOf(roundEven(static_cast<double>(status) * 4096.0) + (ms & 0x0F) + 128);
            else
                ms = byteOf(roundEven(x256(status)) + 233);
        } else if (index == 33) {
            anyD1 = !(static_cast<double>(data1) <= 0.4961);
            if (!anyD1) md1 = byteOf(roundEven(x256(data1)));
        } else {
            anyD2 = !(static_cast<double>(data2) <= 0.4961);
            if (!anyD2) md2 = byteOf(roundEven(x256(data2)));
        }
    }
    void applyTarget(int index) {
        if (index == 35) newCh = byteOf(roundEven(x256(p[35])));
        if (index == 36) {
            newVoice = byteOf(16 * roundEven(x256(p[36])) + 128);
            newSys = byteOf(roundEven(x256(p[36])) + 233);
        }
        if (index == 37) newD1 = byteOf(roundEven(x256(p[37])));
        if (index == 38) newD2 = byteOf(roundEven(x256(p[38])));
    }
    void replace(MidiWord& w) const {
        const unsigned in0 = wordStatus(w), in1 = wordData1(w), in2 = wordData2(w);
        bool match;
        if (anyCh || anySt || anyD1 || anyD2) {
            match = anyCh || (in0 & 0x0F) == (ms & 0x0Fu);
            if (!anySt) match = match && (in0 & 0xF0) == (ms & 0xF0u);
            if (!anyD1) match = match && in1 == md1;
            if (!anyD2) match = match && in2 == md2;
        } else {
            match = (w & 0xFFFFFFu) == packWord(ms, md1, md2);
        }
        if (!match) return;
        unsigned s = in0, d1 = in1, d2 = in2;
        if (p[35] < 0.0625f) s = ((s & 0xF0) + newCh) & 0xFF;
        if (x256(p[36]) <= 6.0)
            s = ((s & 0x0F) + newVoice) & 0xFF;
        else if (static_cast<double>(p[36]) < 0.0898)
            s = newSys;
        if (p[37] < 0.5f)
            d1 = newD1;
        else if (p[37] == 0.5f)
            d1 = in0;
        else if (p[37] == 0.50390625f)
            d1 = in2;
        if (p[38] < 0.5f)
            d2 = newD2;
        else if (p[38] == 0.5f)
            d2 = in0;
        else if (p[38] == 0.50390625f)
            d2 = in1;
        w = packWord(s, d1, d2);
    }
    bool rowMatches(int row, unsigned s, unsigned d1) const {
        const int b = 7 + 4 * row;
        const float e = p[b], h = p[b + 1], t = p[b + 2], k = p[b + 3];
        if (e < 0.5f) return false;
        const int hn = roundEven(x256(h)), tn = roundEven(x256(t)), kn = roundEven(x256(k));
        if (x256(t) > 6.0 && s == static_cast<unsigned>(tn + 233)) return true;
        if (hn < 16) {
            const int expected = roundEven(128.0 + 4096.0 * static_cast<double>(t) + x256(h));
            if (tn == 3)
                return static_cast<int>(s) == expected && (kn > 127 || static_cast<int>(d1) == kn);
            if (x256(t) < 7.0) return static_cast<int>(s) == expected;
        }
        if (hn != 16) return false;
        if (tn == 3) return (s & 0xF0) == 176 && (kn > 127 || static_cast<int>(d1) == kn);
        if (x256(t) >= 7.0) return false;
        return static_cast<int>(s & 0xF0) == roundEven(128.0 + 4096.0 * static_cast<double>(t));
    }
    void filter(MidiWord& w) const {
        const float type = p[10];
        if (static_cast<double>(type) >= 0.8901) return;
        if (static_cast<double>(type) < 0.21) {
            w = 0;
            return;
        }
        const bool allowOnly = type >= 0.5f;
        for (int row = 1; row <= 5; ++row) {
            if (rowMatches(row, wordStatus(w), wordData1(w))) {
                if (!allowOnly) w = 0;
                return;
            }
        }
        if (allowOnly) w = 0;
    }

    std::int32_t ticksAt(std::int64_t c) const {
        return static_cast<std::int32_t>(
            baseTick + static_cast<std::uint32_t>(referenceTicks(tempo, rate, c - baseClock)));
    }
    void record(RecordedEvent e) {
        auto at = recording.end();
        while (at != recording.begin() && (at - 1)->tick > e.tick) --at;
        recording.insert(at, e);
    }
    // The host's time as the host would answer now.
    const HostTime* hostTime() const {
        return timeSource && timeSource->timeValid ? &timeSource->time : nullptr;
    }
    void metaStep() {
        ++clock;
        metaAt(clock);
    }
    // The host's tempo and time signature at sample clock `at`.
    void metaAt(std::int64_t at) {
        const HostTime* time = hostTime();
        if (!(p[45] >= 0.5f) || !time) return;
        if (time->tempo != tempo && time->tempo >= 1.0) {
            const auto micros = static_cast<std::int64_t>(std::nearbyint(60000000.0 / time->tempo));
            const std::int32_t tick = ticksAt(at);
            record({tick,
                    RecordedEvent::Tempo,
                    {byteOf(static_cast<int>(micros >> 16)), byteOf(static_cast<int>(micros >> 8)),
                     byteOf(static_cast<int>(micros)), 0}});
            baseTick = static_cast<std::uint32_t>(tick);
            baseClock = at;
            tempo = time->tempo;
        }
        if ((time->numerator != num || time->denominator != den) &&
            (time->numerator || time->denominator)) {
            const double power =
                time->denominator > 0 ? std::log2(static_cast<double>(time->denominator)) : 0.0;
            record({ticksAt(at),
                    RecordedEvent::TimeSignature,
                    {byteOf(time->numerator), byteOf(roundEven(power)), 24, 8}});
            num = time->numerator;
            den = time->denominator;
        }
    }
    void emit(MidiWord w, int frame, bool fromBus) {
        if (!w) return;
        if (p[1] > 0.5f) host.push_back({w, frame, call});
        const int send = busOf(p[42]), recv = busOf(p[41]);
        if (p[44] > 0.5f && !(fromBus && send == recv)) buses[send].push_back(w);
        if (p[40] > 0.5f) device.push_back(w);
    }
    MidiWord chain(MidiWord w, int at, bool fromBus = false) {
        if (p[4] > 0.5f) {
            // The block's tempo and time signature count for its messages, from its first frame.
            metaAt(clock + 1);
            record(
                {ticksAt(clock + at),
                 RecordedEvent::Message,
                 {byteOf(static_cast<int>(wordStatus(w))), byteOf(static_cast<int>(wordData1(w))),
                  byteOf(static_cast<int>(wordData2(w))), 0}});
        }
        const unsigned kind = wordStatus(w) & 0xF0;
        if (mend && (kind == 0x80 || kind == 0x90)) {
            Note& n = notes[wordStatus(w) & 0x0F][wordData1(w) & 0x7F];
            const bool on = kind == 0x90 && wordData2(w) != 0;
            if (!on && n.sounding && n.generation != generation) {
                n.sounding = false;
                const MidiWord sent = n.out;
                if (sent == 0) return 0;
                if ((sent & 0xF0) == 0x90 && wordData2(sent) != 0) return follow(w, at, fromBus, n);
            }
            n.sounding = false;
            if (p[2] > 0.5f) replace(w);
            filter(w);
            const int distance = deliver(w, at, fromBus);
            if (on) {
                MidiWord off = packWord(0x80 | (wordStatus(w) & 0x0F), wordData1(w), 0);
                filter(off);
                n = {true,       distance >= 0,         w != 0 && off == 0,
                     generation, distance < -1 ? 0 : w, ringTime + distance};
            }
            return w;
        }
        if (p[2] > 0.5f) replace(w);
        filter(w);
        deliver(w, at, fromBus);
        return w;
    }
    // -2 when the ring dropped the word, -1 when it left at once.
    int deliver(MidiWord w, int at, bool fromBus) {
        if (p[8] >= 0.5f) {
            if (!w) return -1;
            const int d = ring.insert(w | (fromBus ? 1u << 31 : 0u));
            return d < 0 ? -2 : d;
        }
        emit(w, at, fromBus);
        return -1;
    }
    MidiWord follow(MidiWord w, int at, bool fromBus, const Note& n) {
        ++follows;
        const MidiWord off =
            packWord((wordStatus(w) & 0xF0) | (n.out & 0x0F), wordData1(n.out), wordData2(w));
        MidiWord now = off;
        filter(now);
        if (n.offBlocked && now == 0) return 0;
        const MidiWord flagged = off | (fromBus ? 1u << 31 : 0u);
        if (n.delayed && n.due >= ringTime) {
            int distance = static_cast<int>(n.due - ringTime) + 1;
            if (p[8] >= 0.5f) distance = std::max(distance, ring.delay + 1);
            ring.insertAt(flagged, std::min(distance, DelayLine::kSlots - 1));
        } else if (n.delayed && p[8] >= 0.5f) {
            ring.insert(flagged);
        } else {
            emit(off, at, fromBus);
        }
        return off;
    }
    // The engine takes changes at the start of a call and before each knob's message: the
    // routing generation moves on when the routing then differs from what it was.
    void settle() {
        const unsigned match = ms | (anyCh ? 1u << 8 : 0u) | (anySt ? 1u << 9 : 0u) |
                               (x256(p[32]) > 6.0 ? 1u << 10 : 0u);
        bool changed = match != settledMatch;
        for (int i : {2, 7, 8})
            changed |= p[static_cast<std::size_t>(i)] != settled[static_cast<std::size_t>(i)];
        for (int i = 10; i <= 38; ++i)
            if (i != 31 && i != 32)
                changed |= p[static_cast<std::size_t>(i)] != settled[static_cast<std::size_t>(i)];
        if (changed) ++generation;
        settled = p;
        settledMatch = match;
    }
    void set(int index, float v) {
        p[static_cast<std::size_t>(index)] = v;
        if (index >= 31 && index <= 34) applyMatch(index);
        if (index >= 35 && index <= 38) applyTarget(index);
        if (index == param::DelayAmount) ring.delay = roundEven(static_cast<double>(v) * 32767.0);
        if (index == param::Log && v > 0.5f) {
            clock = 0;
            baseClock = 0;
            baseTick = 0;
            metaStep();
        }
        if (index >= param::KnobValue1 && index < param::KnobValue1 + 6) {
            const int k = index - param::KnobValue1;
            const MidiWord w = knobWordOf(v, p[static_cast<std::size_t>(param::KnobChannel1 + k)],
                                          p[static_cast<std::size_t>(param::KnobMessage1 + k)]);
            settle();
            if (w != lastKnob) lastKnob = chain(w, 0);
        }
    }
    void frames(int n) {
        if (n <= 0) return;
        if (p[43] > 0.5f) {
            auto words = std::exchange(buses[busOf(p[41])], {});
            for (MidiWord w : words)
                if (busMessage(w) != 0) chain(busMessage(w), 0, true);
        }
        for (int i = 0; i < n; ++i) {
            if (p[4] > 0.5f) metaStep();
            const MidiWord w = ring.take();
            ++ringTime;
            if (p[8] >= 0.5f) emit(w & 0xFFFFFFu, i, (w >> 31) != 0);
        }
    }
};

}  // namespace

namespace {

// Random scripts of parameter changes, host events and blocks, run by the engine and the model;
// `follows` counts the note-offs that followed their note-ons. With `routeChangesMidNote` false the
// routing values stay as they are once the first message ran, and the model is the chain as it
// was before note-offs followed their note-ons.
void runScripts(unsigned seed, int scripts, bool routeChangesMidNote, long& follows) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int script = 0; script < scripts; ++script) {
        FakePorts ports;
        MidiEngine engine(ports);
        ports.engine = &engine;
        Model model;
        model.mend = routeChangesMidNote;
        model.timeSource = &ports;
        bool messagesRan = false;
        // The construction replays the knobs in both.
        for (int k = 0; k < 6; ++k) {
            engine.setParameter(param::KnobValue1 + k, 0.0f);
            model.set(param::KnobValue1 + k, 0.0f);
        }
        bool logChanged = false;
        // Per gap between calls: the parameters set so far, and those set before a knob moved
        // (31 and 32 count as one: their match state travels as one).
        std::array<bool, kNumParams> setInGap{}, setBeforeKnob{};
        auto newGap = [&] {
            logChanged = false;
            setInGap = setBeforeKnob = {};
            model.settle();
        };
        for (int step = 0; step < 300; ++step) {
            const int what = pick(20);
            if (what < 7) {
                int index = 0;
                float v = 0.0f;
                switch (pick(12)) {
                    case 0:
                        index = param::Replace;
                        v = static_cast<float>(pick(2));
                        break;
                    case 1:
                        index = 31 + pick(4);
                        v = static_cast<float>(pick(index == 31   ? 17
                                                    : index == 32 ? 24
                                                                  : 131)) /
                            256.0f;
                        break;
                    case 2:
                        index = 35 + pick(4);
                        v = static_cast<float>(pick(index == 35   ? 17
                                                    : index == 36 ? 24
                                                                  : 131)) /
                            256.0f;
                        break;
                    case 3:
                        index = param::FilterType;
                        v = std::array<float, 5>{0.0f, 0.3f, 0.8f, 1.0f,
                                                 0.5f}[static_cast<std::size_t>(pick(5))];
                        break;
                    case 4: {
                        const int row = pick(5), field = pick(4);
                        index = param::FilterRow1 + 4 * row + field;
                        v = field == 0 ? static_cast<float>(pick(2))
                                       : static_cast<float>(pick(field == 1   ? 17
                                                                 : field == 2 ? 24
                                                                              : 129)) /
                                             256.0f;
                        break;
                    }
                    case 5:
                        index = param::DelayAmount;
                        v = static_cast<float>(pick(40)) / 32767.0f;
                        break;
                    case 6:
                        index = param::DelayOutput;
                        v = static_cast<float>(pick(3)) * 0.5f;
                        break;
                    case 7:
                        index = param::Log;
                        v = static_cast<float>(pick(2));
                        break;
                    case 8:
                        index = param::LogMeta;
                        v = static_cast<float>(pick(2));
                        break;
                    case 9:
                        index = param::RecvBus + pick(4);
                        v = index <= param::SendBus ? static_cast<float>(pick(2)) / 256.0f
                                                    : static_cast<float>(pick(2));
                        break;
                    case 10:
                        index = param::KnobValue1;
                        v = static_cast<float>(pick(4)) / 3.0f;
                        break;
                    default:
                        index = pick(2) ? param::SendToHost : param::OutputMidi;
                        v = static_cast<float>(pick(2));
                        break;
                }
                // Between two calls the engine acts on the newest logging switches only: one
                // change of "log?" or "log meta?" per gap keeps the model's meaning.
                if (index == param::Log || index == param::LogMeta) {
                    if (logChanged) continue;
                    logChanged = true;
                }
                // A queued knob message sees the changes numbered before it, except a
                // parameter that changes again after it in the same gap: that one shows its
                // value from before the gap.
                const auto group = static_cast<std::size_t>(index == 32 ? 31 : index);
                if (setBeforeKnob[group]) continue;
                if (!routeChangesMidNote && messagesRan &&
                    (index == param::Replace || index == param::DelayAmount ||
                     index == param::DelayOutput ||
                     (index >= param::FilterType && index <= param::ReplaceNewData2)))
                    continue;
                if (index == param::KnobValue1)
                    for (std::size_t i = 0; i < setInGap.size(); ++i)
                        setBeforeKnob[i] = setBeforeKnob[i] || setInGap[i];
                else
                    setInGap[group] = true;
                engine.setParameter(index, v);
                model.set(index, v);
            } else if (what < 12) {
                newGap();
                engine.beginCall();
                const int n = pick(6);
                for (int i = 0; i < n; ++i) {
                    // Half the messages play and end a few notes on two channels.
                    const MidiWord w =
                        pick(2) ? packWord(static_cast<unsigned>(0x80 + pick(0x80)),
                                           static_cast<unsigned>(pick(128)),
                                           static_cast<unsigned>(pick(128)))
                                : packWord(static_cast<unsigned>(0x80 + 16 * pick(2) + pick(2)),
                                           static_cast<unsigned>(60 + pick(3)),
                                           static_cast<unsigned>(pick(3) ? 90 : 0));
                    const int frame = pick(64);
                    engine.hostInput(w, frame);
                    model.chain(w, frame);
                    messagesRan = true;
                }
                engine.endCall();
                ++ports.call;
                ++model.call;
            } else {
                const int n = pick(10) == 0 ? 4096 : pick(300);
                newGap();
                engine.processBlock(n);
                model.frames(n);
                ++ports.call;
                ++model.call;
                // The host's transport moves between its calls, before the next changes.
                if (what == 19) {
                    ports.time.tempo = std::array<double, 4>{
                        60.0, 120.0, 180.0, 0.5}[static_cast<std::size_t>(pick(4))];
                    ports.time.numerator = 2 + pick(3);
                    ports.timeValid = pick(4) != 0;
                }
            }
        }
        engine.processBlock(0);  // words still queued run at the next call
        ASSERT_EQ(ports.host, model.host) << "script " << script;
        ASSERT_EQ(ports.device, model.device) << "script " << script;
        for (auto& [bus, words] : model.buses) ASSERT_EQ(ports.buses[bus], words) << "bus " << bus;
        const auto recorded = engine.recordingSnapshot();
        ASSERT_EQ(recorded.size(), model.recording.size()) << "script " << script;
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            ASSERT_EQ(recorded[i].tick, model.recording[i].tick)
                << "script " << script << " event " << i;
            ASSERT_EQ(recorded[i].kind, model.recording[i].kind)
                << "script " << script << " event " << i;
            ASSERT_EQ(std::vector<int>(recorded[i].bytes, recorded[i].bytes + 4),
                      std::vector<int>(model.recording[i].bytes, model.recording[i].bytes + 4));
        }
        follows += model.follows;
    }
}

}  // namespace

TEST(EngineScripts, RandomScriptsMatchThePerFrameModel) {
    long follows = 0;
    runScripts(1234, 400, true, follows);
    EXPECT_GT(follows, 1000);  // the scripts end many notes after routing changes
}

// While the routing stays as it was at the first message, every word leaves exactly as it did
// before note-offs followed their note-ons.
TEST(EngineScripts, UnchangedRoutingKeepsTheChainAsItWas) {
    long follows = 0;
    runScripts(4321, 300, false, follows);
}
