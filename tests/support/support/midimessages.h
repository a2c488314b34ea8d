// Messages as tests build and compare them: a word or a whole SysEx, and SysEx made to order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "engine/midiword.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;
using Message = std::variant<MidiWord, Bytes>;

// A whole SysEx (F0 .. F7) of `size` bytes whose data bytes count up from `seed`.
inline Bytes sysexOf(std::size_t size, unsigned seed = 0) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i + seed) % 128);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

// The same with `id` (14 bits) in the second and third bytes, so that messages of different
// ids differ however many there are; `size` is at least 4.
inline Bytes taggedSysexOf(std::size_t size, unsigned id) {
    Bytes b = sysexOf(size, id);
    b[1] = static_cast<std::uint8_t>(id & 0x7F);
    b[2] = static_cast<std::uint8_t>(id >> 7 & 0x7F);
    return b;
}

}  // namespace testsupport
