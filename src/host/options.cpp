#include "host/options.h"

#include <cstring>
#include <iterator>
#include <optional>

#include "platform/settings.h"

bool optionDefault(const char* name) noexcept {
    return std::strcmp(name, kOptionEmuIn) != 0 && std::strcmp(name, kOptionSysEx) != 0 &&
           std::strcmp(name, kOptionSampleAccurate) != 0;
}

bool readOption(const char* name) {
    const bool fallback = optionDefault(name);
    try {
        auto& store = platform::userSettings();
        if (!store.openKey(kOptionsKey, true)) return fallback;
        if (auto v = store.readDword(kOptionsKey, name)) return *v != 0;
        store.writeDword(kOptionsKey, name, fallback ? 1u : 0u);
    } catch (...) {
        // An unreadable store answers the defaults, as a missing one does.
    }
    return fallback;
}

bool writeOption(const char* name, bool value) {
    try {
        return platform::userSettings().writeDword(kOptionsKey, name, value ? 1u : 0u);
    } catch (...) {
        return false;
    }
}

// One read of the key for all five (an instance is made with no more than that); a missing
// value is created with its default, as readOption does.
StartupOptions readStartupOptions() {
    static constexpr const char* kNames[] = {kOptionEmuIn, kOptionProcRep, kOptionVSTi,
                                             kOptionSampleAccurate, kOptionSysEx};
    constexpr std::size_t kCount = std::size(kNames);
    bool on[kCount];
    for (std::size_t i = 0; i < kCount; ++i) on[i] = optionDefault(kNames[i]);
    try {
        auto& store = platform::userSettings();
        std::optional<std::uint32_t> read[kCount];
        store.readDwords(kOptionsKey, kNames, kCount, read);
        bool opened = false;
        for (std::size_t i = 0; i < kCount; ++i) {
            if (read[i]) {
                on[i] = *read[i] != 0;
            } else if (opened || (opened = store.openKey(kOptionsKey, true))) {
                store.writeDword(kOptionsKey, kNames[i], on[i] ? 1u : 0u);
            }
        }
    } catch (...) {
        // An unreadable store answers the defaults, as a missing one does.
    }
    StartupOptions o;
    o.emulateInput = on[0];
    o.processReplacing = on[1];
    o.instrument = on[2];
    o.sampleAccurate = on[3];
    o.sysex = on[4];
    return o;
}

int readEditorScale() {
    try {
        if (auto v = platform::userSettings().readDword(kOptionsKey, kOptionEditorScale)) {
            if (*v >= 100 && *v <= 200) return static_cast<int>(*v);
        }
    } catch (...) {
        // An unreadable store leaves the scale to the display.
    }
    return 0;
}

bool writeEditorScale(int percent) {
    try {
        return platform::userSettings().writeDword(kOptionsKey, kOptionEditorScale,
                                                   static_cast<std::uint32_t>(percent));
    } catch (...) {
        return false;
    }
}
