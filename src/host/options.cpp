#include "host/options.h"

#include <cstring>

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

StartupOptions readStartupOptions() {
    StartupOptions o;
    o.emulateInput = readOption(kOptionEmuIn);
    o.processReplacing = readOption(kOptionProcRep);
    o.instrument = readOption(kOptionVSTi);
    o.sampleAccurate = readOption(kOptionSampleAccurate);
    o.sysex = readOption(kOptionSysEx);
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
