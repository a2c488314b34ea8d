// The lines of the MIDI log on their way from the chain (any thread) to the editor (the
// user-interface thread). A fixed ring of line slots: appending never allocates, and once the
// ring holds its 5,000 lines the oldest is dropped. Every operation holds a small lock only for
// the length of one slot copy (or one batch of short lines) or an index change.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class LogLines {
public:
    static constexpr std::size_t kCapacity = 5000;
    static constexpr std::size_t kLineLength = 255;

    LogLines() : slots_(std::make_unique<Slot[]>(kCapacity)) {}

    // Appends a line (cut to 255 characters); drops the oldest line when full.
    void append(const char* text, std::size_t length) noexcept;
    void append(const std::string& text) noexcept { append(text.data(), text.size()); }
    // Appends `n` lines under one hold of the lock: `write(i, slot)` writes line i straight into
    // its slot (room for kLineLength characters) and answers its length. Drops the oldest lines
    // when full. The lock is held meanwhile, so `write` must be short and must not wait.
    template <class Write>
    void appendBatch(std::size_t n, Write&& write) noexcept {
        Guard g(*this);
        for (std::size_t i = 0; i < n; ++i) {
            Slot& s = newSlot();
            s.length = write(i, s.text.data());
        }
    }

    std::size_t size() const noexcept;
    // Line i counting from the oldest; empty when i is out of range.
    std::string line(std::size_t i) const;
    std::vector<std::string> lines(std::size_t from = 0) const;
    // Removes the oldest lines until at most `keep` remain.
    void keepNewest(std::size_t keep) noexcept;
    void clear() noexcept;
    std::size_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

    // Lines ever appended. The line appended n-th (from 0) carries the sequence number n, so a
    // reader that keeps the number of the next line it wants sees what it missed when the
    // bound, a clear or a trim removed lines it had not read.
    std::uint64_t appended() const noexcept;
    // Copies the line numbered `seq` into `out` (kLineLength bytes) and answers its length. When
    // that line is gone, seq moves to the oldest line held first. -1 when seq is past the newest.
    // Any thread.
    long copyLine(std::uint64_t& seq, char* out) const noexcept;

private:
    struct Slot {
        std::array<char, kLineLength> text;
        std::size_t length;
    };
    class Guard {
    public:
        explicit Guard(const LogLines& l) noexcept : flag_(l.lock_) {
            for (int spins = 0; flag_.test_and_set(std::memory_order_acquire); ++spins) {
                if (spins > 64) std::this_thread::yield();
            }
        }
        ~Guard() { flag_.clear(std::memory_order_release); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        std::atomic_flag& flag_;
    };

    // The slot of a line being appended, counted already (lock held).
    Slot& newSlot() noexcept;

    std::unique_ptr<Slot[]> slots_;
    std::size_t first_ = 0;  // index of the oldest line in the ring
    std::size_t count_ = 0;
    mutable std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
    std::atomic<std::size_t> dropped_{0};
    std::uint64_t appended_ = 0;
};

// The editor's log view, as the transfers below need it.
class LogView {
public:
    virtual ~LogView() = default;
    virtual std::size_t lineCount() const = 0;
    virtual void appendLine(const std::string& line) = 0;
    virtual void removeOldest(std::size_t count) = 0;
    virtual void replaceAll(const std::vector<std::string>& lines) = 0;
    virtual void beginUpdate() = 0;
    virtual void endUpdate() = 0;
};

// Opening the editor: more than 300 waiting lines are dropped, then the view shows the rest.
void logOpenTransfer(LogLines& lines, LogView& view);

// An editor idle call: unless a clear is pending, the view is trimmed to its newest 199 lines
// once it holds more than 200, receives the lines it lacks (matched by count), and then the
// list is trimmed the same way. With no view only the list is trimmed.
void logIdleTransfer(LogLines& lines, LogView* view, bool clearPending);
