#include "rtpmidi/payload.h"

#include "rtpmidi/bytes.h"

namespace rtpmidi {

int dataLength(std::uint8_t status) noexcept {
    if (status < 0xF0) {
        const std::uint8_t kind = status & 0xF0;
        return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
    }
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 1;
        case 0xF2:
            return 2;
        case 0xF0:
        case 0xF7:
        case 0xF4:
        case 0xF5:
            return -1;
        default:
            return 0;  // F6 and the real-time bytes
    }
}

bool parseRtp(const std::uint8_t* p, std::size_t n, TRtpHeader& h, const std::uint8_t*& payload,
              std::size_t& payloadSize) noexcept {
    TReader r(p, n);
    std::uint8_t b0 = 0, b1 = 0;
    if (!r.u8(b0) || !r.u8(b1) || !r.u16(h.seq) || !r.u32(h.timestamp) || !r.u32(h.ssrc))
        return false;
    if ((b0 >> 6) != 2 || (b1 & 0x7F) != kPayloadType) return false;
    h.marker = (b1 & 0x80) != 0;
    if (!r.skip(4u * (b0 & 0x0F))) return false;
    if (b0 & 0x10) {
        std::uint16_t profile = 0, words = 0;
        if (!r.u16(profile) || !r.u16(words) || !r.skip(4u * words)) return false;
    }
    std::size_t size = r.left();
    if (b0 & 0x20) {
        if (size == 0) return false;
        const std::uint8_t pad = p[n - 1];
        if (pad == 0 || pad > size) return false;
        size -= pad;
    }
    payload = r.here();
    payloadSize = size;
    return true;
}

void writeRtp(std::vector<std::uint8_t>& out, const TRtpHeader& h) {
    put8(out, 0x80);
    put8(out, (h.marker ? 0x80 : 0) | kPayloadType);
    put16(out, h.seq);
    put32(out, h.timestamp);
    put32(out, h.ssrc);
}

namespace {

// Reads a delta time of one to four octets.
bool readDelta(TReader& r, std::uint32_t& delta) {
    delta = 0;
    for (int i = 0; i < 4; ++i) {
        std::uint8_t b = 0;
        if (!r.u8(b)) return false;
        delta = delta << 7 | (b & 0x7F);
        if (!(b & 0x80)) return true;
    }
    return false;
}

// A SysEx segment after its status (F0 starts a message, F7 goes on with one): data bytes up
// to F0, F7 or F4; real-time bytes may sit inside. False when the list is malformed.
bool readSysexSegment(TReader& r, std::uint32_t time, std::uint8_t status, TCommandSink& sink) {
    const std::uint8_t* data = r.here();
    std::size_t count = 0;
    for (;;) {
        std::uint8_t b = 0;
        if (!r.u8(b)) return false;
        if (b < 0x80) {
            ++count;
            continue;
        }
        if (b >= 0xF8) {
            // Deliver the data so far as its own piece only at the end; a real-time
            // byte inside a segment is a message of its own, passed on now.
            if (count > 0) {
                sink.onSysex(time, status == 0xF0, SysexEnd::More, data, count);
                status = 0xF7;
            }
            sink.onShort(time, &b, 1);
            data = r.here();
            count = 0;
            continue;
        }
        SysexEnd end;
        if (b == 0xF7)
            end = SysexEnd::Complete;
        else if (b == 0xF0)
            end = SysexEnd::More;
        else if (b == 0xF4)
            end = SysexEnd::Cancel;
        else
            return false;
        sink.onSysex(time, status == 0xF0, end, data, count);
        return true;
    }
}

}  // namespace

TCommandSection parseCommands(const std::uint8_t* p, std::size_t n, TCommandSink& sink) {
    TCommandSection s;
    TReader head(p, n);
    std::uint8_t b0 = 0;
    if (!head.u8(b0)) return s;
    std::size_t length = b0 & 0x0F;
    if (b0 & 0x80) {
        std::uint8_t b1 = 0;
        if (!head.u8(b1)) return s;
        length = length << 8 | b1;
    }
    s.journal = (b0 & 0x40) != 0;
    s.phantom = (b0 & 0x10) != 0;
    if (head.left() < length) return s;
    s.end = head.offset() + length;

    TReader r(head.here(), length);
    std::uint32_t time = 0;
    std::uint8_t running = 0;
    bool first = true;
    std::uint8_t msg[3];
    while (r.left() > 0) {
        if (!first || (b0 & 0x20)) {
            std::uint32_t delta = 0;
            if (!readDelta(r, delta) || r.left() == 0) return s;
            time += delta;
        }
        first = false;
        std::uint8_t status = *r.here();
        if (status & 0x80) {
            r.skip(1);
            if (status < 0xF0)
                running = status;
            else if (status < 0xF8)
                running = 0;
        } else {
            if (!running) return s;
            status = running;
        }
        if (status == 0xF0 || status == 0xF7) {
            if (!readSysexSegment(r, time, status, sink)) return s;
            continue;
        }
        const int len = dataLength(status);
        if (len < 0) {
            // F4 and F5: undefined, skipped with the data bytes that follow them.
            while (r.left() > 0 && *r.here() < 0x80) r.skip(1);
            continue;
        }
        msg[0] = status;
        for (int i = 0; i < len; ++i)
            if (!r.u8(msg[1 + i]) || msg[1 + i] >= 0x80) return s;
        sink.onShort(time, msg, static_cast<std::size_t>(1 + len));
    }
    s.ok = true;
    return s;
}

