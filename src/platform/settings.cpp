#include "platform/settings.h"

#include <atomic>

namespace platform {

// The user's real store; one implementation per system.
SettingsStore& systemSettings();

namespace {
std::atomic<SettingsStore*> installedStore{nullptr};
}

SettingsStore& userSettings() {
    SettingsStore* s = installedStore.load();
    return s ? *s : systemSettings();
}

SettingsStore* setSettingsStore(SettingsStore* store) noexcept {
    return installedStore.exchange(store);
}

}  // namespace platform
