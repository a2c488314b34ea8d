// The four start-up options that decide what the host sees of a new instance.
#pragma once

inline constexpr const char* kOptionVSTi = "VSTi";
inline constexpr const char* kOptionProcRep = "ProcRep";
inline constexpr const char* kOptionEmuIn = "EmuIn";
inline constexpr const char* kOptionEmuOut = "EmuOut";

struct StartupOptions {
    bool emulateInput = false;
    bool processReplacing = true;
    bool instrument = true;
};

// Reads one option; a missing option answers its default.
bool readOption(const char* name);

// Reads "EmuIn", "ProcRep" and "VSTi", once each, in that order.
StartupOptions readStartupOptions();
