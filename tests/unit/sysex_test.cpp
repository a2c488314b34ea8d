// SysEx through the engine: the log line, order with the words at the host output, the device's
// SysEx in order with its words, drops that are counted and never cut a message, and the
// recording saved as a Standard MIDI File that reads back byte for byte (divided when long).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/logtext.h"
#include "engine/midiengine.h"
#include "engine/sysex.h"
#include "midifile/mididata.h"
#include "midifile/miditrackstream.h"
#include "support/fakeengineports.h"

namespace {

using testsupport::Bytes;
using testsupport::sysexOf;
using SysexPorts = testsupport::FakeEnginePorts;

class SysexEngine : public ::testing::Test {
protected:
    SysexEngine() {
        ports.engine = engine.get();
        engine->enableSysex();
    }
    void call(const std::vector<std::variant<MidiWord, Bytes>>& events) {
        engine->beginCall();
        for (const auto& e : events) {
            if (const auto* w = std::get_if<MidiWord>(&e)) {
                engine->hostInput(*w, 0);
            } else {
                const Bytes& b = std::get<Bytes>(e);
                engine->hostSysex(b.data(), b.size(), 0);
            }
        }
        engine->endCall();
    }
    // The SysEx of a saved-and-loaded recording, joined from their packets, in order.
    std::vector<Bytes> savedSysex() {
        const std::string path = ::testing::TempDir() + "sysex_recording.mid";
        {
            midifile::TMidiData data;
            Recorder::build(data, engine->recording(), "Corvella");
            data.fileName = path;
            data.save();
        }
        midifile::TMidiData back;
        back.fileName = path;
        back.load();
        std::remove(path.c_str());
        std::vector<Bytes> out;
        const midifile::TMidiTrackStream& t = *back.track(0);
        for (std::int32_t i = 0; i < t.eventCount(); ++i) {
            const midifile::TMidiEvent& e = *t.event(i);
            if (e.status != 0xF0 && e.status != 0xF7) continue;
            if (e.status == 0xF0) out.push_back({0xF0});
            const std::uint8_t* b = t.eventBlock(e);
            out.back().insert(out.back().end(), b, b + e.dataLength());
        }
        return out;
    }
    SysexPorts ports;
    std::unique_ptr<MidiEngine> engine = std::make_unique<MidiEngine>(ports);
};

}  // namespace

TEST(SysexLogLine, ShowsSizeAndBytesAndCutsOnlyTheLine) {
    const Bytes identity = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    EXPECT_EQ(sysexLogLine(identity.data(), identity.size()),
              "System Exclusive 6 bytes: F0 7E 7F 06 01 F7");
    // The longest message shown whole, and the next one: first bytes, "...", the last byte.
    std::size_t whole = 2;
    while (sysexLogLine(sysexOf(whole + 1).data(), whole + 1).find("...") == std::string::npos)
        ++whole;
    const Bytes fits = sysexOf(whole);
    const std::string full = sysexLogLine(fits.data(), fits.size());
    EXPECT_EQ(full.size(), full.find(": ") + 2 + 3 * whole - 1);
    EXPECT_TRUE(full.ends_with(" F7"));
    for (std::size_t size : {whole + 1, std::size_t{65536}, kMaxSysex}) {
        const Bytes b = sysexOf(size);
        const std::string line = sysexLogLine(b.data(), b.size());
        EXPECT_TRUE(
            line.starts_with("System Exclusive " + std::to_string(size) + " bytes: F0 01 02 03"))
            << line;
        EXPECT_TRUE(line.ends_with(" ... F7")) << line;
        EXPECT_LE(line.size(), kMaxLogLine);
    }
}

TEST(SysexWhole, OnlyF0DataBytesF7) {
    const Bytes good = {0xF0, 0x01, 0xF7}, empty = {0xF0, 0xF7};
    const Bytes open = {0xF0, 0x01, 0x02}, inner = {0xF0, 0x90, 0xF7}, noStart = {0x01, 0xF7};
    EXPECT_TRUE(wholeSysex(good.data(), good.size()));
    EXPECT_TRUE(wholeSysex(empty.data(), empty.size()));
    EXPECT_FALSE(wholeSysex(open.data(), open.size()));
    EXPECT_FALSE(wholeSysex(inner.data(), inner.size()));
    EXPECT_FALSE(wholeSysex(noStart.data(), noStart.size()));
    EXPECT_FALSE(wholeSysex(good.data(), 1));
}

