// A counting semaphore of the operating system: release() wakes a thread sleeping in
// acquire() without taking any lock a sleeper could hold, so the processing thread may call
// it; acquire() sleeps without using the processor.
#pragma once

#include <memory>

namespace platform {

class Semaphore {
public:
    Semaphore();
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Any thread.
    void release() noexcept;
    // The waiting thread: sleeps until a release has come.
    void acquire() noexcept;

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

}  // namespace platform
