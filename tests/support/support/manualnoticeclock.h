// A clock for the notice limiters that stands still until the test moves it; installed for the
// lifetime of a scope (platform::setNoticeClock).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/notice.h"

namespace platform {

class ManualNoticeClock {
public:
    ManualNoticeClock() noexcept : previous_(setNoticeClock(&now)) {}
    ~ManualNoticeClock() { setNoticeClock(previous_); }
    ManualNoticeClock(const ManualNoticeClock&) = delete;
    ManualNoticeClock& operator=(const ManualNoticeClock&) = delete;

    void advance(std::chrono::milliseconds by) noexcept { time_.fetch_add(by.count()); }

private:
    static std::int64_t now() noexcept { return time_.load(); }
    static inline std::atomic<std::int64_t> time_{0};
    NoticeClock previous_;
};

}  // namespace platform
