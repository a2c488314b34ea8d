// A bounded queue of whole byte messages (system exclusive dumps) between threads, for the
// engine's device input and the MIDI output device's sender. Nothing here allocates once
// constructed.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace platform {

// The longest message a ring carries.
inline constexpr std::size_t kMaxMessage = 256 * 1024;

// A bounded single-producer, single-consumer queue of whole messages. Producers on several
// threads serialise among themselves (a lock the consumer never takes); the consumer drains it
// without a lock.
class MessageRing {
public:
    // Room for `capacity` bytes (a power of two), each message taking 4 more for its size.
    explicit MessageRing(std::size_t capacity);

    // Producer side: false, with nothing written, when the message does not fit now or is
    // longer than kMaxMessage.
    bool push(const std::uint8_t* data, std::size_t size) noexcept;
    // Consumer side: copies the oldest message into `out` (room for kMaxMessage bytes) and
    // answers its size, or 0 when none waits.
    std::size_t pop(std::uint8_t* out) noexcept;

private:
    void write(std::size_t at, const std::uint8_t* data, std::size_t n) noexcept;
    void read(std::size_t at, std::uint8_t* out, std::size_t n) const noexcept;

    std::size_t mask_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
};

inline MessageRing::MessageRing(std::size_t capacity)
    : mask_(capacity - 1), bytes_(std::make_unique<std::uint8_t[]>(capacity)) {}

inline void MessageRing::write(std::size_t at, const std::uint8_t* data, std::size_t n) noexcept {
    const std::size_t i = at & mask_;
    const std::size_t first = std::min(n, mask_ + 1 - i);
    std::memcpy(bytes_.get() + i, data, first);
    std::memcpy(bytes_.get(), data + first, n - first);
}

inline void MessageRing::read(std::size_t at, std::uint8_t* out, std::size_t n) const noexcept {
    const std::size_t i = at & mask_;
    const std::size_t first = std::min(n, mask_ + 1 - i);
    std::memcpy(out, bytes_.get() + i, first);
    std::memcpy(out + first, bytes_.get(), n - first);
}

inline bool MessageRing::push(const std::uint8_t* data, std::size_t size) noexcept {
    if (size == 0 || size > kMaxMessage) return false;
    const std::size_t head = head_.load(std::memory_order_relaxed);
    const std::size_t used = head - tail_.load(std::memory_order_acquire);
    if (mask_ + 1 - used < size + 4) return false;
    const auto length = static_cast<std::uint32_t>(size);
    std::uint8_t prefix[4];
    std::memcpy(prefix, &length, 4);
    write(head, prefix, 4);
    write(head + 4, data, size);
    head_.store(head + 4 + size, std::memory_order_release);
    return true;
}

inline std::size_t MessageRing::pop(std::uint8_t* out) noexcept {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return 0;
    std::uint8_t prefix[4];
    read(tail, prefix, 4);
    std::uint32_t length;
    std::memcpy(&length, prefix, 4);
    read(tail + 4, out, length);
    tail_.store(tail + 4 + length, std::memory_order_release);
    return length;
}

}  // namespace platform
