// The RTP-MIDI library: the command section codec, the recovery journal and the session
// protocol between two sessions wired together in memory, with a clock the test moves.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "rtpmidi/control.h"
#include "rtpmidi/journal.h"
#include "rtpmidi/payload.h"
#include "rtpmidi/session.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace rtpmidi;

struct Recorder : TCommandSink {
    std::vector<Bytes> messages;
    TSysexAssembler sysex{1 << 16};
    void onShort(std::uint32_t, const std::uint8_t* b, std::size_t n) override {
        messages.emplace_back(b, b + n);
    }
    void onSysex(std::uint32_t, bool first, SysexEnd end, const std::uint8_t* d,
                 std::size_t n) override {
        if (sysex.add(first, end, d, n)) messages.push_back(sysex.message());
    }
};

Bytes sysexOf(std::size_t dataBytes) {
    Bytes s{0xF0};
    for (std::size_t i = 0; i < dataBytes; ++i) s.push_back(static_cast<std::uint8_t>(i * 7 % 128));
    s.push_back(0xF7);
    return s;
}

TEST(RtpMidiPayload, EveryKindOfMessageAndLongSysexSurviveEncodingInOrder) {
    const std::vector<Bytes> sent = {
        {0x90, 60, 100}, {0x90, 62, 90}, {0xF8},       {0x90, 64, 80}, {0x80, 60, 0}, {0xA1, 60, 5},
        {0xB2, 7, 99},   {0xC3, 12},     {0xD4, 33},   {0xE5, 0, 64},  {0xF1, 0x21},  {0xF2, 1, 2},
        {0xF3, 4},       {0xF6},         {0xFA},       {0xFB},         {0xFC},        {0xFE},
        {0xFF},          sysexOf(4094),  {0xB2, 7, 1}, sysexOf(3),     {0xE5, 1, 2},
    };
    // Packets of at most 200 octets of list, as the session fills them.
    Recorder got;
    std::size_t i = 0, sysexSent = 0;
    while (i < sent.size()) {
        TCommandWriter w(200);
        while (i < sent.size()) {
            const Bytes& m = sent[i];
            if (m[0] == 0xF0) {
                const std::size_t left = m.size() - 2 - sysexSent;
                const std::size_t room = w.sysexRoom(3);
                if (room == 0) break;
                const std::size_t n = std::min(left, room);
                w.addSysex(3, sysexSent == 0, n == left, m.data() + 1 + sysexSent, n);
                sysexSent = n == left ? 0 : sysexSent + n;
                if (sysexSent) break;
                ++i;
            } else if (w.addShort(i % 2 ? 0 : 300, m.data(), m.size())) {
                ++i;
            } else {
                break;
            }
        }
        Bytes packet;
        w.finish(packet, false);
        const TCommandSection s = parseCommands(packet.data(), packet.size(), got);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.end, packet.size());
    }
    EXPECT_EQ(got.messages, sent);
}

TEST(RtpMidiPayload, RunningStatusDeltaTimesAndFaultsAreReadAsSent) {
    // Z set, a two-octet delta first; running status across a real-time byte; a real-time byte
    // inside a SysEx; then a data byte where a status must be (after system common).
    const Bytes packet = {0xA0 | 0x00, 22,   0x81, 0x00, 0x90, 60,   100,  0x00, 62,
                          101,         0x00, 0xF8, 0x00, 64,   102,  0x00, 0xF0, 1,
                          0xFE,        2,    0xF7, 0x00, 0xF6, 0x00, 5};
    Bytes fixed = packet;
    fixed[0] = static_cast<std::uint8_t>(0x80 | 0x20);
    fixed[1] = static_cast<std::uint8_t>(packet.size() - 2);
    Recorder got;
    const TCommandSection s = parseCommands(fixed.data(), fixed.size(), got);
    EXPECT_FALSE(s.ok);
    const std::vector<Bytes> want = {{0x90, 60, 100}, {0x90, 62, 101},    {0xF8}, {0x90, 64, 102},
                                     {0xFE},          {0xF0, 1, 2, 0xF7}, {0xF6}};
    EXPECT_EQ(got.messages, want);

    // A length beyond the packet, a delta of five octets, a short message cut off.
    for (const Bytes& bad : {Bytes{0x05, 0x90, 60}, Bytes{0x26, 0x80, 0x80, 0x80, 0x80, 0x00, 0xF8},
                             Bytes{0x02, 0x90, 60}}) {
        Recorder r;
        EXPECT_FALSE(parseCommands(bad.data(), bad.size(), r).ok);
        EXPECT_TRUE(r.messages.empty());
    }
}

