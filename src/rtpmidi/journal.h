// The recovery journal: each packet carries, after its commands, the state that the commands of
// the packets since the checkpoint left behind (notes on and off, controllers, program, pitch
// wheel, the sequencer's run state and song select), so that a receiver that lost packets can
// bring its own state to the sender's without waiting for the lost packets again.
//
// Chapters written and read: P (program), C (controllers, value form), W (pitch wheel), N
// (notes) per channel, and D (song select) and Q (start/stop state) of the system journal.
// Other chapters in a received journal are skipped by their lengths.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace rtpmidi {

// Sender side. Packets are numbered 1, 2, ... (index); the wire sequence number is
// (base + index) mod 2^16.
class TJournalWriter {
public:
    explicit TJournalWriter(std::uint16_t base = 0) noexcept { reset(base); }
    void reset(std::uint16_t base) noexcept;
    // Records a short message sent in packet `index`.
    void record(std::uint32_t index, const std::uint8_t* msg, std::size_t n) noexcept;
    // The receiver reported the packet with wire sequence number `seq` (RS) while packets up to
    // `sent` have gone out: the history before it needs no protection any more.
    void acknowledge(std::uint16_t seq, std::uint32_t sent) noexcept;
    // Writes the journal for packet `index` (the history from the checkpoint up to packet
    // index - 1); false, writing nothing, when that history changed nothing.
    bool write(std::vector<std::uint8_t>& out, std::uint32_t index) const;
    std::uint32_t checkpoint() const noexcept { return checkpoint_; }

private:
    struct Channel {
        std::uint32_t last = 0;  // newest packet that changed anything on the channel
        std::uint8_t program = 0;
        std::uint32_t programAt = 0;
        std::array<std::uint8_t, 128> control{};
        std::array<std::uint32_t, 128> controlAt{};
        std::uint8_t wheel[2] = {0, 0x40};
        std::uint32_t wheelAt = 0;
        std::array<std::uint8_t, 128> velocity{};  // 0: off
        std::array<std::uint32_t, 128> noteAt{};
    };
    bool recent(std::uint32_t at) const noexcept { return at != 0 && at >= checkpoint_; }
    void writeChannel(std::vector<std::uint8_t>& out, int ch, std::uint32_t index) const;

    std::uint16_t base_ = 0;
    std::uint32_t checkpoint_ = 1;
    std::array<Channel, 16> channels_{};
    bool running_ = false;
    std::uint32_t runningAt_ = 0;
    std::uint8_t song_ = 0;
    std::uint32_t songAt_ = 0;
};

// Receiver side: what the receiver has delivered, to compare a journal with.
class TJournalReader {
public:
    using Emit = std::function<void(const std::uint8_t*, std::size_t)>;
    TJournalReader() { reset(); }
    void reset() noexcept;
    // Follows a message the receiver delivered.
    void apply(const std::uint8_t* msg, std::size_t n) noexcept;
    // Reads the journal at `p` and hands `emit` every message that brings the delivered state
    // to the journal's (each also applied here); answers how many, or -1 when the journal is
    // malformed (messages before the fault are kept).
    int repair(const std::uint8_t* p, std::size_t n, const Emit& emit);

private:
    struct Channel {
        std::array<bool, 128> on{};
        std::array<std::int16_t, 128> control{};  // -1: not known
        std::int16_t program = -1;
        std::int32_t wheel = -1;
    };
    bool channelJournal(const std::uint8_t* p, std::size_t n, int& count, const Emit& emit);
    bool systemJournal(const std::uint8_t* p, std::size_t n, int& count, const Emit& emit);
    void send(const Emit& emit, int& count, std::uint8_t a, int b = -1, int c = -1);

    std::array<Channel, 16> channels_{};
    int running_ = -1;  // -1 not known, 0 stopped, 1 running
    int song_ = -1;
};

}  // namespace rtpmidi
