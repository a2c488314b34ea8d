// One RTP-MIDI session over the session protocol: accepts invitations on a control and a data
// port (or invites a peer and keeps inviting until it answers), exchanges clocks, sends the
// queued messages to every open peer with a recovery journal, receives their packets (repairing
// losses from the journals), acknowledges them, and notices peers that went away.
//
// The session does no I/O and reads no clock itself: the caller hands it every datagram and
// the time, and it sends through a TTransport. It takes no lock: a caller that uses it from
// several threads (the network bridge: its socket loop and its bus's sender) holds one around
// every call, and the listener and the transport are called on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/udp.h"
#include "rtpmidi/control.h"
#include "rtpmidi/journal.h"
#include "rtpmidi/payload.h"

namespace rtpmidi {

enum class Port { Control, Data };

class TTransport {
public:
    virtual ~TTransport() = default;
    virtual void send(Port port, const platform::TEndpoint& to, const std::uint8_t* data,
                      std::size_t size) = 0;
};

class TSessionListener {
public:
    virtual ~TSessionListener() = default;
    // A message from a peer: a short message (1 to 3 bytes) or a whole SysEx.
    virtual void onMessage(const std::uint8_t* bytes, std::size_t size) = 0;
    // One line of progress (session opened, closed, peer lost, packets lost and repaired).
    virtual void onEvent(const std::string& line) = 0;
};

// An address range that may join: `bits` leading bits of `net`.
struct TAllow {
    platform::TEndpoint net;
    int bits = 0;
    bool contains(const platform::TEndpoint& e) const noexcept;
};

struct TSessionConfig {
    std::string name = "corvella";
    std::uint32_t ssrc = 1;
    std::vector<TAllow> allow;  // empty: every peer may join
    // Octets of MIDI list per packet: packets stay below an Ethernet frame; a longer SysEx
    // travels in segments.
    std::size_t listRoom = 1200;
    std::size_t maxSysex = 1 << 20;
    std::size_t maxPeers = 16;
    // Times in microseconds.
    std::int64_t inviteFirst = 1'000'000;  // first invitation retry; it grows to inviteMax
    std::int64_t inviteMax = 16'000'000;
    std::int64_t clockFast = 1'500'000;  // the first clock exchanges
    std::int64_t clockSlow = 10'000'000;
    int clockMisses = 4;                // unanswered exchanges before the peer counts as lost
    std::int64_t silence = 60'000'000;  // nothing heard for this long: the peer is lost
    std::int64_t feedback = 1'000'000;  // receiver feedback interval
};

struct TSessionCounters {
    std::uint64_t packetsIn = 0, packetsOut = 0, messagesIn = 0, messagesOut = 0;
    std::uint64_t lost = 0, repaired = 0, late = 0, malformed = 0, strangers = 0;
    std::uint64_t refused = 0, sysexDropped = 0, unsent = 0;
};

class TSession {
public:
    TSession(TSessionConfig config, TTransport& transport, TSessionListener& listener);
    ~TSession();

    // Keeps a session with the peer whose control port is `control`, inviting it (again after
    // it leaves or is lost) with growing pauses until it answers.
    void connect(const platform::TEndpoint& control, std::int64_t now);
    // A datagram that arrived on `port` from `from` at `now` (microseconds).
    void receive(Port port, const platform::TEndpoint& from, const std::uint8_t* data,
                 std::size_t size, std::int64_t now);
    // Queues a message (1 to 3 bytes, or a whole SysEx F0 ... F7) for every open peer; it goes
    // at the next flush(). Messages queued while no peer is open are counted as unsent.
    void send(const std::uint8_t* bytes, std::size_t size);
    void flush(std::int64_t now);
    // Runs the timers; answers when it wants to run them next.
    std::int64_t tick(std::int64_t now);
    // Ends every session with BY.
    void close();

    int openPeers() const noexcept;
    TSessionCounters counters() const noexcept;
    // One line per peer: name, address, state, clock offset and the peer's counters.
    std::vector<std::string> describePeers() const;

    struct Peer;

private:
    std::uint32_t stamp(std::int64_t now) const noexcept;
    Peer* findBySsrc(std::uint32_t ssrc) noexcept;
    void sendControl(Port port, const platform::TEndpoint& to, const TControlPacket& c);
    void invite(Peer& p, std::int64_t now);
    void opened(Peer& p, std::int64_t now);
    void lose(Peer& p, const std::string& why, std::int64_t now);
    void onControl(Port port, const platform::TEndpoint& from, const TControlPacket& c,
                   std::int64_t now);
    void onInvite(Port port, const platform::TEndpoint& from, const TControlPacket& c,
                  std::int64_t now);
    void onAnswer(Port port, const platform::TEndpoint& from, const TControlPacket& c,
                  std::int64_t now);
    void onEnd(const platform::TEndpoint& from, const TControlPacket& c, std::int64_t now);
    void onClock(const platform::TEndpoint& from, const TControlPacket& c, std::int64_t now);
    void onFeedback(const TControlPacket& c, std::int64_t now);
    void sayRefused(const platform::TEndpoint& from, const char* why, std::int64_t now);
    void onRtp(const platform::TEndpoint& from, const std::uint8_t* data, std::size_t size,
               std::int64_t now);
    void recoverLoss(Peer& p, int lost, const TCommandSection& section, const std::uint8_t* payload,
                     std::size_t length);
    void removeClosed();
    bool nextPacket(std::vector<std::uint8_t>& shorts);

    TSessionConfig config_;
    TTransport& transport_;
    TSessionListener& listener_;
    std::vector<std::unique_ptr<Peer>> peers_;
    std::int64_t start_ = 0;
    bool started_ = false;
    std::uint32_t tokenSeed_;
    // Queued outgoing messages, whole, one after another; a SysEx partly sent keeps its place
    // with the bytes already sent counted in sysexSent_.
    std::vector<std::uint8_t> queue_;
    std::size_t queueHead_ = 0;
    std::size_t sysexSent_ = 0;
    TCommandWriter writer_;
    std::vector<std::uint8_t> packet_;
    // flush's working space, kept between calls so a steady stream allocates nothing: the
    // short messages of the packet being sent (each after its length) and a peer's journal.
    std::vector<std::uint8_t> flushShorts_, flushJournal_;
    TSessionCounters counters_;
    std::int64_t lastRefusalLine_ = INT64_MIN / 2;
    std::uint64_t refusalsUnsaid_ = 0;
};

}  // namespace rtpmidi
