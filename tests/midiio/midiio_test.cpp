// TMidiIO's two-state machine against the scripted backend, and the plug-in's device
// parameters 0, 9, 39 and 40 on top of it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "midiio/midiio.h"
#include "host/worker.h"
#include "platform/midi.h"
#include "platform/notice.h"
#include "platform/settings.h"
#include "plugin/plugin.h"
#include "support/fakevsthost.h"
#include "support/manualnoticeclock.h"
#include "support/memorysettingsstore.h"
#include "support/recordingnoticesink.h"
#include "support/scriptedmidibackend.h"
#include "vst/entry.h"

namespace {

using platform::kMidiInData;
using Calls = std::vector<std::string>;

struct Handler {
    std::vector<std::uint32_t> words;
    static void take(void* self, std::uint32_t word) noexcept {
        static_cast<Handler*>(self)->words.push_back(word);
    }
};

class MidiIO : public ::testing::Test {
protected:
    platform::ScriptedMidiBackend backend{{"in A", "in B", "in C"}, {"out A", "out B", "out C"}};
    platform::ScopedMidiBackend backendScope{backend};
    platform::RecordingNoticeSink notices;
    platform::ScopedNoticeSink noticeScope{notices};
    TMidiIO io;
    Handler handler;

    void openInput() {
        io.setInputHandler(&Handler::take, &handler);
        io.setInputOpen(true);
        ASSERT_TRUE(io.inputOpen());
    }
};

TEST_F(MidiIO, ListsTheBackendsDevices) {
    EXPECT_EQ(io.inputDeviceCount(), 3);
    EXPECT_EQ(io.outputDeviceName(1), "out B");
    EXPECT_EQ(io.inputDeviceName(3), "");
    EXPECT_EQ(io.inputDevice(), 0);
    EXPECT_EQ(io.outputDevice(), 0);
    EXPECT_FALSE(io.inputOpen());
    EXPECT_FALSE(io.outputOpen());
}

TEST_F(MidiIO, InputDoesNotOpenWithoutAHandler) {
    io.setInputOpen(true);
    EXPECT_FALSE(io.inputOpen());
    EXPECT_TRUE(backend.calls().empty());
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(MidiIO, OpeningTwiceOpensOnceAndClosingClosedDoesNothing) {
    io.setOutputOpen(false);
    io.setOutputOpen(true);
    io.setOutputOpen(true);
    EXPECT_TRUE(io.outputOpen());
    openInput();
    io.setInputOpen(true);
    EXPECT_EQ(backend.calls(), (Calls{"open out 0", "open in 0"}));
}

TEST_F(MidiIO, SelectingTheCurrentDeviceKeepsItOpen) {
    io.setOutputOpen(true);
    io.selectOutputDevice(0);
    EXPECT_EQ(backend.calls(), (Calls{"open out 0"}));
    EXPECT_TRUE(io.outputOpen());
}

TEST_F(MidiIO, SelectingAnotherDeviceWhileOpenClosesThenOpensIt) {
    io.setOutputOpen(true);
    io.selectOutputDevice(2);
    openInput();
    io.selectInputDevice(1);
    EXPECT_EQ(backend.calls(), (Calls{"open out 0", "close out", "open out 2", "open in 0",
                                      "close in", "open in 1"}));
    EXPECT_EQ(io.outputDevice(), 2);
    EXPECT_EQ(io.inputDevice(), 1);
    EXPECT_TRUE(io.outputOpen());
    EXPECT_TRUE(io.inputOpen());
}

TEST_F(MidiIO, SelectingWhileClosedOnlyStoresTheNumber) {
    io.selectInputDevice(2);
    EXPECT_EQ(io.inputDevice(), 2);
    EXPECT_TRUE(backend.calls().empty());
    io.setInputHandler(&Handler::take, &handler);
    io.setInputOpen(true);
    EXPECT_EQ(backend.calls(), (Calls{"open in 2"}));
}

TEST_F(MidiIO, NumbersAtOrBeyondTheCountAreIgnored) {
    io.selectOutputDevice(1);
    io.setOutputOpen(true);
    for (int bad : {3, 4, 1000, -1}) {
        io.selectOutputDevice(bad);
        io.selectInputDevice(bad);
    }
    EXPECT_EQ(io.outputDevice(), 1);
    EXPECT_EQ(io.inputDevice(), 0);
    EXPECT_EQ(backend.calls(), (Calls{"open out 1"}));
}

TEST_F(MidiIO, FailedOpenShowsTheTextAndStaysClosed) {
    backend.failNextOpen(true, "The device is busy.");
    io.setOutputOpen(true);
    EXPECT_FALSE(io.outputOpen());
    backend.failNextOpen(false, "No driver.");
    io.setInputHandler(&Handler::take, &handler);
    io.setInputOpen(true);
    EXPECT_FALSE(io.inputOpen());
    const auto shown = notices.notices();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "The device is busy.");
    EXPECT_EQ(shown[0].caption, "MidiIO");
    EXPECT_EQ(shown[0].kind, platform::NoticeKind::Error);
    EXPECT_EQ(shown[1].text, "No driver.");
    // No retry, and nothing to close.
    EXPECT_EQ(backend.calls(), (Calls{"open out 0", "open in 0"}));
    // A later open goes to the device again.
    io.setOutputOpen(true);
    EXPECT_TRUE(io.outputOpen());
}

// A device that keeps failing says so at most once a second per direction; the next notice
// counts those held back.
TEST_F(MidiIO, RepeatedFailuresShowOnceASecond) {
    platform::ManualNoticeClock clock;
    io.setInputHandler(&Handler::take, &handler);
    for (int i = 0; i < 5; ++i) {
        backend.failNextOpen(true, "Busy.");
        io.setOutputOpen(true);
    }
    backend.failNextOpen(false, "Busy.");
    io.setInputOpen(true);
    ASSERT_EQ(notices.notices().size(), 2u);  // the output's first, the input's own
    clock.advance(std::chrono::milliseconds(1000));
    backend.failNextOpen(true, "Busy.");
    io.setOutputOpen(true);
    const auto shown = notices.notices();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[2].text, "Busy.");
    EXPECT_EQ(shown[2].heldBack, 4u);
}

