#include "plugin/options.h"

#include <cstring>

bool readOption(const char* name) {
    return std::strcmp(name, kOptionEmuIn) != 0;
}

StartupOptions readStartupOptions() {
    StartupOptions o;
    o.emulateInput = readOption(kOptionEmuIn);
    o.processReplacing = readOption(kOptionProcRep);
    o.instrument = readOption(kOptionVSTi);
    return o;
}
