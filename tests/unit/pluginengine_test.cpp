// The message engine inside the plug-in, driven through its VST 2 interface: chain order,
// replacer, filter, delay line, knobs, sample clock, threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/notice.h"
#include "platform/settings.h"
#include "plugin/plugin.h"
#include "support/fakevsthost.h"
#include "support/manualnoticeclock.h"
#include "support/memorysettingsstore.h"
#include "support/recordingnoticesink.h"
#include "tools/host/vsthost.h"
#include "vst/entry.h"
#include "vstbus/vstbus.h"

namespace {

using testsupport::FakeVstHost;

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        e = pluginEntry(FakeVstHost::callback);
        ASSERT_NE(e, nullptr);
        frames(1);  // the construction knob word (0xB0) leaves here
        forget();
    }
    void TearDown() override {
        e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
        received();
    }
    APlugin& plugin() { return *static_cast<APlugin*>(e->object); }
    void set(int index, float v) { e->setParameter(e, index, v); }
    void choose(int index, int entry) { set(index, static_cast<float>(entry) / 256.0f); }

    // One effProcessEvents call with these words (deltaFrames given or 0).
    void send(const std::vector<MidiWord>& words, VstInt32 delta = 0) {
        host::MidiEventList list = host::MidiEventList::fromWords(words, delta);
        e->dispatcher(e, effProcessEvents, 0, 0, list.get(), 0.0f);
    }
    // Processes frames one at a time so each received word carries its frame.
    void frames(long n) {
        float a[1] = {0.25f}, b[1] = {0.5f};
        float* io[2] = {a, b};
        for (long i = 0; i < n; ++i) {
            e->processReplacing(e, io, io, 1);
            ++host.stamp;
        }
    }
    // What the host received, each word alone in its processEvents call at frame 0 of it.
    std::vector<FakeVstHost::Event>& received() {
        for (const auto& r : host.events) {
            EXPECT_EQ(r.listSize, 1);
            EXPECT_EQ(r.midi.deltaFrames, 0);
        }
        return host.events;
    }
    void forget() {
        received();
        host.clear();
    }
    std::vector<MidiWord> words() {
        std::vector<MidiWord> w;
        for (const auto& r : received()) w.push_back(r.word());
        return w;
    }
    // Sends one word from the host and answers what came straight back.
    MidiWord through(MidiWord w) {
        forget();
        send({w});
        return received().empty() ? 0 : received().back().word();
    }

    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope{store};
    FakeVstHost host;
    AEffect* e = nullptr;
};

}  // namespace

TEST_F(Engine, HostInputFollowsReceiveFromHost) {
    EXPECT_EQ(through(packWord(0x90, 60, 100)), packWord(0x90, 60, 100));
    set(param::ReceiveFromHost, 0.0f);
    EXPECT_EQ(through(packWord(0x90, 60, 100)), 0u);
    // Input from the device still flows (and, off the processing thread, waits for it).
    std::thread([&] { plugin().deviceInput(packWord(0x80, 60, 0)); }).join();
    EXPECT_TRUE(received().empty());
    frames(1);
    EXPECT_EQ(words(), std::vector<MidiWord>{packWord(0x80, 60, 0)});
    set(param::ReceiveFromHost, 0.5f);  // at least 0.5 is on
    EXPECT_EQ(through(packWord(0x90, 1, 1)), packWord(0x90, 1, 1));
}

