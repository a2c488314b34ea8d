// The bytes of SysEx messages waiting in the delay line. The line holds a marker word per
// message that names its entry here; the entry keeps the bytes until the marker leaves the line
// (sent or passed unsent), then it is released.
//
// Markers may leave in another order than they went in (a shorter delay puts a later message
// ahead of an earlier one), so entries are released in any order. Entries and bytes are taken
// in order from two rings; a released entry frees its room once every entry before it is
// released too. Everything is allocated at construction: storing, reading and releasing never
// allocate. The processing thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

class DelayedSysex {
public:
    // Room for `bytes` bytes in at most `entries` messages (a power of two, up to 1 << 24).
    DelayedSysex(std::size_t bytes, std::size_t entries)
        : capacity_(bytes),
          mask_(entries - 1),
          bytes_(std::make_unique<std::uint8_t[]>(bytes)),
          entries_(std::make_unique<Entry[]>(entries)) {}

    // Copies a message in and answers its handle, or -1 when the store lacks room for it (then
    // nothing is kept). Each message's bytes are kept in one piece.
    long store(const std::uint8_t* data, std::size_t size) noexcept {
        if (size == 0 || head_ - tail_ > mask_) return -1;
        const std::size_t at = byteHead_ % capacity_;
        const std::size_t pad = capacity_ - at < size ? capacity_ - at : 0;
        if (capacity_ - (byteHead_ - byteTail_) < pad + size) return -1;
        const std::size_t handle = head_ & mask_;
        Entry& e = entries_[handle];
        e.offset = (at + pad) % capacity_;
        e.size = size;
        e.end = byteHead_ + pad + size;
        e.live = true;
        std::memcpy(bytes_.get() + e.offset, data, size);
        byteHead_ = e.end;
        ++head_;
        return static_cast<long>(handle);
    }

    // A stored message's bytes, valid until it is released.
    const std::uint8_t* data(std::size_t handle) const noexcept {
        return bytes_.get() + entries_[handle & mask_].offset;
    }
    std::size_t size(std::size_t handle) const noexcept { return entries_[handle & mask_].size; }

    // Gives a stored message's room back (a handle not stored now is ignored).
    void release(std::size_t handle) noexcept {
        Entry& e = entries_[handle & mask_];
        if (!e.live) return;
        e.live = false;
        while (tail_ != head_ && !entries_[tail_ & mask_].live) {
            byteTail_ = entries_[tail_ & mask_].end;
            ++tail_;
        }
        if (tail_ == head_) byteHead_ = byteTail_ = 0;  // empty: the next one starts at 0
    }

    // Messages stored and not yet released.
    std::size_t held() const noexcept {
        std::size_t n = 0;
        for (std::size_t i = tail_; i != head_; ++i) n += entries_[i & mask_].live;
        return n;
    }

private:
    struct Entry {
        std::size_t offset = 0;  // where its bytes start
        std::size_t size = 0;
        std::size_t end = 0;  // the byte count taken once it was stored (its room included)
        bool live = false;
    };

    std::size_t capacity_;
    std::size_t mask_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::unique_ptr<Entry[]> entries_;
    std::size_t head_ = 0, tail_ = 0;          // entries taken and given back, in order
    std::size_t byteHead_ = 0, byteTail_ = 0;  // bytes the same way
};
