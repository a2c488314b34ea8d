// The plug-in library's entry point and the one function the plug-in layer supplies to it.
#pragma once

#include "vst/aeffect.h"

class AudioEffect;

// Creates one plug-in object for the host; defined by the plug-in layer.
AudioEffect* createEffectInstance(audioMasterCallback audioMaster);

// What the exported entry does: null when the host answers 0 to audioMasterVersion or when
// construction fails, otherwise the new object's effect record.
AEffect* pluginEntry(audioMasterCallback audioMaster) noexcept;
