// Big-endian field access over a bounded byte range, for the packets that come from the
// network: a read past the end answers false instead of reading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtpmidi {

class TReader {
public:
    TReader(const std::uint8_t* data, std::size_t size) noexcept : p_(data), n_(size) {}
    std::size_t left() const noexcept { return n_ - at_; }
    std::size_t offset() const noexcept { return at_; }
    const std::uint8_t* here() const noexcept { return p_ + at_; }
    bool u8(std::uint8_t& v) noexcept {
        if (left() < 1) return false;
        v = p_[at_++];
        return true;
    }
    bool u16(std::uint16_t& v) noexcept {
        if (left() < 2) return false;
        v = static_cast<std::uint16_t>(p_[at_] << 8 | p_[at_ + 1]);
        at_ += 2;
        return true;
    }
    bool u32(std::uint32_t& v) noexcept {
        if (left() < 4) return false;
        v = static_cast<std::uint32_t>(p_[at_]) << 24 |
            static_cast<std::uint32_t>(p_[at_ + 1]) << 16 |
            static_cast<std::uint32_t>(p_[at_ + 2]) << 8 | p_[at_ + 3];
        at_ += 4;
        return true;
    }
    bool u64(std::uint64_t& v) noexcept {
        std::uint32_t hi = 0, lo = 0;
        if (left() < 8 || !u32(hi) || !u32(lo)) return false;
        v = static_cast<std::uint64_t>(hi) << 32 | lo;
        return true;
    }
    bool skip(std::size_t k) noexcept {
        if (left() < k) return false;
        at_ += k;
        return true;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t at_ = 0;
};

inline void put8(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v));
}
inline void put16(std::vector<std::uint8_t>& out, unsigned v) {
    put8(out, v >> 8 & 0xFF);
    put8(out, v & 0xFF);
}
inline void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v >> 16);
    put16(out, v & 0xFFFF);
}
inline void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v >> 32));
    put32(out, static_cast<std::uint32_t>(v));
}

}  // namespace rtpmidi
