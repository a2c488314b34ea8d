#include "vst/audioeffectx.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {
// Answer of a boolean operation to the host.
constexpr VstIntPtr answer(bool b) noexcept {
    return b ? 1 : 0;
}

// Low byte of a float rounded to the nearest integer (ties to even); out-of-range values give 0.
unsigned char roundedLowByte(float v) noexcept {
    const double r = std::nearbyint(static_cast<double>(v));
    if (!(std::fabs(r) < 2147483648.0)) return 0;
    return static_cast<unsigned char>(static_cast<VstInt32>(r) & 0xFF);
}
}  // namespace

VstIntPtr AudioEffectX::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                   float opt) {
    if (opcode >= effProcessEvents && opcode < effCanDo)
        return dispatchFirstExtensions(opcode, index, value, ptr, opt);
    if (opcode >= effCanDo && opcode <= effBeginLoadProgram)
        return dispatchLaterExtensions(opcode, index, value, ptr, opt);
    return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
}

VstIntPtr AudioEffectX::dispatchFirstExtensions(VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                                void* ptr, float opt) {
    switch (opcode) {
        case effProcessEvents:
            return processEvents(static_cast<VstEvents*>(ptr));
        case effCanBeAutomated:
            return answer(canParameterBeAutomated(index));
        case effString2Parameter:
            return answer(string2parameter(index, static_cast<char*>(ptr)));
        case effGetNumProgramCategories:
            return getNumCategories();
        case effGetProgramNameIndexed:
            return answer(getProgramNameIndexed(static_cast<VstInt32>(value), index,
                                                static_cast<char*>(ptr)));
        case effCopyProgram:
            return answer(copyProgram(index));
        case effConnectInput:
            inputConnected(index, value != 0);
            return 1;
        case effConnectOutput:
            outputConnected(index, value != 0);
            return 1;
        case effGetInputProperties:
            return answer(getInputProperties(index, static_cast<VstPinProperties*>(ptr)));
        case effGetOutputProperties:
            return answer(getOutputProperties(index, static_cast<VstPinProperties*>(ptr)));
        case effGetPlugCategory:
            return getPlugCategory();
        case effGetCurrentPosition:
            return reportCurrentPosition();
        case effGetDestinationBuffer:
            return reinterpret_cast<VstIntPtr>(reportDestinationBuffer());
        case effOfflineNotify:
            return answer(offlineNotify(static_cast<VstAudioFile*>(ptr),
                                        static_cast<VstInt32>(value), index != 0));
        case effOfflinePrepare:
            return answer(
                offlinePrepare(static_cast<VstOfflineTask*>(ptr), static_cast<VstInt32>(value)));
        case effOfflineRun:
            return answer(
                offlineRun(static_cast<VstOfflineTask*>(ptr), static_cast<VstInt32>(value)));
        case effProcessVarIo:
            return answer(processVariableIo(static_cast<VstVariableIo*>(ptr)));
        case effSetSpeakerArrangement:
            return answer(setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                                static_cast<VstSpeakerArrangement*>(ptr)));
        case effSetBlockSizeAndSampleRate:
            setBlockSizeAndSampleRate(static_cast<VstInt32>(value), opt);
            return 1;
        case effSetBypass:
            return answer(setBypass(value != 0));
        case effGetEffectName:
            return answer(getEffectName(static_cast<char*>(ptr)));
        case effGetErrorText:
            return answer(getErrorText(static_cast<char*>(ptr)));
        case effGetVendorString:
            return answer(getVendorString(static_cast<char*>(ptr)));
        case effGetProductString:
            return answer(getProductString(static_cast<char*>(ptr)));
        case effGetVendorVersion:
            return getVendorVersion();
        case effVendorSpecific:
            return vendorSpecific(index, value, ptr, opt);
        default:
            return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
}

