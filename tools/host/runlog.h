// What corvella-host does with --log, --save-log and --stats, and the stop request that ends a
// --realtime run early (Ctrl+C) so that the log is still saved.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/logshow.h"
#include "tools/host/pluginlog.h"
#include "tools/host/vsthost.h"

namespace host {

struct LogOptions {
    bool print = false;  // --log: print every new log line after the block that produced it
    std::string saveTo;  // --save-log FILE: the plug-in saves its recording there at the end
    bool stats = false;  // --stats: print the plug-in's counters at the end
    // --log-hide, --log-time: which lines --log prints and --save-log-text saves, and how.
    LogShow show;
    std::string saveTextTo;  // --save-log-text FILE: the shown lines as text at the end
    bool reads() const noexcept { return print || !saveTextTo.empty(); }
    bool any() const noexcept { return reads() || !saveTo.empty() || stats; }
};

class RunLog {
public:
    explicit RunLog(LogOptions options) : options_(std::move(options)) {}
    // Before processing: switches the plug-in's log on ("log?", parameter 4) for --log,
    // --save-log and --save-log-text and gives it the file name. False with a message when the
    // plug-in does not take the commands.
    bool begin(VstHost& h, std::string& error);
    // After each block: prints the lines it added that show as "block B: [TIME ]LINE".
    void afterBlock(VstHost& h);
    // Pauses or resumes --log's printing after block `block`: while paused, the lines that
    // would show are read and counted but not printed (--save-log-text still keeps them).
    void setPaused(bool paused, long block);
    // At the end of the run: prints what is left, saves (the recording, the text) and prints
    // the counters. False with the reason when a save failed.
    bool finish(VstHost& h, std::string& error);

private:
    void printNew(VstHost& h, long block);

    LogOptions options_;
    PluginLog log_;
    std::uint64_t missedShown_ = 0;
    bool paused_ = false;
    std::uint64_t notPrinted_ = 0;    // lines held back by the pause
    std::vector<std::string> shown_;  // for --save-log-text
};

}  // namespace host
