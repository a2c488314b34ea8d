// The exported entry of the plug-in binary: VSTPluginMain, also exported as main. On Windows
// the .def file gives it both names; elsewhere an assembler label names the second symbol.
#include "vst/entry.h"

#if defined(_WIN32)
#define CORVELLA_EXPORT
#else
#define CORVELLA_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
CORVELLA_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster);
#if !defined(_WIN32)
CORVELLA_EXPORT AEffect* corvellaMainAlias(audioMasterCallback audioMaster) __asm__("main");
#endif
}

AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster) {
    return pluginEntry(audioMaster);
}

#if !defined(_WIN32)
AEffect* corvellaMainAlias(audioMasterCallback audioMaster) {
    return pluginEntry(audioMaster);
}
#endif
