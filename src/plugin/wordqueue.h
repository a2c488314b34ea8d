// A bounded single-producer, single-consumer queue of MIDI words. The producers are serialised
// by the chain lock; the consumer is the processing thread, which drains it without a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "plugin/midiword.h"

template <std::size_t Capacity>
class WordQueue {
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

public:
    // False (and the word is counted as dropped) when the queue is full.
    bool push(MidiWord w) noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) == Capacity) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        slots_[head & (Capacity - 1)] = w;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    bool pop(MidiWord& w) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) return false;
        w = slots_[tail & (Capacity - 1)];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    std::array<MidiWord, Capacity> slots_{};
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
    std::atomic<std::size_t> dropped_{0};
};
