// The LV2 editor's access to the plug-in: only through the host. Parameter changes are written
// to the control ports, the log's commands and names travel as the messages of
// lv2/uiprotocol.h to the plug-in's input, and what the plug-in reports on its notify output
// (names, sample rate, log lines, tempo, time signature, saves, notices) comes back through the
// host's port events. The log lines gather in a list of the editor's own, which the window
// takes as the VST 2 editor takes the plug-in's. Every call comes from the host's
// user-interface thread.
#pragma once

#include <lv2/atom/forge.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "editor/pluginaccess.h"
#include "engine/loglines.h"
#include "engine/parameters.h"

namespace platform {
class MidiBackend;
}
namespace vstbus {
class TVstBus;
}

namespace lv2ui {

class Lv2UiAccess final : public editor::PluginAccess {
public:
    // `touch` may be null (the host records no gestures then).
    Lv2UiAccess(LV2UI_Write_Function write, LV2UI_Controller controller, LV2_URID_Map* map,
                const LV2UI_Touch* touch);
    ~Lv2UiAccess() override;
    Lv2UiAccess(const Lv2UiAccess&) = delete;
    Lv2UiAccess& operator=(const Lv2UiAccess&) = delete;

    float getParameter(int index) override;
    void setParameter(int index, float value) override;
    void setParameterAutomated(int index, float value) override;
    void beginEdit(int index) override;
    void endEdit(int index) override;
    double sampleRate() override { return sampleRate_; }
    std::vector<std::string> outputDeviceNames() override;
    std::vector<std::string> inputDeviceNames() override;
    bool devicesLoop() override;
    std::string busLabel(int bus) override;
    void setBusLabel(int bus, const std::string& label) override;
    std::string hostProduct() override { return {}; }
    void clearLog() override;
    bool saveLog(const std::string& path) override;
    std::string trackName() override { return trackName_; }
    void setTrackName(const std::string& name) override;
    bool takeTimeSignature(int& numerator, int& denominator) override;
    bool takeTempo(double& bpm) override;

    // The host's port event: a control port's value or a message from the notify output.
    void portEvent(std::uint32_t port, std::uint32_t size, std::uint32_t format,
                   const void* buffer);
    // Asks the plug-in for its names, its sample rate and the log lines the list lacks (at
    // first, the newest 200 it holds).
    void requestState();
    // The log lines received so far (the window's source).
    LogLines& lines() noexcept { return lines_; }
    // Lines for the window from the plug-in's reports ("Saved to: ...", notices) since the
    // last call.
    std::vector<std::string> takeMessages();
    std::string logFileName() const { return logFile_; }

private:
    struct Urids {
        LV2_URID eventTransfer, atomLong, atomInt, atomFloat, atomDouble, atomString, atomPath,
            atomUrid, object, blank, patchSet, patchGet, patchProperty, patchValue, logFile,
            trackName, logFrom, saveLog, clearLog, info, logLine, tempo, timeSignature, saved,
            notice, sequence, text, sampleRate, bpm, beatsPerBar, beatUnit;
    };
    // Writes one object to the plug-in's input; `body` adds its properties.
    template <class Body>
    void send(LV2_URID otype, Body&& body);
    void sendName(LV2_URID property, LV2_URID type, const std::string& text);
    void readMessage(const LV2_Atom_Object* message);

    LV2UI_Write_Function write_;
    LV2UI_Controller controller_;
    const LV2UI_Touch* touch_;
    Urids u_{};
    LV2_Atom_Forge forge_{};
    std::vector<std::uint8_t> buffer_;    // a message to the plug-in
    std::vector<std::uint64_t> message_;  // a message from the plug-in
    std::array<float, kNumParams> values_{};
    LogLines lines_;
    std::uint64_t nextLine_ = 0;  // the number of the next line the list wants
    double sampleRate_ = 0.0;
    std::string logFile_;
    std::string trackName_ = "Corvella";
    bool timeSigWritten_ = false, tempoWritten_ = false;
    int numerator_ = 0, denominator_ = 0;
    double tempo_ = 0.0;
    std::vector<std::string> messages_;
    std::unique_ptr<platform::MidiBackend> devices_;
    std::unique_ptr<vstbus::TVstBus> bus_;
};

}  // namespace lv2ui
