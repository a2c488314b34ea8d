// Shared memory in this process for tests, installed with platform::ScopedSharedMemory.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/sharedmemory.h"

namespace platform {

// Blocks in this process's memory, shared by everything that opens the same name while any
// view of it exists (as the system's blocks are). Each block is allocated at exactly its size,
// so a sanitizer sees any access past its end. The switches make open and lock fail the ways
// the system's objects can.
class MemorySharedMemory : public SharedMemoryService {
public:
    std::unique_ptr<SharedBlock> open(const SharedBlockNames& names, std::size_t size,
                                      SharedMemoryError& error) noexcept override;

    // The bytes of a block that is open now, or null.
    unsigned char* bytes(const std::string& name);

    bool failCreate = false;
    bool failView = false;
    bool failLockCreate = false;
    bool failLockWait = false;
    bool lockTimesOut = false;

    struct Shared;

private:
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<Shared>> blocks_;
};

}  // namespace platform
