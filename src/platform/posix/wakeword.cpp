#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "platform/wakeword.h"

namespace platform {

// The futex is the word itself: nothing to hold.
struct WakeWords::Handle {};

WakeWords::WakeWords(const std::string& /*name*/, int /*count*/) {}

WakeWords::~WakeWords() = default;

void WakeWords::beginSleep(int /*i*/) noexcept {}

// Not the private futex operations: the word is shared with other processes.
void WakeWords::sleep(int /*i*/, std::uint32_t* word, std::uint32_t expected,
                      std::chrono::microseconds timeout) noexcept {
    if (timeout.count() <= 0) return;
    const timespec ts{static_cast<time_t>(timeout.count() / 1'000'000),
                      static_cast<long>(timeout.count() % 1'000'000 * 1000)};
    ::syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
}

void WakeWords::wake(int /*i*/, std::uint32_t* word) noexcept {
    ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace platform