TEST(RtpMidiPayload, SysexSegmentsWithoutBeginningOrCancelledAreDropped) {
    TSysexAssembler a(16);
    const std::uint8_t d[20] = {1, 2, 3};
    EXPECT_FALSE(a.add(false, SysexEnd::Complete, d, 3));  // continuation of nothing
    EXPECT_FALSE(a.add(true, SysexEnd::More, d, 3));
    EXPECT_FALSE(a.add(false, SysexEnd::Cancel, d, 3));
    EXPECT_FALSE(a.add(true, SysexEnd::More, d, 10));
    EXPECT_FALSE(a.add(false, SysexEnd::Complete, d, 10));  // longer than the limit
    EXPECT_TRUE(a.add(true, SysexEnd::Complete, d, 3));
    EXPECT_EQ(a.message(), (Bytes{0xF0, 1, 2, 3, 0xF7}));
    EXPECT_EQ(a.dropped(), 3u);
}

TEST(RtpMidiJournal, RepairBringsTheReceiverToTheSenderStateUntilAcknowledged) {
    TJournalWriter w(0xFFF0);  // sequence numbers wrap during the test
    TJournalReader r;
    std::vector<Bytes> delivered;
    const auto emit = [&](const std::uint8_t* m, std::size_t n) {
        delivered.emplace_back(m, m + n);
    };
    // Packet 1 reaches the receiver; packets 2 and 3 are lost.
    const std::vector<std::vector<Bytes>> packets = {
        {{0x90, 60, 100}, {0x90, 61, 100}, {0xB0, 7, 100}, {0xFA}},
        {{0x80, 60, 0}, {0x90, 62, 90}, {0xB0, 7, 20}, {0xB0, 10, 64}, {0xC0, 5}, {0xE0, 1, 70}},
        {{0xB3, 123, 0}, {0x93, 40, 1}, {0xF3, 9}, {0xFC}},
    };
    for (std::size_t i = 0; i < packets.size(); ++i)
        for (const Bytes& m : packets[i]) {
            w.record(static_cast<std::uint32_t>(i + 1), m.data(), m.size());
            if (i == 0) r.apply(m.data(), m.size());
        }
    Bytes j;
    ASSERT_TRUE(w.write(j, 4));
    EXPECT_EQ(j[1] << 8 | j[2], 0xFFF1);  // the checkpoint: the first packet
    ASSERT_GE(r.repair(j.data(), j.size(), emit), 0);
    const std::vector<Bytes> want = {{0xF3, 9},     {0xFC},         {0xC0, 5},
                                     {0xB0, 7, 20}, {0xB0, 10, 64}, {0xE0, 1, 70},
                                     {0x80, 60, 0}, {0x90, 62, 90}, {0x93, 40, 1}};
    EXPECT_EQ(delivered, want);
    // Repaired once, the same journal changes nothing more.
    delivered.clear();
    EXPECT_EQ(r.repair(j.data(), j.size(), emit), 0);
    // Once the receiver acknowledges packet 3, packet 4's journal holds nothing.
    w.acknowledge(static_cast<std::uint16_t>(0xFFF0 + 3), 3);
    j.clear();
    EXPECT_FALSE(w.write(j, 4));
    // A journal cut short anywhere is refused without reading past it.
    for (std::size_t n = 0; n + 1 < j.size(); ++n) {
        TJournalReader fresh;
        EXPECT_LT(fresh.repair(j.data(), n, emit), 0);
    }
}

