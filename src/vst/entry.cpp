// The exported entry of the plug-in binary: VSTPluginMain, also exported as main. On Windows
// the .def file gives it both names; elsewhere an assembler label names the second symbol.
// This is the one place that joins the plug-in with its editor.
#include "vst/entry.h"

#include "plugin/editorfactory.h"
#include "plugin/plugineditor.h"

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

namespace {
AEffect* entryWithEditor(audioMasterCallback audioMaster) {
    installPluginEditorFactory(&newPluginEditor);
    return pluginEntry(audioMaster);
}
}  // namespace

AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster) {
    return entryWithEditor(audioMaster);
}

#if !defined(_WIN32)
AEffect* corvellaMainAlias(audioMasterCallback audioMaster) {
    return entryWithEditor(audioMaster);
}
#endif
