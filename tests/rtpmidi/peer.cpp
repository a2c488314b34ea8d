// Test peer for the RTP-MIDI script tests, over the library without the buses, plus a lossy
// relay and a bus reader. Every mode ends by itself (a time limit) and answers 0 only when all
// went as it should.
//   rtp_peer echo PORT [--room N]          listens; sends every message back; ends when the
//                                          peer closes the session
//   rtp_peer check HOST:PORT [--room N]    invites; sends one message of every kind and a SysEx
//                                          of 4095 bytes; expects them back in order; closes
//   rtp_peer play HOST:PORT SEED COUNT     invites; plays COUNT messages (notes, controllers,
//                                          program, pitch wheel), one per packet; prints the
//                                          state they leave ("state ..."); closes
//   rtp_peer busstate BUS SECONDS          drains BUS for SECONDS and prints the state the
//                                          messages leave
//   rtp_peer busloop FROM TO SECONDS       for SECONDS, writes every word drained from bus
//                                          FROM to bus TO (a participant that answers)
//   rtp_peer flood PORT COUNT SEED         sends COUNT datagrams of random bytes (some shaped
//                                          like session and RTP packets) to 127.0.0.1:PORT
//                                          and PORT+1
//   rtp_peer relay PORT TARGET DROPS       forwards PORT and PORT+1 to 127.0.0.1:TARGET and
//                                          TARGET+1 and back, throwing away 4 in 10 of the first
//                                          DROPS data packets towards TARGET
// --room sets the octets of MIDI list per packet (up to 4095: a peer that cannot join SysEx
// segments gets a 4095-byte SysEx whole).
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp.h"
#include "rtpmidi/session.h"
#include "vstbus/vstbus.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

// The messages of the interoperability check: one of every kind, a SysEx as long as one packet
// holds, and a few after it to show the order.
std::vector<Bytes> everyKind() {
    std::vector<Bytes> m = {{0x80, 60, 0},  {0x91, 60, 100},
                            {0xA2, 60, 50}, {0xB3, 7, 100},
                            {0xC4, 5},      {0xD5, 40},
                            {0xE6, 0, 64},  {0x9F, 127, 127},
                            {0xF1, 0x12},   {0xF2, 0x10, 0x20},
                            {0xF3, 3},      {0xF6},
                            {0xF8},         {0xFA},
                            {0xFB},         {0xFC},
                            {0xFE},         {0xF0, 0x7D, 1, 2, 3, 0xF7}};
    Bytes big{0xF0};
    for (int i = 0; i < 4093; ++i) big.push_back(static_cast<std::uint8_t>(i % 128));
    big.push_back(0xF7);
    m.push_back(big);
    m.push_back({0x90, 61, 1});
    m.push_back({0x90, 61, 2});
    m.push_back({0xB0, 1, 127});
    return m;
}

// The state a stream of messages leaves: notes on, controller values, program, pitch wheel.
struct State {
    std::map<int, int> notes, controls, programs, wheels;
    void apply(const std::uint8_t* b, std::size_t n) {
        if (n < 2 || b[0] >= 0xF0) return;
        const int ch = b[0] & 0x0F, kind = b[0] & 0xF0;
        const int key = ch << 8 | b[1];
        if (kind == 0x90 && n == 3 && b[2] > 0) notes[key] = b[2];
        if (kind == 0x80 || (kind == 0x90 && n == 3 && b[2] == 0)) notes.erase(key);
        if (kind == 0xB0 && n == 3) controls[key] = b[2];
        if (kind == 0xC0) programs[ch] = b[1];
        if (kind == 0xE0 && n == 3) wheels[ch] = b[2] << 7 | b[1];
    }
    void print() const {
        std::printf("state");
        // Notes as on or off: a receiver cannot change the velocity of a note that sounds.
        for (const auto& [k, v] : notes) std::printf(" n%d.%d", k >> 8, k & 0xFF);
        for (const auto& [k, v] : controls) std::printf(" c%d.%d=%d", k >> 8, k & 0xFF, v);
        for (const auto& [k, v] : programs) std::printf(" p%d=%d", k, v);
        for (const auto& [k, v] : wheels) std::printf(" w%d=%d", k, v);
        std::printf("\n");
        std::fflush(stdout);
    }
};

