// The recording: ticks, tempo and time-signature events, reset, saving and its threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/notice.h"
#include "platform/settings.h"
#include "plugin/plugin.h"
#include "support/fakevsthost.h"
#include "support/memorysettingsstore.h"
#include "support/recordingnoticesink.h"
#include "tools/host/vsthost.h"
#include "vst/entry.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

std::vector<unsigned char> readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Recording : public ::testing::Test {
protected:
    void SetUp() override {
        host.time.tempo = 120.0;
        host.time.timeSigNumerator = 4;
        host.time.timeSigDenominator = 4;
        host.time.sampleRate = 44100.0;
        e = pluginEntry(testsupport::FakeVstHost::callback);
        ASSERT_NE(e, nullptr);
        dir = std::filesystem::temp_directory_path() /
              ("corvella-rec-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        if (e) e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
        std::filesystem::remove_all(dir);
    }
    APlugin& plugin() { return *static_cast<APlugin*>(e->object); }
    void set(int i, float v) { e->setParameter(e, i, v); }
    void frames(int n) {
        std::vector<float> buf(static_cast<std::size_t>(n) + 1);
        float* io[1] = {buf.data()};
        e->processReplacing(e, io, io, n);
    }
    void sendWord(MidiWord w, VstInt32 delta = 0) {
        host::MidiEventList list = host::MidiEventList::fromWords({w}, delta);
        e->dispatcher(e, effProcessEvents, 0, 0, list.get(), 0.0f);
    }
    // The tick of the recorded message with this status and data1 (the last one recorded).
    std::int32_t tickOf(MidiWord w) {
        std::int32_t tick = -1;
        for (const auto& r : plugin().recordingSnapshot())
            if (r.kind == RecordedEvent::Message && r.bytes[0] == wordStatus(w) &&
                r.bytes[1] == wordData1(w))
                tick = r.tick;
        return tick;
    }
    std::vector<RecordedEvent> meta(RecordedEvent::Kind kind) {
        std::vector<RecordedEvent> out;
        for (const auto& r : plugin().recordingSnapshot())
            if (r.kind == kind) out.push_back(r);
        return out;
    }

    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope{store};
    platform::RecordingNoticeSink notices;
    platform::ScopedNoticeSink noticeScope{notices};
    testsupport::FakeVstHost host;
    AEffect* e = nullptr;
    std::filesystem::path dir;
};

}  // namespace

TEST_F(Recording, TicksFollowTheSampleClockAtTheConversionTempo) {
    set(param::LogMeta, 0.0f);
    set(param::Log, 1.0f);
    EXPECT_EQ(plugin().conversionTempo(), 120.0);  // before any tempo event
    frames(44099);                                 // clock 1 + 44099 = 44100
    sendWord(packWord(0x90, 60, 100));
    EXPECT_EQ(tickOf(packWord(0x90, 60, 0)), 384);  // 120 x 192 x 44100 x 0.016667 / 44100
    sendWord(packWord(0x80, 60, 0), 4410);          // deltaFrames count in
    EXPECT_EQ(tickOf(packWord(0x80, 60, 0)), 422);  // 38.40 + 384.01 rounds to 422
    // Rounded to the nearest tick, not cut: 384.495 stays, 384.504 and 384.704 go up.
    sendWord(packWord(0x80, 61, 0), 56);
    EXPECT_EQ(tickOf(packWord(0x80, 61, 0)), 384);
    sendWord(packWord(0x80, 62, 0), 57);
    EXPECT_EQ(tickOf(packWord(0x80, 62, 0)), 385);
    sendWord(packWord(0x80, 63, 0), 80);
    EXPECT_EQ(tickOf(packWord(0x80, 63, 0)), 385);
    EXPECT_EQ(plugin().recordedEvents(), 5u);
}

