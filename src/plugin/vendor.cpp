// The vendor-specific commands (vst/corvellavendor.h): the MIDI log, its file and the drop
// counters for host programs without the editor. Built on the plug-in's public operations only.
#include <algorithm>
#include <cstring>
#include <string>

#include "plugin/plugin.h"
#include "vst/corvellavendor.h"

namespace {

// Copies what fits of `text` (always NUL-terminated) and answers whether all of it did.
bool answerText(CorvellaText& out, const std::string& text) noexcept {
    out.length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    if (!out.text || out.size < 1) return false;
    const std::size_t n =
        std::min<std::size_t>(text.size(), static_cast<std::size_t>(out.size - 1));
    std::memcpy(out.text, text.data(), n);
    out.text[n] = '\0';
    return n == text.size();
}

VstIntPtr readLog(LogLines& lines, CorvellaLogRead* r) noexcept {
    if (!r || !r->buffer || r->size < 1) return -1;
    const std::size_t size = static_cast<std::size_t>(r->size);
    std::size_t used = 0;
    VstIntPtr copied = 0;
    r->missed = 0;
    char line[LogLines::kLineLength];
    for (;;) {
        std::uint64_t seq = r->cursor;
        const long n = lines.copyLine(seq, line);
        if (n < 0) break;
        // Lines removed before this call reached them count as missed, fitting or not.
        r->missed += seq - r->cursor;
        r->cursor = seq;
        const std::size_t length = static_cast<std::size_t>(n);
        if (used + length + 1 >= size) break;  // the line, its '\n' and the final NUL
        std::memcpy(r->buffer + used, line, length);
        used += length;
        r->buffer[used++] = '\n';
        ++r->cursor;
        ++copied;
    }
    r->buffer[used] = '\0';
    r->length = static_cast<std::int32_t>(used);
    const std::uint64_t appended = lines.appended();
    r->pending = appended > r->cursor ? appended - r->cursor : 0;
    return copied;
}

VstIntPtr readLogEntries(LogLines& lines, CorvellaLogEntries* r) {
    if (!r || !r->entries || r->capacity < 1 || r->entrySize != sizeof(CorvellaLogEntry)) return -1;
    r->missed = 0;
    r->count = 0;
    LogEntry e;
    while (r->count < r->capacity) {
        std::uint64_t seq = r->cursor;
        if (!lines.read(seq, e)) break;
        r->missed += seq - r->cursor;
        CorvellaLogEntry& out = r->entries[r->count++];
        out = CorvellaLogEntry{};
        out.sequence = seq;
        out.sampleClock = e.info.clock;
        out.ppqPosition = e.info.ppq;
        out.barStartPosition = e.info.barStart;
        out.sampleRate = e.info.sampleRate;
        out.status = e.info.status;
        out.numerator = e.info.numerator;
        out.denominator = e.info.denominator;
        out.flags = static_cast<std::uint8_t>((e.info.hasPpq ? CORVELLA_LOG_PPQ_VALID : 0) |
                                              (e.info.hasBar ? CORVELLA_LOG_BAR_VALID : 0));
        out.length = static_cast<std::uint32_t>(e.text.size());
        std::memcpy(out.text, e.text.data(), e.text.size());
        r->cursor = seq + 1;
    }
    const std::uint64_t appended = lines.appended();
    r->pending = appended > r->cursor ? appended - r->cursor : 0;
    return r->count;
}

// Writes the recording as "save log!" does, but answers the reason instead of showing it.
bool saveLog(APlugin& p, std::string& reason) {
    reason = p.logFile().save(p.recording());
    return reason.empty();
}

void fillCounters(APlugin& p, CorvellaCounters& c) noexcept {
    CorvellaCounters all{};
    all.size = sizeof all;
    const APluginCounters counts = p.counters();
    all.delayLineDropped = counts.delayDrops;
    all.hostQueueDropped = counts.hostQueueDrops;
    all.deviceSendDropped = counts.deviceQueueDrops;
    all.busSendDropped = counts.busDrops;
    all.recordingDropped = counts.recordingDrops;
    all.soundStreams = counts.soundStreamNotices;
    all.feedbackLoops = counts.feedbackLoopNotices;
    all.logLinesDropped = p.logLines().dropped();
    all.sysexDropped = counts.sysexDrops;
    all.busMalformed = counts.busMalformed;
    // Only what the caller's record has room for; its size field stays as the caller set it.
    const std::size_t n = std::min<std::size_t>(c.size, sizeof all);
    if (n > sizeof c.size) {
        std::memcpy(reinterpret_cast<char*>(&c) + sizeof c.size,
                    reinterpret_cast<const char*>(&all) + sizeof all.size, n - sizeof c.size);
    }
}

}  // namespace

VstIntPtr APlugin::vendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float /*opt*/) {
    if (index != CORVELLA_VENDOR_INDEX) return 0;
    try {
        switch (value) {
            case CORVELLA_READ_LOG:
                return readLog(logLines(), static_cast<CorvellaLogRead*>(ptr));
            case CORVELLA_SET_LOG_FILE:
                setLogFileName(ptr ? static_cast<const char*>(ptr) : "");
                return 1;
            case CORVELLA_GET_LOG_FILE:
                if (!ptr) return 0;
                return answerText(*static_cast<CorvellaText*>(ptr), logFileName()) ? 1 : 0;
            case CORVELLA_SAVE_LOG: {
                std::string reason;
                const bool ok = saveLog(*this, reason);
                if (ptr) answerText(*static_cast<CorvellaText*>(ptr), reason);
                return ok ? 1 : 0;
            }
            case CORVELLA_READ_LOG_ENTRIES:
                return readLogEntries(logLines(), static_cast<CorvellaLogEntries*>(ptr));
            case CORVELLA_GET_COUNTERS:
                if (!ptr) return 0;
                fillCounters(*this, *static_cast<CorvellaCounters*>(ptr));
                return 1;
            default:
                return 0;
        }
    } catch (...) {
        // Out of memory copying a name: nothing was changed that the caller relies on.
        return 0;
    }
}