TCommandWriter::TCommandWriter(std::size_t room) noexcept
    : room_(room < kMaxListLength ? room : kMaxListLength) {}

void TCommandWriter::clear() noexcept {
    list_.clear();
    running_ = 0;
    z_ = false;
}

std::size_t TCommandWriter::deltaSize(std::uint32_t delta) const noexcept {
    if (list_.empty() && delta == 0) return 0;
    std::size_t k = 1;
    for (std::uint32_t v = delta >> 7; v != 0 && k < 4; v >>= 7) ++k;
    return k;
}

void TCommandWriter::putDelta(std::uint32_t delta) {
    if (list_.empty()) {
        if (delta == 0) return;
        z_ = true;
    }
    delta &= 0x0FFFFFFF;
    const std::size_t k = deltaSize(delta);
    for (std::size_t i = k; i-- > 0;) {
        const std::uint8_t part = (delta >> (7 * i)) & 0x7F;
        list_.push_back(i > 0 ? (part | 0x80) : part);
    }
}

bool TCommandWriter::addShort(std::uint32_t delta, const std::uint8_t* bytes, std::size_t n) {
    if (n == 0 || n > 3) return false;
    const std::uint8_t status = bytes[0];
    const bool skipStatus = status < 0xF0 && status == running_;
    const std::size_t need = deltaSize(delta) + n - (skipStatus ? 1 : 0);
    if (list_.size() + need > room_) return false;
    putDelta(delta);
    list_.insert(list_.end(), bytes + (skipStatus ? 1 : 0), bytes + n);
    running_ = status < 0xF0 ? status : 0;
    return true;
}

std::size_t TCommandWriter::sysexRoom(std::uint32_t delta) const noexcept {
    const std::size_t need = list_.size() + deltaSize(delta) + 2;
    return need >= room_ ? 0 : room_ - need;
}

void TCommandWriter::addSysex(std::uint32_t delta, bool first, bool last, const std::uint8_t* data,
                              std::size_t n) {
    putDelta(delta);
    list_.push_back(first ? 0xF0 : 0xF7);
    list_.insert(list_.end(), data, data + n);
    list_.push_back(last ? 0xF7 : 0xF0);
    running_ = 0;
}

void TCommandWriter::finish(std::vector<std::uint8_t>& out, bool journal) const {
    // A list of one octet goes out with a zero delta time before it (Z set): some receivers
    // read no command from a one-octet list.
    const bool pad = list_.size() == 1;
    const std::size_t len = list_.size() + (pad ? 1 : 0);
    std::uint8_t flags = (journal ? 0x40 : 0) | (z_ || pad ? 0x20 : 0);
    if (len > 15) {
        put8(out, 0x80 | flags | static_cast<unsigned>(len >> 8 & 0x0F));
        put8(out, static_cast<unsigned>(len & 0xFF));
    } else {
        put8(out, flags | static_cast<unsigned>(len));
    }
    if (pad) put8(out, 0);
    out.insert(out.end(), list_.begin(), list_.end());
}

bool TSysexAssembler::add(bool first, SysexEnd end, const std::uint8_t* data, std::size_t n) {
    if (first) {
        if (open_) ++dropped_;
        message_.assign(1, 0xF0);
        open_ = true;
        overflow_ = false;
    } else if (!open_) {
        // The beginning was lost: count the SysEx once, at its end.
        if (end != SysexEnd::More) ++dropped_;
        return false;
    }
    if (!overflow_) {
        if (message_.size() + n + 1 > limit_) {
            overflow_ = true;
            message_.clear();
        } else {
            message_.insert(message_.end(), data, data + n);
        }
    }
    if (end == SysexEnd::More) return false;
    open_ = false;
    if (end == SysexEnd::Cancel || overflow_) {
        ++dropped_;
        message_.clear();
        return false;
    }
    message_.push_back(0xF7);
    return true;
}

void TSysexAssembler::abandon() noexcept {
    if (open_) ++dropped_;
    open_ = false;
    message_.clear();
}

}  // namespace rtpmidi
