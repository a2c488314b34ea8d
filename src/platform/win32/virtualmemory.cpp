#include <windows.h>

#include "platform/virtualmemory.h"

namespace platform {

std::size_t memoryPageSize() noexcept {
    static const std::size_t size = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<std::size_t>(info.dwPageSize);
    }();
    return size;
}

void* reserveMemory(std::size_t bytes) noexcept {
    if (bytes == 0) return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_READWRITE);
}

bool commitMemory(void* base, std::size_t offset, std::size_t bytes) noexcept {
    if (bytes == 0) return true;
    // Commits every page that holds a byte of the range.
    return VirtualAlloc(static_cast<char*>(base) + offset, bytes, MEM_COMMIT, PAGE_READWRITE) !=
           nullptr;
}

void decommitMemory(void* base, std::size_t offset, std::size_t bytes) noexcept {
    if (bytes == 0) return;
    VirtualFree(static_cast<char*>(base) + offset, bytes, MEM_DECOMMIT);
}

void releaseMemory(void* base, std::size_t /*bytes*/) noexcept {
    if (base) VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace platform
