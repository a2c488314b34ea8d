// Reserved, growable memory: address space is reserved once and backed page by page as it is
// committed, so the memory never moves while it lives. VirtualAlloc/VirtualFree on Windows;
// mmap (PROT_NONE), mprotect and madvise elsewhere.
#pragma once

#include <cstddef>

namespace platform {

// The granule of commit and decommit.
std::size_t memoryPageSize() noexcept;

// Reserves `bytes` of address space without backing; null when that is not possible.
void* reserveMemory(std::size_t bytes) noexcept;

// Backs the pages that hold the bytes [offset, offset + bytes) of a reservation with readable,
// writable memory (zero-filled when new); false when the system refuses.
bool commitMemory(void* base, std::size_t offset, std::size_t bytes) noexcept;

// Gives the pages of [offset, offset + bytes) back to the system; both must be page-aligned.
void decommitMemory(void* base, std::size_t offset, std::size_t bytes) noexcept;

// Releases a whole reservation made by reserveMemory.
void releaseMemory(void* base, std::size_t bytes) noexcept;

}  // namespace platform
