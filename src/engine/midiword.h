// The packed MIDI word that travels through the engine: status in bits 0..7, data1 in 8..15,
// data2 in 16..23, bits 24..31 zero. 0 means no message.
#pragma once

#include <cmath>
#include <cstdint>

using MidiWord = std::uint32_t;

constexpr MidiWord packWord(unsigned status, unsigned data1, unsigned data2) noexcept {
    return (status & 0xFFu) | ((data1 & 0xFFu) << 8) | ((data2 & 0xFFu) << 16);
}
constexpr unsigned wordStatus(MidiWord w) noexcept {
    return w & 0xFFu;
}
constexpr unsigned wordData1(MidiWord w) noexcept {
    return (w >> 8) & 0xFFu;
}
constexpr unsigned wordData2(MidiWord w) noexcept {
    return (w >> 16) & 0xFFu;
}

// Round to the nearest integer, halves to the even neighbour (the default rounding mode).
inline int roundEven(double x) noexcept {
    const double r = std::nearbyint(x);
    if (!(r > -2147483648.0 && r < 2147483648.0)) return 0;
    return static_cast<int>(r);
}

// A list choice stored as n/256, read back.
inline int choiceOf(float v) noexcept {
    return roundEven(static_cast<double>(v) * 256.0);
}

// A bus number stored as n/256, read back by truncation.
inline int busOf(float v) noexcept {
    return static_cast<int>(static_cast<double>(v) * 256.0);
}