struct Peer : rtpmidi::TTransport, rtpmidi::TSessionListener {
    platform::TUdpSocket control, data;
    std::vector<Bytes> got;
    bool echo = false, closedByPeer = false;
    rtpmidi::TSession* session = nullptr;

    void send(rtpmidi::Port port, const platform::TEndpoint& to, const std::uint8_t* d,
              std::size_t n) override {
        (port == rtpmidi::Port::Control ? control : data).sendTo(to, d, n);
    }
    void onMessage(const std::uint8_t* b, std::size_t n) override {
        got.emplace_back(b, b + n);
        // Each message goes back in a packet of its own, so one-byte messages travel alone.
        if (echo) {
            session->send(b, n);
            session->flush(nowUs());
        }
    }
    void onEvent(const std::string& line) override {
        std::fprintf(stderr, "rtp_peer: %s\n", line.c_str());
        if (line.rfind("session closed by", 0) == 0) closedByPeer = true;
    }
    bool open(std::uint16_t port) {
        std::string why;
        platform::TEndpoint local;
        platform::resolve("127.0.0.1", port, local, why);
        for (int i = 0; i < 20; ++i) {
            if (!control.open(local, why)) break;
            const std::uint16_t p = control.localPort();
            if (data.open(local.withPort(static_cast<std::uint16_t>(p + 1)), why)) return true;
            if (port != 0) break;
        }
        std::fprintf(stderr, "rtp_peer: cannot open ports: %s\n", why.c_str());
        return false;
    }
    // Runs the session until `done` or `seconds` pass; false on the time limit.
    template <class Done>
    bool run(double seconds, Done done) {
        platform::TUdpSocket* socks[2] = {&control, &data};
        Bytes buffer(65536);
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (Clock::now() > end) return false;
            const std::int64_t next = session->tick(nowUs());
            const int ready =
                platform::waitReadable(socks, 2, std::min<std::int64_t>(next - nowUs(), 2000));
            for (int k = 0; k < 2; ++k) {
                if (!(ready & (1 << k))) continue;
                platform::TEndpoint from;
                long n;
                while ((n = socks[k]->receive(buffer.data(), buffer.size(), from)) >= 0)
                    session->receive(k ? rtpmidi::Port::Data : rtpmidi::Port::Control, from,
                                     buffer.data(), static_cast<std::size_t>(n), nowUs());
            }
            session->flush(nowUs());
        }
        return true;
    }
};

rtpmidi::TSessionConfig config(const char* name, std::size_t room) {
    rtpmidi::TSessionConfig c;
    c.name = name;
    c.ssrc = std::random_device{}();
    c.listRoom = room;
    return c;
}

bool target(const std::string& text, platform::TEndpoint& to) {
    const auto colon = text.rfind(':');
    std::string why;
    return colon != std::string::npos &&
           platform::resolve(text.substr(0, colon),
                             static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)), to,
                             why);
}

int echo(std::uint16_t port, std::size_t room) {
    Peer p;
    if (!p.open(port)) return 1;
    rtpmidi::TSession s(config("rtp_peer echo", room), p, p);
    p.session = &s;
    p.echo = true;
    std::fprintf(stderr, "rtp_peer: ready\n");
    if (!p.run(30, [&] { return p.closedByPeer; })) {
        const auto c = s.counters();
        std::fprintf(stderr,
                     "rtp_peer: the peer did not close the session (messages in %llu, packets "
                     "in %llu out %llu, late %llu, malformed %llu, strangers %llu)\n",
                     static_cast<unsigned long long>(c.messagesIn),
                     static_cast<unsigned long long>(c.packetsIn),
                     static_cast<unsigned long long>(c.packetsOut),
                     static_cast<unsigned long long>(c.late),
                     static_cast<unsigned long long>(c.malformed),
                     static_cast<unsigned long long>(c.strangers));
        return 1;
    }
    std::fprintf(stderr, "rtp_peer: echoed %zu messages\n", p.got.size());
    return 0;
}