TEST_F(Engine, ReplacerRewritesMatchingMessages) {
    set(param::Replace, 1.0f);
    choose(31, 0);    // match channel 1
    choose(32, 1);    // note on
    choose(33, 60);   // data1 60
    choose(34, 128);  // data2 ANY
    choose(35, 1);    // new channel 2
    choose(36, 23);   // status NO CHANGE
    choose(37, 130);  // NO CHANGE
    choose(38, 130);
    EXPECT_EQ(through(packWord(0x90, 60, 100)), packWord(0x91, 60, 100));
    EXPECT_EQ(through(packWord(0x91, 60, 100)), packWord(0x91, 60, 100));
    EXPECT_EQ(through(packWord(0x90, 61, 100)), packWord(0x90, 61, 100));

    // Everything ANY, data2 becomes byte 1. The channel is set first: while the match status
    // is ANY or a system status, the channel parameter is ignored.
    choose(31, 16);
    choose(32, 23);
    choose(33, 128);
    choose(35, 16);
    choose(38, 128);
    EXPECT_EQ(through(packWord(0x90, 60, 64)), packWord(0x90, 60, 0x90));
    choose(37, 129);  // data1 becomes byte 3
    choose(38, 129);  // data2 becomes byte 2
    EXPECT_EQ(through(packWord(0x90, 60, 64)), packWord(0x90, 64, 60));

    // Target statuses: pitch wheel keeps the channel, timing clock replaces the whole byte.
    choose(37, 130);
    choose(38, 130);
    choose(36, 6);
    EXPECT_EQ(through(packWord(0x92, 1, 2)), packWord(0xE2, 1, 2));
    choose(36, 15);
    EXPECT_EQ(through(packWord(0x92, 1, 2)), packWord(0xF8, 1, 2));
    set(param::Replace, 0.5f);  // replace needs above 0.5
    EXPECT_EQ(through(packWord(0x92, 1, 2)), packWord(0x92, 1, 2));
}

TEST_F(Engine, FilterTypesAndRows) {
    const MidiWord noteOn = packWord(0x90, 60, 100), noteOff2 = packWord(0x81, 60, 0);
    set(param::FilterType, 0.8f);  // allow only, no rows: nothing passes
    EXPECT_EQ(through(noteOn), 0u);
    set(param::FilterType, 0.3f);  // block only, no rows: everything passes
    EXPECT_EQ(through(noteOn), noteOn);

    // Block cc 7 on channel 5.
    set(11, 1.0f);
    choose(12, 4);
    choose(13, 3);
    choose(14, 7);
    EXPECT_EQ(through(packWord(0xB4, 7, 100)), 0u);
    EXPECT_EQ(through(packWord(0xB0, 7, 100)), packWord(0xB0, 7, 100));
    EXPECT_EQ(through(packWord(0xB4, 8, 100)), packWord(0xB4, 8, 100));
    choose(14, 128);  // cc ANY
    EXPECT_EQ(through(packWord(0xB4, 8, 100)), 0u);

    // Allow only note ons on ALL channels and note offs on channel 2.
    set(param::FilterType, 0.8f);
    choose(12, 16);
    choose(13, 1);
    set(15, 1.0f);
    choose(16, 1);
    choose(17, 0);
    EXPECT_EQ(through(noteOff2), noteOff2);
    EXPECT_EQ(through(packWord(0x82, 60, 0)), 0u);
    EXPECT_EQ(through(packWord(0x9F, 1, 1)), packWord(0x9F, 1, 1));

    // Block the timing clock whatever the row's channel.
    set(param::FilterType, 0.3f);
    set(15, 0.0f);
    choose(12, 9);
    choose(13, 15);
    EXPECT_EQ(through(packWord(0xF8, 0, 0)), 0u);
    EXPECT_EQ(through(packWord(0xFA, 0, 0)), packWord(0xFA, 0, 0));

    // Host values between the choices.
    set(param::FilterType, 0.5f);  // allow only
    EXPECT_EQ(through(packWord(0xFA, 0, 0)), 0u);
    set(param::FilterType, 0.2f);  // block all
    EXPECT_EQ(through(noteOn), 0u);
    set(param::FilterType, 0.9f);  // allow all
    EXPECT_EQ(through(noteOn), noteOn);
}

TEST_F(Engine, DelayCountsFramesAcrossBlocks) {
    set(param::DelayOutput, 1.0f);  // default delay 768
    const long start = host.stamp;
    send({packWord(0x90, 60, 1), packWord(0x90, 60, 2)});
    frames(769);
    EXPECT_TRUE(received().empty());
    frames(2);
    ASSERT_EQ(received().size(), 2u);
    // Frame index 769 counted from the next processing call's first frame (frame 0).
    EXPECT_EQ(received()[0].stamp - start, 769);
    EXPECT_EQ(received()[0].word(), packWord(0x90, 60, 1));
    EXPECT_EQ(received()[1].stamp - start, 770);  // same target: one frame later, in order
}