TEST_F(MidiIO, ReselectToADeviceThatFailsLeavesTheDirectionClosed) {
    io.setOutputOpen(true);
    backend.failNextOpen(true, "Gone.");
    io.selectOutputDevice(1);
    EXPECT_FALSE(io.outputOpen());
    EXPECT_EQ(io.outputDevice(), 1);
    ASSERT_EQ(notices.notices().size(), 1u);
    EXPECT_EQ(backend.calls(), (Calls{"open out 0", "close out", "open out 1"}));
}

TEST_F(MidiIO, OnlyDataMessagesWithAWordReachTheHandler) {
    openInput();
    EXPECT_TRUE(backend.deliver(platform::kMidiInOpen, 0));
    EXPECT_TRUE(backend.deliver(kMidiInData, 0));
    EXPECT_TRUE(backend.deliver(kMidiInData, 0x403C90, 1234));
    EXPECT_TRUE(backend.deliver(platform::kMidiInLongData, 0x12345678));
    EXPECT_TRUE(backend.deliver(platform::kMidiInError, 0x403C90));
    EXPECT_TRUE(backend.deliver(platform::kMidiInLongError, 0x403C90));
    EXPECT_TRUE(backend.deliver(kMidiInData, 0xF8));
    EXPECT_TRUE(backend.deliver(platform::kMidiInClose, 0));
    EXPECT_EQ(handler.words, (std::vector<std::uint32_t>{0x403C90, 0xF8}));
}

TEST_F(MidiIO, NoHandlerCallAfterClose) {
    openInput();
    io.setInputOpen(false);
    // A driver that calls late still reaches nobody.
    TMidiIO::inputCallback(&io, kMidiInData, 0x403C90, 0);
    EXPECT_TRUE(handler.words.empty());
    EXPECT_EQ(backend.calls(), (Calls{"open in 0", "close in"}));
}

TEST_F(MidiIO, SendsOnlyWhileOpen) {
    io.sendShortMessage(0x403C90);
    io.setOutputOpen(true);
    io.sendShortMessage(0x403C90);
    io.sendShortMessage(0);
    io.setOutputOpen(false);
    io.sendShortMessage(0x7FE0);
    EXPECT_EQ(backend.calls(), (Calls{"open out 0", "send 00403C90", "close out"}));
}

