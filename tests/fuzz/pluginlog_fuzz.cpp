// Any answers a plug-in may give to the log commands, as corvella-host reads them. A stand-in
// plug-in answers CORVELLA_READ_LOG and CORVELLA_READ_LOG_ENTRIES from the input: any
// counts, cursors and bytes. The reader must take an answer only when it keeps to the
// commands' contract (a length inside the buffer, a count inside the capacity, a cursor that
// does not go back), return exactly the whole lines and entries the plug-in wrote, never ask
// again after an answer that did not move its cursor (or it could ask for ever), and show every
// entry's time as a number or as unknown.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/logshow.h"
#include "tools/host/pluginlog.h"
#include "tools/host/vsthost.h"

namespace {

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "plug-in log reader: %s\n", what);
    std::abort();
}

// The input, read front to back; zeros once it is used up.
class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const noexcept { return at_ >= size_; }
    void bytes(void* out, std::size_t n) {
        const std::size_t have = std::min(n, size_ - std::min(at_, size_));
        if (have > 0) std::memcpy(out, data_ + at_, have);
        std::memset(static_cast<char*>(out) + have, 0, n - have);
        at_ += have;
    }
    template <typename T>
    T take() {
        T v{};
        bytes(&v, sizeof v);
        return v;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// What the reader should have made of the answers so far.
struct Expected {
    std::vector<std::string> lines;
    std::vector<std::string> texts;
    std::uint64_t cursor = 0;
    std::uint64_t missed = 0;
    bool ended = true;  // the last answer ends the current read
};

// The stand-in plug-in: every answer comes from the script.
struct StandIn {
    AEffect effect{};
    Script* script = nullptr;
    Expected expected;

    // Cursor, missed and pending of an answer, and whether the reader should take it.
    template <typename Record>
    bool answerHeader(Record& r, std::uint8_t mode) {
        require(expected.ended == false, "asked again after an answer that ends the read");
        require(r.cursor == expected.cursor, "asked from another line than the last answer left");
        const std::uint64_t from = r.cursor;
        r.cursor = (mode & 2) ? script->take<std::uint64_t>() : from + script->take<std::uint8_t>();
        r.missed = (mode & 16) ? script->take<std::uint64_t>() : script->take<std::uint8_t>();
        r.pending = script->take<std::uint8_t>() % 3;
        return r.cursor >= from;
    }

    VstIntPtr readLog(CorvellaLogRead& r) {
        const auto mode = script->take<std::uint8_t>();
        const std::uint64_t from = r.cursor;
        bool taken = answerHeader(r, mode);
        const std::size_t size = static_cast<std::size_t>(r.size);
        // The bytes written: a length inside the buffer, or (mode 4) any length.
        const std::size_t room = size - 1;
        std::size_t written = script->take<std::uint16_t>() % (room + 1);
        r.length = (mode & 4) ? script->take<std::int32_t>() : static_cast<std::int32_t>(written);
        if (r.length >= 0)
            written = std::min<std::size_t>(written, static_cast<std::size_t>(r.length));
        script->bytes(r.buffer, written);
        r.buffer[written] = '\0';
        const VstIntPtr answer = (mode & 8) ? -1 : 1;
        taken = taken && answer >= 0 && r.length >= 0 && static_cast<std::size_t>(r.length) < size;
        if (taken) {
            std::size_t start = 0;
            for (std::size_t i = 0; i < static_cast<std::size_t>(r.length); ++i) {
                if (r.buffer[i] != '\n') continue;
                expected.lines.emplace_back(r.buffer + start, i - start);
                start = i + 1;
            }
            expected.cursor = r.cursor;
            expected.missed += r.missed;
        }
        expected.ended = !taken || r.pending == 0 || r.length == 0 || r.cursor == from;
        return answer;
    }

    VstIntPtr readEntries(CorvellaLogEntries& r) {
        const auto mode = script->take<std::uint8_t>();
        const std::uint64_t from = r.cursor;
        bool taken = answerHeader(r, mode);
        const std::int32_t filled = script->take<std::uint8_t>() % (std::min(r.capacity, 8) + 1);
        r.count = (mode & 4) ? script->take<std::int32_t>() : filled;
        for (std::int32_t i = 0; i < filled; ++i) script->bytes(&r.entries[i], sizeof r.entries[i]);
        const VstIntPtr answer = (mode & 8) ? -1 : r.count;
        taken = taken && answer >= 0 && r.count >= 0 && r.count <= r.capacity;
        if (taken) {
            for (std::int32_t i = 0; i < r.count; ++i) {
                const CorvellaLogEntry& e = r.entries[i];
                const std::size_t shown = std::min<std::size_t>(
                    {e.length, sizeof e.text - 1, strnlen(e.text, sizeof e.text)});
                expected.texts.emplace_back(e.text, shown);
            }
            expected.cursor = r.cursor;
            expected.missed += r.missed;
        }
        expected.ended = !taken || r.pending == 0 || r.count == 0 || r.cursor == from;
        return answer;
    }

    static VstIntPtr VSTCALLBACK dispatch(AEffect* e, VstInt32 opcode, VstInt32 index,
                                          VstIntPtr value, void* ptr, float) {
        auto* self = static_cast<StandIn*>(e->object);
        if (opcode != effVendorSpecific || index != CORVELLA_VENDOR_INDEX || !ptr) return 0;
        if (value == CORVELLA_READ_LOG) return self->readLog(*static_cast<CorvellaLogRead*>(ptr));
        if (value == CORVELLA_READ_LOG_ENTRIES)
            return self->readEntries(*static_cast<CorvellaLogEntries*>(ptr));
        return 0;
    }
};

bool digits(const std::string& s, std::size_t from, std::size_t to) {
    if (from >= to) return false;
    for (std::size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// "S.mmm" (maybe negative) or "-.---".
bool secondsShape(const std::string& s) {
    if (s == "-.---") return true;
    const std::size_t start = s.starts_with('-') ? 1 : 0;
    const std::size_t dot = s.find('.');
    return dot != std::string::npos && digits(s, start, dot) && s.size() == dot + 4 &&
           digits(s, dot + 1, s.size());
}

// "B.b.ttt" (the bar maybe negative) or "-.-.---".
bool barsShape(const std::string& s) {
    if (s == "-.-.---") return true;
    const std::size_t start = s.starts_with('-') ? 1 : 0;
    const std::size_t dot1 = s.find('.');
    const std::size_t dot2 = dot1 == std::string::npos ? dot1 : s.find('.', dot1 + 1);
    return dot2 != std::string::npos && digits(s, start, dot1) && digits(s, dot1 + 1, dot2) &&
           s.size() == dot2 + 4 && digits(s, dot2 + 1, s.size());
}

// The prefix text() puts before the entry's text.
std::string prefix(const LogShow& show, const LogEntry& e) {
    const std::string t = show.text(e);
    require(t.size() > e.text.size() && t.ends_with(" " + e.text),
            "the text not kept after its prefix");
    return t.substr(0, t.size() - e.text.size() - 1);
}

void checkTimes(const LogEntry& e) {
    LogShow show;
    show.setTimePrefix(LogTimePrefix::Seconds);
    std::string p = prefix(show, e);
    if (!secondsShape(p)) std::fprintf(stderr, "seconds prefix \"%s\"\n", p.c_str());
    require(secondsShape(p), "a seconds prefix that is neither a time nor unknown");
    show.setTimePrefix(LogTimePrefix::Bars);
    p = prefix(show, e);
    if (!barsShape(p)) std::fprintf(stderr, "bars prefix \"%s\"\n", p.c_str());
    require(barsShape(p), "a bars prefix that is neither a position nor unknown");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script script(data, size);
    StandIn plugin;
    plugin.effect.magic = kEffectMagic;
    plugin.effect.dispatcher = &StandIn::dispatch;
    plugin.effect.object = &plugin;
    plugin.script = &script;
    host::VstHost h;
    require(h.adopt(&plugin.effect), "the stand-in is not taken");
    host::PluginLog log;
    std::vector<std::string> lines;
    std::vector<LogEntry> entries;
    while (!script.done()) {
        plugin.expected.ended = false;
        if (script.take<std::uint8_t>() & 1) {
            log.poll(h, lines);
        } else {
            log.pollEntries(h, entries);
        }
        require(plugin.expected.ended, "stopped reading before an answer that ends the read");
        require(lines == plugin.expected.lines, "lines other than the whole lines written");
        require(entries.size() == plugin.expected.texts.size(), "entries other than those written");
        for (std::size_t i = 0; i < entries.size(); ++i)
            require(entries[i].text == plugin.expected.texts[i], "an entry's text otherwise");
        require(log.cursor() == plugin.expected.cursor, "a cursor other than the last taken one");
        require(log.missed() == plugin.expected.missed, "missed lines counted otherwise");
    }
    for (const LogEntry& e : entries) checkTimes(e);
    return 0;
}
