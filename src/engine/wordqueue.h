// Bounded queues to the processing thread, which drains them without a lock.
//
// WordQueue: a single-producer, single-consumer queue. Several producer threads may share one
// queue when they serialise among themselves (a lock the consumer never takes).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/midiword.h"

template <std::size_t Capacity, class T = MidiWord>
class WordQueue {
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

public:
    // False (and the item is counted as dropped) when the queue is full. Producer side.
    bool push(const T& w) noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) == Capacity) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        slots_[head & (Capacity - 1)] = w;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    // Consumer side.
    bool pop(T& w) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) return false;
        w = slots_[tail & (Capacity - 1)];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    // Consumer side: whether anything waits.
    bool empty() const noexcept {
        return tail_.load(std::memory_order_relaxed) == head_.load(std::memory_order_acquire);
    }
    // Producer side: whether the consumer has taken every item pushed.
    bool drained() const noexcept {
        return head_.load(std::memory_order_relaxed) == tail_.load(std::memory_order_acquire);
    }
    // Producer side: whether a push would fail.
    bool full() const noexcept {
        return head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire) ==
               Capacity;
    }
    // Producer side: counts an item refused before it was pushed.
    void countDrop() noexcept { dropped_.fetch_add(1, std::memory_order_relaxed); }
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    std::array<T, Capacity> slots_{};
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
    std::atomic<std::size_t> dropped_{0};
};

// SharedQueue: any number of producer threads push without a lock (each claims a slot by
// compare-and-swap on the write count and publishes it through the slot's own count, so the
// consumer never takes a half-written item); one consumer thread at a time pops. A slot's count
// keeps the low 32 bits of the write count (compared as a difference), so a slot of a small
// item takes 16 bytes. A producer stopped between claiming and publishing holds back the items
// behind its slot until it goes on; the consumer never waits for it.
template <std::size_t Capacity, class T>
class SharedQueue {
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");
    static_assert(Capacity <= (std::size_t{1} << 30), "counts are compared in 32 bits");

public:
    SharedQueue() noexcept {
        for (std::size_t i = 0; i < Capacity; ++i)
            slots_[i].published.store(static_cast<std::uint32_t>(i), std::memory_order_relaxed);
    }
    // False (and the item is counted as dropped) when the queue is full. Any thread; lock-free.
    bool push(const T& item) noexcept {
        std::size_t at = head_.load(std::memory_order_relaxed);
        for (;;) {
            Slot& slot = slots_[at & (Capacity - 1)];
            const std::uint32_t published = slot.published.load(std::memory_order_acquire);
            const auto lead = static_cast<std::int32_t>(published - static_cast<std::uint32_t>(at));
            if (lead == 0) {
                if (head_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
                    slot.item = item;
                    slot.published.store(static_cast<std::uint32_t>(at + 1),
                                         std::memory_order_release);
                    return true;
                }
            } else if (lead < 0) {  // the slot still holds the item of the last round
                dropped_.fetch_add(1, std::memory_order_relaxed);
                return false;
            } else {
                at = head_.load(std::memory_order_relaxed);
            }
        }
    }
    // Consumer side.
    bool pop(T& item) noexcept {
        Slot& slot = slots_[tail_ & (Capacity - 1)];
        if (slot.published.load(std::memory_order_acquire) != static_cast<std::uint32_t>(tail_ + 1))
            return false;
        item = slot.item;
        slot.published.store(static_cast<std::uint32_t>(tail_ + Capacity),
                             std::memory_order_release);
        ++tail_;
        return true;
    }
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    struct Slot {
        std::atomic<std::uint32_t> published;
        T item;
    };
    std::array<Slot, Capacity> slots_{};
    std::atomic<std::size_t> head_{0};
    std::size_t tail_ = 0;
    std::atomic<std::size_t> dropped_{0};
};
