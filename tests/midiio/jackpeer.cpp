#include "jackpeer.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <jack/midiport.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/midi.h"

namespace jacktest {

std::int64_t now() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Message shortMessage(std::uint32_t word) {
    Message m;
    m.size = static_cast<std::uint8_t>(platform::shortMessageLength(word & 0xFF));
    for (int i = 0; i < m.size; ++i) m.bytes[i] = static_cast<std::uint8_t>(word >> (8 * i));
    return m;
}

// --- Server ----------------------------------------------------------------------------------

JackServer::JackServer(unsigned rate, unsigned period) : rate_(rate), period_(period) {
    name_ = "corvella-test-" + std::to_string(::getpid());
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    const std::string r = std::to_string(rate), p = std::to_string(period);
    // A long client timeout: under a sanitizer on a busy machine one cycle of a client may
    // take longer than the default, and the server would then drop that client for good.
    const char* argv[] = {"jackd", "-n", name_.c_str(), "-t", "10000",   "-d",
                          "dummy", "-r", r.c_str(),     "-p", p.c_str(), nullptr};
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // The server goes with the test process, even when that one crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp("jackd", const_cast<char**>(argv));
        ::_exit(127);
    }
    if (pid_ < 0) {
        problem_ = "cannot start jackd";
        return;
    }
    // Wait until it answers a client.
    for (int attempt = 0; attempt < 200 && !running_; ++attempt) {
        jack_status_t status;
        if (jack_client_t* c = jack_client_open(
                "probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                name_.c_str())) {
            jack_client_close(c);
            running_ = true;
        } else {
            int wstatus;
            if (::waitpid(pid_, &wstatus, WNOHANG) == pid_) {
                pid_ = -1;
                problem_ = "jackd exited at start (is jackd2 installed?)";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (!running_) problem_ = "jackd does not answer";
}

JackServer::~JackServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int wstatus;
        if (::waitpid(pid_, &wstatus, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    int wstatus;
    ::waitpid(pid_, &wstatus, 0);
}

// --- Peer ------------------------------------------------------------------------------------

JackPeer::JackPeer(const char* name, int perPeriod)
    : perPeriod_(perPeriod),
      queue_(kCapacity),
      sendTimes_(kCapacity),
      receiveTimes_(kCapacity),
      words_(kCapacity) {
    jack_status_t status;
    client_ = jack_client_open(name, JackNoStartServer, &status);
    if (!client_) return;
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client_, &JackPeer::process, this);
    if (!in_ || !out_ || jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

JackPeer::~JackPeer() {
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

std::string JackPeer::inputPort() const {
    return jack_port_name(in_);
}

std::string JackPeer::outputPort() const {
    return jack_port_name(out_);
}

int JackPeer::inputConnections() const noexcept {
    return jack_port_connected(in_);
}

int JackPeer::outputConnections() const noexcept {
    return jack_port_connected(out_);
}

bool JackPeer::post(const Message& m) noexcept {
    const std::size_t tail = queueTail_.load(std::memory_order_relaxed);
    if (tail - queueHead_.load(std::memory_order_acquire) >= kCapacity) return false;
    queue_[tail % kCapacity] = m;
    queueTail_.store(tail + 1, std::memory_order_release);
    return true;
}

std::vector<std::uint32_t> JackPeer::received() const {
    const std::size_t n = receivedCount();
    return {words_.begin(), words_.begin() + static_cast<std::ptrdiff_t>(n)};
}

bool JackPeer::postBytes(const std::vector<std::uint8_t>& bytes, std::size_t piece) {
    if (!longDone_.load(std::memory_order_acquire) || piece == 0) return false;
    longOut_ = bytes;
    longPiece_ = piece;
    longAt_ = 0;
    longDone_.store(bytes.empty(), std::memory_order_release);
    return true;
}

std::vector<std::uint8_t> JackPeer::receivedBytes() const {
    const std::size_t n = longReceived_.load(std::memory_order_acquire);
    return {longIn_.begin(), longIn_.begin() + static_cast<std::ptrdiff_t>(n)};
}

bool JackPeer::waitCycles(unsigned n) const noexcept {
    const std::uint64_t target = cycles() + n;
    const std::int64_t deadline = now() + 1'000'000'000LL * (1 + n / 100);
    while (cycles() < target) {
        if (now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// JACK's process thread: no allocation, no lock.
int JackPeer::process(jack_nframes_t frames, void* arg) noexcept {
    auto* p = static_cast<JackPeer*>(arg);
    const std::uint64_t cycle = p->cycles_.load(std::memory_order_relaxed);
    p->cycleTimes_[cycle % p->cycleTimes_.size()] = now();

    void* in = jack_port_get_buffer(p->in_, frames);
    const jack_nframes_t events = jack_midi_get_event_count(in);
    std::size_t received = p->received_.load(std::memory_order_relaxed);
    for (jack_nframes_t i = 0; i < events && received < kCapacity; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, in, i) != 0 || e.size == 0) continue;
        if (e.size > 3 || e.buffer[0] == 0xF0 || e.buffer[0] < 0x80) {
            const std::size_t have = p->longReceived_.load(std::memory_order_relaxed);
            const std::size_t n = std::min(e.size, p->longIn_.size() - have);
            std::memcpy(p->longIn_.data() + have, e.buffer, n);
            p->longReceived_.store(have + n, std::memory_order_release);
            continue;
        }
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < e.size; ++b) word |= std::uint32_t{e.buffer[b]} << (8 * b);
        p->words_[received] = word;
        p->receiveTimes_[received] = now();
        ++received;
    }
    p->received_.store(received, std::memory_order_release);

    void* out = jack_port_get_buffer(p->out_, frames);
    jack_midi_clear_buffer(out);
    std::size_t head = p->queueHead_.load(std::memory_order_relaxed);
    const std::size_t tail = p->queueTail_.load(std::memory_order_acquire);
    std::size_t sent = p->sent_.load(std::memory_order_relaxed);
    for (int n = 0; n < p->perPeriod_ && head != tail && sent < kCapacity; ++n, ++head) {
        const Message& m = p->queue_[head % kCapacity];
        const auto frame = static_cast<jack_nframes_t>(static_cast<std::uint64_t>(n) * frames /
                                                       static_cast<std::uint64_t>(p->perPeriod_));
        if (jack_midi_event_write(out, frame, m.bytes.data(), m.size) != 0) break;
        p->sendTimes_[sent++] = now();
    }
    if (head == tail && !p->longDone_.load(std::memory_order_acquire)) {
        const std::size_t n = std::min(p->longPiece_, p->longOut_.size() - p->longAt_);
        if (jack_midi_event_write(out, 0, p->longOut_.data() + p->longAt_, n) == 0) {
            p->longAt_ += n;
            if (p->longAt_ == p->longOut_.size())
                p->longDone_.store(true, std::memory_order_release);
        }
    }
    p->queueHead_.store(head, std::memory_order_release);
    p->sent_.store(sent, std::memory_order_release);
    p->cycles_.store(cycle + 1, std::memory_order_release);
    return 0;
}

}  // namespace jacktest
