// What the editor window needs of "the plug-in": its parameters, the device and bus names,
// the log's commands and names, and the host's tempo and time signature. Each front end adapts
// itself to it: the VST 2 editor reaches the plug-in object directly (plugin/vstaccess.h), the
// LV2 editor only through the host's ports and messages (lv2/uiaccess.h). Every call comes from
// the user-interface thread.
#pragma once

#include <string>
#include <vector>

namespace editor {

class PluginAccess {
public:
    virtual ~PluginAccess() = default;

    // Parameter values as the parameter table holds them (0..1).
    virtual float getParameter(int index) = 0;
    virtual void setParameter(int index, float value) = 0;
    // A change the user made with a slider: the host records it as automation.
    virtual void setParameterAutomated(int index, float value) = 0;
    // A slider drag begins or ends, so the host records it as one gesture.
    virtual void beginEdit(int index) = 0;
    virtual void endEdit(int index) = 0;
    // Frames per second; 0 while unknown.
    virtual double sampleRate() = 0;

    virtual std::vector<std::string> outputDeviceNames() = 0;
    virtual std::vector<std::string> inputDeviceNames() = 0;
    // Whether the MIDI input and output devices selected are the same one.
    virtual bool devicesLoop() = 0;
    virtual std::string busLabel(int bus) = 0;
    virtual void setBusLabel(int bus, const std::string& label) = 0;

    // The host's product name ("" when unknown).
    virtual std::string hostProduct() = 0;
    // "clear log!": the recording and the log lines go.
    virtual void clearLog() = 0;
    // Saves the recording to `path`, which becomes the log file. True when it was written
    // before the call returned; false when it failed or is saved later (the LV2 editor reports
    // that itself when the plug-in answers).
    virtual bool saveLog(const std::string& path) = 0;
    virtual std::string trackName() = 0;
    virtual void setTrackName(const std::string& name) = 0;

    // The host's time signature or tempo, when the plug-in logged a new one since the last
    // call (each call takes its flag).
    virtual bool takeTimeSignature(int& numerator, int& denominator) = 0;
    virtual bool takeTempo(double& bpm) = 0;
};

}  // namespace editor
