#include "platform/semaphore.h"

#include <semaphore.h>

#include <cerrno>
#include <new>

namespace platform {

struct Semaphore::Handle {
    sem_t sem;
};

Semaphore::Semaphore() : handle_(std::make_unique<Handle>()) {
    if (sem_init(&handle_->sem, 0, 0) != 0) throw std::bad_alloc();
}

Semaphore::~Semaphore() {
    sem_destroy(&handle_->sem);
}

void Semaphore::release() noexcept {
    sem_post(&handle_->sem);
}

void Semaphore::acquire() noexcept {
    while (sem_wait(&handle_->sem) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
