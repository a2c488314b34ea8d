// TVstBus over an in-memory block: attach and detach, the bus operations and their failure
// values, labels, the four errors, a block full of bad values, and a writer and a reader on
// two threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "busfakes.h"
#include "support/memorysettingsstore.h"
#include "support/memorysharedmemory.h"
#include "support/recordingnoticesink.h"

using vstbus::TVstBus;

namespace {

class VstBusTest : public ::testing::Test {
protected:
    // Opens the block the way another participant would, to look at and scribble on the bytes.
    std::unique_ptr<platform::SharedBlock> holdBlock() {
        platform::SharedMemoryError error{};
        auto block =
            memory.open({vstbus::kBlockName, vstbus::kLockName}, vstbus::kBlockSize, error);
        EXPECT_TRUE(block);
        return block;
    }
    unsigned char* bytes() { return memory.bytes(vstbus::kBlockName); }
    template <class T>
    T get(int bus, std::size_t offset) {
        T v;
        std::memcpy(&v, bytes() + bus * vstbus::kRecordSize + offset, sizeof v);
        return v;
    }
    template <class T>
    void put(int bus, std::size_t offset, T v) {
        std::memcpy(bytes() + bus * vstbus::kRecordSize + offset, &v, sizeof v);
    }
    std::vector<std::string> noticeTexts() {
        std::vector<std::string> out;
        for (const auto& n : notices.notices()) {
            EXPECT_EQ(n.caption, "Vstbus");
            EXPECT_EQ(n.kind, platform::NoticeKind::Error);
            out.push_back(n.text);
        }
        return out;
    }
    std::vector<unsigned char> headers() { return recordHeaders(bytes()); }

