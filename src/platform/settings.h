// Per-user settings: named 32-bit and text values under a key path such as
// "Software\\Corvella". On Windows the registry under HKEY_CURRENT_USER; elsewhere one small
// text file per key under $XDG_CONFIG_HOME (default ~/.config), written atomically. Tests
// install an in-memory store (tests/support) so they never touch the user's own settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // Opens the key, creating it when `create` is set; false when that is not possible.
    virtual bool openKey(const std::string& key, bool create) = 0;
    // A missing key, a missing value or a value of another type reads as nothing.
    virtual std::optional<std::uint32_t> readDword(const std::string& key,
                                                   const std::string& name) = 0;
    virtual std::optional<std::string> readString(const std::string& key,
                                                  const std::string& name) = 0;
    // Several 32-bit values of one key, as readDword reads each; a store may read the key once.
    virtual void readDwords(const std::string& key, const char* const* names, std::size_t count,
                            std::optional<std::uint32_t>* values) {
        for (std::size_t i = 0; i < count; ++i) values[i] = readDword(key, names[i]);
    }
    // Creates the key when needed; false when the value could not be stored.
    virtual bool writeDword(const std::string& key, const std::string& name,
                            std::uint32_t value) = 0;
    virtual bool writeString(const std::string& key, const std::string& name,
                             const std::string& value) = 0;
};

// The installed store, or the user's real one.
SettingsStore& userSettings();
// Installs a store (null restores the user's real one); answers the previous one.
SettingsStore* setSettingsStore(SettingsStore* store) noexcept;

class ScopedSettingsStore {
public:
    explicit ScopedSettingsStore(SettingsStore& s) noexcept : previous_(setSettingsStore(&s)) {}
    ~ScopedSettingsStore() { setSettingsStore(previous_); }
    ScopedSettingsStore(const ScopedSettingsStore&) = delete;
    ScopedSettingsStore& operator=(const ScopedSettingsStore&) = delete;

private:
    SettingsStore* previous_;
};

}  // namespace platform
