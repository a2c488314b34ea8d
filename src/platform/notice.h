// Notices: the messages a user must see (the plug-in's message boxes). Showing one never
// blocks the caller: on Windows the box appears from a thread of its own, elsewhere the text
// goes to standard error. Tests install a recording sink (tests/support), so no test ever
// shows a modal box.
#pragma once

#include <string>

namespace platform {

enum class NoticeKind { Error, Warning, Information };

struct Notice {
    std::string text;
    std::string caption;
    NoticeKind kind;
};

class NoticeSink {
public:
    virtual ~NoticeSink() = default;
    virtual void show(const Notice& notice) = 0;
};

// Shows a notice through the installed sink, or the system's own way when none is installed.
// Never throws and never waits for the user.
void showNotice(const char* text, const char* caption, NoticeKind kind) noexcept;

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

}  // namespace platform
