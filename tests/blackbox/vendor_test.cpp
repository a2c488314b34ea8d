// The vendor-specific commands through the built plug-in binary, as a host program uses them:
// the log lines, the log file, saving and the counters.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "midifile/mididata.h"
#include "tools/host/pluginlog.h"
#include "tools/host/vsthost.h"

namespace {

class Vendor : public ::testing::Test {
protected:
    void SetUp() override {
        const char* plugin = std::getenv("CORVELLA_PLUGIN");
        ASSERT_NE(plugin, nullptr) << "CORVELLA_PLUGIN is not set";
        ASSERT_TRUE(host.load(plugin)) << host.error();
        ASSERT_NE(host.instantiate(), nullptr) << host.error();
        host.start();
        host.setParameter(4, 1.0f);  // "log?"
        dir = std::filesystem::temp_directory_path() /
              ("corvella-vendor-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        host.stop();
        std::filesystem::remove_all(dir);
    }
    VstIntPtr command(VstIntPtr which, void* ptr, VstInt32 index = CORVELLA_VENDOR_INDEX) {
        return host.dispatch(effVendorSpecific, index, which, ptr);
    }
    // One effProcessEvents call with the messages (status, data1, data2) at deltaFrames 0.
    void sendWords(const std::vector<std::uint32_t>& words) {
        host::MidiEventList list = host::MidiEventList::fromWords(words);
        host.dispatch(effProcessEvents, 0, 0, list.get());
    }
    // As a host's user-interface thread sets a parameter: a feature switched on there has its
    // memory at once, where the processing thread's own switch-on waits for the worker.
    void setFromUi(VstInt32 index, float value) {
        std::thread([&] { host.setParameter(index, value); }).join();
    }
    std::vector<std::string> poll() {
        std::vector<std::string> lines;
        EXPECT_TRUE(log.poll(host, lines));
        return lines;
    }
    static std::uint32_t word(unsigned status, unsigned d1 = 0, unsigned d2 = 0) {
        return status | d1 << 8 | d2 << 16;
    }
    // Volume controller i: its line is easy to tell apart from its neighbours'.
    static std::uint32_t volume(int i) { return word(0xB0 + (i / 128) % 16, 7, i % 128); }
    static std::string volumeLine(int i) {
        return "[" + std::to_string((i / 128) % 16 + 1) + "] CCM: Channel Volume (7," +
               std::to_string(i % 128) + ")";
    }

    host::VstHost host;
    host::PluginLog log;
    std::filesystem::path dir;
};

}  // namespace

TEST_F(Vendor, LinesArriveInOrderWithExactText) {
    sendWords({word(0x90, 60, 100), word(0xB3, 7, 100), word(0xF8), word(0xE0, 0, 0x40)});
    EXPECT_EQ(poll(),
              (std::vector<std::string>{"[1] C 5 (60,100) On", "[4] CCM: Channel Volume (7,100)",
                                        "Timing clock", "[1] Pitchbend (-16384)"}));
    EXPECT_TRUE(poll().empty());
    sendWords({word(0xC0, 5)});
    EXPECT_EQ(poll(), std::vector<std::string>{"[1] Program Change (5)"});
    EXPECT_EQ(log.cursor(), 5u);
    EXPECT_EQ(log.missed(), 0u);
    // Other indexes and unknown commands answer 0 and change nothing.
    CorvellaLogRead r{};
    char buffer[64] = "untouched";
    r.buffer = buffer;
    r.size = sizeof buffer;
    EXPECT_EQ(command(CORVELLA_READ_LOG, &r, 0), 0);
    EXPECT_EQ(command(CORVELLA_READ_LOG, &r, 0x4352564D), 0);
    EXPECT_EQ(command(99, &r), 0);
    EXPECT_STREQ(buffer, "untouched");
}

TEST_F(Vendor, ACallerThatFallsBehindIsToldWhatItMissed) {
    constexpr int kSent = 5137;
    std::vector<std::uint32_t> words;
    for (int i = 0; i < kSent; ++i) words.push_back(volume(i));
    sendWords(words);
    const std::vector<std::string> lines = poll();
    EXPECT_EQ(log.missed(), 137u);
    ASSERT_EQ(lines.size(), 5000u);
    EXPECT_EQ(lines.front(), volumeLine(137));
    EXPECT_EQ(lines[2500], volumeLine(2637));
    EXPECT_EQ(lines.back(), volumeLine(kSent - 1));
    // A clear removes unread lines too; they count as missed.
    sendWords({volume(1), volume(2)});
    host.setParameter(3, 1.0f);  // "clear log!"
    sendWords({volume(3)});
    EXPECT_EQ(poll(), std::vector<std::string>{volumeLine(3)});
    EXPECT_EQ(log.missed(), 139u);
}

TEST_F(Vendor, ATooSmallBufferIsNeverOverrun) {
    sendWords({word(0x90, 60, 100), word(0x80, 60, 0)});  // 19 and 15 characters
    char buffer[64];
    auto read = [&](std::int32_t size, CorvellaLogRead& r) {
        std::memset(buffer, 0x55, sizeof buffer);
        r = CorvellaLogRead{};
        r.buffer = buffer;
        r.size = size;
        return command(CORVELLA_READ_LOG, &r);
    };
    auto untouchedFrom = [&](std::size_t from) {
        for (std::size_t i = from; i < sizeof buffer; ++i)
            if (buffer[i] != 0x55) return false;
        return true;
    };
    CorvellaLogRead r;
    for (std::int32_t size : {1, 10, 20}) {  // the first line needs 21 bytes with '\n' and NUL
        EXPECT_EQ(read(size, r), 0) << size;
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_TRUE(untouchedFrom(1)) << size;
        EXPECT_EQ(r.cursor, 0u);
        EXPECT_EQ(r.pending, 2u);
    }
    EXPECT_EQ(read(21, r), 1);
    EXPECT_STREQ(buffer, "[1] C 5 (60,100) On\n");
    EXPECT_TRUE(untouchedFrom(21));
    EXPECT_EQ(r.pending, 1u);
    EXPECT_EQ(read(36, r), 1);  // one byte short of both lines
    EXPECT_TRUE(untouchedFrom(36));
    r.cursor = 1;
    r.size = 18;
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(command(CORVELLA_READ_LOG, &r), 1);
    EXPECT_STREQ(buffer, "[1] C 5 (60) Off\n");
    EXPECT_TRUE(untouchedFrom(18));
    EXPECT_EQ(r.length, 17);
    // Unusable records are refused outright.
    EXPECT_EQ(read(0, r), -1);
    EXPECT_EQ(command(CORVELLA_READ_LOG, nullptr), -1);
    EXPECT_TRUE(untouchedFrom(0));
}

// Entries carry each line's status and sample clock; the capacity bounds the copy, and records
// of another size or without room are refused untouched.
TEST_F(Vendor, EntriesCarryTheFieldsWithinTheirCapacity) {
    sendWords({word(0x90, 60, 100), word(0xF8), word(0xFE)});
    CorvellaLogEntry entries[3];
    std::memset(entries, 0x55, sizeof entries);
    CorvellaLogEntries r{};
    r.entrySize = sizeof(CorvellaLogEntry);
    r.capacity = 2;
    r.entries = entries;
    EXPECT_EQ(command(CORVELLA_READ_LOG_ENTRIES, &r), 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.cursor, 2u);
    EXPECT_EQ(r.pending, 1u);
    EXPECT_STREQ(entries[0].text, "[1] C 5 (60,100) On");
    EXPECT_EQ(entries[0].length, 19u);
    EXPECT_EQ(entries[0].status, 0x90);
    EXPECT_EQ(entries[0].sampleClock, 0);
    EXPECT_EQ(entries[1].status, 0xF8);
    EXPECT_EQ(entries[1].flags & CORVELLA_LOG_PPQ_VALID, CORVELLA_LOG_PPQ_VALID);
    EXPECT_EQ(static_cast<unsigned char>(entries[2].text[0]), 0x55u);  // beyond the capacity
    EXPECT_EQ(command(CORVELLA_READ_LOG_ENTRIES, &r), 1);
    EXPECT_STREQ(entries[0].text, "Active Sensing");
    r.entrySize = sizeof(CorvellaLogEntry) - 8;
    EXPECT_EQ(command(CORVELLA_READ_LOG_ENTRIES, &r), -1);
    r.entrySize = sizeof(CorvellaLogEntry);
    r.capacity = 0;
    EXPECT_EQ(command(CORVELLA_READ_LOG_ENTRIES, &r), -1);
    EXPECT_EQ(command(CORVELLA_READ_LOG_ENTRIES, nullptr), -1);
}

TEST_F(Vendor, SavesWhereItIsToldWithTheRecordedTicks) {
    const std::string path = (dir / "log.mid").string();
    ASSERT_TRUE(host::setPluginLogFile(host, path));
    std::string name;
    ASSERT_TRUE(host::pluginLogFile(host, name));
    EXPECT_EQ(name, path);
    // A name longer than the caller's buffer: cut, NUL-terminated, and the full length told.
    char small[8];
    CorvellaText t{small, sizeof small, 0};
    EXPECT_EQ(command(CORVELLA_GET_LOG_FILE, &t), 0);
    EXPECT_EQ(t.length, static_cast<std::int32_t>(path.size()));
    EXPECT_EQ(std::string(small), path.substr(0, 7));

    std::vector<host::ScheduledEvent> schedule;
    std::string error;
    ASSERT_TRUE(
        host::parseSchedule("0:0x90 60 100,44100:0x80 60 0,44157:0xF2 16 32", schedule, error));
    for (int b = 0; b < 90; ++b) host.runBlock(schedule);
    ASSERT_TRUE(host::savePluginLog(host, error)) << error;
    EXPECT_EQ(error, "");

    midifile::TMidiData data;
    data.fileName = path;
    data.load();
    ASSERT_EQ(data.trackCount(), 1);
    EXPECT_EQ(data.ppqn(), 192);
    const midifile::TMidiTrackStream& track = *data.track(0);
    std::vector<std::pair<int, int>> messages;  // tick, status
    for (std::int32_t i = 0; i < track.eventCount(); ++i) {
        const midifile::TMidiEvent& e = *track.event(i);
        if (e.status != 0xFF) messages.emplace_back(e.time(), e.status);
    }
    // The clock counts from the frame logging was switched on (1) at 120 bpm: frame 44101 is
    // tick 384.02, frame 44158 tick 384.51. The song position travels as an escape.
    EXPECT_EQ(messages, (std::vector<std::pair<int, int>>{{0, 0x90}, {384, 0x80}, {385, 0xF7}}));
}

TEST_F(Vendor, AFailedSaveLosesNothing) {
    std::string reason;
    EXPECT_FALSE(host::savePluginLog(host, reason));  // no file name yet
    EXPECT_FALSE(reason.empty());
    sendWords({word(0x90, 60, 100), word(0x80, 60, 0), word(0xB0, 64, 127)});
    const std::string bad = (dir / "no such folder" / "log.mid").string();
    ASSERT_TRUE(host::setPluginLogFile(host, bad));
    EXPECT_FALSE(host::savePluginLog(host, reason));
    EXPECT_NE(reason.find(bad), std::string::npos) << reason;
    EXPECT_FALSE(std::filesystem::exists(bad));

    const std::string good = (dir / "log.mid").string();
    ASSERT_TRUE(host::setPluginLogFile(host, good));
    ASSERT_TRUE(host::savePluginLog(host, reason)) << reason;
    midifile::TMidiData data;
    data.fileName = good;
    data.load();
    int messages = 0;
    for (std::int32_t i = 0; i < data.track(0)->eventCount(); ++i)
        messages += data.track(0)->event(i)->status != 0xFF;
    EXPECT_EQ(messages, 3);
}

TEST_F(Vendor, CountersMoveWhenTheDelayLineOrTheRecordingOverflows) {
    CorvellaCounters c;
    ASSERT_TRUE(host::pluginCounters(host, c));
    EXPECT_EQ(c.delayLineDropped, 0u);
    EXPECT_EQ(c.recordingDropped, 0u);

    // A full recording (99,996 events) refuses the rest; a clear starts it empty.
    host.setParameter(3, 1.0f);
    std::vector<std::uint32_t> words;
    for (int i = 0; i < 100'000; ++i) words.push_back(volume(i));
    sendWords(words);
    ASSERT_TRUE(host::pluginCounters(host, c));
    // The cleared recording first takes the host's time signature, then 99,995 messages.
    EXPECT_EQ(c.recordingDropped, 5u);
    EXPECT_EQ(c.logLinesDropped, 95'000u);

    // The delay line holds 32,769 words: the longest delay with more arriving at once.
    setFromUi(7, 1.0f);
    setFromUi(8, 1.0f);
    words.resize(33'000);
    sendWords(words);
    ASSERT_TRUE(host::pluginCounters(host, c));
    EXPECT_EQ(c.delayLineDropped, 33'000u - 32'769u);
    EXPECT_EQ(c.busSendDropped, 0u);

    // A send bus holds 4,096 words while nobody reads it: the rest are refused and counted.
    host.setParameter(8, 0.0f);
    host.setParameter(42, 63.0f / 256.0f);
    host.setParameter(44, 1.0f);
    words.resize(5'000);
    sendWords(words);
    host.setParameter(44, 0.0f);
    ASSERT_TRUE(host::pluginCounters(host, c));
    EXPECT_EQ(c.busSendDropped, 5'000u - 4'096u);

    // A caller with an older, shorter record gets only what fits.
    CorvellaCounters shortRecord{};
    std::memset(&shortRecord, 0xAB, sizeof shortRecord);
    shortRecord.size = offsetof(CorvellaCounters, hostQueueDropped);
    EXPECT_EQ(command(CORVELLA_GET_COUNTERS, &shortRecord), 1);
    EXPECT_EQ(shortRecord.delayLineDropped, 231u);
    EXPECT_EQ(shortRecord.hostQueueDropped, 0xABABABABABABABABu);
}

// The host's user-interface thread sends every command while its processing thread runs
// blocks full of messages (ThreadSanitizer watches this in the tsan build).
TEST_F(Vendor, CommandsFromAnotherThreadWhileProcessing) {
    const std::string path = (dir / "busy.mid").string();
    // The reader starts after the first call: a call that finds the recording's lock held
    // cannot take the log's memory and keeps only what its small buffer holds (counted).
    std::atomic<bool> done{false}, started{false};
    std::thread ui([&] {
        while (!started.load()) std::this_thread::yield();
        host::PluginLog reader;
        std::vector<std::string> lines;
        CorvellaCounters c;
        std::string reason;
        int saves = 0;
        while (!done.load()) {
            EXPECT_TRUE(reader.poll(host, lines));
            EXPECT_TRUE(host::setPluginLogFile(host, path));
            EXPECT_TRUE(host::pluginCounters(host, c));
            if (saves++ < 20) {
                EXPECT_TRUE(host::savePluginLog(host, reason)) << reason;
            }
        }
        EXPECT_TRUE(reader.poll(host, lines));
        EXPECT_EQ(lines.size() + reader.missed(), 200u * 64u);
    });
    std::vector<host::ScheduledEvent> schedule;
    for (long f = 0; f < 200 * 512; f += 8)
        schedule.push_back({f, {static_cast<std::uint8_t>(0x90), 60, 1}, {}});
    for (int b = 0; b < 200; ++b) {
        host.runBlock(schedule);
        started.store(true);
    }
    done.store(true);
    ui.join();
}
