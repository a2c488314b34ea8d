#include "platform/sharedmemory.h"

#include <atomic>

namespace platform {

// The system's own service; one implementation per system.
SharedMemoryService& systemSharedMemory() noexcept;

namespace {
std::atomic<SharedMemoryService*> installedService{nullptr};
}

SharedMemoryService& sharedMemory() noexcept {
    SharedMemoryService* s = installedService.load();
    return s ? *s : systemSharedMemory();
}

SharedMemoryService* setSharedMemoryService(SharedMemoryService* service) noexcept {
    return installedService.exchange(service);
}

}  // namespace platform
