// The delay line: a ring of 32769 packed words, one slot per sample frame, 0 meaning empty.
// A message waits delaySamples + 1 frames; messages aiming at a taken slot move one frame later
// each, so messages for the same frame keep their order. A full ring drops and counts.
//
// An occupancy bitmap lets a block visit only the slots that hold words, and insertion find the
// first free slot a machine word at a time; messages aiming at the same slot as the previous
// one continue from where it landed, so a burst of messages costs O(1) each.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/midiword.h"

class DelayLine {
public:
    static constexpr int kSlots = 32769;

    DelayLine() noexcept {
        // The bits past the last slot read as taken, so a search for a free slot skips them.
        bits_[kWords - 1] = ~std::uint64_t{0} << (kSlots % 64);
    }

    void setDelay(int samples) noexcept {
        delay_ = samples;
        hintTarget_ = -1;
    }
    int delay() const noexcept { return delay_; }
    int position() const noexcept { return pos_; }
    void setPosition(int pos) noexcept {
        pos_ = pos;
        hintTarget_ = -1;
    }
    int occupied() const noexcept { return occupied_; }
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    MidiWord slot(int i) const noexcept { return ring_[static_cast<std::size_t>(i)]; }

    // Puts a word into the first free slot from position + delay + 1 on. A word of 0 changes
    // nothing; a word that finds the ring full is dropped and counted. Answers the frame count
    // (see time()) at which the word leaves, or -1 when nothing was stored.
    std::int64_t insert(MidiWord w) noexcept { return insertAt(w, delay_ + 1); }

    // As insert, from `distance` (0..kSlots-1) frames past the position on: a distance of 0
    // leaves at the first frame of the next advance.
    std::int64_t insertAt(MidiWord w, int distance) noexcept {
        if (w == 0) return -1;
        if (occupied_ == kSlots) {
            dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            return -1;
        }
        int target = pos_ + distance;
        if (target > kSlots - 1) target -= kSlots;
        // Every slot from the target to the previous landing place is taken while neither the
        // position nor the delay has changed.
        int from = target;
        if (hintTarget_ == target) from = hintSlot_ + 1 == kSlots ? 0 : hintSlot_ + 1;
        const int k = firstFree(from);
        ring_[static_cast<std::size_t>(k)] = w;
        bits_[static_cast<std::size_t>(k >> 6)] |= std::uint64_t{1} << (k & 63);
        ++occupied_;
        hintTarget_ = target;
        hintSlot_ = k;
        return time_ + (k >= pos_ ? k - pos_ : k + kSlots - pos_);
    }

    // Frames the position has moved on since construction: a word that leaves at time t is
    // still waiting while t >= time().
    std::int64_t time() const noexcept { return time_; }

    // Moves the position on by `frames`, clearing the slots passed; `out(word, offset)` gets
    // each word in frame order with its offset from the old position.
    template <class Out>
    void advance(long frames, Out&& out) noexcept {
        if (frames <= 0) return;
        hintTarget_ = -1;
        if (occupied_ == 0) {
            movePosition(frames);
            return;
        }
        long remaining = frames < kSlots ? frames : kSlots;
        long offset = 0;
        int at = pos_;
        while (occupied_ > 0 && remaining > 0) {
            const long span = remaining < kSlots - at ? remaining : kSlots - at;
            takeRange(at, at + static_cast<int>(span), offset - at, out);
            remaining -= span;
            offset += span;
            at = 0;
        }
        movePosition(frames);
    }

    // The word at the current position (0 when empty); the slot is cleared and the position
    // moves on, wrapping from 32768 to 0.
    MidiWord take() noexcept {
        MidiWord got = 0;
        advance(1, [&](MidiWord w, long) { got = w; });
        return got;
    }

private:
    static constexpr int kWords = (kSlots + 63) / 64;

    void movePosition(long frames) noexcept {
        time_ += frames;
        if (frames < kSlots) {
            pos_ += static_cast<int>(frames);
            if (pos_ >= kSlots) pos_ -= kSlots;
        } else {
            pos_ = static_cast<int>((pos_ + frames) % kSlots);
        }
    }

    int firstFree(int from) const noexcept {
        int i = from >> 6;
        std::uint64_t taken =
            bits_[static_cast<std::size_t>(i)] | ((std::uint64_t{1} << (from & 63)) - 1);
        for (;;) {
            if (~taken) return (i << 6) + std::countr_one(taken);
            if (++i == kWords) i = 0;
            taken = bits_[static_cast<std::size_t>(i)];
        }
    }

    // Slots [begin, end), each word passed with its slot plus `shift`.
    template <class Out>
    void takeRange(int begin, int end, long shift, Out& out) noexcept {
        int i = begin >> 6;
        std::uint64_t word =
            bits_[static_cast<std::size_t>(i)] & (~std::uint64_t{0} << (begin & 63));
        for (;;) {
            while (word) {
                const int k = (i << 6) + std::countr_zero(word);
                if (k >= end) return;
                word &= word - 1;
                bits_[static_cast<std::size_t>(i)] &= ~(std::uint64_t{1} << (k & 63));
                MidiWord& s = ring_[static_cast<std::size_t>(k)];
                const MidiWord w = s;
                s = 0;
                --occupied_;
                out(w, k + shift);
                if (occupied_ == 0) return;
            }
            if (++i << 6 >= end) return;
            word = bits_[static_cast<std::size_t>(i)];
        }
    }

    std::array<MidiWord, kSlots> ring_{};
    std::array<std::uint64_t, kWords> bits_{};
    int pos_ = 0;
    int delay_ = 0;
    int occupied_ = 0;
    int hintTarget_ = -1;
    int hintSlot_ = 0;
    std::int64_t time_ = 0;
    // Written by the processing thread only; read from any thread.
    std::atomic<std::size_t> dropped_{0};
};