int check(const std::string& at, std::size_t room) {
    Peer p;
    platform::TEndpoint to;
    if (!target(at, to) || !p.open(0)) return 2;
    rtpmidi::TSession s(config("rtp_peer check", room), p, p);
    p.session = &s;
    s.connect(to, nowUs());
    if (!p.run(20, [&] { return s.openPeers() == 1; })) {
        std::fprintf(stderr, "rtp_peer: no session\n");
        return 1;
    }
    const std::vector<Bytes> sent = everyKind();
    for (const Bytes& m : sent) s.send(m.data(), m.size());
    p.run(10, [&] { return p.got.size() >= sent.size(); });
    s.close();
    if (p.got != sent) {
        std::fprintf(stderr, "rtp_peer: %zu of %zu messages came back as sent\n", p.got.size(),
                     sent.size());
        for (std::size_t i = 0; i < p.got.size(); ++i)
            if (i >= sent.size() || p.got[i] != sent[i]) {
                std::fprintf(stderr, "rtp_peer: first difference at message %zu\n", i);
                break;
            }
        return 1;
    }
    std::fprintf(stderr, "rtp_peer: all %zu messages came back in order\n", sent.size());
    return 0;
}

int play(const std::string& at, unsigned seed, int count) {
    Peer p;
    platform::TEndpoint to;
    if (!target(at, to) || !p.open(0)) return 2;
    rtpmidi::TSession s(config("rtp_peer play", 1200), p, p);
    p.session = &s;
    s.connect(to, nowUs());
    if (!p.run(20, [&] { return s.openPeers() == 1; })) {
        std::fprintf(stderr, "rtp_peer: no session\n");
        return 1;
    }
    std::mt19937 rnd(seed);
    State state;
    for (int i = 0; i < count; ++i) {
        const int ch = static_cast<int>(rnd() % 3), kind = static_cast<int>(rnd() % 10);
        const auto a = static_cast<std::uint8_t>(rnd() % 16 + 60);
        const auto v = static_cast<std::uint8_t>(rnd() % 127 + 1);
        Bytes m;
        if (kind < 4)
            m = {static_cast<std::uint8_t>(0x90 | ch), a, v};
        else if (kind < 7)
            m = {static_cast<std::uint8_t>(0x80 | ch), a, 0};
        else if (kind < 9)
            m = {static_cast<std::uint8_t>(0xB0 | ch), static_cast<std::uint8_t>(a % 8), v};
        else if (rnd() % 2)
            m = {static_cast<std::uint8_t>(0xC0 | ch), v};
        else
            m = {static_cast<std::uint8_t>(0xE0 | ch), a, v};
        state.apply(m.data(), m.size());
        s.send(m.data(), m.size());
        s.flush(nowUs());
        p.run(0.002, [] { return false; });
    }
    // A few packets that the relay lets through carry the journal of what was lost.
    for (int i = 0; i < 5; ++i) {
        const std::uint8_t sense = 0xFE;
        s.send(&sense, 1);
        s.flush(nowUs());
        p.run(0.02, [] { return false; });
    }
    p.run(1.5, [] { return false; });
    s.close();
    state.print();
    return 0;
}

