// The delay line: a ring of 32769 packed words, one slot per sample frame, 0 meaning empty.
// A message waits delaySamples + 1 frames; messages aiming at a taken slot move one frame later
// each, so messages for the same frame keep their order. A full ring drops and counts.
//
// An occupancy bitmap lets a block visit only the slots that hold words, and insertion find the
// first free slot a machine word at a time; messages aiming at the same slot as the previous
// one continue from where it landed, so a burst of messages costs O(1) each. Inserted words
// wait in a small stage and are placed together (all of them aim at the same slot, since
// neither the position nor the delay changes in between): every other operation places them
// first, so what the line shows is as if each had been placed at once.
#pragma once

#include <algorithm>
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
        place();
        delay_ = samples;
        hintTarget_ = -1;
    }
    int delay() const noexcept { return delay_; }
    int position() const noexcept { return pos_; }
    void setPosition(int pos) noexcept {
        place();
        pos_ = pos;
        hintTarget_ = -1;
    }
    // The processing thread (they place staged words first).
    int occupied() const noexcept {
        place();
        return occupied_;
    }
    MidiWord slot(int i) const noexcept {
        place();
        return ring_[static_cast<std::size_t>(i)];
    }
    // An empty line takes up the count of frames (see time()) where another left off.
    void resumeAt(std::int64_t time) noexcept {
        place();
        time_ = time;
    }
    // Words dropped so far, counted when they are placed (any thread).
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

    // Puts a word into the first free slot from position + delay + 1 on. A word of 0 changes
    // nothing; a word that finds the ring full is dropped and counted. When it is placed, `due`
    // (if given) gets the frame count (see time()) at which it leaves, or -1 when dropped.
    void insert(MidiWord w, std::int64_t* due = nullptr) noexcept {
        if (w == 0) return;
        if (staged_ == kStage) [[unlikely]]
            place();
        dues_[staged_] = due;
        stage_[staged_++] = w;
    }

    // Puts a word at once into the first free slot from `distance` (0..kSlots-1) frames past
    // the position on (0: it leaves at the first frame of the next advance), after the staged
    // words. Answers the frame count at which it leaves, or -1 when nothing was stored.
    std::int64_t insertAt(MidiWord w, int distance) noexcept {
        if (w == 0) return -1;
        place();
        if (occupied_ == kSlots) {
            dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            return -1;
        }
        int target = pos_ + distance;
        if (target > kSlots - 1) target -= kSlots;
        int i = target >> 6;
        std::uint64_t taken =
            bits_[static_cast<std::size_t>(i)] | ((std::uint64_t{1} << (target & 63)) - 1);
        while (!~taken) {
            if (++i == kWords) i = 0;
            taken = bits_[static_cast<std::size_t>(i)];
        }
        const int k = (i << 6) + std::countr_one(taken);
        ring_[static_cast<std::size_t>(k)] = w;
        bits_[static_cast<std::size_t>(k >> 6)] |= std::uint64_t{1} << (k & 63);
        ++occupied_;
        hintTarget_ = -1;
        return dueOf(k);
    }

    // Frames the position has moved on since construction: a placed word that leaves at
    // time t is still waiting while t >= time().
    std::int64_t time() const noexcept { return time_; }

    // Places the staged words: one after another into the first free slots from the target
    // on, a machine word of the bitmap at a time.
    void place() const noexcept {
        if (staged_ != 0) const_cast<DelayLine*>(this)->placeStaged();
    }

    // Moves the position on by `frames`, clearing the slots passed; `out(word, offset)` gets
    // each word in frame order with its offset from the old position.
    template <class Out>
    void advance(long frames, Out&& out) noexcept {
        if (frames <= 0) return;
        place();
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

    // Moves the position of an empty line on by `frames` (> 0).
    void skip(long frames) noexcept {
        place();
        hintTarget_ = -1;
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
    static constexpr std::size_t kStage = 512;

    void placeStaged() noexcept {
        const std::size_t n = staged_;
        staged_ = 0;
        int target = pos_ + delay_ + 1;
        if (target > kSlots - 1) target -= kSlots;
        // Every slot from the target to the previous landing place is taken while neither the
        // position nor the delay has changed.
        int from = target;
        if (hintTarget_ == target) from = hintSlot_ + 1 == kSlots ? 0 : hintSlot_ + 1;
        int at = from >> 6;
        std::uint64_t bits = bits_[static_cast<std::size_t>(at)];
        std::uint64_t skipped = (std::uint64_t{1} << (from & 63)) - 1;  // before `from`
        int occupied = occupied_;
        int k = -1;
        std::size_t i = 0;
        while (i < n && occupied < kSlots) {
            std::uint64_t free = ~(bits | skipped);
            while (free == 0) {
                bits_[static_cast<std::size_t>(at)] = bits;
                if (++at == kWords) at = 0;
                bits = bits_[static_cast<std::size_t>(at)];
                skipped = 0;
                free = ~bits;
            }
            // The run of free slots from the first free one: its words go in together.
            const int b = std::countr_zero(free);
            std::size_t m = static_cast<std::size_t>(std::countr_zero(~(free >> b)));
            if (m > n - i) m = n - i;
            if (m > static_cast<std::size_t>(kSlots - occupied))
                m = static_cast<std::size_t>(kSlots - occupied);
            const int end = b + static_cast<int>(m);  // 1..64
            const std::uint64_t below =
                end == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << end) - 1;
            bits |= below & (~std::uint64_t{0} << b);
            skipped = below;
            const int first = (at << 6) + b;
            for (std::size_t j = 0; j < m; ++j) {
                ring_[static_cast<std::size_t>(first) + j] = stage_[i + j];
                if (dues_[i + j]) *dues_[i + j] = dueOf(first + static_cast<int>(j));
            }
            k = first + static_cast<int>(m) - 1;
            occupied += static_cast<int>(m);
            i += m;
        }
        for (std::size_t j = i; j < n; ++j)
            if (dues_[j]) *dues_[j] = -1;
        bits_[static_cast<std::size_t>(at)] = bits;
        occupied_ = occupied;
        if (k >= 0) {
            hintTarget_ = target;
            hintSlot_ = k;
        }
        if (i < n)
            dropped_.store(dropped_.load(std::memory_order_relaxed) + (n - i),
                           std::memory_order_relaxed);
    }

    std::int64_t dueOf(int slot) const noexcept {
        return time_ + (slot >= pos_ ? slot - pos_ : slot + kSlots - pos_);
    }

    void movePosition(long frames) noexcept {
        time_ += frames;
        if (frames < kSlots) {
            pos_ += static_cast<int>(frames);
            if (pos_ >= kSlots) pos_ -= kSlots;
        } else {
            pos_ = static_cast<int>((pos_ + frames) % kSlots);
        }
    }

    // Slots [begin, end), each word passed with its slot plus `shift`.
    template <class Out>
    void takeRange(int begin, int end, long shift, Out& out) noexcept {
        // A bitmap word at a time: its taken slots in the range are cleared and counted at
        // once, then their words leave in slot order.
        for (int i = begin >> 6; i << 6 < end && occupied_ > 0; ++i) {
            std::uint64_t word = bits_[static_cast<std::size_t>(i)];
            if (i == begin >> 6) word &= ~std::uint64_t{0} << (begin & 63);
            if (end - (i << 6) < 64) word &= (std::uint64_t{1} << (end - (i << 6))) - 1;
            if (word == 0) continue;
            bits_[static_cast<std::size_t>(i)] &= ~word;
            occupied_ -= std::popcount(word);
            MidiWord* slots = &ring_[static_cast<std::size_t>(i << 6)];
            const long at = (static_cast<long>(i) << 6) + shift;
            do {
                const int b = std::countr_zero(word);
                word &= word - 1;
                const MidiWord w = slots[b];
                slots[b] = 0;
                out(w, at + b);
            } while (word);
        }
    }

    std::array<MidiWord, kSlots> ring_{};
    std::array<MidiWord, kStage> stage_{};
    std::array<std::int64_t*, kStage> dues_{};
    std::size_t staged_ = 0;
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

// A few delayed words while the delay line's ring is not there yet, each at the frame count
// (DelayLine::time) it leaves at, one word per frame as in the ring: a word aiming at a taken
// frame takes the first free one after. They move into the ring, at the same frames, once it
// comes. Processing thread.
class DelayWait {
public:
    static constexpr std::size_t kCapacity = 48;

    // Answers the frame count at which `w` leaves, from `due` on; -1 when full.
    std::int64_t insert(MidiWord w, std::int64_t due) noexcept {
        if (count_ == kCapacity) return -1;
        std::size_t at = 0;
        while (at < count_ && waits_[at].due < due) ++at;
        for (; at < count_ && waits_[at].due == due; ++at) ++due;
        for (std::size_t i = count_; i > at; --i) waits_[i] = waits_[i - 1];
        waits_[at] = {due, w};
        ++count_;
        return due;
    }
    // The words leaving in the `frames` frames from frame count `now`, in order, each with
    // its offset from `now`.
    template <class Out>
    void advance(std::int64_t now, long frames, Out&& out) noexcept {
        std::size_t n = 0;
        while (n < count_ && waits_[n].due < now + frames) ++n;
        for (std::size_t i = 0; i < n; ++i)
            out(waits_[i].word, static_cast<long>(waits_[i].due - now));
        for (std::size_t i = n; i < count_; ++i) waits_[i - n] = waits_[i];
        count_ -= n;
    }
    // Moves every word into `line` (empty, at frame count `now`).
    void moveTo(DelayLine& line, std::int64_t now) noexcept {
        line.resumeAt(now);
        for (std::size_t i = 0; i < count_; ++i)
            line.insertAt(waits_[i].word, static_cast<int>(std::min<std::int64_t>(
                                              waits_[i].due - now, DelayLine::kSlots - 1)));
        count_ = 0;
    }
    std::size_t size() const noexcept { return count_; }

private:
    struct Wait {
        std::int64_t due;
        MidiWord word;
    };
    std::array<Wait, kCapacity> waits_{};
    std::size_t count_ = 0;
};