TEST_F(Engine, DelayEdgeValues) {
    set(param::DelayAmount, 0.0f);
    set(param::DelayOutput, 0.5f);  // exactly 0.5 inserts and emits
    const long start = host.stamp;
    send({packWord(0x90, 1, 1)});
    frames(2);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].stamp - start, 1);  // delay 0 waits one frame
    // Switching the delay off strands nothing visible: waiting words are cleared unsent.
    set(param::DelayAmount, 10.0f / 32767.0f);
    send({packWord(0x90, 2, 2)});
    set(param::DelayOutput, 0.0f);
    frames(20);
    EXPECT_EQ(received().size(), 1u);
    set(param::DelayOutput, 1.0f);
    frames(20);
    EXPECT_EQ(received().size(), 1u);
    // A filtered word leaves the ring untouched.
    set(param::FilterType, 0.0f);
    send({packWord(0x90, 3, 3)});
    set(param::FilterType, 1.0f);
    frames(20);
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(Engine, KnobsBuildTheirMessages) {
    auto knob = [&](int n, int channel, int message, float v) {
        choose(55 + n, channel);
        choose(61 + n, message);
        set(49 + n, v);
    };
    knob(1, 2, 7, 1.0f);
    knob(2, 9, 128, 0.5f);  // every kind on a channel other than 1 at least once
    knob(3, 15, 129, 1.0f);
    knob(4, 0, 130, 1.0f);
    knob(5, 4, 130, 16384.0f / 32768.0f);
    frames(1);  // knob words set away from processing wait for it
    const std::vector<MidiWord> expected = {packWord(0xB2, 7, 127), packWord(0xC9, 64, 0),
                                            packWord(0xDF, 127, 0), packWord(0xE0, 127, 127),
                                            packWord(0xE4, 0, 64)};
    EXPECT_EQ(words(), expected);
    // The same value again, or a new message kind alone, sends nothing.
    forget();
    set(54, 16384.0f / 32768.0f);
    choose(66, 3);
    frames(1);
    EXPECT_TRUE(received().empty());
    // A knob whose word the filter removes is sent again on repetition.
    set(param::FilterType, 0.0f);
    set(50, 0.25f);
    frames(1);
    set(param::FilterType, 1.0f);
    set(50, 0.25f);
    frames(1);
    EXPECT_EQ(words(), std::vector<MidiWord>{packWord(0xB2, 7, 32)});
}

// Knob changes made from the editor's thread while processing is stopped all leave, in order
// and each with the settings of its time, at the first call after the host resumes: here a
// replace to channel 2 switched on after the 32nd.
TEST_F(Engine, KnobChangesWhileSuspendedLeaveOnResume) {
    choose(31, 16);  // any channel
    choose(32, 3);   // control change
    choose(33, 128);
    choose(34, 128);
    choose(35, 1);  // to channel 2, all else kept
    choose(36, 23);
    choose(37, 130);
    choose(38, 130);
    e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
    std::thread([&] {
        for (int i = 1; i <= 40; ++i) {
            if (i == 33) set(param::Replace, 1.0f);
            set(50, static_cast<float>(i) / 127.0f);
        }
    }).join();
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    frames(1);
    std::vector<MidiWord> expected;
    for (unsigned i = 1; i <= 40; ++i) expected.push_back(packWord(i <= 32 ? 0xB0 : 0xB1, 0, i));
    std::vector<MidiWord> sent = words();
    ASSERT_GE(sent.size(), expected.size());
    sent.resize(expected.size());  // the resume's replay of the knobs follows
    EXPECT_EQ(sent, expected);
}

