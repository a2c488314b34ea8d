// Real MIDI ports on Linux: the system backend against a JACK server the test starts itself
// and a peer client of its own. On a machine with an ALSA sequencer the backend takes ALSA
// and these tests skip.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jackpeer.h"
#include "midiio/midiio.h"
#include "platform/midi.h"
#include "platform/notice.h"
#include "support/recordingnoticesink.h"

namespace {

using jacktest::JackPeer;
using jacktest::JackServer;

// Words received on the input device's thread, kept without allocating.
struct Collector {
    std::vector<std::uint32_t> words = std::vector<std::uint32_t>(JackPeer::kCapacity);
    std::atomic<std::size_t> count{0};
    static void handler(void* self, std::uint32_t word) noexcept {
        auto* c = static_cast<Collector*>(self);
        const std::size_t n = c->count.load(std::memory_order_relaxed);
        if (n < c->words.size()) {
            c->words[n] = word;
            c->count.store(n + 1, std::memory_order_release);
        }
    }
    std::vector<std::uint32_t> received() const {
        const auto n = static_cast<std::ptrdiff_t>(count.load(std::memory_order_acquire));
        return {words.begin(), words.begin() + n};
    }
};

// Every kind of short message: notes with running numbers, and now and then a program
// change, MTC quarter frame, song position, timing clock and active sensing.
std::uint32_t wordAt(std::size_t i) {
    const auto n = static_cast<std::uint32_t>(i);
    if (i % 97 == 1) return 0xF8;
    if (i % 89 == 2) return 0xFE;
    if (i % 83 == 3) return 0xF1 | ((n & 0x7F) << 8);
    if (i % 79 == 4) return 0xC5 | ((n & 0x7F) << 8);
    if (i % 73 == 5) return 0xF2 | ((n & 0x7F) << 8) | (((n >> 7) & 0x7F) << 16);
    return 0x90 | (n & 0x0F) | (((n >> 4) & 0x7F) << 8) | (((n >> 11) & 0x7F) << 16);
}

bool waitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 200; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Sends one message at a time until one arrives (a first cycle may be lost while a new client
// settles in, more easily under a sanitizer), then lets stragglers come in; answers how many
// arrived.
std::size_t warmUp(const std::function<void()>& send, const std::function<std::size_t()>& arrived) {
    for (int attempt = 0; attempt < 20 && arrived() == 0; ++attempt) {
        send();
        waitFor([&] { return arrived() > 0; }, 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return arrived();
}

// With neither an ALSA sequencer nor a JACK server, opening a device says so, and neither
// library prints anything on standard error.
TEST(NoMidiService, OpeningSaysNothingAnswersAndPrintsNothing) {
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "ALSA sequencer present";
    const char* previous = std::getenv("JACK_DEFAULT_SERVER");
    const std::string saved = previous ? previous : "";
    ::setenv("JACK_DEFAULT_SERVER", ("corvella-none-" + std::to_string(::getpid())).c_str(), 1);
    testing::internal::CaptureStderr();
    auto backend = platform::createMidiBackend();
    const int outputs = backend->outputCount();
    const int inputs = backend->inputCount();
    platform::MidiErrorText error{};
    const bool opened = backend->openOutput(0, error);
    backend.reset();
    const std::string printed = testing::internal::GetCapturedStderr();
    previous ? ::setenv("JACK_DEFAULT_SERVER", saved.c_str(), 1)
             : ::unsetenv("JACK_DEFAULT_SERVER");
    EXPECT_EQ(outputs, 0);
    EXPECT_EQ(inputs, 0);
    EXPECT_FALSE(opened);
    EXPECT_STREQ(error.data(), "Neither the ALSA sequencer nor a JACK server answers.");
    EXPECT_EQ(printed, "");
}

class JackDevices : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new JackServer(48000, 256); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        if (!server->running()) GTEST_SKIP() << server->problem();
        // With an ALSA sequencer the backend uses it, and the JACK peer is no device of it.
        if (access("/dev/snd/seq", R_OK | W_OK) == 0) GTEST_SKIP() << "ALSA sequencer present";
        peer = std::make_unique<JackPeer>("peer", 32);
        ASSERT_TRUE(peer->ok());
    }

    // Opens the input device on the peer's output (the input handler already set) and warms
    // the path up with active sensing; answers how many arrived, 0 when the path did not come up.
    std::size_t openWarmInput(TMidiIO& io) {
        io.selectInputDevice(jacktest::deviceNamed(io, false, peer->outputPort()));
        io.setInputOpen(true);
        if (!io.inputOpen() || !waitFor([&] { return peer->outputConnections() == 1; }, 5))
            return 0;
        return warmUp([&] { peer->post(jacktest::shortMessage(0xFE)); },
                      [&] { return collector.count.load(); });
    }
    // The same for the output device on the peer's input.
    std::size_t openWarmOutput(TMidiIO& io) {
        io.selectOutputDevice(jacktest::deviceNamed(io, true, peer->inputPort()));
        io.setOutputOpen(true);
        if (!io.outputOpen() || !waitFor([&] { return peer->inputConnections() == 1; }, 5))
            return 0;
        return warmUp([&] { io.sendShortMessage(0xFE); }, [&] { return peer->receivedCount(); });
    }

    static JackServer* server;
    platform::RecordingNoticeSink notices;
    platform::ScopedNoticeSink noticeScope{notices};
    std::unique_ptr<JackPeer> peer;
    Collector collector;
};
JackServer* JackDevices::server = nullptr;

TEST_F(JackDevices, ListsOtherClientsPortsButNotItsOwn) {
    TMidiIO io;
    const int in = jacktest::deviceNamed(io, false, peer->outputPort());
    const int out = jacktest::deviceNamed(io, true, peer->inputPort());
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    io.setInputHandler(&Collector::handler, &collector);
    io.selectInputDevice(in);
    io.selectOutputDevice(out);
    io.setInputOpen(true);
    io.setOutputOpen(true);
    ASSERT_TRUE(io.inputOpen());
    ASSERT_TRUE(io.outputOpen());
    // A second instance sees the peer but none of the first one's ports.
    TMidiIO other;
    for (bool output : {false, true}) {
        const int count = output ? other.outputDeviceCount() : other.inputDeviceCount();
        EXPECT_GT(count, 0);
        for (int i = 0; i < count; ++i) {
            const std::string name = output ? other.outputDeviceName(i) : other.inputDeviceName(i);
            EXPECT_NE(name.rfind("Corvella", 0), 0u) << name;
        }
    }
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(JackDevices, PeerMessagesReachTheHandlerOnceInOrderWithoutSysex) {
    TMidiIO io;
    io.setInputHandler(&Collector::handler, &collector);
    // Active sensing until one arrives: the path is up and warm.
    const std::size_t warm = openWarmInput(io);
    ASSERT_GT(warm, 0u);

    constexpr std::size_t kMessages = 10000;
    std::vector<std::uint32_t> expected(warm, 0xFE);
    for (std::size_t i = 0; i < kMessages; ++i) {
        expected.push_back(wordAt(i));
        ASSERT_TRUE(peer->post(jacktest::shortMessage(wordAt(i))));
        // System exclusive blocks in between never arrive.
        if (i % 500 == 0) {
            jacktest::Message sysex;
            sysex.bytes = {0xF0, 0x7D, 0x01, 0x02, 0xF7};
            sysex.size = 5;
            ASSERT_TRUE(peer->post(sysex));
        }
    }
    ASSERT_TRUE(waitFor([&] { return collector.count.load() >= warm + kMessages; }, 30));
    peer->waitCycles(4);
    EXPECT_EQ(collector.received(), expected);

    // Closed: the connection goes and nothing more reaches the handler.
    io.setInputOpen(false);
    ASSERT_TRUE(waitFor([&] { return peer->outputConnections() == 0; }, 5));
    ASSERT_TRUE(peer->post(jacktest::shortMessage(0x407F90)));
    peer->waitCycles(4);
    EXPECT_EQ(collector.count.load(), warm + kMessages);
}

TEST_F(JackDevices, SentMessagesReachThePeerOnceInOrder) {
    TMidiIO io;
    const std::size_t warm = openWarmOutput(io);
    ASSERT_GT(warm, 0u);

    // Paced by what has arrived: at most 32 messages on their way, well inside what one
    // period's buffer holds even when a busy machine makes a client miss a cycle.
    constexpr std::size_t kMessages = 10000;
    std::vector<std::uint32_t> expected(warm, 0xFE);
    for (std::size_t i = 0; i < kMessages; ++i) {
        expected.push_back(wordAt(i));
        io.sendShortMessage(wordAt(i));
        if (i % 16 == 15) {
            ASSERT_TRUE(waitFor([&] { return peer->receivedCount() + 16 >= warm + i + 1; }, 5))
                << "message " << i << " sent, " << peer->receivedCount() << " arrived";
        }
    }
    ASSERT_TRUE(waitFor([&] { return peer->receivedCount() >= warm + kMessages; }, 30))
        << peer->receivedCount() << " arrived";
    peer->waitCycles(4);
    EXPECT_EQ(peer->received(), expected);
    EXPECT_EQ(io.droppedSends(), 0u);
}

// A 64 KB dump (65,536 bytes from F0 to F7) in which every data value occurs.
std::vector<std::uint8_t> dump64k() {
    std::vector<std::uint8_t> d(65536);
    for (std::size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>((i * 7 + i / 128) % 128);
    d.front() = 0xF0;
    d.back() = 0xF7;
    return d;
}

// Whole SysEx received on the input device's thread, kept without allocating.
struct SysexCollector {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(1 << 20);
    std::atomic<std::size_t> size{0};
    std::atomic<int> count{0};
    std::atomic<std::size_t> last{0};
    static void handler(void* self, const std::uint8_t* data, std::size_t n) noexcept {
        auto* c = static_cast<SysexCollector*>(self);
        const std::size_t at = c->size.load(std::memory_order_relaxed);
        if (n > c->bytes.size() - at) return;
        std::memcpy(c->bytes.data() + at, data, n);
        c->last.store(n, std::memory_order_relaxed);
        c->size.store(at + n, std::memory_order_release);
        c->count.fetch_add(1, std::memory_order_release);
    }
};

TEST_F(JackDevices, SysexFromThePeerArrivesWholeOnceBetweenItsWords) {
    // The peer divides the dump into JACK events of 1000 bytes; the device hands it on whole.
    SysexCollector sysex;
    TMidiIO io;
    io.setInputHandler(&Collector::handler, &collector);
    io.enableSysex(&SysexCollector::handler, &sysex);
    const std::size_t warm = openWarmInput(io);
    ASSERT_GT(warm, 0u);

    const std::vector<std::uint8_t> dump = dump64k();
    ASSERT_TRUE(peer->post(jacktest::shortMessage(0x643C90)));
    ASSERT_TRUE(peer->postBytes(dump, 1000));
    ASSERT_TRUE(waitFor([&] { return peer->bytesSent(); }, 10));
    ASSERT_TRUE(peer->post(jacktest::shortMessage(0x003C80)));
    ASSERT_TRUE(waitFor([&] { return collector.count.load() >= warm + 2; }, 10));
    peer->waitCycles(4);
    ASSERT_EQ(sysex.count.load(), 1);
    ASSERT_EQ(sysex.size.load(), dump.size());
    EXPECT_TRUE(std::equal(dump.begin(), dump.end(), sysex.bytes.begin()));
    std::vector<std::uint32_t> expected(warm, 0xFE);
    expected.push_back(0x643C90);
    expected.push_back(0x003C80);
    EXPECT_EQ(collector.received(), expected);
}

TEST_F(JackDevices, SentSysexReachesThePeerIntactInOrder) {
    TMidiIO io;
    io.enableSysex(nullptr, nullptr);
    const std::size_t warm = openWarmOutput(io);
    ASSERT_GT(warm, 0u);

    // Two dumps one after the other: each whole, in the order sent.
    std::vector<std::uint8_t> expected = dump64k();
    const std::vector<std::uint8_t> small = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    io.sendSysex(expected.data(), expected.size());
    io.sendSysex(small.data(), small.size());
    expected.insert(expected.end(), small.begin(), small.end());
    io.flushSysex();
    ASSERT_TRUE(waitFor([&] { return peer->receivedBytes().size() >= expected.size(); }, 10))
        << peer->receivedBytes().size() << " bytes arrived";
    peer->waitCycles(4);
    EXPECT_EQ(peer->receivedBytes(), expected);
    EXPECT_EQ(io.droppedSysex(), 0u);
}

TEST_F(JackDevices, DeviceThatWentAwayFailsToOpenWithANotice) {
    TMidiIO io;
    io.setInputHandler(&Collector::handler, &collector);
    // The peer is the only other client, so its port is the last device either way.
    const int in = jacktest::deviceNamed(io, false, peer->outputPort());
    io.selectInputDevice(in);
    ASSERT_EQ(io.inputDevice(), in);
    const int before = io.inputDeviceCount();
    peer.reset();
    ASSERT_TRUE(waitFor([&] { return io.inputDeviceCount() < before; }, 5));
    if (in < io.inputDeviceCount()) GTEST_SKIP() << "another client's port took its number";
    io.setInputOpen(true);
    EXPECT_FALSE(io.inputOpen());
    const auto shown = notices.notices();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "MidiIO");
    EXPECT_FALSE(shown[0].text.empty());
}

}  // namespace
