#include "support/memorysettingsstore.h"

namespace platform {

bool MemorySettingsStore::openKey(const std::string& key, bool create) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unavailable) return false;
    if (keys_.count(key)) return true;
    if (!create) return false;
    keys_[key];
    return true;
}

std::optional<std::uint32_t> MemorySettingsStore::readDword(const std::string& key,
                                                            const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unavailable) return std::nullopt;
    auto k = keys_.find(key);
    if (k == keys_.end()) return std::nullopt;
    auto v = k->second.find(name);
    if (v == k->second.end() || v->second.isText) return std::nullopt;
    return v->second.number;
}

std::optional<std::string> MemorySettingsStore::readString(const std::string& key,
                                                           const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unavailable) return std::nullopt;
    auto k = keys_.find(key);
    if (k == keys_.end()) return std::nullopt;
    auto v = k->second.find(name);
    if (v == k->second.end() || !v->second.isText) return std::nullopt;
    return v->second.text;
}

bool MemorySettingsStore::writeDword(const std::string& key, const std::string& name,
                                     std::uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unavailable) return false;
    keys_[key][name] = Value{false, value, {}};
    return true;
}

bool MemorySettingsStore::writeString(const std::string& key, const std::string& name,
                                      const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unavailable) return false;
    keys_[key][name] = Value{true, 0, value};
    return true;
}

bool MemorySettingsStore::hasKey(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.count(key) != 0;
}

}  // namespace platform
