// Wake-ups between processes on 32-bit words of a block shared by name: a sleeper sleeps while
// its word still holds the value it saw, and whoever changes the word wakes every sleeper on
// it. On Linux a futex on the word itself (futexes work across processes on a shared mapping).
// On Windows, where a wait on an address stays inside one process, a named manual-reset event
// per word.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class WakeWords {
public:
    // `count` words; `name` names them for every process (the Windows events are NAME.N).
    // Throws std::bad_alloc when the system objects cannot be made.
    WakeWords(const std::string& name, int count);
    ~WakeWords();
    WakeWords(const WakeWords&) = delete;
    WakeWords& operator=(const WakeWords&) = delete;

    // The sleeper that starts a round of sleeping on word i (it marked the word as slept on),
    // before it looks again at what it waits for. Sleeping threads.
    void beginSleep(int i) noexcept;
    // Sleeps while *word (word i) holds `expected`, at most `timeout` or until woken; it may
    // also return early for no reason. Sleeping threads, never the processing thread.
    void sleep(int i, std::uint32_t* word, std::uint32_t expected,
               std::chrono::microseconds timeout) noexcept;
    // Wakes every sleeper on word i, after the caller changed the word: one system call, no
    // lock, no allocation. Any thread, the processing thread included.
    void wake(int i, std::uint32_t* word) noexcept;

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

// Asks the scheduler to run the calling thread soon after each wake-up: a short time slice (0.1
// ms instead of about 1.5) for a thread that sleeps (on wake words or sockets) and works a few
// microseconds per wake-up, so that it no longer waits out the slice of whatever holds the core.
// It takes no privilege and gives the thread no more CPU time than others. Linux kernels with a
// slice per thread (6.12 on; earlier ones keep theirs); nothing elsewhere. A sleeping thread,
// for itself; never the processing thread.
void preferShortSlices() noexcept;

}  // namespace platform
