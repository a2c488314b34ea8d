// A small recursive lock for the message chain. Critical sections are short memory work; a
// waiter spins briefly, then yields its time slice. Recursive because a host may call back into
// the plug-in (a parameter change, say) from inside a call the plug-in makes while holding it.
// The owner is a thread id rather than thread-local data, which some runtimes handle poorly in
// a library loaded at run time.
#pragma once

#include <atomic>
#include <thread>

class RecursiveSpinLock {
public:
    void lock() noexcept {
        const std::thread::id me = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        for (int spins = 0;; ++spins) {
            std::thread::id expected{};
            if (owner_.compare_exchange_weak(expected, me, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                depth_ = 1;
                return;
            }
            if (spins > 64) std::this_thread::yield();
        }
    }
    void unlock() noexcept {
        if (--depth_ == 0) owner_.store(std::thread::id{}, std::memory_order_release);
    }

private:
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched only by the owner
};
