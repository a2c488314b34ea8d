// The plug-in's MIDI log as a host program reaches it: through Corvella's vendor-specific
// commands (vst/corvellavendor.h) rather than its editor.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/logentry.h"
#include "tools/host/vsthost.h"
#include "vst/corvellavendor.h"

namespace host {

// Reads the log lines a plug-in adds, in order, keeping the cursor between calls.
class PluginLog {
public:
    // Appends the lines added since the last call. False when the plug-in does not answer the
    // command (another plug-in, or none loaded).
    bool poll(VstHost& h, std::vector<std::string>& lines);
    // The same with each line's fields (status, sample clock, host position).
    bool pollEntries(VstHost& h, std::vector<LogEntry>& entries);
    // Lines the plug-in dropped before they could be read, over all calls so far.
    std::uint64_t missed() const noexcept { return missed_; }
    std::uint64_t cursor() const noexcept { return cursor_; }

private:
    std::uint64_t cursor_ = 0;
    std::uint64_t missed_ = 0;
    std::vector<char> buffer_ = std::vector<char>(1 << 16);
    std::vector<CorvellaLogEntry> entries_ = std::vector<CorvellaLogEntry>(256);
};

// The other commands. Each answers false when the plug-in does not take it.
bool setPluginLogFile(VstHost& h, const std::string& path);
bool pluginLogFile(VstHost& h, std::string& path);
// False with the plug-in's reason when the recording could not be saved.
bool savePluginLog(VstHost& h, std::string& reason);
bool pluginCounters(VstHost& h, CorvellaCounters& counters);
// One "name: value" line per counter.
void printCounters(const CorvellaCounters& c, std::FILE* out);

}  // namespace host
