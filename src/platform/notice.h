// Notices: the messages a user must see (the plug-in's message boxes). Showing one never
// blocks the caller: on Windows the box appears from a thread of its own, elsewhere the text
// goes to standard error. Tests install a recording sink (tests/support), so no test ever
// shows a modal box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

enum class NoticeKind { Error, Warning, Information };

struct Notice {
    std::string text;
    std::string caption;
    NoticeKind kind;
    // Notices of the same text its sender held back since it last showed one (NoticeLimiter).
    std::size_t heldBack = 0;
};

// The text as shown to a person: the notice's text, then " (N more held back)" when its
// sender held some back.
std::string shownText(const Notice& notice);

class NoticeSink {
public:
    virtual ~NoticeSink() = default;
    virtual void show(const Notice& notice) = 0;
};

// Shows a notice through the installed sink, or the system's own way when none is installed.
// Never throws and never waits for the user.
void showNotice(const char* text, const char* caption, NoticeKind kind,
                std::size_t heldBack = 0) noexcept;

// The system's own way, whatever sink is installed (for sinks that pass notices on).
void showSystemNotice(const Notice& notice) noexcept;

// Installs a sink (null restores the system's way); answers the previous one.
NoticeSink* setNoticeSink(NoticeSink* sink) noexcept;

// Installs a sink for the lifetime of a scope.
class ScopedNoticeSink {
public:
    explicit ScopedNoticeSink(NoticeSink& sink) noexcept : previous_(setNoticeSink(&sink)) {}
    ~ScopedNoticeSink() { setNoticeSink(previous_); }
    ScopedNoticeSink(const ScopedNoticeSink&) = delete;
    ScopedNoticeSink& operator=(const ScopedNoticeSink&) = delete;

private:
    NoticeSink* previous_;
};

// The clock of the notice limiters, in milliseconds of a steady clock; tests install one they
// move by hand (null restores the system's). Answers the previous one.
using NoticeClock = std::int64_t (*)() noexcept;
NoticeClock setNoticeClock(NoticeClock clock) noexcept;

// Keeps one sender's notices from flooding the user: the same text shows at most once a
// second, and the next one shown says how many were held back meanwhile. One limiter per
// sender (a plug-in instance, a device); it remembers the last few texts it showed. It takes a
// lock, so it is for any thread but a processing thread, which hands its notices to a worker.
class NoticeLimiter {
public:
    static constexpr std::int64_t kIntervalMs = 1000;

    // Whether a notice of this text shows now; when it does, `heldBack` is how many of it were
    // held back since it last showed.
    bool admit(std::string_view text, std::size_t& heldBack) noexcept;
    // Shows the notice through showNotice when admit() lets it.
    void show(const char* text, const char* caption, NoticeKind kind) noexcept;

private:
    struct Entry {
        std::uint64_t key = 0;
        std::int64_t shownAt = 0;
        std::size_t held = 0;
        bool used = false;
    };
    std::mutex mutex_;
    Entry entries_[8];
};

}  // namespace platform
