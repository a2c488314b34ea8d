// A notice sink for tests that keeps every notice instead of showing it; installed with
// platform::ScopedNoticeSink. Any thread may show a notice.
#pragma once

#include <mutex>
#include <vector>

#include "platform/notice.h"

namespace platform {

class RecordingNoticeSink : public NoticeSink {
public:
    void show(const Notice& notice) override {
        std::lock_guard<std::mutex> lock(mutex_);
        notices_.push_back(notice);
    }
    std::vector<Notice> notices() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        notices_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Notice> notices_;
};

}  // namespace platform