TEST_F(Engine, ProcessLeavesAudioUntouched) {
    std::vector<float> in(512, 0.125f), out(512, -0.5f);
    float* ins[1] = {in.data()};
    float* outs[1] = {out.data()};
    e->processReplacing(e, ins, outs, 512);
    e->process(e, ins, outs, 0);
    e->process(e, ins, outs, -5);
    e->process(e, ins, outs, 512);
    for (float v : in) ASSERT_EQ(v, 0.125f);
    for (float v : out) ASSERT_EQ(v, -0.5f);
}

// Every bus change that leaves a loop warns, at most once a second: the next warning shown
// counts those held back meanwhile (the counter counts them all).
TEST_F(Engine, FeedbackWarningOnBusChangesAtMostOnceASecond) {
    platform::RecordingNoticeSink sink;
    platform::ScopedNoticeSink notices(sink);
    platform::ManualNoticeClock clock;
    choose(param::RecvBus, 3);
    choose(param::SendBus, 3);
    set(param::GetFromBus, 1.0f);
    EXPECT_TRUE(sink.notices().empty());
    set(param::PutToBus, 1.0f);
    for (int i = 0; i < 50; ++i) choose(param::RecvBus, 3);
    plugin().waitForWorker();  // notices are shown by the plug-in's worker
    ASSERT_EQ(sink.notices().size(), 1u);
    EXPECT_EQ(sink.notices()[0].text, "Feedback loop!");
    EXPECT_EQ(sink.notices()[0].caption, "Corvella");
    EXPECT_EQ(sink.notices()[0].kind, platform::NoticeKind::Warning);
    EXPECT_EQ(sink.notices()[0].heldBack, 0u);
    clock.advance(std::chrono::milliseconds(1000));
    choose(param::RecvBus, 3);
    plugin().waitForWorker();
    ASSERT_EQ(sink.notices().size(), 2u);
    EXPECT_EQ(sink.notices()[1].text, "Feedback loop!");
    EXPECT_EQ(sink.notices()[1].heldBack, 50u);
    EXPECT_EQ(plugin().counters().feedbackLoopNotices, 52u);
    choose(param::SendBus, 4);
    plugin().waitForWorker();
    EXPECT_EQ(sink.notices().size(), 2u);
}

// All sources at once: host events and frames on the processing thread, device input on a
// driver thread, knobs and stage and bus switches from an automation thread, and an editor-like
// reader. Every message that no rule drops reaches the host exactly once, and only on the
// processing thread.
TEST_F(Engine, AllSourcesAtOnce) {
    constexpr int kEach = 30000;
    std::atomic<bool> stop{false};
    std::thread::id processingId;
    set(param::Log, 1.0f);  // the log stage and the recording take part too
    frames(1);              // (set on this thread, it takes effect at this thread's next call)
    plugin().waitForWorker();
    frames(1);  // and the log's memory, which the worker made, is taken
    auto process = [&] {
        float buf[64] = {};
        float* io[1] = {buf};
        e->processReplacing(e, io, io, 64);
    };
    std::thread processing([&] {
        processingId = std::this_thread::get_id();
        for (int i = 0; i < kEach; ++i) {
            send({packWord(0x90, static_cast<unsigned>(i % 128), 1)});
            process();
        }
        while (!stop.load()) {
            process();
            std::this_thread::yield();
        }
        process();
    });
    std::thread device([&] {
        for (int i = 0; i < kEach; ++i)
            plugin().deviceInput(packWord(0x80, static_cast<unsigned>(i % 128), 2));
    });
    std::thread automation([&] {
        for (int i = 0; i < kEach; ++i) {
            set(50, (i % 2 ? 0.25f : 0.75f));
            if (i % 10 == 0) {
                // Switches that change no message: an identity replace, a filter without
                // rows, buses nobody else uses.
                set(param::Replace, (i % 20) ? 1.0f : 0.0f);
                choose(35, 16);
                choose(36, 23);
                choose(37, 130);
                choose(38, 130);
                set(param::FilterType, (i % 30) ? 1.0f : 0.3f);
                choose(param::RecvBus, 23);
                choose(param::SendBus, 22);
                set(param::GetFromBus, (i % 40) ? 1.0f : 0.0f);
                set(param::PutToBus, (i % 50) ? 1.0f : 0.0f);
            }
        }
    });
    std::thread reader([&] {
        float sum = 0.0f;
        while (!stop.load())
            for (int i = 0; i < kNumParams; ++i) sum += e->getParameter(e, i);
        EXPECT_GE(sum, 0.0f);
    });
    device.join();
    automation.join();
    stop = true;
    processing.join();
    reader.join();
    set(param::GetFromBus, 0.0f);
    set(param::PutToBus, 0.0f);
    std::lock_guard<std::mutex> lock(host.mutex);
    int notes = 0, offs = 0, knobs = 0;
    for (const auto& r : received()) {
        EXPECT_EQ(r.thread, processingId);
        notes += wordStatus(r.word()) == 0x90;
        offs += wordStatus(r.word()) == 0x80;
        knobs += wordStatus(r.word()) == 0xB0;
    }
    EXPECT_EQ(notes, kEach);
    // Away from the processing thread words wait in a bounded queue; a word that finds it full
    // is counted, never lost silently.
    const auto dropped = plugin().counters().hostQueueDrops;
    EXPECT_EQ(offs + knobs + static_cast<int>(dropped), 2 * kEach);
    EXPECT_EQ(plugin().logLines().size() + plugin().logLines().dropped() + dropped, 3u * kEach);
}

