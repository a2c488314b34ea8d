// Named shared memory with a lock beside it: one block that every process of the user maps
// under the same name. On Windows a file mapping on the paging file and a named mutex (a mutex
// whose holder died counts as acquired). Elsewhere a file in the user's runtime directory
// (/dev/shm only where there is none) that only its user can open, with its memory reserved
// when it is created, and a lock the kernel releases when its holder dies; the last
// participant that leaves removes the file. Tests install an in-memory service (tests/support)
// so they never touch the system's objects.
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

// Names of a block and of its lock, as the Windows objects are called. The POSIX service adds
// the user id to the block's name and locks the block's file itself, so it needs no lock name.
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
    // Participants holding the block now, this one included, where the system can tell: one
    // that ended without leaving, even killed, is not among them. -1 where it cannot tell.
    virtual int holders() const noexcept { return -1; }
    // Counts one more participant among holders() while it stays, for a process whose
    // participants share one mapping: a token for removeHolder(), or -1 where holders are not
    // counted. Calls of the two, one at a time; holders() from any thread meanwhile.
    virtual int addHolder() noexcept { return -1; }
    virtual void removeHolder(int /*token*/) noexcept {}
    // True once the memory behind the block was taken away while it was mapped (on Linux:
    // another program cut the block's file short); data() then holds private zeroed memory that
    // no other participant sees. Any thread.
    virtual bool cutOff() const noexcept { return false; }
};

class SharedMemoryService {
public:
    virtual ~SharedMemoryService() = default;
    // Creates or opens the named block of `size` bytes (zero-filled when created) and maps
    // all of it. Null with `error` set on failure, and `detail` saying what was found where the
    // system can tell more than the error (empty otherwise).
    virtual std::unique_ptr<SharedBlock> open(const SharedBlockNames& names, std::size_t size,
                                              SharedMemoryError& error,
                                              std::string& detail) noexcept = 0;
    std::unique_ptr<SharedBlock> open(const SharedBlockNames& names, std::size_t size,
                                      SharedMemoryError& error) noexcept {
        std::string detail;
        return open(names, size, error, detail);
    }
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