// Two sessions in memory: datagrams wait in a queue until the test runs them, and `drop` may
// throw some away.
struct Network;
struct Node : TTransport, TSessionListener {
    Network* net;
    platform::TEndpoint address;
    std::vector<Bytes> got;
    std::vector<std::string> events;
    TSession session;
    Node(Network* n, std::uint8_t host, TSessionConfig c)
        : net(n), address(make(host)), session(std::move(c), *this, *this) {}
    static platform::TEndpoint make(std::uint8_t host) {
        platform::TEndpoint e;
        e.family = 4;
        e.addr = {192, 0, 2, host};
        e.port = 5004;
        return e;
    }
    void send(Port port, const platform::TEndpoint& to, const std::uint8_t* d,
              std::size_t n) override;
    void onMessage(const std::uint8_t* b, std::size_t n) override { got.emplace_back(b, b + n); }
    void onEvent(const std::string& line) override { events.push_back(line); }
    bool said(const std::string& part) const {
        for (const auto& e : events)
            if (e.find(part) != std::string::npos) return true;
        return false;
    }
};

struct Datagram {
    Node* to;
    Port port;
    platform::TEndpoint from;
    Bytes data;
};

struct Network {
    std::vector<Node*> nodes;
    std::deque<Datagram> air;
    std::function<bool(const Datagram&)> drop = [](const Datagram&) { return false; };
    std::int64_t now = 1'000'000;
    void run(std::int64_t forUs) {
        const std::int64_t end = now + forUs;
        while (now <= end) {
            for (Node* n : nodes) {
                n->session.tick(now);
                n->session.flush(now);
            }
            while (!air.empty()) {
                Datagram d = std::move(air.front());
                air.pop_front();
                if (!drop(d))
                    d.to->session.receive(d.port, d.from, d.data.data(), d.data.size(), now);
            }
            now += 10'000;
        }
    }
};

void Node::send(Port port, const platform::TEndpoint& to, const std::uint8_t* d, std::size_t n) {
    for (Node* other : net->nodes) {
        if (!other->address.sameHost(to)) continue;
        platform::TEndpoint from = address;
        from.port = static_cast<std::uint16_t>(address.port + (port == Port::Data ? 1 : 0));
        const bool data = to.port == other->address.port + 1;
        net->air.push_back({other, data ? Port::Data : Port::Control, from, Bytes(d, d + n)});
    }
}

TSessionConfig config(const char* name, std::uint32_t ssrc) {
    TSessionConfig c;
    c.name = name;
    c.ssrc = ssrc;
    return c;
}

