// The RTP-MIDI payload: the RTP header, the MIDI command section (delta times, running status,
// SysEx in segments) and the reassembly of segmented SysEx. Everything here reads bytes from the
// network: every length and field is checked before use, and a malformed packet yields the
// messages that came before the fault and nothing past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtpmidi {

inline constexpr std::uint8_t kPayloadType = 0x61;
// The longest MIDI list one command section can state (a 12-bit length).
inline constexpr std::size_t kMaxListLength = 4095;

// Data bytes after `status` in a short message (0..2); -1 for SysEx (F0, F7) and the
// undefined system common bytes F4 and F5, whose length only the next status byte tells.
int dataLength(std::uint8_t status) noexcept;

struct TRtpHeader {
    std::uint16_t seq = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t ssrc = 0;
    bool marker = false;
};

// Reads an RTP packet of version 2 with the MIDI payload type: skips contributing sources and
// a header extension and drops padding, each only as far as the packet holds it. On success
// `payload` and `payloadSize` name the RTP payload inside `p`.
bool parseRtp(const std::uint8_t* p, std::size_t n, TRtpHeader& h, const std::uint8_t*& payload,
              std::size_t& payloadSize) noexcept;
void writeRtp(std::vector<std::uint8_t>& out, const TRtpHeader& h);

// How a SysEx segment ended: F7 (the SysEx is complete), F0 (more follows in a later
// segment) or F4 (the sender cancelled the SysEx).
enum class SysexEnd { Complete, More, Cancel };

class TCommandSink {
public:
    virtual ~TCommandSink() = default;
    // A channel, system common or real-time message of 1 to 3 bytes, status first; `delta`
    // is the time after the packet's timestamp, in timestamp units.
    virtual void onShort(std::uint32_t delta, const std::uint8_t* bytes, std::size_t n) = 0;
    // One SysEx segment: `first` when it began with F0 (a new SysEx) rather than F7; `data`
    // holds the bytes between its first and last byte.
    virtual void onSysex(std::uint32_t delta, bool first, SysexEnd end, const std::uint8_t* data,
                         std::size_t n) = 0;
};

struct TCommandSection {
    bool ok = false;       // the whole section was well formed
    bool journal = false;  // the J flag: a recovery journal follows the section
    bool phantom = false;  // the P flag
    std::size_t end = 0;   // offset of what follows the section (the journal)
};

// Decodes the command section at the start of an RTP-MIDI payload and hands every message to
// `sink` in order.
TCommandSection parseCommands(const std::uint8_t* p, std::size_t n, TCommandSink& sink);

// Builds the command section of one packet, with room for at most `room` octets of MIDI list.
// Channel messages after the first use running status; every system message makes the next
// channel message carry its status again (some receivers take a real-time status for running
// status). A list of one octet goes out with a zero delta time before it.
class TCommandWriter {
public:
    explicit TCommandWriter(std::size_t room) noexcept;
    void clear() noexcept;
    bool empty() const noexcept { return list_.empty(); }
    // Appends a message of 1 to 3 bytes; false, writing nothing, when it does not fit.
    bool addShort(std::uint32_t delta, const std::uint8_t* bytes, std::size_t n);
    // Data bytes a SysEx segment appended now at `delta` can carry (0 when none fit).
    std::size_t sysexRoom(std::uint32_t delta) const noexcept;
    // Appends a SysEx segment: F0 before the data when `first`, else F7; F7 after it when
    // `last`, else F0. `n` must not exceed sysexRoom(delta).
    void addSysex(std::uint32_t delta, bool first, bool last, const std::uint8_t* data,
                  std::size_t n);
    // Writes the section header and the list.
    void finish(std::vector<std::uint8_t>& out, bool journal) const;

private:
    std::size_t deltaSize(std::uint32_t delta) const noexcept;
    void putDelta(std::uint32_t delta);

    std::vector<std::uint8_t> list_;
    std::size_t room_;
    std::uint8_t running_ = 0;
    bool z_ = false;
};

// Joins SysEx segments into whole messages (F0 ... F7), at most `limit` bytes long.
class TSysexAssembler {
public:
    explicit TSysexAssembler(std::size_t limit) noexcept : limit_(limit) {}
    // Takes one segment; true when a whole SysEx is ready in message().
    bool add(bool first, SysexEnd end, const std::uint8_t* data, std::size_t n);
    const std::vector<std::uint8_t>& message() const noexcept { return message_; }
    // SysEx lost: cut off by a new one, continued without a beginning, cancelled, too long.
    std::uint64_t dropped() const noexcept { return dropped_; }
    // Forgets a SysEx in progress (its segments were lost), counting it as dropped.
    void abandon() noexcept;

private:
    std::vector<std::uint8_t> message_;
    std::size_t limit_;
    bool open_ = false;
    bool overflow_ = false;
    std::uint64_t dropped_ = 0;
};

}  // namespace rtpmidi
