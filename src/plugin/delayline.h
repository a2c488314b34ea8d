// The delay line: a ring of 32769 packed words, one slot per sample frame, 0 meaning empty.
// A message waits delaySamples + 1 frames; messages aiming at a taken slot move one frame later
// each, so messages for the same frame keep their order. A full ring drops and counts.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "plugin/midiword.h"

class DelayLine {
public:
    static constexpr int kSlots = 32769;

    void setDelay(int samples) noexcept { delay_ = samples; }
    int delay() const noexcept { return delay_; }
    int position() const noexcept { return pos_; }
    void setPosition(int pos) noexcept { pos_ = pos; }
    int occupied() const noexcept { return occupied_; }
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    MidiWord slot(int i) const noexcept { return ring_[static_cast<std::size_t>(i)]; }

    // Puts a word into the first free slot from position + delay + 1 on. A word of 0 changes
    // nothing; a word that finds the ring full is dropped and counted.
    void insert(MidiWord w) noexcept {
        if (w == 0) return;
        if (occupied_ == kSlots) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        int k = pos_ + delay_;
        do {
            ++k;
            if (k > kSlots - 1) k -= kSlots;
        } while (ring_[static_cast<std::size_t>(k)] != 0);
        ring_[static_cast<std::size_t>(k)] = w;
        ++occupied_;
    }

    // The word at the current position (0 when empty); the slot is cleared and the position
    // moves on, wrapping from 32768 to 0.
    MidiWord take() noexcept {
        MidiWord& s = ring_[static_cast<std::size_t>(pos_)];
        const MidiWord w = s;
        if (w != 0) --occupied_;
        s = 0;
        if (++pos_ > kSlots - 1) pos_ = 0;
        return w;
    }

private:
    std::array<MidiWord, kSlots> ring_{};
    int pos_ = 0;
    int delay_ = 0;
    int occupied_ = 0;
    std::atomic<std::size_t> dropped_{0};
};
