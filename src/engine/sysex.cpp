#include "engine/sysex.h"

#include <algorithm>
#include <cstring>

#include "engine/logtext.h"

namespace {
constexpr char kHex[] = "0123456789ABCDEF";

char* putHex(char* p, std::uint8_t b) noexcept {
    *p++ = kHex[b >> 4];
    *p++ = kHex[b & 0x0F];
    return p;
}
}  // namespace

std::size_t writeSysexLogLine(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    char* p = out;
    const auto text = [&p](const char* s) noexcept {
        const std::size_t n = std::strlen(s);
        std::memcpy(p, s, n);
        p += n;
    };
    text("System Exclusive ");
    char digits[24];
    int n = 0;
    std::size_t v = size;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = digits[--n];
    text(size == 1 ? " byte:" : " bytes:");
    // Each byte takes 3 characters; a cut line ends in " ... XX" (7).
    const std::size_t room = (kMaxLogLine - static_cast<std::size_t>(p - out)) / 3;
    const bool cut = size > room;
    const std::size_t shown = cut ? room - 3 : size;
    for (std::size_t i = 0; i < shown; ++i) {
        *p++ = ' ';
        p = putHex(p, data[i]);
    }
    if (cut) {
        text(" ... ");
        p = putHex(p, data[size - 1]);
    }
    return static_cast<std::size_t>(p - out);
}

std::string sysexLogLine(const std::uint8_t* data, std::size_t size) {
    char line[kMaxLogLine];
    return std::string(line, writeSysexLogLine(data, size, line));
}

bool wholeSysex(const std::uint8_t* data, std::size_t size) noexcept {
    if (!data || size < 2 || data[0] != 0xF0 || data[size - 1] != 0xF7) return false;
    return std::none_of(data + 1, data + size - 1, [](std::uint8_t b) { return b >= 0x80; });
}
