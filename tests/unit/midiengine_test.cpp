// The engine driven through its ports: decoded state, the block clock, the tick conversion, the
// delay line against a plain ring, and random scripts against a per-frame model of the chain.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/logtext.h"
#include "engine/midiengine.h"

namespace {

// Ports that keep what the engine sends; the buses are plain lists.
struct FakePorts : EnginePorts {
    struct Out {
        MidiWord word;
        long call;
        int frame;
        bool operator==(const Out&) const = default;
    };
    std::vector<Out> host;
    std::vector<MidiWord> device;
    std::map<int, std::vector<MidiWord>> buses;
    std::vector<EngineNotice> notices;
    HostTime time{120.0, 4, 4};
    bool timeValid = true;
    int timeCalls = 0;
    long call = 0;

    void hostOutput(MidiWord word, int frame) noexcept override {
        host.push_back({word, call, frame});
    }
    bool hostTime(HostTime& t) noexcept override {
        ++timeCalls;
        t = time;
        return timeValid;
    }
    int busTake(int bus, MidiWord* words, int capacity) noexcept override {
        auto& b = buses[bus];
        int n = 0;
        for (MidiWord w : b)
            if (n < capacity) words[n++] = w;
        b.clear();
        return n;
    }
    void busWrite(int bus, MidiWord word) noexcept override { buses[bus].push_back(word); }
    void deviceOutput(MidiWord word) noexcept override { device.push_back(word); }
    void notice(EngineNotice which) noexcept override { notices.push_back(which); }
};

class EngineState : public ::testing::Test {
protected:
    void choose(int index, int entry) {
        engine->setParameter(index, static_cast<float>(entry) / 256.0f);
    }
    void block(int frames) {
        engine->processBlock(frames);
        ++ports.call;
    }
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

    const int before = engine->delayLine().position();
    block(512);
    block(-3);
    EXPECT_EQ(engine->delayLine().position(), before + 512);