TEST(MessageRing, KeepsOrderAcrossTheWrapAndRefusesWhatDoesNotFit) {
    platform::MessageRing ring(64);
    Bytes out(platform::kMaxMessage);
    for (unsigned round = 0; round < 20; ++round) {
        const Bytes a = sysexOf(20, round), b = sysexOf(13, round + 1);
        ASSERT_TRUE(ring.push(a.data(), a.size()));
        ASSERT_TRUE(ring.push(b.data(), b.size()));
        // 24 + 17 bytes used: a third of 24 does not fit, and nothing of it is written.
        EXPECT_FALSE(ring.push(a.data(), a.size()));
        ASSERT_EQ(ring.pop(out.data()), a.size());
        EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
        ASSERT_EQ(ring.pop(out.data()), b.size());
        EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin()));
        EXPECT_EQ(ring.pop(out.data()), 0u);
    }
}

TEST_F(SysexEngine, HostSysexLeavesUnchangedInOrderWithTheWords) {
    const Bytes dump = sysexOf(65536);
    // Replace every message to channel 2 and filter nothing: the SysEx is not touched.
    engine->setParameter(param::Replace, 1.0f);
    call({MidiWord{0x643C90}, dump, MidiWord{0x003C80}});
    ASSERT_EQ(ports.host.size(), 3u);
    EXPECT_EQ(std::get<Bytes>(ports.host[1].message), dump);
    EXPECT_TRUE(std::holds_alternative<MidiWord>(ports.host[0].message));
    EXPECT_TRUE(std::holds_alternative<MidiWord>(ports.host[2].message));
    EXPECT_EQ(engine->counters().sysexDrops, 0u);

    // "send midi to host?" off: nothing for the host; "output midi?" on: the device gets it.
    ports.host.clear();
    engine->setParameter(param::SendToHost, 0.0f);
    engine->setParameter(param::OutputMidi, 1.0f);
    call({dump});
    EXPECT_TRUE(ports.host.empty());
    ASSERT_EQ(ports.device.size(), 1u);
    EXPECT_EQ(std::get<Bytes>(ports.device[0]), dump);
}

TEST_F(SysexEngine, BrokenOrOverlongSysexIsDroppedAndCountedNeverCut) {
    const Bytes open = {0xF0, 0x01, 0x02}, statusInside = {0xF0, 0x01, 0x90, 0xF7};
    const Bytes tooLong = sysexOf(kMaxSysex + 1);
    call({open, statusInside, tooLong, MidiWord{0x90}});
    ASSERT_EQ(ports.host.size(), 1u);
    EXPECT_EQ(engine->counters().sysexDrops, 3u);
    engine->deviceSysexInput(open.data(), open.size());
    EXPECT_EQ(engine->counters().sysexDrops, 4u);

    // An engine without SysEx enabled drops every one.
    SysexPorts other;
    MidiEngine off(other);
    const Bytes good = sysexOf(10);
    off.beginCall();
    off.hostSysex(good.data(), good.size(), 0);
    off.endCall();
    EXPECT_TRUE(other.host.empty());
    EXPECT_EQ(off.counters().sysexDrops, 1u);
}

