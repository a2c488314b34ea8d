// A memory stream whose whole capacity is reserved as address space at creation and backed
// only as the stream grows, so its memory never moves: references into it stay valid for the
// stream's life.
#pragma once

#include <cstdint>

#include "midifile/stream.h"

namespace midifile {

class TVirtualMemoryStream : public TStream {
public:
    // Reserves capacity bytes and commits the first initialSize of them.
    explicit TVirtualMemoryStream(std::int32_t capacity, std::int32_t initialSize = 0);
    ~TVirtualMemoryStream() override;

    // Growing raises the size by at least the growth step, clamped to the capacity; beyond the
    // capacity raises EVirtualMemory "Size exceeds capacity" and changes nothing. Shrinking
    // gives back the pages that lie wholly at or beyond the new size.
    void setSize(std::int32_t newSize);

    std::int64_t read(void* buffer, std::int64_t count) override;
    std::int64_t write(const void* buffer, std::int64_t count) override;
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;

    std::uint8_t* memory() const noexcept { return memory_; }
    std::int32_t streamSize() const noexcept { return size_; }
    std::int32_t streamPosition() const noexcept { return position_; }
    std::int32_t capacity() const noexcept { return capacity_; }

    static constexpr std::int32_t kGrowthStep = 1024;

private:
    std::uint8_t* memory_ = nullptr;
    std::int32_t size_ = 0;
    std::int32_t position_ = 0;
    std::int32_t capacity_;
    std::int32_t growthStep_ = kGrowthStep;
    std::size_t committed_ = 0;  // bytes backed, a whole number of pages
};

}  // namespace midifile