TEST_F(Recording, TempoAndTimeSignatureEvents) {
    host.time.timeSigNumerator = 6;
    host.time.timeSigDenominator = 8;
    set(param::Log, 1.0f);  // the clock step at switching on writes the time signature
    frames(0);              // (tempo is 120 already)
    auto sigs = meta(RecordedEvent::TimeSignature);
    ASSERT_EQ(sigs.size(), 1u);
    EXPECT_EQ(std::vector<int>(sigs[0].bytes, sigs[0].bytes + 4), (std::vector<int>{6, 3, 24, 8}));
    EXPECT_TRUE(plugin().takeTimeSigWritten());
    EXPECT_FALSE(plugin().takeTimeSigWritten());
    EXPECT_TRUE(meta(RecordedEvent::Tempo).empty());

    host.time.timeSigNumerator = 3;
    host.time.timeSigDenominator = 2;
    frames(10);
    sigs = meta(RecordedEvent::TimeSignature);
    ASSERT_EQ(sigs.size(), 2u);
    EXPECT_EQ(std::vector<int>(sigs[1].bytes, sigs[1].bytes + 4), (std::vector<int>{3, 1, 24, 8}));

    // 120 to 60 bpm: the event sits at the tick of the old tempo; later ticks count on from it
    // at 60.
    frames(44100 - 11);  // clock 44100
    host.time.tempo = 60.0;
    frames(1);  // clock 44101, tempo step
    auto tempos = meta(RecordedEvent::Tempo);
    ASSERT_EQ(tempos.size(), 1u);
    EXPECT_EQ(tempos[0].tick, 384);
    EXPECT_EQ(std::vector<int>(tempos[0].bytes, tempos[0].bytes + 3),
              (std::vector<int>{0x0F, 0x42, 0x40}));  // 1,000,000 microseconds
    EXPECT_TRUE(plugin().takeTempoWritten());
    sendWord(packWord(0x90, 1, 1));
    EXPECT_EQ(tickOf(packWord(0x90, 1, 1)), 384);  // one frame on at 60 bpm
    // 120 bpm is 07 A1 20; it follows the earlier change.
    frames(44100 - 1);  // clock 88200: one second at 60 bpm, 192 ticks
    host.time.tempo = 120.0;
    frames(1);
    tempos = meta(RecordedEvent::Tempo);
    ASSERT_EQ(tempos.size(), 2u);
    EXPECT_EQ(tempos[1].tick, 576);
    EXPECT_EQ(std::vector<int>(tempos[1].bytes, tempos[1].bytes + 3),
              (std::vector<int>{0x07, 0xA1, 0x20}));
    // Below 1 bpm nothing is written.
    host.time.tempo = 0.5;
    frames(5);
    EXPECT_EQ(meta(RecordedEvent::Tempo).size(), 2u);
    // A host that answers null writes nothing and breaks nothing.
    host.timeAvailable = false;
    host.time.tempo = 90.0;
    frames(5);
    EXPECT_EQ(meta(RecordedEvent::Tempo).size(), 2u);
}

// The host's events come before the block they belong to: the tempo and time signature that
// block reports count for them already.
TEST_F(Recording, EventsInTheBlockOfAChangeTakeTheNewTempo) {
    set(param::Log, 1.0f);
    frames(44099);  // clock 44100, tick 384 at 120 bpm
    host.time.tempo = 60.0;
    host.time.timeSigNumerator = 3;
    sendWord(packWord(0x90, 72, 100));
    sendWord(packWord(0x90, 74, 100), 4410);
    frames(8820);
    const auto events = plugin().recordingSnapshot();
    std::vector<int> kinds;
    for (const auto& r : events)
        if (r.tick == 384) kinds.push_back(r.kind);
    // At the block's first frame: the tempo, the signature, then the message.
    EXPECT_EQ(kinds, (std::vector<int>{RecordedEvent::Tempo, RecordedEvent::TimeSignature,
                                       RecordedEvent::Message}));
    // 4409 frames after the tempo event at 60 bpm, not 4410 more at 120 (tick 422).
    EXPECT_EQ(tickOf(packWord(0x90, 74, 0)), 403);
    frames(44100);
    EXPECT_EQ(meta(RecordedEvent::Tempo).size(), 1u);
}