TEST_F(Engine, LogSeesMessagesBeforeReplaceAndFilter) {
    set(param::Log, 1.0f);
    frames(1);
    plugin().waitForWorker();  // switched on from the processing thread: the worker makes the log
    frames(1000);
    set(param::FilterType, 0.0f);  // block all
    send({packWord(0x90, 60, 100)});
    EXPECT_TRUE(received().empty());
    set(param::FilterType, 1.0f);
    set(param::Replace, 1.0f);
    choose(31, 16);
    choose(32, 23);
    choose(33, 128);
    choose(34, 128);
    choose(35, 4);  // everything to channel 5, all else kept
    choose(36, 23);
    choose(37, 130);
    choose(38, 130);
    send({packWord(0xB3, 7, 100)});
    EXPECT_EQ(words(), std::vector<MidiWord>{packWord(0xB4, 7, 100)});
    const auto lines = plugin().logLines().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[1] C 5 (60,100) On");
    EXPECT_EQ(lines[1], "[4] CCM: Channel Volume (7,100)");
    // Clearing empties the list and reads 0 afterwards; a program load that replays the
    // stored 1.0 clears nothing.
    set(param::ClearLog, 1.0f);
    EXPECT_EQ(plugin().logLines().size(), 0u);
    EXPECT_EQ(e->getParameter(e, param::ClearLog), 0.0f);
    send({packWord(0x80, 60, 0)});
    e->dispatcher(e, effSetProgram, 0, 0, nullptr, 0.0f);
    send({packWord(0xF8, 0, 0)});
    const auto after = plugin().logLines().lines();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1], "Timing clock");
    set(param::Log, 0.0f);
    send({packWord(0xF8, 0, 0)});
    EXPECT_EQ(plugin().logLines().size(), 2u);
}

