#include "vst/audioeffect.h"

#include <cmath>

AudioEffect::AudioEffect(audioMasterCallback master, VstInt32 programs, VstInt32 params)
    : numPrograms(programs), numParams(params), audioMaster(master) {
    cEffect.magic = kEffectMagic;
    cEffect.dispatcher = dispatchEffectClass;
    cEffect.process = processClass;
    cEffect.setParameter = setParameterClass;
    cEffect.getParameter = getParameterClass;
    cEffect.numPrograms = programs;
    cEffect.numParams = params;
    cEffect.numInputs = 1;
    cEffect.numOutputs = 2;
    cEffect.flags = 0;
    cEffect.resvd1 = 0;
    cEffect.resvd2 = 0;
    cEffect.initialDelay = 0;
    cEffect.realQualities = 0;
    cEffect.offQualities = 0;
    cEffect.ioRatio = 1.0f;
    cEffect.object = this;
    cEffect.user = nullptr;
    cEffect.uniqueID = kNoEffectId;
    cEffect.version = 1;
    cEffect.processReplacing = processClassReplacing;
}

AudioEffect::~AudioEffect() {
    delete editor;
}

void AudioEffect::setEditor(AEffEditor* newEditor) noexcept {
    editor = newEditor;
    setFlag(effFlagsHasEditor, newEditor != nullptr);
}

VstIntPtr AudioEffect::callHost(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                float opt, VstIntPtr noHost) {
    return audioMaster ? audioMaster(&cEffect, opcode, index, value, ptr, opt) : noHost;
}

void AudioEffect::setParameterAutomated(VstInt32 index, float value) {
    setParameter(index, value);
    callHost(audioMasterAutomate, index, 0, nullptr, value);
}

VstInt32 AudioEffect::getMasterVersion() {
    const auto v = static_cast<VstInt32>(callHost(audioMasterVersion, 0, 0, nullptr, 0.0f, 1));
    return v == 0 ? 1 : v;
}

VstInt32 AudioEffect::getCurrentUniqueId() {
    return static_cast<VstInt32>(callHost(audioMasterCurrentId));
}

void AudioEffect::masterIdle() {
    callHost(audioMasterIdle);
}

bool AudioEffect::isInputConnected(VstInt32 input) {
    return callHost(audioMasterPinConnected, input, 0, nullptr, 0.0f, 0) == 0;
}

bool AudioEffect::isOutputConnected(VstInt32 output) {
    return callHost(audioMasterPinConnected, output, 1, nullptr, 0.0f, 0) == 0;
}

VstIntPtr AudioEffect::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                  float opt) {
    switch (opcode) {
        case effOpen:
            open();
            return 0;
        case effClose:
            close();
            return 0;
        case effSetProgram:
            if (value < numPrograms) setProgram(static_cast<VstInt32>(value));
            return 0;
        case effGetProgram:
            return getProgram();
        case effSetProgramName:
            setProgramName(static_cast<char*>(ptr));
            return 0;
        case effGetProgramName:
            getProgramName(static_cast<char*>(ptr));
            return 0;
        // A host shows whatever its buffer holds afterwards, cleared or not: an override that
        // has nothing to say leaves an empty text rather than the host's old bytes.
        case effGetParamLabel:
            if (ptr) *static_cast<char*>(ptr) = '\0';
            getParameterLabel(index, static_cast<char*>(ptr));
            return 0;
        case effGetParamDisplay:
            if (ptr) *static_cast<char*>(ptr) = '\0';
            getParameterDisplay(index, static_cast<char*>(ptr));
            return 0;
        case effGetParamName:
            getParameterName(index, static_cast<char*>(ptr));
            return 0;
        case effGetVu:
            // Round to nearest, ties to even (the default floating-point rounding mode).
            return static_cast<VstIntPtr>(std::nearbyint(static_cast<double>(getVu()) * 32767.0));
        case effSetSampleRate:
            setSampleRate(opt);
            return 0;
        case effSetBlockSize:
            setBlockSize(static_cast<VstInt32>(value));
            return 0;
        case effMainsChanged:
            if (value == 0) {
                suspend();
            } else {
                resume();
            }
            return 0;
        case effEditGetRect:
            if (editor) {
                auto** slot = static_cast<ERect**>(ptr);
                ERect* local = slot ? *slot : nullptr;
                const VstInt32 r = editor->getRect(&local);
                if (slot) *slot = local;
                return r;
            }
            return 0;
        case effEditOpen:
            return editor ? editor->open(ptr) : 0;
        case effEditClose:
            if (editor) editor->close();
            return 0;
        case effEditIdle:
            if (editor) editor->idle();
            return 0;
        case effIdentify:
            return kIdentifyAnswer;
        case effGetChunk:
            return getChunk(static_cast<void**>(ptr), index != 0);
        case effSetChunk:
            return setChunk(ptr, static_cast<VstInt32>(value), index != 0);
        default:  // effEditDraw, effEditMouse, effEditKey, effEditTop, effEditSleep, unknown
            return 0;
    }
}

// The static callbacks find the object through the record. A host must never see an
// exception: each one is contained here and answered with a neutral result.
namespace {
inline AudioEffect* objectOf(AEffect* e) noexcept {
    return e ? static_cast<AudioEffect*>(e->object) : nullptr;
}
}  // namespace

VstIntPtr VSTCALLBACK AudioEffect::dispatchEffectClass(AEffect* e, VstInt32 opcode, VstInt32 index,
                                                       VstIntPtr value, void* ptr, float opt) {
    AudioEffect* self = objectOf(e);
    if (!self) return 0;
    if (opcode == effClose) {
        try {
            self->dispatcher(opcode, index, value, ptr, opt);
        } catch (...) {
        }
        delete self;
        return 1;
    }
    try {
        return self->dispatcher(opcode, index, value, ptr, opt);
    } catch (...) {
        return 0;
    }
}

void VSTCALLBACK AudioEffect::processClass(AEffect* e, float** inputs, float** outputs,
                                           VstInt32 sampleFrames) {
    try {
        if (AudioEffect* self = objectOf(e)) self->process(inputs, outputs, sampleFrames);
    } catch (...) {
    }
}

void VSTCALLBACK AudioEffect::processClassReplacing(AEffect* e, float** inputs, float** outputs,
                                                    VstInt32 sampleFrames) {
    try {
        if (AudioEffect* self = objectOf(e)) self->processReplacing(inputs, outputs, sampleFrames);
    } catch (...) {
    }
}

void VSTCALLBACK AudioEffect::setParameterClass(AEffect* e, VstInt32 index, float value) {
    try {
        if (AudioEffect* self = objectOf(e)) self->setParameter(index, value);
    } catch (...) {
    }
}

float VSTCALLBACK AudioEffect::getParameterClass(AEffect* e, VstInt32 index) {
    try {
        if (AudioEffect* self = objectOf(e)) return self->getParameter(index);
    } catch (...) {
    }
    return 0.0f;
}