TEST_F(SysexEngine, DeviceSysexRunsInOrderWithTheDevicesWords) {
    const Bytes a = sysexOf(300, 1), b = sysexOf(70000, 2);
    engine->deviceInput(0x643C90);
    engine->deviceSysexInput(a.data(), a.size());
    engine->deviceInput(0x003C80);
    engine->deviceSysexInput(b.data(), b.size());
    call({});
    ASSERT_EQ(ports.host.size(), 4u);
    EXPECT_EQ(std::get<MidiWord>(ports.host[0].message), 0x643C90u);
    EXPECT_EQ(std::get<Bytes>(ports.host[1].message), a);
    EXPECT_EQ(std::get<MidiWord>(ports.host[2].message), 0x003C80u);
    EXPECT_EQ(std::get<Bytes>(ports.host[3].message), b);

    // A full queue refuses a whole message (counted); what was queued still arrives whole.
    const Bytes big = sysexOf(kMaxSysex);
    std::size_t queued = 0;
    while (queued < 100) {
        const std::size_t before = engine->counters().sysexDrops;
        engine->deviceSysexInput(big.data(), big.size());
        if (engine->counters().sysexDrops != before) break;
        ++queued;
    }
    ASSERT_LT(queued, 100u);
    ports.host.clear();
    call({});
    ASSERT_EQ(ports.host.size(), queued);
    for (const auto& e : ports.host) EXPECT_EQ(std::get<Bytes>(e.message), big);
}

TEST_F(SysexEngine, LoggedSysexIsRecordedAndSavedByteForByte) {
    engine->setParameter(param::Log, 1.0f);
    const Bytes dump = sysexOf(65536), small = sysexOf(6, 5), divided = sysexOf(200000, 9);
    call({MidiWord{0x643C90}, dump, small});
    call({divided});
    const RecordingSnapshot r = engine->recording();
    std::size_t sysexEvents = 0;
    for (const RecordedEvent& e : r.events) sysexEvents += e.kind == RecordedEvent::SysEx;
    EXPECT_EQ(sysexEvents, 3u);
    EXPECT_EQ(savedSysex(), (std::vector<Bytes>{dump, small, divided}));

    const std::vector<std::string> lines = engine->logLines().lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(lines[lines.size() - 3].starts_with("System Exclusive 65536 bytes: F0 01 02"));
    EXPECT_EQ(lines[lines.size() - 2], "System Exclusive 6 bytes: F0 06 07 08 09 F7");
}

TEST_F(SysexEngine, AFullRecordingDropsWholeMessagesAndCountsThem) {
    engine->setParameter(param::Log, 1.0f);
    const Bytes big = sysexOf(kMaxSysex);
    const std::size_t fit = (8u << 20) / (kMaxSysex + 4);
    for (std::size_t i = 0; i < fit + 2; ++i) call({big});
    EXPECT_GE(engine->recordedEvents(), fit);
    EXPECT_EQ(engine->droppedRecordings(), 2u);
    const std::vector<Bytes> saved = savedSysex();
    ASSERT_EQ(saved.size(), fit);
    for (const Bytes& b : saved) EXPECT_EQ(b, big);
    // Clearing the log frees the store.
    engine->clearLog();
    call({big});
    EXPECT_EQ(savedSysex().size(), 1u);
}

// The device's thread queues SysEx while the processing thread runs blocks: every message
// arrives whole and in order, or is counted as dropped (run under ThreadSanitizer too).
TEST_F(SysexEngine, DeviceSysexFromAnotherThreadArrivesWholeInOrderOrCounted) {
    constexpr unsigned kMessages = 3000;
    const auto messageOf = [](unsigned n) {
        Bytes b = sysexOf(4 + (n * 997) % 6000, n);
        b[1] = static_cast<std::uint8_t>(n & 0x7F);
        b[2] = static_cast<std::uint8_t>((n >> 7) & 0x7F);
        return b;
    };
    std::atomic<bool> done{false};
    std::thread device([&] {
        for (unsigned n = 0; n < kMessages; ++n) {
            const Bytes b = messageOf(n);
            engine->deviceSysexInput(b.data(), b.size());
        }
        done.store(true);
    });
    std::vector<unsigned> received;
    const auto drain = [&] {
        engine->processBlock(64);
        for (const auto& e : ports.host) {
            const Bytes& b = std::get<Bytes>(e.message);
            const unsigned n = b[1] | (b[2] << 7u);
            ASSERT_EQ(b, messageOf(n));
            received.push_back(n);
        }
        ports.host.clear();
    };
    while (!done.load()) drain();
    device.join();
    drain();
    EXPECT_TRUE(std::is_sorted(received.begin(), received.end()));
    EXPECT_EQ(std::adjacent_find(received.begin(), received.end()), received.end());
    EXPECT_EQ(received.size() + engine->counters().sysexDrops, kMessages);
}
