#include "tools/host/pluginlog.h"

namespace host {

namespace {
VstIntPtr command(VstHost& h, int which, void* ptr) {
    return h.dispatch(effVendorSpecific, CORVELLA_VENDOR_INDEX, which, ptr);
}
}  // namespace

bool PluginLog::poll(VstHost& h, std::vector<std::string>& lines) {
    for (;;) {
        CorvellaLogRead r{};
        r.cursor = cursor_;
        r.buffer = buffer_.data();
        r.size = static_cast<std::int32_t>(buffer_.size());
        r.length = -1;  // a plug-in that does not know the command leaves it so
        if (command(h, CORVELLA_READ_LOG, &r) < 0 || r.length < 0 || r.cursor < cursor_)
            return false;
        cursor_ = r.cursor;
        missed_ += r.missed;
        std::size_t start = 0;
        for (std::int32_t i = 0; i < r.length; ++i) {
            if (r.buffer[i] != '\n') continue;
            lines.emplace_back(r.buffer + start, static_cast<std::size_t>(i) - start);
            start = static_cast<std::size_t>(i) + 1;
        }
        if (r.pending == 0 || r.length == 0) return true;
    }
}

bool setPluginLogFile(VstHost& h, const std::string& path) {
    return command(h, CORVELLA_SET_LOG_FILE, const_cast<char*>(path.c_str())) == 1;
}

bool pluginLogFile(VstHost& h, std::string& path) {
    std::vector<char> text(256);
    for (;;) {
        CorvellaText t{text.data(), static_cast<std::int32_t>(text.size()), 0};
        const VstIntPtr whole = command(h, CORVELLA_GET_LOG_FILE, &t);
        if (whole == 1) {
            path.assign(text.data(), static_cast<std::size_t>(t.length));
            return true;
        }
        if (t.length < static_cast<std::int32_t>(text.size())) return false;
        text.resize(static_cast<std::size_t>(t.length) + 1);
    }
}

bool savePluginLog(VstHost& h, std::string& reason) {
    char text[1024] = {};
    CorvellaText t{text, sizeof text, 0};
    const bool ok = command(h, CORVELLA_SAVE_LOG, &t) == 1;
    reason = text;
    if (!ok && reason.empty()) reason = "the plug-in did not save its log";
    return ok;
}

bool pluginCounters(VstHost& h, CorvellaCounters& counters) {
    counters = CorvellaCounters{};
    counters.size = sizeof counters;
    return command(h, CORVELLA_GET_COUNTERS, &counters) == 1;
}

void printCounters(const CorvellaCounters& c, std::FILE* out) {
    const std::pair<const char*, std::uint64_t> rows[] = {
        {"dropped by the delay line", c.delayLineDropped},
        {"dropped by the host queue", c.hostQueueDropped},
        {"dropped by the device send queue", c.deviceSendDropped},
        {"dropped by the send bus", c.busSendDropped},
        {"refused by the full recording", c.recordingDropped},
        {"stream is sound", c.soundStreams},
        {"feedback loop", c.feedbackLoops},
        {"log lines dropped", c.logLinesDropped},
        {"SysEx dropped", c.sysexDropped},
    };
    for (const auto& [name, value] : rows)
        std::fprintf(out, "%s: %llu\n", name, static_cast<unsigned long long>(value));
}

}  // namespace host