VstIntPtr AudioEffectX::dispatchLaterExtensions(VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                                void* ptr, float opt) {
    switch (opcode) {
        case effCanDo:
            return canDo(static_cast<char*>(ptr));
        case effGetTailSize:
            return getGetTailSize();
        case effIdle:
            return fxIdle();
        case effGetIcon:
            return reinterpret_cast<VstIntPtr>(getIcon());
        case effSetViewPosition:
            return answer(setViewPosition(index, static_cast<VstInt32>(value)));
        case effGetParameterProperties:
            return answer(getParameterProperties(index, static_cast<VstParameterProperties*>(ptr)));
        case effKeysRequired:
            return keysRequired() ? 0 : 1;
        case effGetVstVersion:
            return getVstVersion();
        case effEditKeyDown:
        case effEditKeyUp: {
            if (!editor) return 0;
            VstKeyCode key{};
            key.character = index;
            key.virt = static_cast<unsigned char>(value & 0xFF);
            key.modifier = roundedLowByte(opt);
            return opcode == effEditKeyDown ? editor->onKeyDown(key) : editor->onKeyUp(key);
        }
        case effSetEditKnobMode:
            return editor ? editor->setKnobMode(static_cast<VstInt32>(value)) : 0;
        case effGetMidiProgramName:
            return getMidiProgramName(index, static_cast<MidiProgramName*>(ptr));
        case effGetCurrentMidiProgram:
            return getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr));
        case effGetMidiProgramCategory:
            return getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr));
        case effHasMidiProgramsChanged:
            return answer(hasMidiProgramsChanged(index));
        case effGetMidiKeyName:
            return answer(getMidiKeyName(index, static_cast<MidiKeyName*>(ptr)));
        case effBeginSetProgram:
            return answer(beginSetProgram());
        case effEndSetProgram:
            return answer(endSetProgram());
        case effGetSpeakerArrangement: {
            // Private copies: whatever the operation writes never reaches the host's variables.
            auto* input = reinterpret_cast<VstSpeakerArrangement*>(value);
            auto* output = static_cast<VstSpeakerArrangement*>(ptr);
            return answer(getSpeakerArrangement(&input, &output));
        }
        case effShellGetNextPlugin:
            return getNextShellPlugin(static_cast<char*>(ptr));
        case effStartProcess:
            return startProcess();
        case effStopProcess:
            return stopProcess();
        case effSetTotalSampleToProcess:
            return setTotalSampleToProcess(static_cast<VstInt32>(value));
        case effSetPanLaw:
            return answer(setPanLaw(static_cast<VstInt32>(value), opt));
        case effBeginLoadBank:
            return beginLoadBank(static_cast<VstPatchChunkInfo*>(ptr));
        case effBeginLoadProgram:
            return beginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr));
        default:
            return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
}

// --- Host services ---------------------------------------------------------------------------

VstTimeInfo* AudioEffectX::getTimeInfo(VstInt32 filter) {
    return reinterpret_cast<VstTimeInfo*>(callHost(audioMasterGetTime, 0, filter));
}

VstInt32 AudioEffectX::tempoAt(VstInt32 pos) {
    return static_cast<VstInt32>(callHost(audioMasterTempoAt, 0, pos));
}

VstInt32 AudioEffectX::getNumAutomatableParameters() {
    return static_cast<VstInt32>(callHost(audioMasterGetNumAutomatableParameters));
}

VstInt32 AudioEffectX::getParameterQuantization() {
    return static_cast<VstInt32>(callHost(audioMasterGetParameterQuantization));
}

bool AudioEffectX::ioChanged() {
    return callHost(audioMasterIOChanged) != 0;
}

bool AudioEffectX::needIdle() {
    return callHost(audioMasterNeedIdle) != 0;
}

bool AudioEffectX::sizeWindow(VstInt32 width, VstInt32 height) {
    return callHost(audioMasterSizeWindow, width, height) != 0;
}

double AudioEffectX::updateSampleRate() {
    if (audioMaster) {
        const VstIntPtr rate = callHost(audioMasterGetSampleRate);
        if (rate > 0) setSampleRate(static_cast<float>(rate));
    }
    return sampleRate;
}

VstInt32 AudioEffectX::updateBlockSize() {
    if (audioMaster) {
        const VstIntPtr size = callHost(audioMasterGetBlockSize);
        if (size > 0) setBlockSize(static_cast<VstInt32>(size));
    }
    return blockSize;
}

VstInt32 AudioEffectX::getInputLatency() {
    return static_cast<VstInt32>(callHost(audioMasterGetInputLatency));
}

VstInt32 AudioEffectX::getOutputLatency() {
    return static_cast<VstInt32>(callHost(audioMasterGetOutputLatency));
}

AEffect* AudioEffectX::getPreviousPlug(VstInt32 /*input*/) {
    return reinterpret_cast<AEffect*>(callHost(audioMasterGetPreviousPlug));
}

AEffect* AudioEffectX::getNextPlug(VstInt32 /*output*/) {
    return reinterpret_cast<AEffect*>(callHost(audioMasterGetNextPlug));
}

VstInt32 AudioEffectX::willProcessReplacing() {
    return static_cast<VstInt32>(callHost(audioMasterWillReplaceOrAccumulate));
}

VstInt32 AudioEffectX::getCurrentProcessLevel() {
    return static_cast<VstInt32>(callHost(audioMasterGetCurrentProcessLevel));
}

VstInt32 AudioEffectX::getAutomationState() {
    return static_cast<VstInt32>(callHost(audioMasterGetAutomationState));
}

bool AudioEffectX::offlineRead(VstOfflineTask* offline, VstInt32 option, bool readSource) {
    return callHost(audioMasterOfflineRead, readSource ? 1 : 0, option, offline) != 0;
}

bool AudioEffectX::offlineWrite(VstOfflineTask* offline, VstInt32 option) {
    return callHost(audioMasterOfflineWrite, 0, option, offline) != 0;
}