TEST_F(MidiIO, DestructionClosesBothDirections) {
    {
        TMidiIO second;
        second.setInputHandler(&Handler::take, &handler);
        second.setInputOpen(true);
        second.setOutputOpen(true);
    }
    EXPECT_EQ(backend.calls(), (Calls{"open in 0", "open out 0", "close out", "close in"}));
}

// Senders on several threads at once: every word goes out exactly once, each thread's words
// in their order, and the backend never sees two sends at a time.
TEST_F(MidiIO, ConcurrentSendersAreSerialised) {
    io.setOutputOpen(true);
    backend.clearCalls();
    constexpr int kThreads = 4, kWords = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 1; i <= kWords; ++i)
                io.sendShortMessage(0x90u | static_cast<std::uint32_t>(t) |
                                    (static_cast<std::uint32_t>(i) << 8));
        });
    for (auto& th : threads) th.join();
    const Calls calls = backend.calls();
    EXPECT_EQ(backend.overlappingSends(), 0);
    EXPECT_EQ(calls.size() + io.droppedSends(), std::size_t{kThreads * kWords});
    std::vector<unsigned> last(kThreads, 0);
    for (const std::string& c : calls) {
        const auto word = static_cast<unsigned>(std::stoul(c.substr(5), nullptr, 16));
        const unsigned t = word & 0x0F, i = word >> 8;
        ASSERT_LT(t, unsigned{kThreads});
        EXPECT_GT(i, last[t]) << c;
        last[t] = i;
    }
}

// Opening and closing while the driver keeps calling: once close returns, the handler is
// not running and is not called again.
TEST_F(MidiIO, CloseWaitsForTheHandlerAndEndsDelivery) {
    struct Counter {
        std::atomic<int> calls{0};
        static void take(void* self, std::uint32_t) noexcept {
            auto* c = static_cast<Counter*>(self);
            c->calls.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            c->calls.fetch_add(1);
        }
    } counter;
    io.setInputHandler(&Counter::take, &counter);
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        while (!stop.load()) TMidiIO::inputCallback(&io, kMidiInData, 0x90, 0);
    });
    for (int round = 0; round < 100; ++round) {
        const int before = counter.calls.load();
        io.setInputOpen(true);
        // Let the driver get a call in while open.
        for (int wait = 0; wait < 100000 && counter.calls.load() == before; ++wait)
            std::this_thread::yield();
        io.setInputOpen(false);
        const int afterClose = counter.calls.load();
        EXPECT_EQ(afterClose % 2, 0) << "handler still running after close";
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        EXPECT_EQ(counter.calls.load(), afterClose) << "handler called after close";
    }
    stop.store(true);
    driver.join();
    EXPECT_GE(counter.calls.load(), 200);
}

