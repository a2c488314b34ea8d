#include "platform/settingsfile.h"

namespace platform {

namespace {

std::string escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '=':
                out += "\\e";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 'e' ? '=' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

// Only plain decimal digits, up to 4294967295.
bool parseNumber(std::string_view s, std::uint32_t& out) {
    if (s.empty() || s.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

SettingsValues parseSettings(std::string_view text) {
    SettingsValues values;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view rest = line.substr(eq + 1);
        SettingsEntry e;
        if (rest.substr(0, 6) == "dword:") {
            if (!parseNumber(rest.substr(6), e.number)) continue;
        } else if (rest.substr(0, 3) == "sz:") {
            e.isText = true;
            e.text = unescape(rest.substr(3));
        } else {
            continue;
        }
        values[unescape(line.substr(0, eq))] = std::move(e);
    }
    return values;
}

std::string formatSettings(const SettingsValues& values) {
    std::string out;
    for (const auto& [name, e] : values) {
        out += escape(name);
        out += '=';
        out += e.isText ? "sz:" + escape(e.text) : "dword:" + std::to_string(e.number);
        out += '\n';
    }
    return out;
}

}  // namespace platform
