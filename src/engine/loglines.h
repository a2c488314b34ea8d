// The lines of the MIDI log on their way from the processing thread to readers (the editor on
// the user-interface thread, the vendor command on any thread). A fixed ring of line slots:
// appending never allocates, and once the ring holds its 5,000 lines the oldest is dropped.
//
// Lock-free for the one producer: appending never waits, whatever readers do. Each slot carries
// a sequence tag (a seqlock): the producer clears the tag, stores the line and sets the tag to
// the line's number + 1; a reader copies the slot and keeps the copy only when the tag was the
// same before and after. Text and fields sit in atomic words so that a copy that overlaps a
// write is a discarded copy, never a data race. Readers trim by moving the number of the oldest
// line held forward; they never touch a slot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/logentry.h"
#include "engine/midiword.h"

class LogLines {
public:
    static constexpr std::size_t kCapacity = 5000;
    static constexpr std::size_t kLineLength = 255;
    static constexpr std::size_t kTextWords = (kLineLength + 8) / 8;  // text words of a slot

    // The slots of a ring, made and released away from the producer (see attach).
    struct Ring;
    // Makes the slots, every page written (any thread but the producer's).
    static std::unique_ptr<Ring> makeRing();

    // With its own ring, or (withRing false) none until one is attached.
    explicit LogLines(bool withRing = true);
    ~LogLines();

    // --- The producer, only while no line is held (size() is 0) ---

    // Lines go into `ring` from now on; the ring stays the caller's.
    void attach(Ring* ring) noexcept;
    // The producer stops using its ring and answers it; readers may still be copying from it
    // until waitForReaders returns.
    Ring* detach() noexcept;
    bool hasRing() const noexcept { return ring_.load(std::memory_order_relaxed) != nullptr; }
    // Any thread but the producer's: returns once no reader still copies from a ring detached
    // before the call.
    void waitForReaders() const { std::lock_guard<std::mutex> lock(readers_); }

    // --- One producer thread at a time (the processing thread), with a ring attached ---

    // Appends a line (cut to 255 characters); drops the oldest line when full.
    void append(const char* text, std::size_t length, const LogLineInfo& info = {}) noexcept {
        std::uint64_t seq = appended_.load(std::memory_order_relaxed);
        store(seq++, text, length, info, false);
        appended_.store(seq, std::memory_order_release);
    }
    void append(const std::string& text, const LogLineInfo& info = {}) noexcept {
        append(text.data(), text.size(), info);
    }
    // Appends a message's line: the word is kept, and readers write its text (writeLogLine)
    // when they copy the line, so the producer formats nothing.
    void appendMessage(MidiWord word, const LogLineInfo& info = {}) noexcept {
        std::uint64_t seq = appended_.load(std::memory_order_relaxed);
        store(seq++, nullptr, 0, info, false, kMessageLine | word);
        appended_.store(seq, std::memory_order_release);
    }
    // Appends `n` lines, published together: `get(i, length, info, message)` answers line i's
    // text (readable in whole 8-byte words up to its length rounded up) and sets its length and
    // fields (`info` keeps what the previous line's call left in it); or, for a message's line,
    // sets `message` to kMessageLine | its word and answers no text. Drops the oldest lines
    // when full.
    template <class Get>
    void appendBatch(std::size_t n, Get&& get) noexcept {
        std::uint64_t seq = appended_.load(std::memory_order_relaxed);
        LogLineInfo info;
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t length = 0;
            std::uint64_t message = 0;
            const char* text = get(i, length, info, message);
            store(seq++, text, length, info, true, message);
        }
        appended_.store(seq, std::memory_order_release);
    }
    static constexpr std::uint64_t kMessageLine = std::uint64_t{1} << 32;

    // --- Any thread ---

    std::size_t size() const noexcept;
    // Line i counting from the oldest; empty when i is out of range.
    std::string line(std::size_t i) const;
    std::vector<std::string> lines(std::size_t from = 0) const;
    // Removes the oldest lines until at most `keep` remain.
    void keepNewest(std::size_t keep) noexcept;
    void clear() noexcept;
    // Lines dropped because the ring was full.
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

    // Lines ever appended. The line appended n-th (from 0) carries the sequence number n, so a
    // reader that keeps the number of the next line it wants sees what it missed when the
    // bound, a clear or a trim removed lines it had not read.
    std::uint64_t appended() const noexcept { return appended_.load(std::memory_order_acquire); }
    // The number of the oldest line held.
    std::uint64_t oldest() const noexcept;
    // Copies the line numbered `seq` into `out` (kLineLength bytes) and answers its length. When
    // that line is gone, seq moves to the oldest line held first. -1 when seq is past the newest.
    long copyLine(std::uint64_t& seq, char* out) const noexcept { return copy(seq, out, nullptr); }
    // The same with the line's fields: false when seq is past the newest. Allocates the text.
    bool read(std::uint64_t& seq, LogEntry& out) const;

private:
    struct Slot {
        std::atomic<std::uint64_t> tag{0};   // the line's number + 1 once it is whole, else 0
        std::atomic<std::uint64_t> head{0};  // length, status, time signature, the rate
        std::atomic<std::uint64_t> clock{0};
        std::atomic<std::uint64_t> ppq{0};  // as the bits of a double; NaN when unknown
        std::atomic<std::uint64_t> barStart{0};
        std::atomic<std::uint64_t> message{0};  // kMessageLine | word: the text is its line
        std::atomic<std::uint64_t> text[kTextWords]{};
    };

    // Producer: writes line `seq` into its slot (not yet published). `wholeWords`: the text
    // may be read up to its length rounded up to 8. A `message` line stores no text.
    void store(std::uint64_t seq, const char* text, std::size_t length, const LogLineInfo& info,
               bool wholeWords, std::uint64_t message = 0) noexcept;
    long copy(std::uint64_t& seq, char* out, LogLineInfo* info) const noexcept;
    // The first line number still held after appends up to `appended`.
    std::uint64_t oldestOf(std::uint64_t appended) const noexcept;
    // Moves the oldest line's number forward to `to` unless it is there already; answers the
    // number it was before.
    std::uint64_t raiseFirst(std::uint64_t to) noexcept;

    std::unique_ptr<Ring> own_;
    std::atomic<Ring*> ring_{nullptr};
    // Held by a reader while it copies from the ring: a detached ring is released only after.
    mutable std::mutex readers_;
    std::atomic<std::uint64_t> appended_{0};
    std::atomic<std::uint64_t> first_{0};  // the number of the oldest line held
    // Line n is in slot (n - base_) % kCapacity; the producer moves the base when it finds the
    // ring empty.
    std::atomic<std::uint64_t> base_{0};
    std::size_t nextSlot_ = 0;  // the slot of the next line appended (producer only)
    std::atomic<std::size_t> dropped_{0};
};

struct LogLines::Ring {
    Slot slots[kCapacity];
};