TEST(RtpMidiSession, InvitedSessionCarriesMessagesBothWaysAndRepairsLostPackets) {
    Network net;
    Node a(&net, 1, config("initiator", 11)), b(&net, 2, config("responder", 22));
    net.nodes = {&a, &b};
    std::vector<std::uint32_t> inviteTokens;
    net.drop = [&](const Datagram& d) {
        TControlPacket c;
        if (parseControl(d.data.data(), d.data.size(), c) && c.kind == ControlKind::Invite)
            inviteTokens.push_back(c.token);
        return false;
    };
    a.session.connect(b.address, net.now);
    net.run(100'000);
    ASSERT_EQ(a.session.openPeers(), 1);
    ASSERT_EQ(b.session.openPeers(), 1);
    // The data port's invitation repeats the control port's token (peers match them).
    ASSERT_EQ(inviteTokens.size(), 2u);
    EXPECT_EQ(inviteTokens[0], inviteTokens[1]);
    EXPECT_TRUE(b.said("session opened with 'initiator'"));
    net.run(100'000);
    EXPECT_TRUE(a.said("clock synchronised"));

    const Bytes big = sysexOf(4096);
    for (const Bytes& m : {Bytes{0x90, 60, 100}, big, Bytes{0xB0, 1, 2}})
        a.session.send(m.data(), m.size());
    b.session.send(big.data(), big.size());
    net.run(50'000);
    EXPECT_EQ(b.got, (std::vector<Bytes>{{0x90, 60, 100}, big, {0xB0, 1, 2}}));
    EXPECT_EQ(a.got, std::vector<Bytes>{big});

    // Every data packet from a to b is lost for a while: notes and controllers reach b's
    // state all the same through the journal of the next packet that arrives.
    b.got.clear();
    bool lossy = true;
    net.drop = [&](const Datagram& d) {
        return lossy && d.to == &b && d.port == Port::Data && d.data[0] == 0x80;
    };
    for (const Bytes& m : {Bytes{0x80, 60, 0}, Bytes{0x90, 70, 90}, Bytes{0xB0, 1, 99}}) {
        a.session.send(m.data(), m.size());
        net.run(0);
    }
    lossy = false;
    const Bytes after{0xB0, 2, 3};
    a.session.send(after.data(), after.size());
    net.run(0);
    EXPECT_EQ(b.got,
              (std::vector<Bytes>{{0xB0, 1, 99}, {0x80, 60, 0}, {0x90, 70, 90}, {0xB0, 2, 3}}));
    EXPECT_TRUE(b.said("lost 3 packets from 'initiator'"));
    EXPECT_EQ(b.session.counters().repaired, 3u);

    // A sender that numbers its packets afresh (far behind) is followed after a few packets
    // instead of being dropped as late for 32,768 of them.
    std::uint16_t lastSeq = 0;
    net.drop = [&](const Datagram& d) {
        if (d.to == &b && d.port == Port::Data && d.data[0] == 0x80)
            lastSeq = static_cast<std::uint16_t>(d.data[2] << 8 | d.data[3]);
        return false;
    };
    a.session.send(after.data(), after.size());
    net.run(0);
    b.got.clear();
    for (std::uint16_t i = 0; i < 10; ++i) {
        TCommandWriter w(10);
        const std::uint8_t m[3] = {0xB5, 7, static_cast<std::uint8_t>(i)};
        w.addShort(0, m, 3);
        TRtpHeader h;
        h.seq = static_cast<std::uint16_t>(lastSeq - 20000 + i);
        h.ssrc = 11;
        Bytes packet;
        writeRtp(packet, h);
        w.finish(packet, false);
        platform::TEndpoint from = a.address;
        from.port = 5005;
        b.session.receive(Port::Data, from, packet.data(), packet.size(), net.now);
    }
    EXPECT_EQ(b.got, (std::vector<Bytes>{{0xB5, 7, 7}, {0xB5, 7, 8}, {0xB5, 7, 9}}));

    // BY from the responder: the initiator invites again and the session reopens.
    b.session.close();
    net.run(3'000'000);
    EXPECT_TRUE(a.said("session closed by 'responder'"));
    EXPECT_EQ(a.session.openPeers(), 1);
    EXPECT_EQ(b.session.openPeers(), 1);
}

TEST(RtpMidiSession, AllowListRefusesAndLostOrRestartedPeersAreNoticed) {
    Network net;
    TSessionConfig listen = config("listener", 22);
    TAllow only;
    only.net = Node::make(9);
    only.bits = 32;
    listen.allow.push_back(only);
    Node a(&net, 1, config("initiator", 11)), b(&net, 2, listen);
    net.nodes = {&a, &b};
    a.session.connect(b.address, net.now);
    net.run(100'000);
    EXPECT_EQ(a.session.openPeers(), 0);
    EXPECT_TRUE(a.said("invitation refused by peer (192.0.2.2:5004)"));
    EXPECT_TRUE(b.said("refused: not allowed"));

    // Without the allow list the session opens; then the responder goes silent (its process
    // ended): the initiator finds it lost after the unanswered clock exchanges and invites again.
    Network net2;
    Node c(&net2, 1, config("initiator", 11)), d(&net2, 2, config("listener", 22));
    net2.nodes = {&c, &d};
    c.session.connect(d.address, net2.now);
    net2.run(100'000);
    ASSERT_EQ(c.session.openPeers(), 1);
    net2.drop = [&](const Datagram& g) { return g.to == &d; };
    net2.run(30'000'000);
    EXPECT_TRUE(c.said("peer lost: 'listener'"));
    EXPECT_EQ(c.session.openPeers(), 0);
    net2.drop = [](const Datagram&) { return false; };
    net2.run(20'000'000);
    EXPECT_EQ(c.session.openPeers(), 1);

    // An initiator that restarts (new SSRC, same address) replaces its old session.
    Node e(&net2, 1, config("initiator", 33));
    net2.nodes = {&e, &d};
    e.session.connect(d.address, net2.now);
    net2.run(100'000);
    EXPECT_TRUE(d.said("peer restarted: 'initiator'"));
    EXPECT_EQ(d.session.openPeers(), 1);
}

}  // namespace
