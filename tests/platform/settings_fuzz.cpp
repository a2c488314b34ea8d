// Any bytes as a settings file: parsing never fails, and what it keeps survives a write and a
// second read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/settingsfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const platform::SettingsValues first = platform::parseSettings(text);
    const std::string written = platform::formatSettings(first);
    if (platform::parseSettings(written) != first) std::abort();
    if (platform::formatSettings(platform::parseSettings(written)) != written) std::abort();
    return 0;
}
