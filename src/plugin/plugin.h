// The plug-in object: one per instance, owner of everything the instance uses.
#pragma once

#include <array>

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
    std::array<float, kNumParams> values{};
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

  private:
    void applyParameter(int index, float value);

    bool ready_ = false;
    bool editorClosed_ = false;
    std::array<float, kNumParams> values_{};
    APluginProgram program_;
    VstEvents hostEvents_{};
    VstMidiEvent hostMidiEvent_{};
    float vu_ = 0.0f;
};
