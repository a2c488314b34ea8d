#include "platform/notice.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<NoticeSink*> installedSink{nullptr};
}

NoticeSink* setNoticeSink(NoticeSink* sink) noexcept {
    return installedSink.exchange(sink);
}

void showNotice(const char* text, const char* caption, NoticeKind kind) noexcept {
    try {
        Notice n{text ? text : "", caption ? caption : "", kind};
        if (NoticeSink* sink = installedSink.load()) {
            sink->show(n);
        } else {
            showSystemNotice(n);
        }
    } catch (...) {
        // A notice that cannot be built (out of memory) is dropped rather than thrown at a host.
    }
}

}  // namespace platform
