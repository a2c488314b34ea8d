#include "midifile/virtualmemorystream.h"

#include <cstring>

#include "midifile/errors.h"
#include "platform/virtualmemory.h"

namespace midifile {

namespace {
const char* const kCannotReserve =
    "Unable to reserve memory: the system has no address space or memory maps left";
const char* const kCannotCommit =
    "Unable to commit memory: the system has no memory or memory maps left";

std::size_t pageCeil(std::size_t v) {
    const std::size_t page = platform::memoryPageSize();
    return (v + page - 1) / page * page;
}
}  // namespace

TVirtualMemoryStream::TVirtualMemoryStream(std::int32_t capacity, std::int32_t initialSize)
    : capacity_(capacity) {
    if (capacity < 0 || initialSize < 0 || initialSize > capacity)
        throw EVirtualMemory("Invalid capacity or initial size");
    if (capacity > 0) {
        memory_ =
            static_cast<std::uint8_t*>(platform::reserveMemory(static_cast<std::size_t>(capacity)));
        if (!memory_) throw EMemoryExhausted(kCannotReserve);
    }
    if (initialSize > 0) {
        if (!platform::commitMemory(memory_, 0, static_cast<std::size_t>(initialSize))) {
            platform::releaseMemory(memory_, static_cast<std::size_t>(capacity_));
            throw EMemoryExhausted(kCannotCommit);
        }
        committed_ = pageCeil(static_cast<std::size_t>(initialSize));
    }
    size_ = initialSize;
}

TVirtualMemoryStream::~TVirtualMemoryStream() {
    platform::releaseMemory(memory_, static_cast<std::size_t>(capacity_));
}

void TVirtualMemoryStream::setSize(std::int32_t newSize) {
    if (newSize == size_) return;
    if (newSize > capacity_) throw EVirtualMemory("Size exceeds capacity");
    if (newSize < 0) throw EVirtualMemory("Negative stream size");
    if (newSize > size_) {
        std::int32_t grow = newSize - size_;
        if (grow < growthStep_) grow = growthStep_;
        if (grow > capacity_ - size_) grow = capacity_ - size_;
        const std::size_t end = static_cast<std::size_t>(size_) + static_cast<std::size_t>(grow);
        if (end > committed_) {
            if (!platform::commitMemory(memory_, committed_, end - committed_))
                throw EMemoryExhausted(kCannotCommit);
            committed_ = pageCeil(end);
        }
        size_ += grow;
    } else {
        // Only pages that hold no byte below the new size go back.
        const std::size_t keep = pageCeil(static_cast<std::size_t>(newSize));
        if (keep < committed_) {
            platform::decommitMemory(memory_, keep, committed_ - keep);
            committed_ = keep;
        }
        size_ = newSize;
    }
}

std::int64_t TVirtualMemoryStream::read(void* buffer, std::int64_t count) {
    if (count <= 0 || position_ >= size_) return 0;
    const std::int64_t n = count < size_ - position_ ? count : size_ - position_;
    std::memcpy(buffer, memory_ + position_, static_cast<std::size_t>(n));
    position_ += static_cast<std::int32_t>(n);
    return n;
}

std::int64_t TVirtualMemoryStream::write(const void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    const std::int64_t end = static_cast<std::int64_t>(position_) + count;
    if (end > capacity_) throw EVirtualMemory("Size exceeds capacity");
    if (end > size_) setSize(static_cast<std::int32_t>(end));
    std::memcpy(memory_ + position_, buffer, static_cast<std::size_t>(count));
    position_ = static_cast<std::int32_t>(end);
    return count;
}

std::int64_t TVirtualMemoryStream::seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t target = offset;
    if (origin == SeekOrigin::Current) target += position_;
    if (origin == SeekOrigin::End) target += size_;
    // A memory stream may stand beyond its end (a write there grows it), never before it.
    if (target < 0 || target > INT32_MAX) return -1;
    position_ = static_cast<std::int32_t>(target);
    return target;
}

}  // namespace midifile
