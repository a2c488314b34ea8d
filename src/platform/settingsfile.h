// The text form of one settings key as the per-user settings files hold it, one value a line:
//   NAME=dword:NUMBER     or     NAME=sz:TEXT
// with backslash escapes for '\\', '=' (\e) and line breaks (\n, \r). Lines of any other form
// are ignored, so a damaged or hand-edited file loses only its damaged lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace platform {

struct SettingsEntry {
    bool isText = false;
    std::uint32_t number = 0;
    std::string text;
    bool operator==(const SettingsEntry&) const = default;
};
using SettingsValues = std::map<std::string, SettingsEntry>;

SettingsValues parseSettings(std::string_view text);
std::string formatSettings(const SettingsValues& values);

}  // namespace platform
