#include "tools/host/runlog.h"

#include <cstdio>
#include <vector>

#include "engine/parameters.h"

namespace host {

bool RunLog::begin(VstHost& h, std::string& error) {
    if (!options_.any()) return true;
    CorvellaCounters probe;
    if (!pluginCounters(h, probe)) {
        error = "the plug-in does not answer Corvella's log commands";
        return false;
    }
    if (options_.reads() || !options_.saveTo.empty()) h.setParameter(param::Log, 1.0f);
    if (!options_.saveTo.empty() && !setPluginLogFile(h, options_.saveTo)) {
        error = "the plug-in did not take the log file name " + options_.saveTo;
        return false;
    }
    return true;
}

void RunLog::printNew(VstHost& h, long block) {
    std::vector<LogEntry> entries;
    if (!log_.pollEntries(h, entries)) return;
    if (options_.print && log_.missed() > missedShown_) {
        std::printf("block %ld: (%llu log lines missed)\n", block,
                    static_cast<unsigned long long>(log_.missed() - missedShown_));
        missedShown_ = log_.missed();
    }
    for (const LogEntry& e : entries) {
        if (!options_.show.shows(e)) continue;
        std::string line = options_.show.text(e);
        if (options_.print && paused_) {
            ++notPrinted_;
        } else if (options_.print) {
            std::printf("block %ld: %s\n", block, line.c_str());
        }
        if (!options_.saveTextTo.empty()) shown_.push_back(std::move(line));
    }
    if (options_.print) std::fflush(stdout);
}

void RunLog::setPaused(bool paused, long block) {
    if (paused == paused_ || !options_.print) return;
    paused_ = paused;
    if (paused) {
        notPrinted_ = 0;
        std::printf("block %ld: (log paused)\n", block);
    } else {
        std::printf("block %ld: (log resumed; %llu %s not printed)\n", block,
                    static_cast<unsigned long long>(notPrinted_),
                    notPrinted_ == 1 ? "line" : "lines");
    }
    std::fflush(stdout);
}

void RunLog::afterBlock(VstHost& h) {
    if (options_.reads()) printNew(h, h.currentBlock());
}

bool RunLog::finish(VstHost& h, std::string& error) {
    if (options_.reads()) printNew(h, h.currentBlock());
    bool ok = true;
    if (!options_.saveTo.empty()) ok = savePluginLog(h, error);
    if (!options_.saveTextTo.empty()) {
        std::string reason;
        if (!saveLogText(options_.saveTextTo, shown_, reason)) {
            if (ok) error = reason;
            ok = false;
        }
    }
    if (options_.stats) {
        CorvellaCounters c;
        if (pluginCounters(h, c)) printCounters(c, stdout);
    }
    return ok;
}

}  // namespace host
