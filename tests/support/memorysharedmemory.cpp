#include "support/memorysharedmemory.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace platform {

struct MemorySharedMemory::Shared {
    explicit Shared(std::size_t n) : size(n) {
        bytes = static_cast<unsigned char*>(::operator new (n, std::align_val_t{16}));
        std::memset(bytes, 0, n);
    }
    ~Shared() { ::operator delete (bytes, std::align_val_t{16}); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    unsigned char* bytes;
    std::size_t size;
    // Polled rather than timed: every sanitizer understands try_lock.
    std::mutex lock;
};

namespace {

class MemoryBlock : public SharedBlock {
public:
    MemoryBlock(std::shared_ptr<MemorySharedMemory::Shared> shared,
                const MemorySharedMemory& service)
        : shared_(std::move(shared)), service_(service) {}
    ~MemoryBlock() override { unlock(); }

    unsigned char* data() noexcept override { return shared_->bytes; }
    std::size_t size() const noexcept override { return shared_->size; }

    SharedLockResult lock(unsigned timeoutMs) noexcept override {
        if (service_.failLockCreate) return SharedLockResult::CreateFailed;
        if (service_.failLockWait) return SharedLockResult::WaitFailed;
        if (service_.lockTimesOut) return SharedLockResult::TimedOut;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!shared_->lock.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) return SharedLockResult::TimedOut;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        held_ = true;
        return SharedLockResult::Locked;
    }

    void unlock() noexcept override {
        if (!held_) return;
        held_ = false;
        shared_->lock.unlock();
    }

private:
    std::shared_ptr<MemorySharedMemory::Shared> shared_;
    const MemorySharedMemory& service_;
    bool held_ = false;
};

}  // namespace

std::unique_ptr<SharedBlock> MemorySharedMemory::open(const SharedBlockNames& names,
                                                      std::size_t size,
                                                      SharedMemoryError& error) noexcept {
    try {
        if (failCreate) {
            error = SharedMemoryError::CreateFailed;
            return nullptr;
        }
        if (failView) {
            error = SharedMemoryError::ViewFailed;
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        std::shared_ptr<Shared> shared = blocks_[names.block].lock();
        if (!shared || shared->size < size) {
            shared = std::make_shared<Shared>(size);
            blocks_[names.block] = shared;
        }
        error = SharedMemoryError::None;
        return std::make_unique<MemoryBlock>(std::move(shared), *this);
    } catch (...) {
        error = SharedMemoryError::CreateFailed;
        return nullptr;
    }
}

unsigned char* MemorySharedMemory::bytes(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = blocks_.find(name);
    if (it == blocks_.end()) return nullptr;
    std::shared_ptr<Shared> shared = it->second.lock();
    return shared ? shared->bytes : nullptr;
}

}  // namespace platform
