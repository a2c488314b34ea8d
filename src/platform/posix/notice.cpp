#include <unistd.h>

#include <string>

#include "platform/notice.h"

namespace platform {

// One line on standard error, written with a single call so lines from threads do not mix.
void showSystemNotice(const Notice& notice) noexcept {
    try {
        const char* kind = notice.kind == NoticeKind::Error     ? "error"
                           : notice.kind == NoticeKind::Warning ? "warning"
                                                                : "note";
        const std::string line = notice.caption + " " + kind + ": " + shownText(notice) + "\n";
        ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
        (void)ignored;
    } catch (...) {
    }
}

}  // namespace platform
