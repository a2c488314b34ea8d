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

// Flags the engine keeps in bits 24..31 while a word travels inside it.
// Bit 27 marks the place of a device's SysEx among the queued words (its bytes wait in
// ChangeIntake); in the delay line it marks a SysEx whose bytes wait in DelayStage's store,
// the low bits holding its handle (no short word carries the bit there, and none is 0 with it).
inline constexpr MidiWord kSysexFlag = 1u << 27;
inline constexpr MidiWord kFromBusFlag = 1u << 31;  // a word taken from the receive bus
inline constexpr MidiWord kWordBits = 0xFFFFFFu;

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