// A SysEx still going out when the output closes is cancelled: the close does not wait for it.
TEST_F(MidiIO, ClosingCancelsASysexUnderWay) {
    io.enableSysex(nullptr, nullptr);
    io.setOutputOpen(true);
    backend.holdLongSends.store(true);
    const std::vector<std::uint8_t> sysex = {0xF0, 0x01, 0xF7};
    io.sendSysex(sysex.data(), sysex.size());
    for (int i = 0; i < 2000 && !backend.longSendWaiting.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(backend.longSendWaiting.load());
    const auto start = std::chrono::steady_clock::now();
    io.setOutputOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(backend.calls(), (Calls{"open out 0", "sysex 3", "close out"}));
    EXPECT_EQ(io.droppedSysex(), 1u);
}

// While a SysEx goes out, what is sent after it waits behind it; closing drops what waits, and
// afterwards words go out at once again.
TEST_F(MidiIO, MessagesSentAfterASysexWaitBehindIt) {
    io.enableSysex(nullptr, nullptr);
    io.setOutputOpen(true);
    backend.holdLongSends.store(true);
    const std::vector<std::uint8_t> first = {0xF0, 0x01, 0xF7}, second = {0xF0, 0x02, 0x03, 0xF7};
    io.sendSysex(first.data(), first.size());
    for (int i = 0; i < 2000 && !backend.longSendWaiting.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(backend.longSendWaiting.load());
    io.sendShortMessage(0x403C90);
    io.sendSysex(second.data(), second.size());
    io.sendShortMessage(0x003C80);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(backend.calls(), (Calls{"open out 0", "sysex 3"}));
    backend.holdLongSends.store(false);
    io.flushSysex();
    EXPECT_EQ(backend.calls(),
              (Calls{"open out 0", "sysex 3", "send 00403C90", "sysex 4", "send 00003C80"}));

    backend.clearCalls();
    backend.holdLongSends.store(true);
    io.sendSysex(first.data(), first.size());
    for (int i = 0; i < 2000 && !backend.longSendWaiting.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    io.sendShortMessage(0x403C90);
    io.setOutputOpen(false);
    io.flushSysex();
    io.setOutputOpen(true);
    backend.holdLongSends.store(false);
    io.sendShortMessage(0x7FE0);
    EXPECT_EQ(backend.calls(), (Calls{"sysex 3", "close out", "open out 0", "send 00007FE0"}));
    EXPECT_EQ(io.droppedSysex(), 1u);
}

// A sender interleaving SysEx and words, and another sending words at the same time: the
// backend gets each thread's messages in the order they were sent, never two sends at once,
// and every message once or counted as dropped (run under ThreadSanitizer too).
TEST_F(MidiIO, SysexAndWordsKeepEachSendersOrderUnderLoad) {
    io.enableSysex(nullptr, nullptr);
    io.setOutputOpen(true);
    backend.clearCalls();
    constexpr unsigned kMessages = 6000, kOtherWords = 3000;
    std::thread other([&] {
        for (unsigned i = 1; i <= kOtherWords; ++i)
            io.sendShortMessage(0x91u | (i & 0x7F) << 8 | (i >> 7 & 0x7F) << 16);
    });
    for (unsigned i = 1; i <= kMessages; ++i) {
        const auto lo = static_cast<std::uint8_t>(i & 0x7F), hi = static_cast<std::uint8_t>(i >> 7);
        if (i % 3 == 0) {
            std::vector<std::uint8_t> sysex(4 + i % 200, 0x55);
            sysex[1] = lo;
            sysex[2] = hi;
            sysex.front() = 0xF0;
            sysex.back() = 0xF7;
            io.sendSysex(sysex.data(), sysex.size());
        } else {
            io.sendShortMessage(0x90u | static_cast<std::uint32_t>(lo) << 8 |
                                static_cast<std::uint32_t>(hi) << 16);
        }
    }
    other.join();
    io.flushSysex();
    const Calls calls = backend.calls();
    const auto sysex = backend.sentLong();
    std::size_t nextSysex = 0;
    unsigned last = 0, lastOther = 0, received = 0, receivedOther = 0;
    for (const std::string& c : calls) {
        unsigned id;
        if (c.starts_with("sysex ")) {
            ASSERT_LT(nextSysex, sysex.size());
            const auto& b = sysex[nextSysex++];
            EXPECT_EQ(b.size(), std::stoul(c.substr(6)));
            id = b[1] | b[2] << 7u;
        } else {
            const auto word = static_cast<unsigned>(std::stoul(c.substr(5), nullptr, 16));
            id = (word >> 8 & 0x7F) | (word >> 16 & 0x7F) << 7;
            if ((word & 0x0F) == 1) {
                EXPECT_GT(id, lastOther) << c;
                lastOther = id;
                ++receivedOther;
                continue;
            }
        }
        EXPECT_GT(id, last) << c;
        last = id;
        ++received;
    }
    EXPECT_EQ(backend.overlappingSends(), 0);
    EXPECT_EQ(received + receivedOther + io.droppedSends() + io.droppedSysex(),
              kMessages + kOtherWords);
}

// --- The plug-in's device parameters ---------------------------------------------------------

class PluginDevices : public ::testing::Test {
protected:
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore settingsScope{store};
    platform::ScriptedMidiBackend backend{{"in A", "in B", "in C", "in D", "in E"},
                                          {"out A", "out B", "out C", "out D", "out E"}};
    platform::ScopedMidiBackend backendScope{backend};
    platform::RecordingNoticeSink notices;
    platform::ScopedNoticeSink noticeScope{notices};
    AEffect* effect = pluginEntry(testsupport::FakeVstHost::callback);
    APlugin& plugin = *static_cast<APlugin*>(effect->object);

    void TearDown() override {
        if (effect) effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
    }
};

TEST_F(PluginDevices, ConstructionWithDefaultsTouchesNoDevice) {
    EXPECT_TRUE(backend.calls().empty());
    EXPECT_EQ(plugin.getParameter(param::InputMidi), 0.0f);
    EXPECT_EQ(plugin.getParameter(param::OutputMidi), 0.0f);
}

TEST_F(PluginDevices, ChoiceValuesSelectRoundedHalfToEven) {
    plugin.setParameter(param::OutputDevice, 2.5f / 256);
    plugin.waitForWorker();
    EXPECT_EQ(plugin.midiDevices().outputDevice(), 2);
    plugin.setParameter(param::OutputDevice, 3.5f / 256);
    plugin.waitForWorker();
    EXPECT_EQ(plugin.midiDevices().outputDevice(), 4);
    plugin.setParameter(param::InputDevice, 1.4f / 256);
    plugin.waitForWorker();
    EXPECT_EQ(plugin.midiDevices().inputDevice(), 1);
    // Beyond the five devices: ignored.
    plugin.setParameter(param::InputDevice, 5.0f / 256);
    plugin.waitForWorker();
    EXPECT_EQ(plugin.midiDevices().inputDevice(), 1);
}

TEST_F(PluginDevices, OpenSwitchesOpenAboveHalfAndReportTheRealState) {
    plugin.setParameter(param::InputDevice, 3.0f / 256);
    plugin.waitForWorker();
    plugin.setParameter(param::InputMidi, 0.5f);
    plugin.waitForWorker();
    EXPECT_FALSE(plugin.midiDevices().inputOpen());
    plugin.setParameter(param::InputMidi, 0.6f);
    plugin.waitForWorker();
    EXPECT_TRUE(plugin.midiDevices().inputOpen());
    EXPECT_EQ(plugin.getParameter(param::InputMidi), 1.0f);
    plugin.setParameter(param::OutputMidi, 1.0f);
    plugin.waitForWorker();
    plugin.setParameter(param::OutputMidi, 0.0f);
    plugin.waitForWorker();
    EXPECT_EQ(backend.calls(), (Calls{"open in 3", "open out 0", "close out"}));
}

TEST_F(PluginDevices, GetParameterReadsTheDeviceStateWhateverWasSet) {
    // Opened from elsewhere (the editor, say) while the stored value says closed.
    plugin.midiDevices().setInputOpen(true);
    EXPECT_EQ(plugin.value(param::InputMidi), 0.0f);
    EXPECT_EQ(plugin.getParameter(param::InputMidi), 1.0f);
    EXPECT_EQ(plugin.value(param::InputMidi), 1.0f);
    // A device that fails to open reads 0.0 again.
    backend.failNextOpen(true, "The device is busy.");
    plugin.setParameter(param::OutputMidi, 1.0f);
    plugin.waitForWorker();
    EXPECT_EQ(plugin.getParameter(param::OutputMidi), 0.0f);
    EXPECT_EQ(plugin.value(param::OutputMidi), 0.0f);
    EXPECT_EQ(plugin.program().values[param::OutputMidi].load(), 1.0f);
    ASSERT_EQ(notices.notices().size(), 1u);
    EXPECT_EQ(notices.notices()[0].text, "The device is busy.");
}

TEST_F(PluginDevices, InputWordsReachTheDeviceHandler) {
    plugin.setParameter(param::InputMidi, 1.0f);
    plugin.waitForWorker();
    backend.deliver(kMidiInData, 0x403C90);
    backend.deliver(kMidiInData, 0);
    backend.deliver(platform::kMidiInLongData, 0x1000);
    backend.deliver(kMidiInData, 0xF8);
    EXPECT_EQ(plugin.deviceInputCount(), 2u);
}

TEST_F(PluginDevices, ClosingThePlugInClosesItsDevices) {
    plugin.setParameter(param::InputMidi, 1.0f);
    plugin.waitForWorker();
    plugin.setParameter(param::OutputMidi, 1.0f);
    plugin.waitForWorker();
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
    effect = nullptr;
    EXPECT_EQ(backend.calls(), (Calls{"open in 0", "open out 0", "close in", "close out"}));
}

// Setting a device parameter and processing never wait for the driver: the process's one
// worker opens the device and sends to it, for every instance.
TEST_F(PluginDevices, TheProcessingThreadLeavesDevicesToTheWorker) {
    backend.holdOpens = true;
    const auto start = std::chrono::steady_clock::now();
    plugin.setParameter(param::OutputMidi, 1.0f);
    effect->processReplacing(effect, nullptr, nullptr, 512);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // held 10 s
    EXPECT_FALSE(plugin.midiDevices().outputOpen());
    backend.holdOpens = false;
    plugin.waitForWorker();
    ASSERT_TRUE(plugin.midiDevices().outputOpen());

    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.midiData[0] = static_cast<char>(0x90);
    note.midiData[1] = 0x3C;
    note.midiData[2] = 0x40;
    VstEvents list{};
    list.numEvents = 1;
    list.events[0] = reinterpret_cast<VstEvent*>(&note);
    effect->dispatcher(effect, effProcessEvents, 0, 0, &list, 0.0f);
    effect->processReplacing(effect, nullptr, nullptr, 512);
    plugin.waitForWorker();
    EXPECT_EQ(backend.calls().back(), "send 00403C90");
    EXPECT_NE(backend.lastCallThread(), std::this_thread::get_id());

    std::vector<AEffect*> more;
    for (int i = 0; i < 15; ++i) more.push_back(pluginEntry(testsupport::FakeVstHost::callback));
    EXPECT_EQ(host::Worker::threads(), 1);
    for (AEffect* e : more) e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
    effect = nullptr;
    EXPECT_EQ(host::Worker::threads(), 0);
}

// --- SysEx through the plug-in's devices --------------------------------------------------------

using testsupport::Bytes;
using testsupport::sysexOf;

class PluginSysex : public ::testing::Test {
protected:
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore settingsScope{store};
    bool optionOn = store.writeDword("Software\\Corvella", "SysEx", 1);
    platform::ScriptedMidiBackend backend{{"in A"}, {"out A"}};
    platform::ScopedMidiBackend backendScope{backend};
    platform::RecordingNoticeSink notices;
    platform::ScopedNoticeSink noticeScope{notices};
    testsupport::FakeVstHost host;
    AEffect* effect = pluginEntry(testsupport::FakeVstHost::callback);
    APlugin& plugin = *static_cast<APlugin*>(effect->object);

    void TearDown() override { effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f); }
    void block() { effect->processReplacing(effect, nullptr, nullptr, 64); }
    // What reached the host but the knobs' words (control changes).
    std::vector<testsupport::Message> hostGot() {
        std::vector<testsupport::Message> got;
        for (const auto& m : host.messages())
            if (!std::holds_alternative<MidiWord>(m) || (std::get<MidiWord>(m) & 0xF0) != 0xB0)
                got.push_back(m);
        return got;
    }
};

TEST_F(PluginSysex, DeviceSysexReachesTheHostWholeAndInOrder) {
    ASSERT_TRUE(backend.longMessages());
    plugin.setParameter(param::InputMidi, 1.0f);
    plugin.waitForWorker();
    block();
    host.clear();
    const Bytes dump = sysexOf(70000);
    backend.deliver(kMidiInData, 0x403C90);
    backend.deliver(platform::kMidiInLongData, reinterpret_cast<std::uintptr_t>(dump.data()),
                    dump.size());
    backend.deliver(kMidiInData, 0x003C80);
    block();
    EXPECT_EQ(hostGot(), (std::vector<testsupport::Message>{0x403C90u, dump, 0x003C80u}));
}

TEST_F(PluginSysex, HostSysexGoesToTheOutputDevice) {
    plugin.setParameter(param::OutputMidi, 1.0f);
    plugin.waitForWorker();
    const Bytes dump = sysexOf(65536);
    VstMidiSysexEvent x{};
    x.type = kVstSysExType;
    x.byteSize = sizeof x;
    x.dumpBytes = static_cast<VstInt32>(dump.size());
    x.sysexDump = const_cast<char*>(reinterpret_cast<const char*>(dump.data()));
    VstEvents list{};
    list.numEvents = 1;
    list.events[0] = reinterpret_cast<VstEvent*>(&x);
    effect->dispatcher(effect, effProcessEvents, 0, 0, &list, 0.0f);
    plugin.midiDevices().flushSysex();
    ASSERT_EQ(backend.sentLong().size(), 1u);
    EXPECT_EQ(backend.sentLong()[0], dump);
    ASSERT_FALSE(hostGot().empty());
    EXPECT_EQ(std::get<Bytes>(hostGot().back()), dump);  // and to the host, unchanged
}

}  // namespace
