#include "platform/semaphore.h"

#include <windows.h>

#include <climits>
#include <new>

namespace platform {

struct Semaphore::Handle {
    HANDLE sem;
};

Semaphore::Semaphore() : handle_(std::make_unique<Handle>()) {
    handle_->sem = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    if (!handle_->sem) throw std::bad_alloc();
}

Semaphore::~Semaphore() {
    CloseHandle(handle_->sem);
}

void Semaphore::release() noexcept {
    ReleaseSemaphore(handle_->sem, 1, nullptr);
}

void Semaphore::acquire() noexcept {
    WaitForSingleObject(handle_->sem, INFINITE);
}

}  // namespace platform
