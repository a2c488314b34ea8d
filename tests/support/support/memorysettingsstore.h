// A settings store in memory for tests, installed with platform::ScopedSettingsStore.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/settings.h"

namespace platform {

// Keeps everything in memory; `unavailable` makes every key fail to open, as a store without
// write permission does.
class MemorySettingsStore : public SettingsStore {
public:
    bool openKey(const std::string& key, bool create) override;
    std::optional<std::uint32_t> readDword(const std::string& key,
                                           const std::string& name) override;
    std::optional<std::string> readString(const std::string& key, const std::string& name) override;
    bool writeDword(const std::string& key, const std::string& name, std::uint32_t value) override;
    bool writeString(const std::string& key, const std::string& name,
                     const std::string& value) override;
    bool hasKey(const std::string& key) const;

    bool unavailable = false;

private:
    struct Value {
        bool isText;
        std::uint32_t number;
        std::string text;
    };
    mutable std::mutex mutex_;
    std::map<std::string, std::map<std::string, Value>> keys_;
};

}  // namespace platform
