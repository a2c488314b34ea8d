// The session protocol's own packets, sent on the control and data ports beside the RTP
// stream: invitation (IN), acceptance (OK), refusal (NO), end (BY), clock exchange (CK) and
// receiver feedback (RS). All fields are big-endian; every packet starts with FF FF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rtpmidi {

inline constexpr std::uint32_t kProtocolVersion = 2;
// Longest session name kept from a peer's packet.
inline constexpr std::size_t kMaxNameLength = 255;

enum class ControlKind { None, Invite, Accept, Refuse, End, Clock, Feedback };

struct TControlPacket {
    ControlKind kind = ControlKind::None;
    std::uint32_t version = 0;
    std::uint32_t token = 0;
    std::uint32_t ssrc = 0;
    std::string name;  // IN and OK; printable ASCII kept, anything else becomes '?'
    // CK: the exchange's step (0, 1, 2) and the three timestamps (100 microsecond units).
    std::uint8_t count = 0;
    std::uint64_t ts[3] = {0, 0, 0};
    // RS: the highest RTP sequence number the sender of the RS has received.
    std::uint16_t seq = 0;
};

// True for a packet that starts like a session packet (FF FF).
bool isControl(const std::uint8_t* p, std::size_t n) noexcept;
// Reads a session packet; false (and kind None) for anything malformed or unknown.
bool parseControl(const std::uint8_t* p, std::size_t n, TControlPacket& out);
void writeControl(std::vector<std::uint8_t>& out, const TControlPacket& c);

}  // namespace rtpmidi
