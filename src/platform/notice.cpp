#include "platform/notice.h"

#include <atomic>
#include <chrono>

namespace platform {

namespace {
std::atomic<NoticeSink*> installedSink{nullptr};

std::int64_t steadyMilliseconds() noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
std::atomic<NoticeClock> installedClock{nullptr};

// FNV-1a: texts are told apart by a 64-bit hash, so the limiter keeps no copies.
std::uint64_t textKey(std::string_view text) noexcept {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    return h;
}
}  // namespace

NoticeSink* setNoticeSink(NoticeSink* sink) noexcept {
    return installedSink.exchange(sink);
}

std::string shownText(const Notice& notice) {
    if (notice.heldBack == 0) return notice.text;
    return notice.text + " (" + std::to_string(notice.heldBack) + " more held back)";
}

void showNotice(const char* text, const char* caption, NoticeKind kind,
                std::size_t heldBack) noexcept {
    try {
        Notice n{text ? text : "", caption ? caption : "", kind, heldBack};
        if (NoticeSink* sink = installedSink.load()) {
            sink->show(n);
        } else {
            showSystemNotice(n);
        }
    } catch (...) {
        // A notice that cannot be built (out of memory) is dropped rather than thrown at a host.
    }
}

NoticeClock setNoticeClock(NoticeClock clock) noexcept {
    return installedClock.exchange(clock);
}

bool NoticeLimiter::admit(std::string_view text, std::size_t& heldBack) noexcept {
    const NoticeClock clock = installedClock.load();
    const std::int64_t now = clock ? clock() : steadyMilliseconds();
    const std::uint64_t key = textKey(text);
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* slot = nullptr;
    for (Entry& e : entries_) {
        if (e.used && e.key == key) {
            if (now - e.shownAt < kIntervalMs) {
                ++e.held;
                return false;
            }
            slot = &e;
            break;
        }
    }
    if (!slot) {
        // A text not seen lately takes a free entry, or the one shown longest ago.
        slot = &entries_[0];
        for (Entry& e : entries_) {
            if (!e.used) {
                slot = &e;
                break;
            }
            if (e.shownAt < slot->shownAt) slot = &e;
        }
        *slot = Entry{key, now, 0, true};
    }
    heldBack = slot->held;
    slot->held = 0;
    slot->shownAt = now;
    return true;
}

void NoticeLimiter::show(const char* text, const char* caption, NoticeKind kind) noexcept {
    std::size_t heldBack = 0;
    if (admit(text ? text : "", heldBack)) showNotice(text, caption, kind, heldBack);
}

}  // namespace platform
