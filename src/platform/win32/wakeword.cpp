#include <windows.h>

#include <atomic>
#include <new>
#include <vector>

#include "platform/wakeword.h"

namespace platform {

// A manual-reset event per word: a wake sets it, which releases every thread waiting on it at
// that moment; the sleeper that starts the next round resets it. A sleeper that looked at its
// word just before another one reset the event may sleep through that wake and wake at its
// timeout instead.
struct WakeWords::Handle {
    std::vector<HANDLE> events;
};

WakeWords::WakeWords(const std::string& name, int count) : handle_(std::make_unique<Handle>()) {
    for (int i = 0; i < count; ++i) {
        const std::string eventName = name + "." + std::to_string(i);
        HANDLE e = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
        if (!e) {
            for (HANDLE made : handle_->events) CloseHandle(made);
            throw std::bad_alloc();
        }
        handle_->events.push_back(e);
    }
}

WakeWords::~WakeWords() {
    for (HANDLE e : handle_->events) CloseHandle(e);
}

void WakeWords::beginSleep(int i) noexcept {
    ResetEvent(handle_->events[static_cast<std::size_t>(i)]);
}

void WakeWords::sleep(int i, std::uint32_t* word, std::uint32_t expected,
                      std::chrono::microseconds timeout) noexcept {
    if (timeout.count() <= 0) return;
    if (std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_seq_cst) != expected) return;
    const auto ms = static_cast<DWORD>((timeout.count() + 999) / 1000);
    HANDLE event = handle_->events[static_cast<std::size_t>(i)];
    // Set while the word still holds what this sleeper saw: the set came from a waker that
    // changed the word before this round began and was slow to call SetEvent. Left set, it
    // would end every later sleep at once until the next write, so the sleeper resets it. (A
    // waker that changes the word after this look wakes the next round: the caller looks at
    // what it waits for again before it sleeps.)
    if (WaitForSingleObject(event, ms) == WAIT_OBJECT_0 &&
        std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_seq_cst) == expected)
        ResetEvent(event);
}

void WakeWords::wake(int i, std::uint32_t* /*word*/) noexcept {
    SetEvent(handle_->events[static_cast<std::size_t>(i)]);
}

// Windows has no slice per thread to ask for.
void preferShortSlices() noexcept {}

}  // namespace platform