    BusFakes fakes;
    platform::MemorySharedMemory& memory = fakes.memory;
    platform::MemorySettingsStore& settings = fakes.settings;
    platform::RecordingNoticeSink& notices = fakes.notices;
};

TEST_F(VstBusTest, FirstAttachInitialisesEveryRecordAndLaterOnesResetNothing) {
    auto other = holdBlock();
    std::memset(bytes(), 0xAB, vstbus::kBlockSize);
    put<std::uint32_t>(0, vstbus::kBusCountOffset, 0);
    {
        TVstBus first{""};
        ASSERT_TRUE(first.attached());
        EXPECT_EQ(first.participants(), 1u);
        EXPECT_EQ(TVstBus::busCount(), 64);
        for (int b = 0; b < 64; ++b) {
            EXPECT_EQ(get<std::int32_t>(b, vstbus::kWriteIndexOffset), 0) << b;
            EXPECT_EQ(get<std::uint32_t>(b, vstbus::kReservedOffset), 0u) << b;
            EXPECT_EQ(get<std::int32_t>(b, vstbus::kCapacityOffset), 512) << b;
            EXPECT_EQ(get<std::uint16_t>(b, vstbus::kFlagsOffset), 0u) << b;
            // The two spare bytes and the data are left as they were.
            EXPECT_EQ(get<std::uint16_t>(b, vstbus::kFlagsOffset + 2), 0xABABu) << b;
            EXPECT_EQ(first.read(b, 0), 0xABABABABu) << b;
        }
        first.setCapacity(2, 4096);
        first.setFlags(2, vstbus::kFlagSender);
        first.write(2, 0x403C90);
        {
            TVstBus second{""};
            EXPECT_EQ(second.participants(), 2u);
            EXPECT_EQ(second.capacity(2), 4096);
            EXPECT_TRUE(second.testFlags(2, vstbus::kFlagSender));
            EXPECT_EQ(second.getWriteIndex(2), 1);
            EXPECT_EQ(second.read(2, 0), 0x403C90u);
        }
        EXPECT_EQ(first.participants(), 1u);
        // The sender flag stays after its object went.
        EXPECT_TRUE(first.testFlags(2, vstbus::kFlagSender));
    }
    EXPECT_EQ(get<std::uint32_t>(0, vstbus::kBusCountOffset), 0u);
    EXPECT_TRUE(notices.notices().empty());
}

// A full bus keeps what waits and refuses the rest, counting each refused word: 4,096 words
// written at once into a bus of 4,096 all arrive, and of 10,000 the first 4,096 do.
TEST_F(VstBusTest, AFullBusKeepsWhatWaitsAndRefusesAndCountsTheRest) {
    TVstBus bus{""};
    ASSERT_TRUE(bus.setCapacity(5, 4096));
    for (std::uint32_t i = 0; i < 4096; ++i) ASSERT_TRUE(bus.write(5, i + 1));
    EXPECT_EQ(bus.getWriteIndex(5), 4096);
    EXPECT_EQ(bus.read(5, 4095), 4096u);
    EXPECT_EQ(bus.read(5, 4096), 0u);
    EXPECT_EQ(bus.read(5, -1), 0u);
    EXPECT_EQ(bus.dropped(), 0u);
    for (std::uint32_t i = 4096; i < 10'000; ++i) EXPECT_FALSE(bus.write(5, i + 1));
    EXPECT_EQ(bus.dropped(), 10'000u - 4096u);
    EXPECT_EQ(bus.getWriteIndex(5), 4096);
    EXPECT_EQ(get<std::uint32_t>(5, vstbus::kDataOffset + 4 * 4096), 0u);
    std::vector<std::uint32_t> got;
    EXPECT_EQ(bus.drain(5, [&](std::uint32_t w) { got.push_back(w); }), 4096);
    ASSERT_EQ(got.size(), 4096u);
    for (std::uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(got[i], i + 1);
    // Once drained the bus takes words again, from slot 0.
    EXPECT_TRUE(bus.write(5, 0x11));
    EXPECT_EQ(bus.read(5, 0), 0x11u);
    EXPECT_EQ(bus.getWriteIndex(5), 1);
    // Capacity 1 holds one word; capacity 0 holds none. The count is this object's alone.
    TVstBus other{""};
    other.setCapacity(6, 1);
    EXPECT_TRUE(other.write(6, 0x22));
    EXPECT_FALSE(other.write(6, 0x33));
    EXPECT_EQ(other.getWriteIndex(6), 1);
    EXPECT_EQ(other.read(6, 0), 0x22u);
    other.setCapacity(7, 0);
    EXPECT_FALSE(other.write(7, 0x44));
    EXPECT_EQ(other.dropped(), 2u);
    EXPECT_EQ(bus.dropped(), 10'000u - 4096u);
    // A bad bus number is a caller's mistake, not a dropped word.
    EXPECT_FALSE(other.write(64, 0x55));
    EXPECT_EQ(other.dropped(), 2u);
}

TEST_F(VstBusTest, SettersCheckTheirValues) {
    TVstBus bus{""};
    EXPECT_FALSE(bus.setCapacity(0, 40000));
    EXPECT_FALSE(bus.setCapacity(0, -1));
    EXPECT_FALSE(bus.setCapacity(0, 32768));
    EXPECT_EQ(bus.capacity(0), 512);
    EXPECT_TRUE(bus.setCapacity(0, 0));
    EXPECT_TRUE(bus.setCapacity(0, 32767));
    EXPECT_EQ(bus.capacity(0), 32767);

    EXPECT_TRUE(bus.setFlags(1, 0x0030));
    EXPECT_TRUE(bus.testFlags(1, vstbus::kFlagSender));
    EXPECT_TRUE(bus.clearFlags(1, vstbus::kFlagSender));
    EXPECT_FALSE(bus.testFlags(1, vstbus::kFlagSender));
    EXPECT_TRUE(bus.testFlags(1, vstbus::kFlagSoundStream));
    EXPECT_EQ(bus.flags(1), 0x0020);
    EXPECT_TRUE(bus.setWriteIndex(1, 17));
    EXPECT_EQ(bus.getWriteIndex(1), 17);
}

TEST_F(VstBusTest, BadBusNumbersGiveTheFailureValues) {
    TVstBus bus{""};
    const auto before = headers();
    for (int b : {-1, 64, 1000, -2147483647 - 1}) {
        SCOPED_TRACE(b);
        EXPECT_FALSE(bus.write(b, 0x90));
        EXPECT_EQ(bus.read(b, 0), 0u);
        EXPECT_EQ(bus.getWriteIndex(b), -1);
        EXPECT_FALSE(bus.setWriteIndex(b, 0));
        EXPECT_FALSE(bus.testFlags(b, 0xFFFF));
        EXPECT_FALSE(bus.setFlags(b, 0x10));
        EXPECT_FALSE(bus.clearFlags(b, 0x10));
        EXPECT_EQ(bus.capacity(b), -1);
        EXPECT_FALSE(bus.setCapacity(b, 100));
        EXPECT_EQ(bus.drain(b, [](std::uint32_t) { ADD_FAILURE(); }), 0);
        EXPECT_EQ(bus.readLabel(b), "");
        bus.writeLabel(b, "x");
    }
    EXPECT_EQ(before, headers());
    EXPECT_FALSE(settings.readString(vstbus::kLabelKey, "64"));
    EXPECT_FALSE(settings.readString(vstbus::kLabelKey, "-1"));
}

TEST_F(VstBusTest, DrainTakesTheWaitingWordsInOrder) {
    TVstBus bus{""};
    std::vector<std::uint32_t> got;
    auto collect = [&](std::uint32_t w) { got.push_back(w); };
    EXPECT_EQ(bus.drain(3, collect), 0);
    bus.write(3, 0x10);
    bus.write(3, 0x20);
    bus.write(3, 0x30);
    EXPECT_EQ(bus.drain(3, collect), 3);
    EXPECT_EQ(got, (std::vector<std::uint32_t>{0x10, 0x20, 0x30}));
    EXPECT_EQ(bus.getWriteIndex(3), 0);

    // A sound stream is not read, and its words stay.
    bus.setFlags(3, vstbus::kFlagSoundStream);
    EXPECT_EQ(bus.drain(3, collect), 0);  // nothing waits: nothing to report
    bus.write(3, 0x40);
    EXPECT_EQ(bus.drain(3, collect), vstbus::kSoundStream);
    EXPECT_EQ(bus.getWriteIndex(3), 1);
    EXPECT_EQ(got.size(), 3u);
}

TEST_F(VstBusTest, LabelsAreReadOrCreated) {
    {
        TVstBus bus{""};
        ASSERT_TRUE(settings.hasKey(vstbus::kLabelKey));
        for (int b = 0; b < 64; ++b)
            EXPECT_EQ(settings.readString(vstbus::kLabelKey, std::to_string(b)), std::to_string(b));
        bus.writeLabel(9, "Strings");
        EXPECT_EQ(bus.readLabel(9), "Strings");
        // An emptied label reads as empty once and as the bus number after that.
        settings.writeString(vstbus::kLabelKey, "12", "");
        EXPECT_EQ(bus.readLabel(12), "");
        EXPECT_EQ(bus.readLabel(12), "12");
    }
    // A second attach finds the key and keeps the labels.
    TVstBus again{""};
    EXPECT_EQ(again.readLabel(9), "Strings");
}

TEST_F(VstBusTest, AMissingLabelValueIsStoredAsTheBusNumber) {
    ASSERT_TRUE(settings.openKey(vstbus::kLabelKey, true));  // the key exists, its values not
    TVstBus bus{""};
    EXPECT_EQ(bus.readLabel(40), "");
    EXPECT_EQ(settings.readString(vstbus::kLabelKey, "40"), "40");
    EXPECT_EQ(bus.readLabel(40), "40");
    EXPECT_FALSE(settings.readString(vstbus::kLabelKey, "41"));
}

TEST_F(VstBusTest, WithoutSettingsTheBusesStillWork) {
    settings.unavailable = true;
    TVstBus bus{""};
    ASSERT_TRUE(bus.attached());
    EXPECT_EQ(bus.readLabel(1), "");
    bus.writeLabel(1, "x");
    EXPECT_TRUE(bus.write(1, 0x90));
    EXPECT_EQ(bus.getWriteIndex(1), 1);
}

TEST_F(VstBusTest, EachFailureIsANoticeAndLeavesTheObjectUnattached) {
    struct Case {
        bool platform::MemorySharedMemory::*failure;
        const char* text;
    };
    const Case cases[] = {
        {&platform::MemorySharedMemory::failCreate, "Unable to create memory map"},
        {&platform::MemorySharedMemory::failView, "Unable to view memory map"},
        {&platform::MemorySharedMemory::failLockCreate, "Unable to create map mutex"},
        {&platform::MemorySharedMemory::failLockWait, "Unable to lock memory map"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        notices.clear();
        memory.*(c.failure) = true;
        {
            TVstBus bus{""};
            EXPECT_FALSE(bus.attached());
            EXPECT_EQ(noticeTexts(), std::vector<std::string>{c.text});
            EXPECT_EQ(bus.participants(), 0u);
            EXPECT_FALSE(bus.write(0, 0x90));
            EXPECT_EQ(bus.read(0, 0), 0u);
            EXPECT_EQ(bus.getWriteIndex(0), -1);
            EXPECT_FALSE(bus.setWriteIndex(0, 0));
            EXPECT_FALSE(bus.setFlags(0, 0x10));
            EXPECT_FALSE(bus.setCapacity(0, 10));
            EXPECT_EQ(bus.readLabel(0), "");
        }
        memory.*(c.failure) = false;
        // Nothing was counted and no block is left behind.
        EXPECT_EQ(memory.bytes(vstbus::kBlockName), nullptr);
        EXPECT_FALSE(settings.hasKey(vstbus::kLabelKey));
    }
}

TEST_F(VstBusTest, ALockThatTimesOutIsTakenAsHeld) {
    memory.lockTimesOut = true;
    TVstBus bus{""};
    EXPECT_TRUE(bus.attached());
    EXPECT_EQ(bus.participants(), 1u);
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(VstBusTest, TwoObjectsInOneProcessShareTheBusesAndTheLastOneTakesTheBlockAlong) {
    {
        TVstBus sender{""}, receiver{""};
        EXPECT_EQ(receiver.participants(), 2u);
        sender.write(20, 0x3C90);
        std::uint32_t got = 0;
        EXPECT_EQ(receiver.drain(20, [&](std::uint32_t w) { got = w; }), 1);
        EXPECT_EQ(got, 0x3C90u);
        sender.write(21, 1);
    }
    TVstBus fresh{""};
    EXPECT_EQ(fresh.participants(), 1u);
    EXPECT_EQ(fresh.getWriteIndex(21), 0);
}

// Another process may leave anything in the block. Whatever the header fields hold, no access
// leaves the record's data area (the in-memory block is exactly the block's size, so the
// sanitizers see any access past its end) and no other record changes.
TEST_F(VstBusTest, BadValuesInTheBlockNeverReachOutsideTheRecord) {
    TVstBus bus{""};
    const std::int32_t oddValues[] = {-2147483647 - 1, -1,    0,     1,     32734,     32735,
                                      32766,           32767, 32768, 40000, 2147483647};
    for (int b : {0, 31, 62, 63}) {
        for (std::int32_t capacity : oddValues) {
            for (std::int32_t index : oddValues) {
                SCOPED_TRACE(testing::Message()
                             << "bus " << b << " capacity " << capacity << " index " << index);
                put<std::int32_t>(b, vstbus::kCapacityOffset, capacity);
                put<std::int32_t>(b, vstbus::kWriteIndexOffset, index);
                put<std::uint16_t>(b, vstbus::kFlagsOffset, 0);
                auto before = headers();
                const std::int32_t usable = std::clamp(capacity, 0, vstbus::recordRoom(b));
                // The claimed slots are the index's low 16 bits.
                const bool room = (index & 0xFFFF) < usable;
                const std::uint64_t droppedBefore = bus.dropped();
                EXPECT_EQ(bus.write(b, 0x90), room);
                EXPECT_EQ(bus.dropped(), droppedBefore + (room ? 0 : 1));
                if (room) {
                    EXPECT_GE(bus.getWriteIndex(b), 1);
                    EXPECT_LE(bus.getWriteIndex(b), usable);
                }
                int taken = bus.drain(b, [](std::uint32_t) {});
                EXPECT_GE(taken, 0);
                EXPECT_LE(taken, vstbus::recordRoom(b));
                EXPECT_EQ(bus.read(b, vstbus::recordRoom(b)), 0u);
                EXPECT_EQ(bus.read(b, usable), 0u);
                // Only this record's index may have changed.
                auto after = headers();
                const std::size_t at = static_cast<std::size_t>(b) * 20 + 8;
                std::memcpy(&after[at], &before[at], 4);
                EXPECT_EQ(before, after);
            }
        }
    }
}

TEST_F(VstBusTest, ACorruptCountNeverWrapsRound) {
    auto other = holdBlock();
    put<std::uint32_t>(0, vstbus::kBusCountOffset, 0xFFFFFFFFu);
    put<std::int32_t>(4, vstbus::kCapacityOffset, 77);
    {
        TVstBus bus{""};  // brings the count to 0, not to 1: no initialisation
        EXPECT_EQ(bus.participants(), 0u);
        EXPECT_EQ(bus.capacity(4), 77);
    }
    EXPECT_EQ(get<std::uint32_t>(0, vstbus::kBusCountOffset), 0u);
}

// Four writers on four threads and a reader draining at the same time, as instances sending
// to one bus: every numbered payload either arrives once, after its writer's earlier ones, or
// its write answered false and was counted as dropped. ThreadSanitizer runs this too.
TEST_F(VstBusTest, SeveralWritersAndAReaderDeliverEveryWordOnceOrCountIt) {
    constexpr std::uint32_t kWriters = 4, kEach = 60'000;
    TVstBus reader{""};
    reader.setCapacity(8, vstbus::kSenderCapacity);
    std::vector<std::unique_ptr<TVstBus>> writers;
    for (std::uint32_t w = 0; w < kWriters; ++w) writers.push_back(std::make_unique<TVstBus>(""));
    std::vector<std::vector<char>> accepted(kWriters, std::vector<char>(kEach));
    std::atomic<std::uint32_t> running{kWriters};
    std::vector<std::thread> threads;
    for (std::uint32_t w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (std::uint32_t n = 0; n < kEach; ++n) {
                // Paced below the capacity, as a sender that knows its reader keeps up.
                while (writers[w]->getWriteIndex(8) >= 3000) std::this_thread::yield();
                accepted[w][n] = writers[w]->write(8, w << 20 | (n + 1));
            }
            --running;
        });
    }
    std::vector<std::vector<int>> arrived(kWriters, std::vector<int>(kEach));
    std::vector<std::uint32_t> last(kWriters);
    std::uint64_t outOfOrder = 0, strangers = 0;
    const auto take = [&](std::uint32_t word) {
        const std::uint32_t w = word >> 20, n = word & 0xFFFFF;
        if (w >= kWriters || n == 0 || n > kEach) {
            ++strangers;
            return;
        }
        if (n <= last[w]) ++outOfOrder;
        last[w] = n;
        ++arrived[w][n - 1];
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (running.load() > 0 && std::chrono::steady_clock::now() < deadline) reader.drain(8, take);
    for (std::thread& t : threads) t.join();
    reader.drain(8, take);
    std::uint64_t lost = 0, twice = 0, refusedButArrived = 0;
    for (std::uint32_t w = 0; w < kWriters; ++w) {
        std::uint64_t refused = 0;
        for (std::uint32_t n = 0; n < kEach; ++n) {
            refused += !accepted[w][n];
            if (accepted[w][n] && arrived[w][n] == 0) ++lost;
            if (arrived[w][n] > 1) ++twice;
            if (!accepted[w][n] && arrived[w][n] > 0) ++refusedButArrived;
        }
        EXPECT_EQ(writers[w]->dropped(), refused) << "writer " << w;
    }
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(twice, 0u);
    EXPECT_EQ(refusedButArrived, 0u);
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(strangers, 0u);
    EXPECT_EQ(reader.getWriteIndex(8), 0);
}

// Writers that claimed a slot and died before filling it (here: the index moved on by two with
// nothing written) hold up no drain: drains stop at the first such slot until it stayed empty
// for kGiveUpAfter, then give up both and count them; no word an earlier drain took comes out
// of them.
TEST_F(VstBusTest, ASlotClaimedButNeverFilledIsGivenUpNotReadAgain) {
    TVstBus bus{""};
    for (std::uint32_t w : {0x10u, 0x20u, 0x30u}) ASSERT_TRUE(bus.write(9, w));
    std::vector<std::uint32_t> got;
    const auto collect = [&](std::uint32_t w) { got.push_back(w); };
    EXPECT_EQ(bus.drain(9, collect), 3);
    put<std::int32_t>(9, vstbus::kWriteIndexOffset,
                      get<std::int32_t>(9, vstbus::kWriteIndexOffset) + 2);
    ASSERT_TRUE(bus.write(9, 0x40));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bus.drain(9, collect), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    EXPECT_EQ(bus.getWriteIndex(9), 3);
    std::this_thread::sleep_for(vstbus::kGiveUpAfter);
    EXPECT_EQ(bus.drain(9, collect), 1);
    EXPECT_EQ(got, (std::vector<std::uint32_t>{0x10, 0x20, 0x30, 0x40}));
    EXPECT_EQ(bus.givenUp(), 2u);
    EXPECT_EQ(bus.getWriteIndex(9), 0);
    // The bus goes on from slot 0.
    ASSERT_TRUE(bus.write(9, 0x50));
    EXPECT_EQ(bus.drain(9, collect), 1);
    EXPECT_EQ(got.back(), 0x50u);
}

// The system's own block: the names are this test's, so nothing meets the user's buses.
class VstBusSystemTest : public ::testing::Test {
protected:
    // The block and lock names a TVstBus of this test's scope uses.
    platform::SharedBlockNames names() const {
        return {std::string(vstbus::kBlockName) + "." + scope,
                std::string(vstbus::kLockName) + "." + scope};
    }

    platform::MemorySettingsStore settings;
    platform::RecordingNoticeSink notices;
    platform::ScopedSettingsStore useSettings{settings};
    platform::ScopedNoticeSink useNotices{notices};
    const std::string scope =
        "unit." + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
};

TEST_F(VstBusSystemTest, TheLastParticipantTakesTheBlockAlong) {
    {
        TVstBus a{scope}, b{scope};
        ASSERT_TRUE(a.attached());
        EXPECT_EQ(b.participants(), 2u);
        a.write(1, 0x7F3C90);
        EXPECT_EQ(b.read(1, 0), 0x7F3C90u);
        EXPECT_EQ(b.capacity(1), 512);
    }
    TVstBus fresh{scope};
    EXPECT_EQ(fresh.participants(), 1u);
    EXPECT_EQ(fresh.getWriteIndex(1), 0);
    EXPECT_EQ(fresh.read(1, 0), 0u);
    EXPECT_TRUE(notices.notices().empty());
}

using Clock = std::chrono::steady_clock;

#ifndef _WIN32
// Maps of this test's block file in this process.
int blockMappings(const std::string& scope) {
    std::ifstream maps("/proc/self/maps");
    const std::string file = std::string(vstbus::kBlockName) + "." + scope + ".";
    int n = 0;
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find(file);
        if (at != std::string::npos && line.find(vstbus::kWakeSuffix, at) == std::string::npos) ++n;
    }
    return n;
}

// The objects of one process share one mapping of the block, made by the first and undone by
// the last; each still counts as a participant, live ones included.
TEST_F(VstBusSystemTest, TheObjectsOfAProcessShareOneMapping) {
    {
        auto a = std::make_unique<TVstBus>(scope);
        TVstBus b{scope};
        ASSERT_TRUE(b.attached());
        EXPECT_EQ(blockMappings(scope), 1);
        EXPECT_EQ(b.participants(), 2u);
        EXPECT_EQ(b.liveParticipants(), 2u);
        a.reset();
        EXPECT_EQ(blockMappings(scope), 1);
        EXPECT_EQ(b.liveParticipants(), 1u);
        b.write(4, 0x90);
    }
    EXPECT_EQ(blockMappings(scope), 0);
}
#endif

// A reader sleeping on its bus wakes for each word another process writes (a thread where
// there is no fork), whenever it comes: a wake-up lost between the reader's last look and its
// sleep would leave the reader asleep until its timeout. A wait with nothing coming times out.
TEST_F(VstBusSystemTest, AReaderSleepingOnItsBusWakesForEveryWordAndTimesOutWithout) {
    constexpr std::uint32_t kWords = 3000;
    constexpr int kBus = 5;
    TVstBus reader{scope};
    ASSERT_TRUE(reader.attached());
    auto start = Clock::now();
    EXPECT_FALSE(reader.waitForWords(kBus, std::chrono::milliseconds(50)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

    // Gaps of 0 to 255 microseconds, so that words come at every point of the reader's round.
    // The gap is waited out to its end: a sleep this short returns at once on some systems
    // (MinGW under Wine), and a writer that floods the bus only tests a full bus.
    const auto writeAll = [this] {
        TVstBus writer{scope};
        for (std::uint32_t n = 1; n <= kWords; ++n) {
            EXPECT_TRUE(writer.write(kBus, n)) << n;
            const auto gapEnd = Clock::now() + std::chrono::microseconds(n * 7919 % 256);
            std::this_thread::sleep_for(gapEnd - Clock::now());
            while (Clock::now() < gapEnd) std::this_thread::yield();
        }
    };
#ifndef _WIN32
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeAll();
        ::_exit(0);
    }
#else
    std::thread child(writeAll);
#endif
    std::vector<std::uint32_t> got;
    int timedOut = 0;
    start = Clock::now();
    while (got.size() < kWords && Clock::now() - start < std::chrono::seconds(60)) {
        if (!reader.waitForWords(kBus, std::chrono::seconds(2))) ++timedOut;
        reader.drain(kBus, [&](std::uint32_t w) { got.push_back(w); });
    }
#ifndef _WIN32
    int status = 0;
    ::waitpid(child, &status, 0);
#else
    child.join();
#endif
    EXPECT_EQ(timedOut, 0);
    ASSERT_EQ(got.size(), kWords);
    for (std::uint32_t n = 1; n <= kWords; ++n) ASSERT_EQ(got[n - 1], n);
}

#ifndef _WIN32
// A participant killed while it holds the lock: the kernel releases the lock, so the next
// attach and detach go on at once instead of waiting out the lock's timeout, and the killed
// one is no longer counted among the live participants.
TEST_F(VstBusSystemTest, AParticipantKilledHoldingTheLockStallsNobody) {
    TVstBus first{scope};
    ASSERT_TRUE(first.attached());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TVstBus dying{scope};
        platform::SharedMemoryError error{};
        auto block = platform::sharedMemory().open(names(), vstbus::kBlockSize, error);
        const char done =
            block && block->lock(100) == platform::SharedLockResult::Locked ? 'L' : 'F';
        (void)!::write(ready[1], &done, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char got = 0;
    EXPECT_EQ(::read(ready[0], &got, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(got, 'L') << "the child could not take the lock";
    EXPECT_EQ(first.participants(), 2u);
    EXPECT_EQ(first.liveParticipants(), 1u);

    const auto start = Clock::now();
    {
        TVstBus second{scope};
        EXPECT_TRUE(second.attached());
        EXPECT_EQ(second.liveParticipants(), 2u);
    }
    const auto took = Clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_TRUE(notices.notices().empty());
}

// A block whose participants all ended without leaving starts from zero at the next attach.
TEST_F(VstBusSystemTest, ABlockLeftByKilledParticipantsStartsAfresh) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TVstBus dying{scope};
        dying.setCapacity(3, 77);
        dying.write(3, 0x90);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    TVstBus fresh{scope};
    ASSERT_TRUE(fresh.attached());
    EXPECT_EQ(fresh.participants(), 1u);
    EXPECT_EQ(fresh.capacity(3), vstbus::kInitialCapacity);
    EXPECT_EQ(fresh.getWriteIndex(3), 0);
    EXPECT_EQ(fresh.read(3, 0), 0u);
}
#else
// A participant's thread that ended while holding the lock leaves the mutex abandoned; the
// next one to wait for it takes it at once.
TEST_F(VstBusSystemTest, AnAbandonedLockCountsAsTaken) {
    platform::SharedMemoryError error{};
    auto holder = platform::sharedMemory().open(names(), vstbus::kBlockSize, error);
    ASSERT_TRUE(holder);
    std::thread([&] { EXPECT_EQ(holder->lock(100), platform::SharedLockResult::Locked); }).join();
    auto next = platform::sharedMemory().open(names(), vstbus::kBlockSize, error);
    ASSERT_TRUE(next);
    const auto start = Clock::now();
    EXPECT_EQ(next->lock(2000), platform::SharedLockResult::Locked);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    next->unlock();
    TVstBus bus{scope};
    EXPECT_TRUE(bus.attached());
    EXPECT_TRUE(notices.notices().empty());
}
#endif

}  // namespace
