#include "vst/entry.h"
#include "vst/audioeffect.h"

AEffect* pluginEntry(audioMasterCallback audioMaster) noexcept {
    try {
        if (!audioMaster || audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0)
            return nullptr;
        AudioEffect* effect = createEffectInstance(audioMaster);
        return effect ? effect->getAeffect() : nullptr;
    } catch (...) {
        return nullptr;
    }
}
