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
#include "engine/zeroedarray.h"

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
// behind its slot until it goes on; the consumer never waits for it. A slot keeps its count
// less its own index, so the all-zero queue is the empty one: its slots come zeroed from the
// allocator and are not written (nor backed by memory) until items pass.
template <std::size_t Capacity, class T>
class SharedQueue {
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");
    static_assert(Capacity <= (std::size_t{1} << 30), "counts are compared in 32 bits");

public:
    // False (and the item is counted as dropped) when the queue is full. Any thread; lock-free.
    bool push(const T& item) noexcept {
        std::size_t at = head_.load(std::memory_order_relaxed);
        for (;;) {
            const std::size_t index = at & (Capacity - 1);
            Slot& slot = slots_[index];
            const std::uint32_t published = countOf(slot).load(std::memory_order_acquire);
            const auto lead =
                static_cast<std::int32_t>(published - static_cast<std::uint32_t>(at - index));
            if (lead == 0) {
                if (head_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
                    slot.item = item;
                    countOf(slot).store(static_cast<std::uint32_t>(at + 1 - index),
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
        const std::size_t index = tail_ & (Capacity - 1);
        Slot& slot = slots_[index];
        if (countOf(slot).load(std::memory_order_acquire) !=
            static_cast<std::uint32_t>(tail_ + 1 - index))
            return false;
        item = slot.item;
        countOf(slot).store(static_cast<std::uint32_t>(tail_ + Capacity - index),
                            std::memory_order_release);
        ++tail_;
        return true;
    }
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    struct Slot {
        std::uint32_t published;  // only through countOf()
        T item;
    };
    static std::atomic_ref<std::uint32_t> countOf(Slot& slot) noexcept {
        return std::atomic_ref<std::uint32_t>(slot.published);
    }
    static_assert(alignof(Slot) >= std::atomic_ref<std::uint32_t>::required_alignment);
    ZeroedArray<Slot, Capacity> slots_;
    std::atomic<std::size_t> head_{0};
    std::size_t tail_ = 0;
    std::atomic<std::size_t> dropped_{0};
};
