#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/virtualmemory.h"

namespace platform {

namespace {
std::size_t pageFloor(std::size_t v) noexcept {
    return v & ~(memoryPageSize() - 1);
}
std::size_t pageCeil(std::size_t v) noexcept {
    return pageFloor(v + memoryPageSize() - 1);
}
}  // namespace

std::size_t memoryPageSize() noexcept {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

void* reserveMemory(std::size_t bytes) noexcept {
    if (bytes == 0) return nullptr;
    void* p = mmap(nullptr, pageCeil(bytes), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool commitMemory(void* base, std::size_t offset, std::size_t bytes) noexcept {
    if (bytes == 0) return true;
    const std::size_t first = pageFloor(offset);
    const std::size_t end = pageCeil(offset + bytes);
    return mprotect(static_cast<char*>(base) + first, end - first, PROT_READ | PROT_WRITE) == 0;
}

void decommitMemory(void* base, std::size_t offset, std::size_t bytes) noexcept {
    if (bytes == 0) return;
    char* p = static_cast<char*>(base) + offset;
    // The pages go back to the system and read as zero when committed again.
    madvise(p, bytes, MADV_DONTNEED);
    mprotect(p, bytes, PROT_NONE);
}

void releaseMemory(void* base, std::size_t bytes) noexcept {
    if (base) munmap(base, pageCeil(bytes));
}

}  // namespace platform
