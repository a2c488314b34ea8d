// Fuzz target: datagrams from the network into a session that has one open peer (SSRC
// 01 02 03 04 at 192.0.2.7, control port 5004, data port 5005), so that RTP packets from that
// peer reach the command section parser, the SysEx reassembly and the journal repair, and
// session packets reach the protocol's state machine. Every message the session delivers must
// be a whole short message or a whole SysEx; anything else aborts.
//
// Input: datagrams, each a byte P (bit 0: data port, else control), a byte L and L bytes; the
// clock moves 10 ms after each.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtpmidi/payload.h"
#include "rtpmidi/session.h"
#include "support/fuzzinput.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Sink : rtpmidi::TTransport, rtpmidi::TSessionListener {
    void send(rtpmidi::Port, const platform::TEndpoint& to, const std::uint8_t*,
              std::size_t n) override {
        check(to.valid() && n > 0);
    }
    void onMessage(const std::uint8_t* b, std::size_t n) override {
        check(n > 0 && b[0] >= 0x80);
        if (b[0] == 0xF0) {
            check(n >= 2 && b[n - 1] == 0xF7);
            for (std::size_t i = 1; i + 1 < n; ++i) check(b[i] < 0x80);
            return;
        }
        const int len = rtpmidi::dataLength(b[0]);
        check(len >= 0 && n == static_cast<std::size_t>(1 + len));
        for (std::size_t i = 1; i < n; ++i) check(b[i] < 0x80);
    }
    void onEvent(const std::string& line) override { check(!line.empty()); }
};

std::vector<std::uint8_t> invite(std::uint32_t ssrc) {
    rtpmidi::TControlPacket c;
    c.kind = rtpmidi::ControlKind::Invite;
    c.token = 99;
    c.ssrc = ssrc;
    c.name = "fuzz";
    std::vector<std::uint8_t> out;
    rtpmidi::writeControl(out, c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Sink sink;
    rtpmidi::TSessionConfig config;
    config.ssrc = 7;
    config.maxSysex = 4096;
    rtpmidi::TSession session(config, sink, sink);
    platform::TEndpoint peer;
    peer.family = 4;
    peer.addr = {192, 0, 2, 7};
    peer.port = 5004;
    std::int64_t now = 1'000'000;
    const auto in = invite(0x01020304);
    session.receive(rtpmidi::Port::Control, peer, in.data(), in.size(), now);
    session.receive(rtpmidi::Port::Data, peer.withPort(5005), in.data(), in.size(), now);
    check(session.openPeers() == 1);

    fuzz::Input input{data, size};
    std::vector<std::uint8_t> datagram;
    while (input.more()) {
        const std::uint8_t p = input.byte();
        const std::size_t n = input.byte();
        datagram.clear();
        for (std::size_t i = 0; i < n && input.more(); ++i) datagram.push_back(input.byte());
        const bool dataPort = p & 1;
        session.receive(dataPort ? rtpmidi::Port::Data : rtpmidi::Port::Control,
                        peer.withPort(dataPort ? 5005 : 5004), datagram.data(), datagram.size(),
                        now);
        now += 10'000;
        session.tick(now);
        const std::uint8_t note[3] = {0x90, static_cast<std::uint8_t>(p & 0x7F), 1};
        session.send(note, 3);
        session.flush(now);
    }
    return 0;
}
