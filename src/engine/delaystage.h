// The delay: the delay line and the time each note's delayed note-on leaves it, which exist
// only while delayed output is on and until the line has emptied (made on demand, see
// Handover); the small wait that keeps a few words and their notes' times until they come; the
// line's frame count while it is not there; and the bytes of delayed SysEx messages.
// The processing thread's, but where a function says otherwise.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/delayedsysex.h"
#include "engine/delayline.h"
#include "engine/handover.h"
#include "engine/midiword.h"

class DelayStage {
public:
    // Sizes the SysEx store; on the constructing thread, before any processing call.
    void enableSysex();
    // The thread that prepares storage: makes the line when `wanted` (Handover::prepare).
    bool prepare(bool wanted) { return store_.prepare(wanted); }
    // Words dropped so far by full lines and the wait (any thread).
    std::size_t dropped() const noexcept { return drops_.load(std::memory_order_relaxed); }

    // --- Processing thread ---

    void setDelay(int frames) noexcept {
        frames_ = frames;
        if (DelayLine* line = lineIn(); line && line->delay() != frames) line->setDelay(frames);
    }
    // Sample-accurate: a word leaves `delay` frames after its own frame (not delay + 1 frames
    // after the start of the block that follows).
    void setExact(bool on) noexcept { exact_ = on; }
    bool exact() const noexcept { return exact_; }
    // Takes a made line; the waiting words and their notes' times move into it.
    void take() noexcept {
        if (!store_.get() && store_.waiting()) takeLine();
    }
    // Hands the line back once delayed output is off and the line is empty; true when it did.
    bool handBack(bool delayOut) noexcept { return store_.get() && !delayOut && handBackLine(); }

    // Null while the line is not there.
    const DelayLine* line() noexcept {
        settle();
        return lineIn();
    }
    // The line's frame count (DelayLine::time), with or without the line.
    std::int64_t time() noexcept {
        settle();
        return now();
    }
    // Frames of quiet blocks (the line is empty): only counted, the next other call moves the
    // line on (settle).
    void skipQuiet(long frames) noexcept { idleFrames_ += frames; }
    void settle() noexcept {
        if (idleFrames_ == 0) return;
        if (DelayLine* line = lineIn())
            line->skip(idleFrames_);
        else
            waitTime_ += idleFrames_;
        idleFrames_ = 0;
    }
    bool empty() const noexcept {
        const DelayLine* line = lineIn();
        return line ? line->occupied() == 0 : wait_.size() == 0;
    }
    // The line's frames on, the words leaving passed to `out(word, offset)`.
    template <class Out>
    void advance(long frames, Out&& out) noexcept {
        if (DelayLine* line = lineIn()) [[likely]] {
            line->advance(frames, out);
            return;
        }
        wait_.advance(waitTime_, frames, out);
        waitTime_ += frames;
    }
    // Into the line.
    [[gnu::always_inline]] void insert(MidiWord word, int frame) noexcept {
        DelayLine* line = lineIn();
        if (!line) [[unlikely]]
            insertAt(word, distance(frame));
        else if (exact_)
            line->insertAt(word, distance(frame));
        else
            line->insert(word);
    }
    // A note-on of note `note` (channel << 7 | key) into the line; the time it leaves is kept
    // (noteDue) once it is placed.
    [[gnu::always_inline]] void insertNote(MidiWord word, int frame, std::size_t note) noexcept {
        Store* store = store_.get();
        if (!store) [[unlikely]]
            waitNote(word, frame, note);
        else if (exact_)
            store->dues[note] = store->line.insertAt(word, distance(frame));
        else
            store->line.insert(word, &store->dues[note]);
    }
    // The time the last delayed note-on of `note` leaves the line (DelayLine::time; before now
    // once it has left), or -1 when the line dropped it. Its words placed first (place).
    std::int64_t noteDue(std::size_t note) const noexcept;
    // Into the line `distance` frames on (DelayLine::insertAt), or into the wait while the line
    // is not there; -1 when dropped.
    std::int64_t insertAt(MidiWord word, int distance) noexcept;
    // The distance of a word coming in at `frame`: delay + 1 frames from the block's start, or,
    // sample-accurate, delay frames from the word's own frame, kept within the ring.
    int distance(int frame) const noexcept {
        if (!exact_) return frames_ + 1;
        const long d = static_cast<long>(frame < 0 ? 0 : frame) + frames_;
        return d < DelayLine::kSlots ? static_cast<int>(d) : DelayLine::kSlots - 1;
    }
    // The staged words take their slots (drops counted); a word's due time is known after.
    void place() noexcept {
        if (DelayLine* line = lineIn()) line->place();
    }
    // The frame count now, within a call.
    std::int64_t now() const noexcept {
        const DelayLine* line = lineIn();
        return line ? line->time() : waitTime_;
    }
    // At the end of a call: the drops counted so far become what dropped() answers.
    void publishDrops() noexcept {
        const DelayLine* line = lineIn();
        drops_.store(dropsBefore_ + (line ? line->dropped() : 0), std::memory_order_relaxed);
    }

    // A SysEx into the line as a marker word naming its bytes; false when dropped (no room in
    // the store or the line).
    bool insertSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    // A SysEx marker leaving the line: its bytes (valid until released), and their release.
    const std::uint8_t* sysexData(MidiWord marker) const noexcept;
    std::size_t sysexSize(MidiWord marker) const noexcept;
    void releaseSysex(MidiWord marker) noexcept;

private:
    void takeLine() noexcept;
    bool handBackLine() noexcept;
    static constexpr std::size_t kNotes = 16 * 128;
    struct Store {
        DelayLine line;
        std::array<std::int64_t, kNotes> dues{};
    };
    // While the line is not there: the time of a note-on waiting in the wait.
    struct WaitDue {
        std::int64_t due;
        std::size_t note;
    };

    DelayLine* lineIn() const noexcept {
        Store* store = store_.get();
        return store ? &store->line : nullptr;
    }
    void waitNote(MidiWord word, int frame, std::size_t note) noexcept;

    Handover<Store> store_;
    bool exact_ = false;
    int frames_ = 0;
    std::int64_t waitTime_ = 0;  // the line's frame count while it is not there
    long idleFrames_ = 0;
    // Words dropped by lines handed back and by the wait, and the total shown.
    std::size_t dropsBefore_ = 0;
    std::atomic<std::size_t> drops_{0};
    std::unique_ptr<DelayedSysex> sysex_;  // only when enabled
    DelayWait wait_;                       // while the line is not there
    // Notes whose note-on the wait holds (at most one entry per word in it), and notes whose
    // note-on a full line or wait dropped (bit n for note n).
    std::array<WaitDue, DelayWait::kCapacity> waitDues_{};
    std::size_t waitDueCount_ = 0;
    std::array<std::uint64_t, kNotes / 64> droppedNotes_{};
};
