// A JACK server of the test's own (dummy driver) and a peer client with one MIDI input and one
// MIDI output port, for the device tests and the latency benchmark.
#pragma once

#include <jack/jack.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace jacktest {

// Starts `jackd -n <unique name> -d dummy -r RATE -p PERIOD`, points JACK_DEFAULT_SERVER at it
// for every client this process opens, and waits until it answers. Stops it when destroyed.
class JackServer {
public:
    explicit JackServer(unsigned rate = 48000, unsigned period = 256);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool running() const noexcept { return running_; }
    // Why it is not running.
    const std::string& problem() const noexcept { return problem_; }
    unsigned period() const noexcept { return period_; }
    unsigned rate() const noexcept { return rate_; }

private:
    pid_t pid_ = -1;
    bool running_ = false;
    std::string name_, problem_;
    unsigned rate_, period_;
};

// One MIDI message as bytes (short messages, or a short system exclusive block).
struct Message {
    std::array<std::uint8_t, 8> bytes{};
    std::uint8_t size = 0;
};
Message shortMessage(std::uint32_t word);

// The peer: "NAME:in" receives, "NAME:out" sends what was posted, at most perPeriod messages
// per process cycle. Received short messages are kept as packed words with the time they were
// read; sent ones keep the time they were written.
class JackPeer {
public:
    static constexpr std::size_t kCapacity = 1 << 15;

    JackPeer(const char* name, int perPeriod);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    bool ok() const noexcept { return client_ != nullptr; }
    std::string inputPort() const;
    std::string outputPort() const;
    // Connections of the input and the output port.
    int inputConnections() const noexcept;
    int outputConnections() const noexcept;

    // Queues a message for sending; false when the queue is full.
    bool post(const Message& m) noexcept;
    std::size_t sentCount() const noexcept { return sent_.load(std::memory_order_acquire); }
    std::int64_t sentAt(std::size_t i) const noexcept { return sendTimes_[i]; }

    std::size_t receivedCount() const noexcept { return received_.load(std::memory_order_acquire); }
    std::vector<std::uint32_t> received() const;
    std::int64_t receivedAt(std::size_t i) const noexcept { return receiveTimes_[i]; }

    // SysEx: sends `bytes` as JACK events of at most `piece` bytes, one per cycle, after the
    // queued messages (false while an earlier one is still going out). The bytes of received
    // events that are not short messages (SysEx and its pieces) are kept in arrival order.
    bool postBytes(const std::vector<std::uint8_t>& bytes, std::size_t piece);
    bool bytesSent() const noexcept { return longDone_.load(std::memory_order_acquire); }
    std::vector<std::uint8_t> receivedBytes() const;

    // Process cycles so far, and the steady-clock time at which cycle i began.
    std::uint64_t cycles() const noexcept { return cycles_.load(std::memory_order_acquire); }
    std::int64_t cycleStart(std::uint64_t i) const noexcept {
        return cycleTimes_[i % cycleTimes_.size()];
    }
    // Waits until n more cycles have run (false after a second without one).
    bool waitCycles(unsigned n) const noexcept;

private:
    static int process(jack_nframes_t frames, void* self) noexcept;

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    int perPeriod_;
    std::vector<Message> queue_;
    std::atomic<std::size_t> queueHead_{0}, queueTail_{0};
    std::vector<std::int64_t> sendTimes_, receiveTimes_;
    std::vector<std::uint32_t> words_;
    std::atomic<std::size_t> sent_{0}, received_{0};
    std::array<std::int64_t, 4096> cycleTimes_{};
    std::atomic<std::uint64_t> cycles_{0};
    std::vector<std::uint8_t> longOut_, longIn_ = std::vector<std::uint8_t>(1 << 20);
    std::size_t longPiece_ = 0, longAt_ = 0;
    std::atomic<bool> longDone_{true};
    std::atomic<std::size_t> longReceived_{0};
};

// The number of the device of `io` (a TMidiIO) whose name starts with the port's full name,
// or -1.
template <class Io>
int deviceNamed(Io& io, bool output, const std::string& port) {
    const int count = output ? io.outputDeviceCount() : io.inputDeviceCount();
    for (int i = 0; i < count; ++i) {
        const std::string name = output ? io.outputDeviceName(i) : io.inputDeviceName(i);
        if (name.rfind(port, 0) == 0) return i;
    }
    return -1;
}

// Nanoseconds on the steady clock.
std::int64_t now() noexcept;

}  // namespace jacktest
