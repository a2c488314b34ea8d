// Named shared memory with a named lock beside it: one block that every process of the user
// maps under the same name. On Windows a file mapping on the paging file and a named mutex;
// elsewhere POSIX shared memory and a POSIX named semaphore whose names carry the user id and
// whose mode is 0600, removed again by the last participant that leaves. Tests install an
// in-memory service (tests/support) so they never touch the system's objects.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// What went wrong when a block was opened.
enum class SharedMemoryError {
    None,
    CreateFailed,  // the block cannot be created or opened
    ViewFailed,    // the block exists but cannot be mapped
};

// The outcome of waiting for the block's lock.
enum class SharedLockResult {
    Locked,        // held until unlock()
    TimedOut,      // not held; the caller may go on regardless
    CreateFailed,  // the named lock cannot be created or opened
    WaitFailed,    // waiting failed
};

// Names of a block and of its lock, as the Windows objects are called; the POSIX service adds
// the user id.
struct SharedBlockNames {
    std::string block;
    std::string lock;
};

// One participant's view of a block: mapped from open until destruction.
class SharedBlock {
public:
    virtual ~SharedBlock() = default;
    // The first byte of the mapped block: aligned to at least 16 bytes, size() bytes long.
    virtual unsigned char* data() noexcept = 0;
    virtual std::size_t size() const noexcept = 0;
    // Waits up to timeoutMs for the block's lock.
    virtual SharedLockResult lock(unsigned timeoutMs) noexcept = 0;
    // Releases the lock if the last lock() took it; harmless otherwise.
    virtual void unlock() noexcept = 0;
};

class SharedMemoryService {
public:
    virtual ~SharedMemoryService() = default;
    // Creates or opens the named block of `size` bytes (zero-filled when created) and maps
    // all of it. Null with `error` set on failure.
    virtual std::unique_ptr<SharedBlock> open(const SharedBlockNames& names, std::size_t size,
                                              SharedMemoryError& error) noexcept = 0;
};

// The installed service, or the system's own.
SharedMemoryService& sharedMemory() noexcept;
// Installs a service (null restores the system's own); answers the previous one.
SharedMemoryService* setSharedMemoryService(SharedMemoryService* service) noexcept;

class ScopedSharedMemory {
public:
    explicit ScopedSharedMemory(SharedMemoryService& s) noexcept
        : previous_(setSharedMemoryService(&s)) {}
    ~ScopedSharedMemory() { setSharedMemoryService(previous_); }
    ScopedSharedMemory(const ScopedSharedMemory&) = delete;
    ScopedSharedMemory& operator=(const ScopedSharedMemory&) = delete;

private:
    SharedMemoryService* previous_;
};

}  // namespace platform
