// The plug-in object: one per instance, owner of everything the instance uses.
#pragma once

#include <array>
#include <atomic>

#include "midiio/midiio.h"
#include "plugin/parameters.h"
#include "vst/audioeffectx.h"

class APluginEditor;

// Identity answers given to the host.
inline constexpr const char* kEffectName = "corvella 9-30-2003";
inline constexpr const char* kVendorName = "Quobel";
inline constexpr VstInt32 kUniqueId = fourCC('C', 'R', 'V', 'L');

// The single program: the 68 values and a name. The buffer holds more than any host sends.
struct APluginProgram {
    APluginProgram() noexcept;
    std::array<std::atomic<float>, kNumParams> values{};
    char name[64]{};
};

class APlugin : public AudioEffectX {
public:
    explicit APlugin(audioMasterCallback audioMaster);
    ~APlugin() override;

    // Program.
    void setProgram(VstInt32 program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override;

    // Parameters.
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;
    void getParameterName(VstInt32 index, char* text) override;

    // Identity.
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    VstInt32 getVendorVersion() override { return 1; }
    VstInt32 canDo(char* text) override;
    bool getOutputProperties(VstInt32 index, VstPinProperties* properties) override;
    float getVu() override;

    // Processing.
    void resume() override;
    void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    VstInt32 processEvents(VstEvents* events) override;

    // Sends one packed MIDI word to the host as a single-event list.
    void sendToHost(std::uint32_t word) noexcept;

    const APluginProgram& program() const noexcept { return program_; }
    bool engineReady() const noexcept { return ready_; }
    // The stored current value (no device-state lookup).
    float value(int index) const noexcept { return values_[index].load(std::memory_order_relaxed); }

    // The MIDI device ports (parameters 0, 9, 39, 40; the editor's device lists).
    TMidiIO& midiDevices() noexcept { return midiIO_; }
    // Words the MIDI input device has delivered so far.
    std::uint64_t deviceInputCount() const noexcept {
        return deviceInputs_.load(std::memory_order_relaxed);
    }

    // Tests watch the apply steps run: called with each index and value before its step.
    using ApplyObserver = void (*)(void* context, int index, float value) noexcept;
    void setApplyObserver(ApplyObserver observer, void* context) noexcept {
        applyObserver_ = observer;
        applyContext_ = context;
    }

private:
    // Who sets a value: the host or the editor from outside, or the plug-in replaying stored
    // values in setProgram and resume. The one-shot parameters fire only from outside, so a
    // replay never clears the log or saves over a file.
    enum class Origin { Outside, Replay };
    void storeParameter(VstInt32 index, float value, Origin origin);
    void applyParameter(int index, float value, Origin origin);

    // Apply steps (see the parameter table); each runs once the engine is ready.
    void applySelectDevice(bool output, float value);
    void applyOpenDevice(bool output, float value);
    void applyReplaceStage(float value);
    void applyClearLog(float value, Origin origin);
    void applyLogging(float value);
    void applyDelayAmount(float value);
    void applyDelayOutput(float value);
    void applyFilterType(float value);
    void applyReplaceMatch();
    void applyReplaceTarget(int index, float value);
    void applyBus(bool send);
    void applySaveLog(float value, Origin origin);
    void applyKnob(int knob, float value);
    // Whether the MIDI input (false) or output (true) device is open.
    bool deviceOpen(bool output) const noexcept;

    // The MIDI input device's handler, on the driver's thread.
    static void deviceInputProc(void* self, std::uint32_t word) noexcept;
    void deviceInput(std::uint32_t word) noexcept;

    // Constructed before and destroyed after every other member.
    TMidiIO midiIO_;
    std::atomic<std::uint64_t> deviceInputs_{0};

    bool ready_ = false;
    bool editorClosed_ = false;
    std::array<std::atomic<float>, kNumParams> values_{};
    APluginProgram program_;
    ApplyObserver applyObserver_ = nullptr;
    void* applyContext_ = nullptr;
    VstEvents hostEvents_{};
    VstMidiEvent hostMidiEvent_{};
    float vu_ = 0.0f;
};