int busstate(int bus, double seconds) {
    vstbus::TVstBus b;
    if (!b.attached()) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    State state;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        b.drain(bus, [&](std::uint32_t w) {
            const std::uint8_t m[3] = {static_cast<std::uint8_t>(w),
                                       static_cast<std::uint8_t>(w >> 8),
                                       static_cast<std::uint8_t>(w >> 16)};
            const int len = rtpmidi::dataLength(m[0]);
            if (len >= 0) state.apply(m, static_cast<std::size_t>(1 + len));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    state.print();
    return 0;
}

int busloop(int from, int to, double seconds) {
    vstbus::TVstBus b;
    if (!b.attached()) return 1;
    b.markSender(to, true);
    std::printf("ready\n");
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (b.drain(from, [&](std::uint32_t w) { b.write(to, w); }) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return 0;
}

int relay(std::uint16_t port, std::uint16_t targetPort, int drops) {
    platform::TUdpSocket socks[2];
    std::string why;
    platform::TEndpoint local, dest[2], client[2];
    platform::resolve("127.0.0.1", port, local, why);
    for (int k = 0; k < 2; ++k) {
        if (!socks[k].open(local.withPort(static_cast<std::uint16_t>(port + k)), why)) {
            std::fprintf(stderr, "rtp_peer: relay cannot open: %s\n", why.c_str());
            return 1;
        }
        platform::resolve("127.0.0.1", static_cast<std::uint16_t>(targetPort + k), dest[k], why);
    }
    std::fprintf(stderr, "rtp_peer: ready\n");
    platform::TUdpSocket* waitOn[2] = {&socks[0], &socks[1]};
    Bytes buffer(65536);
    int dataPackets = 0, dropped = 0;
    const auto end = Clock::now() + std::chrono::seconds(40);
    while (Clock::now() < end) {
        const int ready = platform::waitReadable(waitOn, 2, 100'000);
        for (int k = 0; k < 2; ++k) {
            if (!(ready & (1 << k))) continue;
            platform::TEndpoint from;
            long n;
            while ((n = socks[k].receive(buffer.data(), buffer.size(), from)) >= 0) {
                if (from == dest[k]) {
                    socks[k].sendTo(client[k], buffer.data(), static_cast<std::size_t>(n));
                    continue;
                }
                client[k] = from;
                const bool rtp = k == 1 && n > 0 && (buffer[0] & 0xC0) == 0x80;
                if (rtp && dataPackets++ < drops) {
                    const int phase = dataPackets % 10;
                    if (phase == 2 || phase == 3 || phase == 5 || phase == 7) {
                        ++dropped;
                        continue;
                    }
                }
                socks[k].sendTo(dest[k], buffer.data(), static_cast<std::size_t>(n));
            }
        }
    }
    std::fprintf(stderr, "rtp_peer: relay dropped %d of %d data packets\n", dropped, dataPackets);
    return 0;
}

int flood(std::uint16_t port, int count, unsigned seed) {
    platform::TUdpSocket s;
    platform::TEndpoint local, to;
    std::string why;
    platform::resolve("127.0.0.1", 0, local, why);
    platform::resolve("127.0.0.1", port, to, why);
    if (!s.open(local, why)) return 1;
    std::mt19937 rnd(seed);
    Bytes d;
    for (int i = 0; i < count; ++i) {
        d.resize(rnd() % 200);
        for (auto& b : d) b = static_cast<std::uint8_t>(rnd());
        // Some look like session packets (FF FF and a command) or RTP-MIDI (80 61).
        if (d.size() >= 4 && i % 3 == 0) {
            static const char* const commands[] = {"IN", "OK", "NO", "BY", "CK", "RS"};
            const char* c = commands[rnd() % 6];
            d[0] = d[1] = 0xFF;
            d[2] = static_cast<std::uint8_t>(c[0]);
            d[3] = static_cast<std::uint8_t>(c[1]);
        } else if (d.size() >= 2 && i % 3 == 1) {
            d[0] = 0x80;
            d[1] = 0x61;
        }
        s.sendTo(to.withPort(static_cast<std::uint16_t>(port + i % 2)), d.data(), d.size());
        if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

std::size_t roomOption(int argc, char** argv, int at) {
    if (argc > at + 1 && std::string(argv[at]) == "--room")
        return static_cast<std::size_t>(std::atoi(argv[at + 1]));
    return 1200;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "echo" && argc >= 3)
        return echo(static_cast<std::uint16_t>(std::atoi(argv[2])), roomOption(argc, argv, 3));
    if (mode == "check" && argc >= 3) return check(argv[2], roomOption(argc, argv, 3));
    if (mode == "play" && argc == 5)
        return play(argv[2], static_cast<unsigned>(std::atoi(argv[3])), std::atoi(argv[4]));
    if (mode == "busstate" && argc == 4) return busstate(std::atoi(argv[2]), std::atof(argv[3]));
    if (mode == "busloop" && argc == 5)
        return busloop(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]));
    if (mode == "flood" && argc == 5)
        return flood(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]),
                     static_cast<unsigned>(std::atoi(argv[4])));
    if (mode == "relay" && argc == 5)
        return relay(static_cast<std::uint16_t>(std::atoi(argv[2])),
                     static_cast<std::uint16_t>(std::atoi(argv[3])), std::atoi(argv[4]));
    std::fprintf(
        stderr,
        "usage: rtp_peer echo PORT [--room N] | check HOST:PORT [--room N] | play "
        "HOST:PORT SEED COUNT | busstate BUS SECONDS | busloop FROM TO SECONDS | relay PORT "
        "TARGET DROPS\n");
    return 2;
}
