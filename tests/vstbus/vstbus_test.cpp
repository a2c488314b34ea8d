// TVstBus over an in-memory block: attach and detach, the bus operations and their failure
// values, labels, the four errors, a block full of bad values, and a writer and a reader on
// two threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

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

TEST_F(VstBusTest, WritesWrapAtCapacityAndReadsStopThere) {
    TVstBus bus{""};
    ASSERT_TRUE(bus.setCapacity(5, 4096));
    for (std::uint32_t i = 0; i < 4095; ++i) ASSERT_TRUE(bus.write(5, i + 1));
    EXPECT_EQ(bus.getWriteIndex(5), 4095);
    EXPECT_TRUE(bus.write(5, 0x7F4090));
    EXPECT_EQ(bus.getWriteIndex(5), 0);
    EXPECT_EQ(bus.read(5, 4095), 0x7F4090u);
    EXPECT_EQ(bus.read(5, 4096), 0u);
    EXPECT_EQ(bus.read(5, -1), 0u);
    EXPECT_EQ(get<std::uint32_t>(5, vstbus::kDataOffset + 4 * 4096), 0u);
    // A full bus starts again at slot 0; the reader sees only what came since.
    bus.write(5, 0x11);
    EXPECT_EQ(bus.read(5, 0), 0x11u);
    EXPECT_EQ(bus.getWriteIndex(5), 1);
    // Capacity 1: every word lands in slot 0 and the index stays 0.
    bus.setCapacity(6, 1);
    EXPECT_TRUE(bus.write(6, 0x22));
    EXPECT_EQ(bus.getWriteIndex(6), 0);
    EXPECT_EQ(bus.read(6, 0), 0x22u);
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
                EXPECT_EQ(bus.write(b, 0x90), usable > 0);
                if (usable > 0) {
                    const std::int32_t index2 = get<std::int32_t>(b, vstbus::kWriteIndexOffset);
                    EXPECT_GE(index2, 0);
                    EXPECT_LT(index2, usable);
                }
                int taken = bus.drain(b, [](std::uint32_t) {});
                EXPECT_GE(taken, 0);
                EXPECT_LE(taken, usable);
                EXPECT_EQ(bus.getWriteIndex(b), 0);
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

// A writer and a reader on two threads, as the message chain and the processing thread use
// one bus: every word arrives once and in order while the writer stays below the capacity.
// ThreadSanitizer runs this too.
TEST_F(VstBusTest, AWriterAndAReaderOnTwoThreadsLoseNothing) {
    TVstBus writer{""}, reader{""};
    writer.setCapacity(8, vstbus::kSenderCapacity);
    constexpr std::uint32_t kCount = 50'000;
    std::atomic<std::uint32_t> failedWrites{0};
    std::thread producer([&] {
        for (std::uint32_t n = 1; n <= kCount; ++n) {
            while (writer.getWriteIndex(8) >= 3000) std::this_thread::yield();
            if (!writer.write(8, n)) ++failedWrites;
        }
    });
    std::uint32_t expected = 1, misplaced = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (expected <= kCount && std::chrono::steady_clock::now() < deadline) {
        reader.drain(8, [&](std::uint32_t w) {
            if (w != expected) ++misplaced;
            expected = w + 1;
        });
    }
    producer.join();
    EXPECT_EQ(failedWrites.load(), 0u);
    EXPECT_EQ(expected, kCount + 1);
    EXPECT_EQ(misplaced, 0u);
    EXPECT_EQ(reader.getWriteIndex(8), 0);
}

// The system's own block: the names are this test's, so nothing meets the user's buses.
TEST(VstBusSystemTest, TheLastParticipantTakesTheBlockAlong) {
    platform::MemorySettingsStore settings;
    platform::RecordingNoticeSink notices;
    platform::ScopedSettingsStore useSettings{settings};
    platform::ScopedNoticeSink useNotices{notices};
    const std::string scope =
        "unit." + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
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

}  // namespace
