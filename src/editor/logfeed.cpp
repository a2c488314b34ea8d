#include "editor/logfeed.h"

#include <algorithm>

namespace editor {

void LogFeed::open(LogLines& lines) {
    if (lines.size() > 300) lines.clear();
    shown_.clear();
    held_.clear();
    next_ = lines.oldest();
    take(lines, false);
}

bool LogFeed::idle(LogLines& lines, bool clearPending) {
    if (clearPending) return false;
    bool changed = false;
    if (!paused_ && shown_.size() > kShown) {
        shown_.erase(shown_.begin(), shown_.end() - static_cast<std::ptrdiff_t>(kShown - 1));
        changed = true;
    }
    if (take(lines, paused_) > 0) changed = true;
    trimList(lines);
    return changed;
}

void LogFeed::trimList(LogLines& lines) {
    if (lines.size() > 200) lines.keepNewest(199);
}

std::size_t LogFeed::take(LogLines& lines, bool paused) {
    std::size_t added = 0;
    LogEntry e;
    while (lines.read(next_, e)) {
        ++next_;
        if (!show_.shows(e)) continue;
        if (!paused) {
            shown_.push_back(std::move(e));
            ++added;
            continue;
        }
        ++pausedNew_;
        held_.push_back(std::move(e));
        if (held_.size() > kShown) held_.pop_front();
    }
    return added;
}

void LogFeed::addOwn(const std::string& line) {
    LogEntry e;
    e.sequence = kOwn;
    e.text = line;
    shown_.push_back(std::move(e));
}

void LogFeed::clear() {
    shown_.clear();
    held_.clear();
    pausedNew_ = 0;
}

void LogFeed::refilter() {
    const auto hidden = [this](const LogEntry& e) { return !show_.shows(e); };
    shown_.erase(std::remove_if(shown_.begin(), shown_.end(), hidden), shown_.end());
    held_.erase(std::remove_if(held_.begin(), held_.end(), hidden), held_.end());
}

void LogFeed::setPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    if (paused) {
        pausedNew_ = 0;
        return;
    }
    // The newest lines show, up to the view's bound.
    for (LogEntry& e : held_) shown_.push_back(std::move(e));
    held_.clear();
    pausedNew_ = 0;
    if (shown_.size() > kShown)
        shown_.erase(shown_.begin(), shown_.end() - static_cast<std::ptrdiff_t>(kShown));
}

std::string LogFeed::render(const LogEntry& e) const {
    return e.sequence == kOwn ? e.text : show_.text(e);
}

std::vector<std::string> LogFeed::lines() const {
    std::vector<std::string> out;
    out.reserve(shown_.size());
    for (const LogEntry& e : shown_) out.push_back(render(e));
    return out;
}

std::string pausedText(std::uint64_t newLines) {
    std::string digits = std::to_string(newLines);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return "paused: " + digits + (newLines == 1 ? " new line" : " new lines");
}

}  // namespace editor
