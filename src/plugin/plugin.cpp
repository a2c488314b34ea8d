#include "plugin/plugin.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/options.h"
#include "plugin/editorfactory.h"
#include "vst/entry.h"

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
    return new APlugin(audioMaster);
}

namespace {
constexpr const char* kProgramName = "Corvella";

// Copies a text into a host buffer of the usual VST 2 size.
void copyText(char* dst, const char* src, std::size_t capacity) noexcept {
    if (!dst) return;
    std::size_t n = std::strlen(src);
    if (n >= capacity) n = capacity - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

constexpr const char* kCanDoTexts[] = {
    "receiveVstTimeInfo",  "plugAsChannelInsert", "plugAsSend",       "receiveVstEvents",
    "receiveVstMidiEvent", "sendVstEvents",       "sendVstMidiEvent",
};
// Asked by hosts that hand SysEx events only to a plug-in that says it takes them.
constexpr const char* kCanDoSysex = "receiveVstSysexEvent";
}  // namespace

APluginProgram::APluginProgram() noexcept {
    for (int i = 0; i < kNumParams; ++i)
        values[i].store(kParameters[i].defaultValue, std::memory_order_relaxed);
    copyText(name, kProgramName, sizeof name);
}

APlugin::APlugin(audioMasterCallback master) : AudioEffectX(master, 1, kNumParams) {
    devices_.setInputHandler(&APlugin::deviceInputProc, this);
    suspend();
    setEditor(createPluginEditor(*this));

    const StartupOptions options = readStartupOptions();
    // "Pass and log system exclusive": before any device opens or any event comes.
    if (options.sysex) {
        engine_.enableSysex();
        devices_.enableSysex(&APlugin::deviceSysexProc, this);
    }
    hasVu(false);
    setNumInputs(options.emulateInput ? 1 : 0);
    setNumOutputs(1);
    canMono(true);
    canProcessReplacing(options.processReplacing);
    isSynth(options.instrument);
    engine_.setSampleAccurate(options.sampleAccurate);
    setUniqueID(kUniqueId);

    copyText(program_.name, kProgramName, sizeof program_.name);
    curProgram = 0;
    // The program's values, handed to the engine and applied below.
    for (int i = 0; i < kNumParams; ++i)
        values_[i].store(program_.values[i].load(std::memory_order_relaxed),
                         std::memory_order_relaxed);

    // The one-event list handed to the host for every message.
    hostMidiEvent_.type = kVstMidiType;
    hostMidiEvent_.byteSize = sizeof(VstMidiEvent);
    hostEvents_.numEvents = 1;
    hostEvents_.reserved = 0;
    hostEvents_.events[0] = reinterpret_cast<VstEvent*>(&hostMidiEvent_);
    // The one-event list handed to the host for each SysEx.
    hostSysexEvent_.type = kVstSysExType;
    hostSysexEvent_.byteSize = sizeof(VstMidiSysexEvent);
    hostSysexEvents_.numEvents = 1;
    hostSysexEvents_.reserved = 0;
    hostSysexEvents_.events[0] = reinterpret_cast<VstEvent*>(&hostSysexEvent_);
    cEffect.process = processEntry;
    cEffect.processReplacing = processEntry;

    bus_ = std::make_unique<vstbus::TVstBus>();
    engine_.setSampleRate(sampleRate);

    ready_ = true;
    replayValues(true);
}

APlugin::~APlugin() {
    // Nothing may arrive from the input device while the rest is taken down.
    devices_.close();
    // A save the host asked for is finished before the recording goes (or given up, when its
    // file takes too long).
    stopWorker();
    busFlags_.leave(*bus_);
    // The editor and its window go while the plug-in they read is still whole.
    delete editor;
    setEditor(nullptr);
}

// --- Program ---------------------------------------------------------------------------------

void APlugin::setProgram(VstInt32 program) {
    if (program != 0) return;
    curProgram = 0;
    for (int i = 0; i < kNumParams; ++i)
        storeParameter(i, program_.values[i].load(std::memory_order_relaxed), Origin::Replay);
    if (!editorClosed_ && editor) editor->update();
}

void APlugin::setProgramName(char* name) {
    if (!name) return;
    // Stored no longer than the 24-byte buffer a host reads it back into.
    copyText(program_.name, name, kVstMaxProgNameLen);
    if (!editorClosed_ && editor) editor->update();
}

void APlugin::getProgramName(char* name) {
    copyText(name, program_.name, sizeof program_.name);
}

bool APlugin::getProgramNameIndexed(VstInt32 /*category*/, VstInt32 index, char* text) {
    if (index > 0) return false;
    copyText(text, program_.name, sizeof program_.name);
    return true;
}

// --- Parameters ------------------------------------------------------------------------------

void APlugin::setParameter(VstInt32 index, float value) {
    storeParameter(index, value, Origin::Outside);
}

void APlugin::storeParameter(VstInt32 index, float value, Origin origin) {
    if (index < 0) return;
    if (index >= kNumParams) index = kNumParams - 1;
    if (value > 1.0f) value = 1.0f;
    if (!(value >= 0.0f)) value = 0.0f;  // below zero, or not a number
    values_[index].store(value, std::memory_order_relaxed);
    program_.values[index].store(value, std::memory_order_relaxed);
    // The engine decodes its newest values at the start of its next processing call, whatever
    // thread set them, so no message sees a half-made change (a filter still set for "Block
    // only" reading the rows of "Allow all", say) and the value set last is the one that holds.
    engine_.setParameter(index, value);
    if (ready_) applyParameter(index, value, origin);
}

float APlugin::getParameter(VstInt32 index) {
    if (index < 0) return 0.0f;
    if (index >= kNumParams) index = kNumParams - 1;
    float v = values_[index].load(std::memory_order_relaxed);
    if (index == param::InputMidi || index == param::OutputMidi) {
        // These two report whether the device really is open.
        const float real = deviceOpen(index == param::OutputMidi) ? 1.0f : 0.0f;
        if (real != v) values_[index].store(real, std::memory_order_relaxed);
        v = real;
    }
    if (v > 1.0f) v = 1.0f;
    if (v < 0.0f) v = 0.0f;
    return v;
}

void APlugin::getParameterName(VstInt32 index, char* text) {
    const char* name = index == kNumParams  ? kParamName68
                       : index > kNumParams ? kParamNameReserved
                       : index < 0          ? kParamNameReserved
                                            : kParameters[index].name;
    copyText(text, name, 25);
}

// --- Identity --------------------------------------------------------------------------------

bool APlugin::getEffectName(char* name) {
    copyText(name, kEffectName, 32);
    return true;
}

bool APlugin::getVendorString(char* text) {
    copyText(text, kVendorName, 64);
    return true;
}

bool APlugin::getProductString(char* text) {
    copyText(text, kEffectName, 64);
    return true;
}

VstInt32 APlugin::canDo(char* text) {
    if (!text) return -1;
    for (const char* t : kCanDoTexts)
        if (std::strcmp(text, t) == 0) return 1;
    if (engine_.sysexEnabled() && std::strcmp(text, kCanDoSysex) == 0) return 1;
    return -1;
}

bool APlugin::getOutputProperties(VstInt32 index, VstPinProperties* properties) {
    const VstInt32 described = readOption(kOptionEmuOut) ? 1 : 0;
    if (index >= described || index < 0 || !properties) return false;
    std::snprintf(properties->label, sizeof properties->label, "corv %d", index + 1);
    properties->flags = kVstPinIsActive;
    if (index < 2) properties->flags |= kVstPinIsStereo;
    return true;
}

void APlugin::setSampleRate(float rate) {
    AudioEffectX::setSampleRate(rate);
    engine_.setSampleRate(rate);
}

// --- Processing ------------------------------------------------------------------------------

void APlugin::resume() {
    replayValues(false);
}

void APlugin::replayValues(bool engineHasDefaults) {
    wantEvents(1);
    for (int i = 0; i < kNumParams; ++i) {
        if (engineHasDefaults && kParameters[i].apply == ApplyStep::None) continue;
        storeParameter(i, values_[i].load(std::memory_order_relaxed), Origin::Replay);
    }
}