TEST_F(Recording, LogMetaOffAsksTheHostNothing) {
    set(param::LogMeta, 0.0f);
    set(param::Log, 1.0f);
    const int before = host.timeCalls;
    frames(512);
    EXPECT_EQ(host.timeCalls, before);
    set(param::LogMeta, 1.0f);
    frames(512);
    frames(4096);
    EXPECT_EQ(host.timeCalls, before + 2);  // once per processing call, whatever its length
}

TEST_F(Recording, SavedFileBytes) {
    set(param::LogMeta, 0.0f);
    set(param::Log, 1.0f);
    const auto path = dir / "empty.mid";
    plugin().setLogFileName(path.string());
    ASSERT_TRUE(plugin().saveLogNow());
    const std::vector<unsigned char> empty = {
        'M', 'T',  'h',  'd', 0,   0,   0,   6,   0,   1,   0,   1,
        0,   0xC0,                                                     // format 1, one track, 192
        'M', 'T',  'r',  'k', 0,   0,   0,   20,                       //
        0,   0xFF, 0x21, 0,                                            // 0x21 meta event
        0,   0xFF, 0x03, 8,   'C', 'o', 'r', 'v', 'e', 'l', 'l', 'a',  // track name
        0,   0xFF, 0x2F, 0};
    EXPECT_EQ(readFile(path), empty);
    EXPECT_EQ(e->getParameter(e, param::SaveLog), 0.0f);

    // Messages with running status; system messages readers take back as the same message.
    plugin().setTrackName("Set 1");
    sendWord(packWord(0x90, 60, 100));
    sendWord(packWord(0x90, 62, 100));
    sendWord(packWord(0xF8, 0, 0));
    sendWord(packWord(0x90, 64, 100));
    sendWord(packWord(0xF2, 0x10, 0x20));
    sendWord(packWord(0x45, 0x10, 0));  // no status byte: kept as an escape, not a failed save
    ASSERT_TRUE(plugin().saveLogNow());
    const std::vector<unsigned char> track = {
        0,   0xFF, 0x21, 0,    0,    0xFF, 0x03, 5, 'S', 'e',
        't', ' ',  '1',  0,    0x90, 60,   100,  0, 62,  100,  // running status
        0,   0xF8,                                             // clock, the status alone
        0,   0x90, 64,   100,               // status again after a system message
        0,   0xF7, 3,    0xF2, 0x10, 0x20,  // song position as a sysex escape
        0,   0xF7, 3,    0x45, 0x10, 0,     // the bytes as they came
        0,   0xFF, 0x2F, 0};
    const auto bytes = readFile(path);
    ASSERT_GE(bytes.size(), 22u);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 22, bytes.end()), track);
    // Saving leaves the recording as it was.
    EXPECT_EQ(plugin().recordedEvents(), 6u);
}

TEST_F(Recording, ClearAndSwitchingLoggingOnAgain) {
    set(param::LogMeta, 0.0f);
    set(param::Log, 1.0f);
    frames(1000);
    sendWord(packWord(0x90, 60, 100));
    EXPECT_EQ(plugin().recordedEvents(), 1u);
    set(param::Log, 0.0f);
    frames(1000);
    set(param::Log, 1.0f);  // the clock restarts; the recording stays
    sendWord(packWord(0x80, 60, 0));
    const auto snap = plugin().recordingSnapshot();
    ASSERT_EQ(snap.size(), 2u);
    EXPECT_EQ(snap[0].bytes[0], 0x80);  // merged in time order: tick 0 before tick 9
    frames(44100);
    set(param::ClearLog, 1.0f);
    EXPECT_EQ(plugin().recordedEvents(), 0u);
    sendWord(packWord(0x90, 61, 100));  // the clock restarted at 0
    EXPECT_EQ(tickOf(packWord(0x90, 61, 0)), 0);
}

