// The effect base: holds the effect record, turns the basic dispatcher opcodes into virtual
// operations with harmless defaults, and wraps the basic host services. The editor base lives
// here too because the dispatcher forwards the editor opcodes to it.
#pragma once

#include "vst/aeffect.h"

class AudioEffect;

class AEffEditor {
public:
    explicit AEffEditor(AudioEffect* owner) noexcept : effect(owner) {}
    virtual ~AEffEditor() = default;
    AEffEditor(const AEffEditor&) = delete;
    AEffEditor& operator=(const AEffEditor&) = delete;

    virtual VstInt32 getRect(ERect** rect) {
        *rect = nullptr;
        return 0;
    }
    virtual VstInt32 open(void* window) {
        systemWindow = window;
        return 0;
    }
    virtual void close() {}
    virtual void idle() {
        if (updateFlag) {
            updateFlag = 0;
            update();
        }
    }
    virtual void update() {}
    virtual void postUpdate() { updateFlag = 1; }
    virtual VstInt32 onKeyDown(VstKeyCode& /*keyCode*/) { return -1; }
    virtual VstInt32 onKeyUp(VstKeyCode& /*keyCode*/) { return -1; }
    virtual VstInt32 setKnobMode(VstInt32 /*val*/) { return 0; }
    virtual bool onWheel(float /*distance*/) { return false; }

    AudioEffect* getEffect() const noexcept { return effect; }
    void* getSystemWindow() const noexcept { return systemWindow; }

protected:
    AudioEffect* effect;
    void* systemWindow = nullptr;
    VstInt32 updateFlag = 0;
};

class AudioEffect {
public:
    AudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams);
    virtual ~AudioEffect();
    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    // Slots 0..37, in declaration order.
    virtual void setSampleRate(float rate) { sampleRate = rate; }
    virtual void setBlockSize(VstInt32 size) { blockSize = size; }
    virtual void setParameter(VstInt32 /*index*/, float /*value*/) {}
    virtual float getParameter(VstInt32 /*index*/) { return 0.0f; }
    virtual void setParameterAutomated(VstInt32 index, float value);
    virtual void process(float** inputs, float** outputs, VstInt32 sampleFrames) = 0;
    virtual void processReplacing(float** /*inputs*/, float** /*outputs*/,
                                  VstInt32 /*sampleFrames*/) {}
    virtual VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                 float opt);
    virtual void open() {}
    virtual void close() {}
    virtual VstInt32 getProgram() { return curProgram; }
    virtual void setProgram(VstInt32 program) { curProgram = program; }
    virtual void setProgramName(char* /*name*/) {}
    virtual void getProgramName(char* /*name*/) {}
    virtual void getParameterLabel(VstInt32 /*index*/, char* /*label*/) {}
    virtual void getParameterDisplay(VstInt32 /*index*/, char* /*text*/) {}
    virtual void getParameterName(VstInt32 /*index*/, char* /*text*/) {}
    virtual float getVu() { return 0.0f; }
    virtual VstInt32 getChunk(void** /*data*/, bool /*isPreset*/) { return 0; }
    virtual VstInt32 setChunk(void* /*data*/, VstInt32 /*byteSize*/, bool /*isPreset*/) {
        return 0;
    }
    virtual void suspend() {}
    virtual void resume() {}
    virtual void setUniqueID(VstInt32 id) { cEffect.uniqueID = id; }
    virtual void setNumInputs(VstInt32 inputs) { cEffect.numInputs = inputs; }
    virtual void setNumOutputs(VstInt32 outputs) { cEffect.numOutputs = outputs; }
    virtual void hasVu(bool state) { setFlag(effFlagsHasVu, state); }
    virtual void hasClip(bool state) { setFlag(effFlagsHasClip, state); }
    virtual void canMono(bool state) { setFlag(effFlagsCanMono, state); }
    virtual void canProcessReplacing(bool state) { setFlag(effFlagsCanReplacing, state); }
    virtual void programsAreChunks(bool state) { setFlag(effFlagsProgramChunks, state); }
    virtual void setRealtimeQualities(VstInt32 qualities) { cEffect.realQualities = qualities; }
    virtual void setOfflineQualities(VstInt32 qualities) { cEffect.offQualities = qualities; }
    virtual void setInitialDelay(VstInt32 delay) { cEffect.initialDelay = delay; }
    virtual VstInt32 getMasterVersion();
    virtual VstInt32 getCurrentUniqueId();
    virtual void masterIdle();
    virtual bool isInputConnected(VstInt32 input);
    virtual bool isOutputConnected(VstInt32 output);

    AEffect* getAeffect() noexcept { return &cEffect; }
    AEffEditor* getEditor() const noexcept { return editor; }
    // Attaches the editor (owned from now on) and sets or clears effFlagsHasEditor.
    void setEditor(AEffEditor* newEditor) noexcept;
    float getSampleRate() const noexcept { return sampleRate; }
    VstInt32 getBlockSize() const noexcept { return blockSize; }
    audioMasterCallback getAudioMaster() const noexcept { return audioMaster; }

    // Calls the host with this record; answers `noHost` when there is no host callback.
    VstIntPtr callHost(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                       void* ptr = nullptr, float opt = 0.0f, VstIntPtr noHost = 0);

    // The five record callbacks. They contain every exception: none reaches the host.
    static VstIntPtr VSTCALLBACK dispatchEffectClass(AEffect* e, VstInt32 opcode, VstInt32 index,
                                                     VstIntPtr value, void* ptr, float opt);
    static void VSTCALLBACK processClass(AEffect* e, float** inputs, float** outputs,
                                         VstInt32 sampleFrames);
    static void VSTCALLBACK processClassReplacing(AEffect* e, float** inputs, float** outputs,
                                                  VstInt32 sampleFrames);
    static void VSTCALLBACK setParameterClass(AEffect* e, VstInt32 index, float value);
    static float VSTCALLBACK getParameterClass(AEffect* e, VstInt32 index);

protected:
    void setFlag(VstInt32 bit, bool state) noexcept {
        cEffect.flags = state ? (cEffect.flags | bit) : (cEffect.flags & ~bit);
    }

    AEffect cEffect{};
    float sampleRate = 44100.0f;
    AEffEditor* editor = nullptr;
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 curProgram = 0;
    VstInt32 blockSize = 1024;
    audioMasterCallback audioMaster;
};
