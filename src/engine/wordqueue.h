// A bounded single-producer, single-consumer queue. Several producer threads may share one
// queue when they serialise among themselves (a lock the consumer never takes); the consumer
// is the processing thread, which drains it without a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

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
    // Consumer side: whether anything waits (one load).
    bool empty() const noexcept {
        return tail_.load(std::memory_order_relaxed) == head_.load(std::memory_order_acquire);
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