TEST_F(Recording, SavingFailuresAndNoFileName) {
    set(param::Log, 1.0f);
    set(param::SaveLog, 1.0f);  // no file chosen: nothing is written
    plugin().waitForWorker();
    EXPECT_EQ(e->getParameter(e, param::SaveLog), 0.0f);
    EXPECT_TRUE(notices.notices().empty());
    plugin().setLogFileName((dir / "no-such-folder" / "x.mid").string());
    EXPECT_FALSE(plugin().saveLogNow());
    ASSERT_EQ(notices.notices().size(), 1u);
    EXPECT_NE(notices.notices()[0].text.find("Cannot save the log to"), std::string::npos);
    EXPECT_EQ(e->getParameter(e, param::SaveLog), 1.0f);  // a failed save keeps reading 1.0
}

// The host sets "save log!" from inside a processing call (automation on the audio thread):
// the call returns at once and the worker saves; the file holds a complete recording.
TEST_F(Recording, AutomationSaveRunsOnTheWorker) {
    set(param::Log, 1.0f);
    const auto path = dir / "automated.mid";
    plugin().setLogFileName(path.string());
    for (int i = 0; i < 20000; ++i) sendWord(packWord(0x90, static_cast<unsigned>(i % 128), 1));
    bool ran = false;
    host.duringGetTime = [&] {
        const auto start = std::chrono::steady_clock::now();
        set(param::SaveLog, 1.0f);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
        ran = true;
    };
    frames(64);
    ASSERT_TRUE(ran);
    plugin().waitForWorker();
    EXPECT_EQ(e->getParameter(e, param::SaveLog), 0.0f);
    const auto bytes = readFile(path);
    ASSERT_GT(bytes.size(), 20000u * 2);
    EXPECT_EQ(bytes[bytes.size() - 3], 0xFF);  // a complete file ends with End of Track
    EXPECT_EQ(bytes[bytes.size() - 2], 0x2F);
}

#ifndef _WIN32
namespace {

// The files in a folder, by name.
std::vector<std::string> filesIn(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& f : std::filesystem::directory_iterator(dir))
        names.push_back(f.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A disk that fills up: writes beyond `bytes` fail (with EFBIG, not the signal) in this
// process while the object lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        const rlimit limit{bytes, previous_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

}  // namespace

// A save that fails half-way (the disk full) leaves the last good file as it was and no
// temporary file behind; the file is reached through a link, which stays a link, and the file
// keeps its mode when a later save replaces it.
TEST_F(Recording, AFailedSaveKeepsTheOldFileWhole) {
    set(param::Log, 1.0f);
    const auto file = dir / "log.mid";
    const auto link = dir / "link.mid";
    std::filesystem::create_symlink(file.filename(), link);
    plugin().setLogFileName(link.string());
    sendWord(packWord(0x90, 60, 100));
    ASSERT_TRUE(plugin().saveLogNow());
    std::filesystem::permissions(file, std::filesystem::perms(0640));
    const auto good = readFile(file);
    for (int i = 0; i < 2000; ++i) sendWord(packWord(0x90, static_cast<unsigned>(i % 128), 1));
    {
        FileSizeLimit full(static_cast<rlim_t>(good.size() + 100));
        EXPECT_FALSE(plugin().saveLogNow());
    }
    ASSERT_EQ(notices.notices().size(), 1u);
    EXPECT_EQ(notices.notices()[0].text.rfind("Cannot save the log to " + link.string(), 0), 0u)
        << notices.notices()[0].text;
    EXPECT_EQ(readFile(file), good);
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"link.mid", "log.mid"}));

    ASSERT_TRUE(plugin().saveLogNow());
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_GT(readFile(file).size(), 2000u * 2);
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"link.mid", "log.mid"}));
}

