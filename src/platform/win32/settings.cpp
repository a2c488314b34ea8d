#include <windows.h>

#include "platform/settings.h"

namespace platform {

namespace {

class RegistryStore : public SettingsStore {
public:
    bool openKey(const std::string& key, bool create) override {
        HKEY h = open(key, create, KEY_READ);
        if (!h) return false;
        RegCloseKey(h);
        return true;
    }

    std::optional<std::uint32_t> readDword(const std::string& key,
                                           const std::string& name) override {
        HKEY h = open(key, false, KEY_READ);
        if (!h) return std::nullopt;
        DWORD type = 0, value = 0, size = sizeof value;
        const LONG r = RegQueryValueExA(h, name.c_str(), nullptr, &type,
                                        reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(h);
        if (r != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return std::nullopt;
        return static_cast<std::uint32_t>(value);
    }

    std::optional<std::string> readString(const std::string& key,
                                          const std::string& name) override {
        HKEY h = open(key, false, KEY_READ);
        if (!h) return std::nullopt;
        DWORD type = 0, size = 0;
        LONG r = RegQueryValueExA(h, name.c_str(), nullptr, &type, nullptr, &size);
        std::string text;
        if (r == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
            text.resize(size);
            r = RegQueryValueExA(h, name.c_str(), nullptr, &type,
                                 reinterpret_cast<BYTE*>(text.data()), &size);
            text.resize(size);
            while (!text.empty() && text.back() == '\0') text.pop_back();
        }
        RegCloseKey(h);
        if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
        return text;
    }

    bool writeDword(const std::string& key, const std::string& name, std::uint32_t value) override {
        HKEY h = open(key, true, KEY_ALL_ACCESS);
        if (!h) return false;
        const DWORD v = value;
        const LONG r = RegSetValueExA(h, name.c_str(), 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&v), sizeof v);
        RegCloseKey(h);
        return r == ERROR_SUCCESS;
    }

    bool writeString(const std::string& key, const std::string& name,
                     const std::string& value) override {
        HKEY h = open(key, true, KEY_ALL_ACCESS);
        if (!h) return false;
        const LONG r =
            RegSetValueExA(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
        RegCloseKey(h);
        return r == ERROR_SUCCESS;
    }

private:
    static HKEY open(const std::string& key, bool create, REGSAM access) {
        HKEY h = nullptr;
        LONG r;
        if (create) {
            r = RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                access, nullptr, &h, nullptr);
        } else {
            r = RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, access, &h);
        }
        return r == ERROR_SUCCESS ? h : nullptr;
    }
};

}  // namespace

SettingsStore& systemSettings() {
    static RegistryStore store;
    return store;
}

}  // namespace platform