bool AudioEffectX::offlineStart(VstAudioFile* files, VstInt32 numAudioFiles,
                                VstInt32 numNewAudioFiles) {
    return callHost(audioMasterOfflineStart, numNewAudioFiles, numAudioFiles, files) != 0;
}

VstInt32 AudioEffectX::offlineGetCurrentPass() {
    return callHost(audioMasterOfflineGetCurrentPass) != 0 ? 1 : 0;
}

VstInt32 AudioEffectX::offlineGetCurrentMetaPass() {
    return callHost(audioMasterOfflineGetCurrentMetaPass) != 0 ? 1 : 0;
}

void AudioEffectX::setOutputSamplerate(float samplerate) {
    callHost(audioMasterSetOutputSampleRate, 0, 0, nullptr, samplerate);
}

VstSpeakerArrangement* AudioEffectX::getInputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(
        callHost(audioMasterGetInputSpeakerArrangement));
}

VstSpeakerArrangement* AudioEffectX::getOutputSpeakerArrangement() {
    return reinterpret_cast<VstSpeakerArrangement*>(callHost(audioMasterGetSpeakerArrangement));
}

bool AudioEffectX::getHostVendorString(char* text) {
    return callHost(audioMasterGetVendorString, 0, 0, text) != 0;
}

bool AudioEffectX::getHostProductString(char* text) {
    return callHost(audioMasterGetProductString, 0, 0, text) != 0;
}

VstInt32 AudioEffectX::getHostVendorVersion() {
    return static_cast<VstInt32>(callHost(audioMasterGetVendorVersion));
}

VstIntPtr AudioEffectX::hostVendorSpecific(VstInt32 lArg1, VstIntPtr lArg2, void* ptrArg,
                                           float floatArg) {
    return static_cast<VstInt32>(
        callHost(audioMasterVendorSpecific, lArg1, lArg2, ptrArg, floatArg));
}

VstInt32 AudioEffectX::canHostDo(char* text) {
    return static_cast<VstInt32>(callHost(audioMasterCanDo, 0, 0, text));
}

VstInt32 AudioEffectX::getHostLanguage() {
    return static_cast<VstInt32>(callHost(audioMasterGetLanguage));
}

void* AudioEffectX::openWindow(void* window) {
    return reinterpret_cast<void*>(callHost(audioMasterOpenWindow, 0, 0, window));
}

bool AudioEffectX::closeWindow(void* window) {
    return callHost(audioMasterCloseWindow, 0, 0, window) != 0;
}

void* AudioEffectX::getDirectory() {
    return reinterpret_cast<void*>(callHost(audioMasterGetDirectory));
}

bool AudioEffectX::updateDisplay() {
    return callHost(audioMasterUpdateDisplay) != 0;
}

bool AudioEffectX::beginEdit(VstInt32 index) {
    return callHost(audioMasterBeginEdit, index) != 0;
}

bool AudioEffectX::endEdit(VstInt32 index) {
    return callHost(audioMasterEndEdit, index) != 0;
}

bool AudioEffectX::openFileSelector(VstFileSelect* ptr) {
    return ptr && callHost(audioMasterOpenFileSelector, 0, 0, ptr) != 0;
}

void AudioEffectX::wantEvents(VstInt32 filter) {
    callHost(audioMasterWantMidi, 0, filter);
}

bool AudioEffectX::sendVstEventsToHost(VstEvents* events) {
    return callHost(audioMasterProcessEvents, 0, 0, events) == 1;
}

// --- Speaker-arrangement utilities -----------------------------------------------------------

bool AudioEffectX::allocateArrangement(VstSpeakerArrangement** arrangement, VstInt32 nbChannels) {
    if (!arrangement || nbChannels < 0) return false;
    deallocateArrangement(arrangement);
    const std::size_t size = sizeof(VstSpeakerArrangement) +
                             sizeof(VstSpeakerProperties) * static_cast<std::size_t>(nbChannels);
    void* block = std::calloc(1, size);
    if (!block) return false;
    *arrangement = static_cast<VstSpeakerArrangement*>(block);
    (*arrangement)->numChannels = nbChannels;
    return true;
}

bool AudioEffectX::deallocateArrangement(VstSpeakerArrangement** arrangement) {
    if (!arrangement) return false;
    std::free(*arrangement);
    *arrangement = nullptr;
    return true;
}

bool AudioEffectX::copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) {
    if (!to || !from) return false;
    std::memcpy(to, from, sizeof *to);
    return true;
}

bool AudioEffectX::matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from) {
    if (!to || !from) return false;
    if (!allocateArrangement(to, from->numChannels)) return false;
    (*to)->type = from->type;
    for (VstInt32 i = 0; i < from->numChannels; ++i)
        copySpeaker(speakerAt(*to, i), speakerAt(from, i));
    return true;
}
