#include "plugin/vstaccess.h"

#include "plugin/plugin.h"

float VstPluginAccess::getParameter(int index) {
    return plugin_.getParameter(index);
}

void VstPluginAccess::setParameter(int index, float value) {
    plugin_.setParameter(index, value);
}

void VstPluginAccess::setParameterAutomated(int index, float value) {
    plugin_.setParameterAutomated(index, value);
}

void VstPluginAccess::beginEdit(int index) {
    plugin_.beginEdit(index);
}

void VstPluginAccess::endEdit(int index) {
    plugin_.endEdit(index);
}

double VstPluginAccess::sampleRate() {
    return plugin_.getSampleRate();
}

std::vector<std::string> VstPluginAccess::outputDeviceNames() {
    TMidiIO& devices = plugin_.midiDevices();
    std::vector<std::string> names;
    for (int n = 0; n < devices.outputDeviceCount(); ++n)
        names.push_back(devices.outputDeviceName(n));
    return names;
}

std::vector<std::string> VstPluginAccess::inputDeviceNames() {
    TMidiIO& devices = plugin_.midiDevices();
    std::vector<std::string> names;
    for (int n = 0; n < devices.inputDeviceCount(); ++n)
        names.push_back(devices.inputDeviceName(n));
    return names;
}

bool VstPluginAccess::devicesLoop() {
    return host::devicesLoop(plugin_.value(param::OutputDevice), plugin_.value(param::InputDevice));
}

std::string VstPluginAccess::busLabel(int bus) {
    return plugin_.bus().readLabel(bus);
}

void VstPluginAccess::setBusLabel(int bus, const std::string& label) {
    plugin_.bus().writeLabel(bus, label);
}

std::string VstPluginAccess::hostProduct() {
    char product[256] = {};
    plugin_.getHostProductString(product);
    product[sizeof product - 1] = '\0';
    return product;
}

void VstPluginAccess::clearLog() {
    plugin_.setParameter(param::ClearLog, 1.0f);
}

bool VstPluginAccess::saveLog(const std::string& path) {
    plugin_.setLogFileName(path);
    return plugin_.saveLogNow();
}

std::string VstPluginAccess::trackName() {
    return plugin_.trackName();
}

void VstPluginAccess::setTrackName(const std::string& name) {
    plugin_.setTrackName(name);
}

// A host without a time record gets no line, and the flag is taken all the same.
bool VstPluginAccess::takeTimeSignature(int& numerator, int& denominator) {
    if (!plugin_.takeTimeSigWritten()) return false;
    const VstTimeInfo* t = plugin_.getTimeInfo(kVstTimeSigValid);
    if (!t) return false;
    const VstTimeInfo copy = *t;
    numerator = copy.timeSigNumerator;
    denominator = copy.timeSigDenominator;
    return true;
}

bool VstPluginAccess::takeTempo(double& bpm) {
    if (!plugin_.takeTempoWritten()) return false;
    const VstTimeInfo* t = plugin_.getTimeInfo(kVstTempoValid);
    if (!t) return false;
    const VstTimeInfo copy = *t;
    bpm = copy.tempo;
    return true;
}
