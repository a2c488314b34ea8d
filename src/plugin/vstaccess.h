// The VST 2 editor's access to the plug-in: straight to the plug-in object. Every call comes
// from the host's user-interface thread.
#pragma once

#include "editor/pluginaccess.h"

class APlugin;

class VstPluginAccess final : public editor::PluginAccess {
public:
    explicit VstPluginAccess(APlugin& plugin) noexcept : plugin_(plugin) {}

    float getParameter(int index) override;
    void setParameter(int index, float value) override;
    void setParameterAutomated(int index, float value) override;
    void beginEdit(int index) override;
    void endEdit(int index) override;
    double sampleRate() override;
    std::vector<std::string> outputDeviceNames() override;
    std::vector<std::string> inputDeviceNames() override;
    bool devicesLoop() override;
    std::string busLabel(int bus) override;
    void setBusLabel(int bus, const std::string& label) override;
    std::string hostProduct() override;
    void clearLog() override;
    bool saveLog(const std::string& path) override;
    std::string trackName() override;
    void setTrackName(const std::string& name) override;
    bool takeTimeSignature(int& numerator, int& denominator) override;
    bool takeTempo(double& bpm) override;

private:
    APlugin& plugin_;
};
