#include "engine/logshow.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/file.h"

namespace {

struct Named {
    const char* name;
    std::uint8_t status;
    bool kind;  // a channel message kind: all 16 channels
};

constexpr Named kNames[] = {
    {"note-off", 0x80, true},       {"note-on", 0x90, true},      {"poly-pressure", 0xA0, true},
    {"control", 0xB0, true},        {"program", 0xC0, true},      {"channel-pressure", 0xD0, true},
    {"pitch-bend", 0xE0, true},     {"sysex", 0xF0, false},       {"mtc", 0xF1, false},
    {"song-position", 0xF2, false}, {"song-select", 0xF3, false}, {"tune", 0xF6, false},
    {"clock", 0xF8, false},         {"start", 0xFA, false},       {"continue", 0xFB, false},
    {"stop", 0xFC, false},          {"sensing", 0xFE, false},     {"reset", 0xFF, false},
};

// "0xHH": exactly two hexadecimal digits (strtoul alone would also take a sign or a space).
bool statusByte(const std::string& item, unsigned& value) {
    if (item.size() != 4 || item[0] != '0' || (item[1] != 'x' && item[1] != 'X')) return false;
    if (!std::isxdigit(static_cast<unsigned char>(item[2])) ||
        !std::isxdigit(static_cast<unsigned char>(item[3])))
        return false;
    value = static_cast<unsigned>(std::strtoul(item.c_str() + 2, nullptr, 16));
    return value >= 0x80;
}

}  // namespace

void LogShow::hideKind(std::uint8_t status, bool on) noexcept {
    if (status >= 0xF0) {
        hidden_[status] = on;
        return;
    }
    const unsigned kind = status & 0xF0u;
    for (unsigned c = 0; c < 16; ++c) hidden_[kind | c] = on;
}

bool LogShow::kindHidden(std::uint8_t status) const noexcept {
    if (status >= 0xF0) return hidden_[status];
    const unsigned kind = status & 0xF0u;
    for (unsigned c = 0; c < 16; ++c)
        if (!hidden_[kind | c]) return false;
    return true;
}

void LogShow::hideClockAndSensing(bool on) noexcept {
    hidden_[0xF8] = on;
    hidden_[0xFE] = on;
}

bool LogShow::hideList(const std::string& list, std::string& bad) {
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        const std::string item = list.substr(at, end - at);
        at = end + 1;
        if (item.empty()) continue;
        unsigned value = 0;
        bool known = false;
        for (const Named& n : kNames) {
            if (item == n.name) {
                n.kind ? hideKind(n.status, true) : hide(n.status, true);
                known = true;
            }
        }
        if (!known && statusByte(item, value)) {
            hide(static_cast<std::uint8_t>(value), true);
            known = true;
        }
        if (!known) {
            bad = item;
            return false;
        }
    }
    return true;
}

std::string LogShow::text(const LogEntry& e) const {
    switch (prefix_) {
        case LogTimePrefix::Seconds:
            return secondsText(e.info.clock, e.info.sampleRate) + " " + e.text;
        case LogTimePrefix::Bars:
            return barsText(e.info) + " " + e.text;
        case LogTimePrefix::Off:
            break;
    }
    return e.text;
}

std::string secondsText(std::int64_t clock, double sampleRate) {
    if (!(sampleRate > 0.0)) return "-.---";
    const double ms = std::floor(static_cast<double>(clock) * 1000.0 / sampleRate + 1e-9);
    // A time beyond what the milliseconds' integer holds (a clock at a rate near zero) is no
    // time to show.
    if (!(std::fabs(ms) < 9.0e18)) return "-.---";
    const long long whole = static_cast<long long>(ms);
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%03lld", whole < 0 ? "-" : "",
                  (whole < 0 ? -whole : whole) / 1000, (whole < 0 ? -whole : whole) % 1000);
    return text;
}

std::string barsText(const LogLineInfo& info) {
    // Beyond this many quarter notes a position's ticks cannot be counted exactly: no position
    // to show (a bar start that far out is taken as none).
    constexpr double kFar = 1e12;
    if (!info.hasPpq || !(std::fabs(info.ppq) < kFar)) return "-.-.---";
    const int numerator = info.numerator > 0 ? info.numerator : 4;
    const int denominator = info.denominator > 0 ? info.denominator : 4;
    const double beatLength = 4.0 / denominator;  // in quarter notes
    const double barLength = numerator * beatLength;
    double bar = 0.0, inBar = 0.0;
    if (info.hasBar && std::fabs(info.barStart) < kFar) {
        bar = std::round(info.barStart / barLength);
        inBar = info.ppq - info.barStart;
    } else {
        bar = std::floor(info.ppq / barLength + 1e-9);
        inBar = info.ppq - bar * barLength;
    }
    // A message later in the call than its bar's end belongs to the next bar.
    if (inBar >= barLength - 1e-9) {
        const double bars = std::floor(inBar / barLength + 1e-9);
        bar += bars;
        inBar -= bars * barLength;
    }
    if (inBar < 0.0) inBar = 0.0;
    const double ticks = std::floor(inBar * 960.0 + 1e-6);
    const double beatTicks = beatLength * 960.0;
    const double beat = std::floor(ticks / beatTicks + 1e-9);
    const double tick = ticks - beat * beatTicks;
    char text[48];
    std::snprintf(text, sizeof text, "%.0f.%.0f.%03.0f", bar + 1.0, beat + 1.0,
                  std::floor(tick + 1e-9));
    return text;
}

std::string utf8Text(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        std::size_t length = c < 0x80         ? 1
                             : (c >> 5) == 6  ? 2
                             : (c >> 4) == 14 ? 3
                             : (c >> 3) == 30 ? 4
                                              : 0;
        bool valid = length > 0 && i + length <= n && !(c == 0xC0 || c == 0xC1 || c > 0xF4);
        for (std::size_t k = 1; valid && k < length; ++k) valid = (s[i + k] & 0xC0) == 0x80;
        if (valid && length == 3) {
            const unsigned cp = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6;
            valid = cp >= 0x800 && !(cp >= 0xD800 && cp <= 0xDFFF);
        }
        if (valid && length == 4) {
            const unsigned cp = (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12;
            valid = cp >= 0x10000 && cp <= 0x10FFFF;
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

bool saveLogText(const std::string& path, const std::vector<std::string>& lines,
                 std::string& error) {
    std::string text;
    for (const std::string& line : lines) {
        text += utf8Text(line);
        text += '\n';
    }
    std::string reason;
    if (platform::saveFile(path, text, reason)) return true;
    error = "Cannot write " + path + ": " + reason;
    return false;
}
