#include "rtpmidi/control.h"

#include "rtpmidi/bytes.h"

namespace rtpmidi {

namespace {

constexpr std::uint16_t command(char a, char b) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(a) << 8 |
                                      static_cast<unsigned char>(b));
}

constexpr std::uint16_t kIn = command('I', 'N');
constexpr std::uint16_t kOk = command('O', 'K');
constexpr std::uint16_t kNo = command('N', 'O');
constexpr std::uint16_t kBy = command('B', 'Y');
constexpr std::uint16_t kCk = command('C', 'K');
constexpr std::uint16_t kRs = command('R', 'S');

}  // namespace

bool isControl(const std::uint8_t* p, std::size_t n) noexcept {
    return n >= 4 && p[0] == 0xFF && p[1] == 0xFF;
}

bool parseControl(const std::uint8_t* p, std::size_t n, TControlPacket& out) {
    out = TControlPacket{};
    TReader r(p, n);
    std::uint16_t sig = 0, cmd = 0;
    if (!r.u16(sig) || sig != 0xFFFF || !r.u16(cmd)) return false;
    switch (cmd) {
        case kIn:
        case kOk:
        case kNo:
        case kBy: {
            if (!r.u32(out.version) || !r.u32(out.token) || !r.u32(out.ssrc)) return false;
            // The name runs to a NUL or the end of the packet.
            while (r.left() > 0) {
                std::uint8_t c = 0;
                r.u8(c);
                if (c == 0) break;
                if (out.name.size() < kMaxNameLength)
                    out.name.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
            }
            out.kind = cmd == kIn   ? ControlKind::Invite
                       : cmd == kOk ? ControlKind::Accept
                       : cmd == kNo ? ControlKind::Refuse
                                    : ControlKind::End;
            return true;
        }
        case kCk: {
            std::uint8_t count = 0;
            if (!r.u32(out.ssrc) || !r.u8(count) || !r.skip(3) || count > 2) return false;
            out.count = count;
            for (auto& t : out.ts)
                if (!r.u64(t)) return false;
            out.kind = ControlKind::Clock;
            return true;
        }
        case kRs: {
            if (!r.u32(out.ssrc) || !r.u16(out.seq)) return false;
            out.kind = ControlKind::Feedback;
            return true;
        }
        default:
            return false;
    }
}

void writeControl(std::vector<std::uint8_t>& out, const TControlPacket& c) {
    put16(out, 0xFFFF);
    switch (c.kind) {
        case ControlKind::Invite:
        case ControlKind::Accept:
        case ControlKind::Refuse:
        case ControlKind::End:
            put16(out, c.kind == ControlKind::Invite   ? kIn
                       : c.kind == ControlKind::Accept ? kOk
                       : c.kind == ControlKind::Refuse ? kNo
                                                       : kBy);
            put32(out, kProtocolVersion);
            put32(out, c.token);
            put32(out, c.ssrc);
            if (c.kind == ControlKind::Invite || c.kind == ControlKind::Accept) {
                out.insert(out.end(), c.name.begin(), c.name.end());
                put8(out, 0);
            }
            break;
        case ControlKind::Clock:
            put16(out, kCk);
            put32(out, c.ssrc);
            put8(out, c.count);
            put8(out, 0);
            put16(out, 0);
            for (const auto t : c.ts) put64(out, t);
            break;
        case ControlKind::Feedback:
            put16(out, kRs);
            put32(out, c.ssrc);
            put16(out, c.seq);
            put16(out, 0);
            break;
        case ControlKind::None:
            out.pop_back();
            out.pop_back();
            break;
    }
}

}  // namespace rtpmidi
