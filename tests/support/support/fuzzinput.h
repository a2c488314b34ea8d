// A fuzz target's input, taken a byte at a time: past its end every byte reads as 0, so a
// target can read what it needs without checking the length first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

struct Input {
    const std::uint8_t* data;
    std::size_t size;  // bytes not read yet, from data on

    bool more() const noexcept { return size != 0; }
    std::uint8_t byte() noexcept {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    // Four bytes, the first lowest.
    std::uint32_t word() noexcept {
        std::uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return w;
    }
};

}  // namespace fuzz
