#include "tools/host/runlog.h"

#include <cstdio>
#include <vector>

namespace host {

bool RunLog::begin(VstHost& h, std::string& error) {
    if (!options_.any()) return true;
    CorvellaCounters probe;
    if (!pluginCounters(h, probe)) {
        error = "the plug-in does not answer Corvella's log commands";
        return false;
    }
    if (options_.print || !options_.saveTo.empty()) h.setParameter(4, 1.0f);
    if (!options_.saveTo.empty() && !setPluginLogFile(h, options_.saveTo)) {
        error = "the plug-in did not take the log file name " + options_.saveTo;
        return false;
    }
    return true;
}

void RunLog::printNew(VstHost& h, long block) {
    std::vector<std::string> lines;
    if (!log_.poll(h, lines)) return;
    if (log_.missed() > missedShown_) {
        std::printf("block %ld: (%llu log lines missed)\n", block,
                    static_cast<unsigned long long>(log_.missed() - missedShown_));
        missedShown_ = log_.missed();
    }
    for (const std::string& line : lines) std::printf("block %ld: %s\n", block, line.c_str());
    std::fflush(stdout);
}

void RunLog::afterBlock(VstHost& h) {
    if (options_.print) printNew(h, h.currentBlock());
}

bool RunLog::finish(VstHost& h, std::string& error) {
    if (options_.print) printNew(h, h.currentBlock());
    bool ok = true;
    if (!options_.saveTo.empty()) ok = savePluginLog(h, error);
    if (options_.stats) {
        CorvellaCounters c;
        if (pluginCounters(h, c)) printCounters(c, stdout);
    }
    return ok;
}

}  // namespace host