    engine->setParameter(param::Log, 1.0f);
    block(0);  // switching on restarts the clock and steps once
    EXPECT_EQ(engine->sampleClock(), 1);
    block(1000);
    EXPECT_EQ(engine->sampleClock(), 1001);
    EXPECT_EQ(ports.timeCalls, 2);  // once per call, not per frame
    block(4096);
    EXPECT_EQ(ports.timeCalls, 3);
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
    EXPECT_EQ(ports.host[0].word, packWord(0xB2, 7, 127));
    engine->setParameter(param::FilterType, 0.0f);
    engine->setParameter(param::KnobValue1, 0.25f);
    block(0);
    EXPECT_EQ(engine->lastKnobWord(), 0u);
    engine->setParameter(param::FilterType, 1.0f);
    engine->setParameter(param::KnobValue1, 0.25f);
    block(0);
    ASSERT_EQ(ports.host.size(), 2u);
    EXPECT_EQ(ports.host[1].word, packWord(0xB2, 7, 32));
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
    EXPECT_EQ(ports.host[0].word, packWord(0x90, 1, 1));
    EXPECT_EQ(engine->delayLine().occupied(), 1);  // the second waits in the line
}

// A host may move processing to another thread: what the old processing thread set still
// reaches the new one at its next call.
TEST_F(EngineState, ChangesFromAnEarlierProcessingThreadReachTheNextOne) {
    block(0);  // this thread processes
    engine->setParameter(param::SendToHost, 0.0f);
    std::thread([&] { engine->processBlock(0); }).join();
    EXPECT_FALSE(engine->settings().sendToHost);
}

TEST_F(EngineState, SoundStreamStopsBusReadingAndSaysSo) {
    struct StreamPorts : FakePorts {
        int busTake(int, MidiWord*, int) noexcept override { return -1; }
    } stream;
    MidiEngine e(stream);
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
    void insert(MidiWord w) {
        if (!w) return;
        if (occupied == DelayLine::kSlots) {
            ++dropped;
            return;
        }
        int k = pos + delay;
        do {
            if (++k > DelayLine::kSlots - 1) k -= DelayLine::kSlots;
        } while (ring[static_cast<std::size_t>(k)] != 0);
        ring[static_cast<std::size_t>(k)] = w;
        ++occupied;
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
    std::vector<FakePorts::Out> host;
    std::vector<MidiWord> device;
    std::map<int, std::vector<MidiWord>> buses;
    long call = 0;
    const FakePorts* timeSource = nullptr;

    Model() {
        for (int i = 0; i < kNumParams; ++i)
            p[static_cast<std::size_t>(i)] = kParameters[static_cast<std::size_t>(i)].defaultValue;
        ring.delay = roundEven(static_cast<double>(p[param::DelayAmount]) * 32767.0);
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
        const HostTime* time = hostTime();
        if (!(p[45] >= 0.5f) || !time) return;
        if (time->tempo != tempo && time->tempo >= 1.0) {
            const auto micros = static_cast<std::int64_t>(std::nearbyint(60000000.0 / time->tempo));
            const std::int32_t tick = ticksAt(clock);
            record({tick,
                    RecordedEvent::Tempo,
                    {byteOf(static_cast<int>(micros >> 16)), byteOf(static_cast<int>(micros >> 8)),
                     byteOf(static_cast<int>(micros)), 0}});
            baseTick = static_cast<std::uint32_t>(tick);
            baseClock = clock;
            tempo = time->tempo;
        }
        if ((time->numerator != num || time->denominator != den) &&
            (time->numerator || time->denominator)) {
            const double power =
                time->denominator > 0 ? std::log2(static_cast<double>(time->denominator)) : 0.0;
            record({ticksAt(clock),
                    RecordedEvent::TimeSignature,
                    {byteOf(time->numerator), byteOf(roundEven(power)), 24, 8}});
            num = time->numerator;
            den = time->denominator;
        }
    }
    void emit(MidiWord w, int frame, bool fromBus) {
        if (!w) return;
        if (p[1] > 0.5f) host.push_back({w, call, frame});
        const int send = busOf(p[42]), recv = busOf(p[41]);
        if (p[44] > 0.5f && !(fromBus && send == recv)) buses[send].push_back(w);
        if (p[40] > 0.5f) device.push_back(w);
    }
    MidiWord chain(MidiWord w, int frame, bool fromBus = false) {
        if (p[4] > 0.5f) {
            record(
                {ticksAt(clock + frame),
                 RecordedEvent::Message,
                 {byteOf(static_cast<int>(wordStatus(w))), byteOf(static_cast<int>(wordData1(w))),
                  byteOf(static_cast<int>(wordData2(w))), 0}});
        }
        if (p[2] > 0.5f) replace(w);
        filter(w);
        if (p[8] >= 0.5f)
            ring.insert(w ? (w | (fromBus ? 1u << 31 : 0u)) : 0u);
        else
            emit(w, frame, fromBus);
        return w;
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
            if (w != lastKnob) lastKnob = chain(w, 0);
        }
    }
    void frames(int n) {
        if (n <= 0) return;
        if (p[43] > 0.5f) {
            auto words = std::exchange(buses[busOf(p[41])], {});
            for (MidiWord w : words) chain(w, 0, true);
        }
        for (int i = 0; i < n; ++i) {
            if (p[4] > 0.5f) metaStep();
            const MidiWord w = ring.take();
            if (p[8] >= 0.5f) emit(w & 0xFFFFFFu, i, (w >> 31) != 0);
        }
    }
};

}  // namespace

TEST(EngineScripts, RandomScriptsMatchThePerFrameModel) {
    std::mt19937 random(1234);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int script = 0; script < 400; ++script) {
        FakePorts ports;
        MidiEngine engine(ports);
        Model model;
        model.timeSource = &ports;
        // The construction replays the knobs in both.
        for (int k = 0; k < 6; ++k) {
            engine.setParameter(param::KnobValue1 + k, 0.0f);
            model.set(param::KnobValue1 + k, 0.0f);
        }
        bool logChanged = false;
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
                engine.setParameter(index, v);
                model.set(index, v);
            } else if (what < 12) {
                engine.beginCall();
                const int n = pick(6);
                for (int i = 0; i < n; ++i) {
                    const MidiWord w = packWord(static_cast<unsigned>(0x80 + pick(0x80)),
                                                static_cast<unsigned>(pick(128)),
                                                static_cast<unsigned>(pick(128)));
                    const int frame = pick(64);
                    engine.hostInput(w, frame);
                    model.chain(w, frame);
                }
                engine.endCall();
                ++ports.call;
                ++model.call;
                logChanged = false;
            } else {
                const int n = pick(10) == 0 ? 4096 : pick(300);
                engine.processBlock(n);
                model.frames(n);
                ++ports.call;
                ++model.call;
                logChanged = false;
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
    }
}
