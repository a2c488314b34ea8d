// A named file mapping on the paging file and a named mutex. The system keeps the mapping as
// long as any handle to it is open, so the block starts fresh once its last participant left.
// The mapping's memory is committed when it is created, so a full paging file fails here
// rather than at a later write. A mutex whose holder ended without releasing it is abandoned
// and counts as acquired, so a killed participant never stalls the others.
#include <windows.h>

#include "platform/sharedmemory.h"

namespace platform {

namespace {

class WinBlock : public SharedBlock {
public:
    WinBlock(HANDLE mapping, void* view, std::size_t size, std::string lockName)
        : mapping_(mapping),
          view_(static_cast<unsigned char*>(view)),
          size_(size),
          lockName_(std::move(lockName)) {}

    ~WinBlock() override {
        unlock();
        UnmapViewOfFile(view_);
        CloseHandle(mapping_);
    }

    unsigned char* data() noexcept override { return view_; }
    std::size_t size() const noexcept override { return size_; }

    // Every lock opens the mutex anew and unlock closes it again.
    SharedLockResult lock(unsigned timeoutMs) noexcept override {
        unlock();
        HANDLE m = CreateMutexA(nullptr, FALSE, lockName_.c_str());
        if (!m) return SharedLockResult::CreateFailed;
        const DWORD r = WaitForSingleObject(m, timeoutMs);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
            mutex_ = m;
            held_ = true;
            return SharedLockResult::Locked;
        }
        CloseHandle(m);
        return r == WAIT_TIMEOUT ? SharedLockResult::TimedOut : SharedLockResult::WaitFailed;
    }

    void unlock() noexcept override {
        if (!mutex_) return;
        if (held_) ReleaseMutex(mutex_);
        CloseHandle(mutex_);
        mutex_ = nullptr;
        held_ = false;
    }

private:
    HANDLE mapping_;
    unsigned char* view_;
    std::size_t size_;
    std::string lockName_;
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};

class WinSharedMemory : public SharedMemoryService {
public:
    std::unique_ptr<SharedBlock> open(const SharedBlockNames& names, std::size_t size,
                                      SharedMemoryError& error,
                                      std::string& /*detail*/) noexcept override {
        try {
            const auto wide = static_cast<unsigned long long>(size);
            HANDLE mapping = CreateFileMappingA(
                INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(wide >> 32),
                static_cast<DWORD>(wide & 0xFFFFFFFFu), names.block.c_str());
            if (!mapping) {
                error = SharedMemoryError::CreateFailed;
                return nullptr;
            }
            void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
            if (!view) {
                CloseHandle(mapping);
                error = SharedMemoryError::ViewFailed;
                return nullptr;
            }
            error = SharedMemoryError::None;
            return std::make_unique<WinBlock>(mapping, view, size, names.lock);
        } catch (...) {
            error = SharedMemoryError::CreateFailed;
            return nullptr;
        }
    }
};

}  // namespace

SharedMemoryService& systemSharedMemory() noexcept {
    static WinSharedMemory service;
    return service;
}

}  // namespace platform
