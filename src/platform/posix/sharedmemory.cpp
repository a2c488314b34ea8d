// POSIX shared memory and a POSIX named semaphore. Both names carry the user id and both
// objects are created with mode 0600, so each user has a block of their own that nobody else
// can open. Every participant holds a shared flock on the block while it is attached; the one
// that leaves and finds no other lock holder is the last and removes both names, so the next
// participant starts from a fresh, zero-filled block (as a Windows mapping does once its last
// handle closes). Opening and leaving happen under the semaphore, so a newcomer never opens a
// block that is being removed.
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/sharedmemory.h"

namespace platform {

namespace {

// "/NAME.UID", with anything but letters, digits, '.', '-' and '_' replaced.
std::string objectName(const std::string& name) {
    std::string out = "/";
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out += plain ? c : '_';
    }
    return out + "." + std::to_string(::geteuid());
}

SharedLockResult waitFor(sem_t* sem, unsigned timeoutMs) noexcept {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (::sem_clockwait(sem, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno == EINTR) continue;
        return errno == ETIMEDOUT ? SharedLockResult::TimedOut : SharedLockResult::WaitFailed;
    }
    return SharedLockResult::Locked;
}

class PosixBlock : public SharedBlock {
public:
    PosixBlock(const SharedBlockNames& names, std::size_t size)
        : shmName_(objectName(names.block)), semName_(objectName(names.lock)), size_(size) {}

    ~PosixBlock() override {
        unlock();
        if (fd_ >= 0) {
            const SharedLockResult r = acquireNamed(kLockTimeoutMs);
            leave();
            if (r == SharedLockResult::Locked) unlock();
        }
        if (sem_ != SEM_FAILED) ::sem_close(sem_);
    }

    SharedMemoryError open() noexcept {
        const SharedLockResult r = acquireNamed(kLockTimeoutMs);
        const SharedMemoryError error = mapBlock();
        if (error != SharedMemoryError::None) leave();
        if (r == SharedLockResult::Locked) unlock();
        return error;
    }

    unsigned char* data() noexcept override { return base_; }
    std::size_t size() const noexcept override { return size_; }

    SharedLockResult lock(unsigned timeoutMs) noexcept override {
        // While this participant is attached nobody removes the semaphore, so the one opened
        // at attach time is still the named one; open it now if that failed then.
        if (sem_ == SEM_FAILED) sem_ = ::sem_open(semName_.c_str(), O_CREAT, 0600, 1);
        if (sem_ == SEM_FAILED) return SharedLockResult::CreateFailed;
        const SharedLockResult r = waitFor(sem_, timeoutMs);
        held_ = r == SharedLockResult::Locked;
        return r;
    }

    void unlock() noexcept override {
        if (!held_) return;
        held_ = false;
        ::sem_post(sem_);
    }

private:
    static constexpr unsigned kLockTimeoutMs = 2000;

    // Opens the named semaphore and waits for it. The last participant may remove the name
    // while this one waits; then the semaphore it got is no longer the named one and it starts
    // again. (The C library hands out one mapping per semaphore file, so opening the name again
    // answers the same pointer exactly when it still names the same semaphore.)
    SharedLockResult acquireNamed(unsigned timeoutMs) noexcept {
        for (int attempt = 0; attempt < 16; ++attempt) {
            if (sem_ == SEM_FAILED) sem_ = ::sem_open(semName_.c_str(), O_CREAT, 0600, 1);
            if (sem_ == SEM_FAILED) return SharedLockResult::CreateFailed;
            const SharedLockResult r = lock(timeoutMs);
            if (r != SharedLockResult::Locked) return r;
            sem_t* again = ::sem_open(semName_.c_str(), 0);
            if (again == sem_) {
                ::sem_close(again);
                return r;
            }
            if (again != SEM_FAILED) ::sem_close(again);
            unlock();
            ::sem_close(sem_);
            sem_ = SEM_FAILED;
        }
        return SharedLockResult::WaitFailed;
    }

    SharedMemoryError mapBlock() noexcept {
        fd_ = ::shm_open(shmName_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return SharedMemoryError::CreateFailed;
        struct stat st {};
        // A block that another user made under this user's name is not ours to use.
        if (::fstat(fd_, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
            ::close(fd_);
            fd_ = -1;
            return SharedMemoryError::CreateFailed;
        }
        if (::flock(fd_, LOCK_SH) != 0) return SharedMemoryError::CreateFailed;
        if (static_cast<std::size_t>(st.st_size) < size_ &&
            ::ftruncate(fd_, static_cast<off_t>(size_)) != 0)
            return SharedMemoryError::CreateFailed;
        void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) return SharedMemoryError::ViewFailed;
        base_ = static_cast<unsigned char*>(p);
        return SharedMemoryError::None;
    }

    // Unmaps and closes; removes both names when no other participant holds the block.
    void leave() noexcept {
        if (base_) ::munmap(base_, size_);
        base_ = nullptr;
        if (fd_ < 0) return;
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            ::shm_unlink(shmName_.c_str());
            ::sem_unlink(semName_.c_str());
        }
        ::close(fd_);
        fd_ = -1;
    }

    std::string shmName_;
    std::string semName_;
    std::size_t size_;
    sem_t* sem_ = SEM_FAILED;
    bool held_ = false;
    int fd_ = -1;
    unsigned char* base_ = nullptr;
};

class PosixSharedMemory : public SharedMemoryService {
public:
    std::unique_ptr<SharedBlock> open(const SharedBlockNames& names, std::size_t size,
                                      SharedMemoryError& error) noexcept override {
        try {
            auto block = std::make_unique<PosixBlock>(names, size);
            error = block->open();
            if (error != SharedMemoryError::None) return nullptr;
            return block;
        } catch (...) {
            error = SharedMemoryError::CreateFailed;
            return nullptr;
        }
    }
};

}  // namespace

SharedMemoryService& systemSharedMemory() noexcept {
    static PosixSharedMemory service;
    return service;
}

}  // namespace platform
