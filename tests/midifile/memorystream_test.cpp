// The reserved memory stream: growth steps, the capacity limit, shrinking.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "midifile/errors.h"
#include "midifile/virtualmemorystream.h"
#include "platform/virtualmemory.h"

using midifile::EVirtualMemory;
using midifile::SeekOrigin;
using midifile::TVirtualMemoryStream;

TEST(VirtualMemoryStream, GrowsInStepsAndClampsToCapacity) {
    TVirtualMemoryStream s(1500, 0);
    std::uint8_t* const base = s.memory();
    s.setSize(15);
    EXPECT_EQ(s.streamSize(), 1024);
    s.setSize(1030);
    EXPECT_EQ(s.streamSize(), 1500);
    try {
        s.setSize(1501);
        FAIL() << "grew past the capacity";
    } catch (const EVirtualMemory& e) {
        EXPECT_STREQ(e.what(), "Size exceeds capacity");
    }
    EXPECT_EQ(s.streamSize(), 1500);
    EXPECT_EQ(s.memory(), base);          // the memory never moves
    std::memset(s.memory(), 0xAB, 1500);  // every byte up to the capacity is usable
}

TEST(VirtualMemoryStream, WriteGrowsAndFailedWriteChangesNothing) {
    TVirtualMemoryStream s(2000, 0);
    const char text[] = "0123456789";
    EXPECT_EQ(s.write(text, 10), 10);
    EXPECT_EQ(s.streamSize(), 1024);
    EXPECT_EQ(s.streamPosition(), 10);

    std::vector<char> big(1500, 'x');
    s.seek(1000, SeekOrigin::Begin);
    EXPECT_THROW(s.write(big.data(), 1500), EVirtualMemory);
    EXPECT_EQ(s.streamSize(), 1024);
    EXPECT_EQ(s.streamPosition(), 1000);

    char back[10] = {};
    s.seek(0, SeekOrigin::Begin);
    EXPECT_EQ(s.read(back, 10), 10);
    EXPECT_EQ(std::memcmp(back, text, 10), 0);
    // Reading stops at the size.
    s.seek(-4, SeekOrigin::End);
    EXPECT_EQ(s.read(big.data(), 100), 4);
    EXPECT_EQ(s.read(big.data(), 100), 0);
}

TEST(VirtualMemoryStream, ShrinkKeepsBytesBelowNewSizeAndRegrowsZeroed) {
    const auto page = static_cast<std::int32_t>(platform::memoryPageSize());
    TVirtualMemoryStream s(page * 6, page * 4);
    for (std::int32_t i = 0; i < page * 4; ++i) s.memory()[i] = static_cast<std::uint8_t>(i * 7);
    const std::int32_t cut = page + 7;  // not a page boundary
    s.setSize(cut);
    EXPECT_EQ(s.streamSize(), cut);
    for (std::int32_t i = 0; i < cut; ++i)
        ASSERT_EQ(s.memory()[i], static_cast<std::uint8_t>(i * 7)) << "byte " << i;
    // The rest of the page that holds the last byte stays committed; later pages come back.
    s.setSize(page * 5);
    EXPECT_EQ(s.streamSize(), page * 5);
    s.memory()[page * 5 - 1] = 1;
    EXPECT_EQ(s.memory()[page * 3], 0);
}

TEST(VirtualMemoryStream, InitialSizeIsCommittedAndCapacityZeroIsEmpty) {
    TVirtualMemoryStream s(10000, 5000);
    EXPECT_EQ(s.streamSize(), 5000);
    std::memset(s.memory(), 1, 5000);
    TVirtualMemoryStream none(0, 0);
    EXPECT_EQ(none.streamSize(), 0);
    EXPECT_THROW(none.setSize(1), EVirtualMemory);
}