// The buses, seen through a second participant in the same (test-only) block.
TEST_F(Engine, ReceiveAndSendBuses) {
    platform::RecordingNoticeSink sink;
    platform::ScopedNoticeSink notices(sink);
    vstbus::TVstBus peer;
    ASSERT_TRUE(peer.attached());
    constexpr int kIn = 17, kOut = 18;
    peer.setWriteIndex(kIn, 0);
    peer.setWriteIndex(kOut, 0);
    peer.clearFlags(kIn, vstbus::kFlagSoundStream);
    choose(param::RecvBus, kIn);
    choose(param::SendBus, kOut);
    set(param::GetFromBus, 1.0f);
    set(param::PutToBus, 1.0f);
    EXPECT_TRUE(peer.testFlags(kOut, vstbus::kFlagSender));
    EXPECT_EQ(peer.capacity(kOut), vstbus::kSenderCapacity);

    // Three waiting words run the chain three times, in order, and leave the bus empty; each
    // also goes to the host and to the send bus.
    for (MidiWord w : {packWord(0x90, 1, 1), packWord(0x90, 2, 2), packWord(0x90, 3, 3)})
        peer.write(kIn, w);
    frames(1);
    EXPECT_EQ(words(), (std::vector<MidiWord>{packWord(0x90, 1, 1), packWord(0x90, 2, 2),
                                              packWord(0x90, 3, 3)}));
    EXPECT_EQ(peer.getWriteIndex(kIn), 0);
    ASSERT_EQ(peer.getWriteIndex(kOut), 3);
    EXPECT_EQ(peer.read(kOut, 2), packWord(0x90, 3, 3));
    // A word that is no MIDI message is dropped, and the plug-in counts it.
    peer.write(kIn, packWord(0x40, 60, 100));
    frames(1);
    EXPECT_EQ(words().size(), 3u);
    EXPECT_EQ(plugin().counters().busMalformed, 1u);

    // A full send bus keeps the words that wait there; the plug-in counts what it refused.
    EXPECT_EQ(plugin().counters().busDrops, 0u);
    peer.setWriteIndex(kOut, vstbus::kSenderCapacity - 1);
    send({packWord(0x90, 5, 5), packWord(0x90, 6, 6), packWord(0x90, 7, 7)});
    frames(1);
    EXPECT_EQ(peer.getWriteIndex(kOut), vstbus::kSenderCapacity);
    EXPECT_EQ(peer.read(kOut, vstbus::kSenderCapacity - 1), packWord(0x90, 5, 5));
    EXPECT_EQ(peer.read(kOut, 2), packWord(0x90, 3, 3));
    EXPECT_EQ(plugin().counters().busDrops, 2u);
    peer.setWriteIndex(kOut, 0);

    // Moving the send bus clears the sender flag of the old one.
    choose(param::SendBus, 19);
    EXPECT_FALSE(peer.testFlags(kOut, vstbus::kFlagSender));
    EXPECT_TRUE(peer.testFlags(19, vstbus::kFlagSender));
    set(param::PutToBus, 0.0f);

    // A bus that carries a sound stream switches bus reading off and says so once.
    peer.setFlags(kIn, vstbus::kFlagSoundStream);
    peer.write(kIn, packWord(0x90, 4, 4));
    frames(3);
    EXPECT_EQ(e->getParameter(e, param::GetFromBus), 0.0f);
    plugin().waitForWorker();
    ASSERT_EQ(sink.notices().size(), 1u);
    EXPECT_EQ(sink.notices()[0].text, "Stream is sound!");
    EXPECT_EQ(sink.notices()[0].kind, platform::NoticeKind::Error);
    peer.clearFlags(kIn, vstbus::kFlagSoundStream);
    peer.setWriteIndex(kIn, 0);
    peer.clearFlags(19, vstbus::kFlagSender);
}

// Receiving from the bus one sends to: a message comes back once, not in a loop.
TEST_F(Engine, FeedbackThroughOneBusComesBackOnce) {
    platform::RecordingNoticeSink sink;
    platform::ScopedNoticeSink notices(sink);
    vstbus::TVstBus peer;
    constexpr int kBus = 21;
    peer.setWriteIndex(kBus, 0);
    choose(param::RecvBus, kBus);
    choose(param::SendBus, kBus);
    set(param::GetFromBus, 1.0f);
    set(param::PutToBus, 1.0f);
    plugin().waitForWorker();
    EXPECT_EQ(sink.notices().size(), 1u);  // "Feedback loop!"
    send({packWord(0x90, 60, 100)});
    frames(100);
    EXPECT_EQ(words(), (std::vector<MidiWord>{packWord(0x90, 60, 100), packWord(0x90, 60, 100)}));
    // Another participant's words on the same bus still come in.
    peer.write(kBus, packWord(0x80, 60, 0));
    frames(3);
    EXPECT_EQ(received().size(), 3u);
    set(param::GetFromBus, 0.0f);
    set(param::PutToBus, 0.0f);
    peer.setWriteIndex(kBus, 0);
    peer.clearFlags(kBus, vstbus::kFlagSender);
}