// "save log!" into a FIFO nobody reads, a device or a folder: refused at once with a notice,
// and the instance closes. The recording is more than a pipe holds, so a save that wrote into
// the FIFO would wait for ever.
TEST_F(Recording, SavesRefuseWhatIsNoRegularFile) {
    set(param::Log, 1.0f);
    for (int i = 0; i < 40000; ++i) sendWord(packWord(0x90, static_cast<unsigned>(i % 128), 1));
    const auto fifo = dir / "fifo.mid";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& target : {fifo.string(), std::string("/dev/null"), dir.string()}) {
        notices.clear();
        plugin().setLogFileName(target);
        set(param::SaveLog, 1.0f);
        plugin().waitForWorker();
        ASSERT_EQ(notices.notices().size(), 1u) << target;
        EXPECT_EQ(notices.notices()[0].text, "Cannot save the log to " + target +
                                                 ": Unable to create " + target +
                                                 ": not a regular file");
        EXPECT_EQ(e->getParameter(e, param::SaveLog), 1.0f);
        set(param::SaveLog, 0.0f);
    }
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"fifo.mid"}));
}

// A save whose file takes too long holds a close up for a few seconds only: the close gives
// the save up with a notice, and the save then replaces nothing (nor touches the closed
// instance: AddressSanitizer watches that run).
TEST_F(Recording, CloseGivesUpASaveThatTakesTooLong) {
    struct Hold {
        std::atomic<bool> entered{false}, release{false};
        static void wait(void* context) noexcept {
            auto* h = static_cast<Hold*>(context);
            h->entered.store(true);
            while (!h->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    static Hold hold;  // outlives the test: the worker may still read it
    set(param::Log, 1.0f);
    const auto path = dir / "slow.mid";
    plugin().setLogFileName(path.string());
    plugin().setSaveObserver(&Hold::wait, &hold);
    set(param::SaveLog, 1.0f);
    while (!hold.entered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto start = std::chrono::steady_clock::now();
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    e = nullptr;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, APlugin::kCloseWait);
    EXPECT_LT(took, APlugin::kCloseWait + std::chrono::seconds(2));
    ASSERT_EQ(notices.notices().size(), 1u);
    EXPECT_EQ(notices.notices()[0].text.rfind("Gave up saving the log to " + path.string(), 0), 0u)
        << notices.notices()[0].text;
    hold.release.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(filesIn(dir).empty());
}
#endif

TEST(RecorderJournal, AFullRecordingStopsAndCounts) {
    auto rec = std::make_unique<Recorder>();
    for (std::size_t i = 0; i < Recorder::kCapacity + 5; ++i)
        rec->insert({static_cast<std::int32_t>(i), RecordedEvent::Message, {0x90, 1, 1, 0}});
    EXPECT_EQ(rec->size(), Recorder::kCapacity);
    EXPECT_EQ(rec->dropped(), 5u);
    // Out-of-order ticks go after every event of the same tick.
    Recorder small;
    small.insert({5, RecordedEvent::Message, {0x90, 1, 1, 0}});
    small.insert({5, RecordedEvent::Message, {0x90, 2, 1, 0}});
    small.insert({3, RecordedEvent::Message, {0x90, 3, 1, 0}});
    small.insert({5, RecordedEvent::Message, {0x90, 4, 1, 0}});
    ASSERT_EQ(small.size(), 4u);
    EXPECT_EQ(small[0].bytes[1], 3);
    EXPECT_EQ(small[1].bytes[1], 1);
    EXPECT_EQ(small[3].bytes[1], 4);
}

TEST(RecorderJournal, ProposedFileName) {
    EXPECT_EQ(proposedLogFileName("MyHost 2", 9, 5, 30), "myhost_9530.mid");
    EXPECT_EQ(proposedLogFileName("Ab", 23, 59, 0), "ab_23590.mid");
    EXPECT_EQ(proposedLogFileName("", 0, 0, 0), "corvella_000.mid");
}
