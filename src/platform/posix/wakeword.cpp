#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

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

void preferShortSlices() noexcept {
    struct {
        std::uint32_t size, policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime, deadline, period;
    } attr{};
    // Only a thread of the normal policy, and its nice value stays as it is.
    if (::syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.policy != 0) return;
    attr.size = sizeof attr;
    attr.flags = 0;
    attr.runtime = 100'000;  // nanoseconds
    ::syscall(SYS_sched_setattr, 0, &attr, 0);
}

}  // namespace platform
