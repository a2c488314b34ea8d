// The editor's log view as a model (user-interface thread): which log lines it shows and how,
// read from the log by line number. Hidden statuses leave the view but stay in the log and the
// recording; while paused the view stays as it is and new lines are only counted (the newest
// are kept for the resume); the time prefix applies to the whole view, old lines included.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/loglines.h"
#include "engine/logshow.h"

namespace editor {

class LogFeed {
public:
    static constexpr std::size_t kShown = 200;  // the view's usual bound

    LogShow& show() noexcept { return show_; }
    const LogShow& show() const noexcept { return show_; }

    // Opening the editor: more than 300 waiting lines are dropped, then the view shows the rest.
    void open(LogLines& lines);
    // An idle call: unless a clear is pending, the view is trimmed to its newest 199 lines once
    // it holds more than 200 and receives the new lines it shows (paused: counts them), then the
    // list is trimmed the same way. Answers whether the view's lines changed.
    bool idle(LogLines& lines, bool clearPending);
    // The list's trim alone (an idle call with no window).
    static void trimList(LogLines& lines);

    // A line of the editor's own (a notice about what the user did): shown as it is.
    void addOwn(const std::string& line);
    void clear();
    // After the hidden statuses or the prefix changed: the view follows.
    void refilter();

    void setPaused(bool paused);
    bool paused() const noexcept { return paused_; }
    // Lines the view would have shown since the pause.
    std::uint64_t newWhilePaused() const noexcept { return pausedNew_; }

    // The view's lines as shown (prefix and text).
    std::vector<std::string> lines() const;
    std::size_t size() const noexcept { return shown_.size(); }

private:
    static constexpr std::uint64_t kOwn = UINT64_MAX;  // the number of the editor's own lines
    std::string render(const LogEntry& e) const;
    // Reads the new lines; answers how many joined the view.
    std::size_t take(LogLines& lines, bool paused);

    LogShow show_;
    std::uint64_t next_ = 0;  // the number of the next log line to read
    std::deque<LogEntry> shown_;
    std::deque<LogEntry> held_;  // the newest lines that came while paused
    bool paused_ = false;
    std::uint64_t pausedNew_ = 0;
};

// "paused: 1,234 new lines"
std::string pausedText(std::uint64_t newLines);

}  // namespace editor
