// A number that tells the calling thread from every other live thread, cheap enough to take
// on every processing call. On x86-64 Linux it is the thread's control block address, one load
// through %fs (what pthread_self answers, without the call into the C library); elsewhere it
// is derived from the standard thread id.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>

// Any thread.
inline std::uintptr_t currentThreadToken() noexcept {
#if defined(__linux__) && defined(__x86_64__)
    std::uintptr_t self;
    asm("mov %%fs:0, %0" : "=r"(self));
    return self;
#else
    // A hash of the id; 0 is kept for "no thread yet".
    return std::hash<std::thread::id>{}(std::this_thread::get_id()) | 1u;
#endif
}
