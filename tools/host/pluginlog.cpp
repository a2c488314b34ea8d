#include "tools/host/pluginlog.h"

#include <algorithm>

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
        // The text and its NUL are inside the buffer, or the answer is not one.
        if (command(h, CORVELLA_READ_LOG, &r) < 0 || r.length < 0 ||
            static_cast<std::size_t>(r.length) >= buffer_.size() || r.cursor < cursor_)
            return false;
        const bool moved = r.cursor > cursor_;
        cursor_ = r.cursor;
        missed_ += r.missed;
        const char* text = buffer_.data();
        std::size_t start = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(r.length); ++i) {
            if (text[i] != '\n') continue;
            lines.emplace_back(text + start, i - start);
            start = i + 1;
        }
        // A plug-in that says lines are waiting but does not move the cursor would be asked
        // for ever.
        if (r.pending == 0 || r.length == 0 || !moved) return true;
    }
}

bool PluginLog::pollEntries(VstHost& h, std::vector<LogEntry>& entries) {
    for (;;) {
        CorvellaLogEntries r{};
        r.entrySize = sizeof(CorvellaLogEntry);
        r.capacity = static_cast<std::int32_t>(entries_.size());
        r.count = -1;  // a plug-in that does not know the command leaves it so
        r.cursor = cursor_;
        r.entries = entries_.data();
        if (command(h, CORVELLA_READ_LOG_ENTRIES, &r) < 0 || r.count < 0 ||
            static_cast<std::size_t>(r.count) > entries_.size() || r.cursor < cursor_)
            return false;
        const bool moved = r.cursor > cursor_;
        cursor_ = r.cursor;
        missed_ += r.missed;
        for (std::int32_t i = 0; i < r.count; ++i) {
            const CorvellaLogEntry& in = entries_[static_cast<std::size_t>(i)];
            LogEntry e;
            e.sequence = in.sequence;
            // The text ends at its length or its NUL, whichever comes first.
            const std::size_t most = std::min<std::size_t>(in.length, sizeof in.text - 1);
            e.text.assign(in.text, std::find(in.text, in.text + most, '\0'));
            e.info.clock = in.sampleClock;
            e.info.sampleRate = in.sampleRate;
            e.info.ppq = in.ppqPosition;
            e.info.barStart = in.barStartPosition;
            e.info.status = in.status;
            e.info.numerator = in.numerator;
            e.info.denominator = in.denominator;
            e.info.hasPpq = (in.flags & CORVELLA_LOG_PPQ_VALID) != 0;
            e.info.hasBar = (in.flags & CORVELLA_LOG_BAR_VALID) != 0;
            entries.push_back(std::move(e));
        }
        if (r.pending == 0 || r.count == 0 || !moved) return true;
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
        {"malformed bus words dropped", c.busMalformed},
    };
    for (const auto& [name, value] : rows)
        std::fprintf(out, "%s: %llu\n", name, static_cast<unsigned long long>(value));
}

}  // namespace host
