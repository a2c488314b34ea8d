#include "rtpmidi/session.h"

#include <algorithm>

namespace rtpmidi {

namespace {

enum class State { Inviting, InvitingData, Joining, Open, Closed };

constexpr std::int64_t kJoinLimit = 10'000'000;  // a joining peer must send its data IN by then
constexpr int kDataInvites = 4;                  // data port invitations before starting over
constexpr int kLateRun = 8;  // late packets in a row that mean the sender numbers afresh

class TNullSink : public TCommandSink {
public:
    void onShort(std::uint32_t, const std::uint8_t*, std::size_t) override {}
    void onSysex(std::uint32_t, bool, SysexEnd, const std::uint8_t*, std::size_t) override {}
};

}  // namespace

struct TSession::Peer {
    explicit Peer(std::size_t maxSysex) : sysex(maxSysex) {}
    State state = State::Inviting;
    bool initiator = false;
    platform::TEndpoint control, data;
    std::uint32_t token = 0, ssrc = 0;
    std::string name;
    std::int64_t nextInvite = 0, backoff = 0, joinedAt = 0;
    int tries = 0;
    std::int64_t lastHeard = 0, nextClock = 0;
    int clockMisses = 0, clocks = 0;
    bool synced = false;
    std::int64_t offset = 0, roundTrip = 0;  // 100 microsecond units
    std::int64_t delay = 0;                  // packets' travel time, a running average
    std::uint64_t delays = 0;
    std::uint16_t seqBase = 0;
    std::uint32_t sentIndex = 0;
    TJournalWriter journal;
    bool haveSeq = false, feedbackDue = false;
    int lateRun = 0;
    std::uint16_t expect = 0, lastSeq = 0;
    std::int64_t nextFeedback = 0;
    TJournalReader reader;
    TSysexAssembler sysex;
    std::uint64_t in = 0, out = 0, lost = 0, repaired = 0;

    std::string label() const {
        return (name.empty() ? std::string("peer") : "'" + name + "'") + " (" + control.text() +
               ")";
    }
};

namespace {

// Milliseconds with one decimal from 100 microsecond units.
std::string tenths(std::int64_t units) {
    const std::string sign = units < 0 ? "-" : "";
    const std::uint64_t u =
        units < 0 ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
    return sign + std::to_string(u / 10) + "." + std::to_string(u % 10);
}

}  // namespace

bool TAllow::contains(const platform::TEndpoint& e) const noexcept {
    if (e.family != net.family) return false;
    const int total = net.family == 6 ? 128 : 32;
    const int n = std::clamp(bits, 0, total);
    for (int i = 0; i < n; ++i) {
        const int byte = i / 8, bit = 0x80 >> (i % 8);
        if ((e.addr[byte] & bit) != (net.addr[byte] & bit)) return false;
    }
    return true;
}

TSession::TSession(TSessionConfig config, TTransport& transport, TSessionListener& listener)
    : config_(std::move(config)),
      transport_(transport),
      listener_(listener),
      tokenSeed_(config_.ssrc * 2654435761u + 1),
      writer_(config_.listRoom) {
    config_.listRoom = std::min(config_.listRoom, kMaxListLength);
}

TSession::~TSession() = default;

std::uint32_t TSession::stamp(std::int64_t now) const noexcept {
    return static_cast<std::uint32_t>((now - start_) / 100);
}

TSession::Peer* TSession::findBySsrc(std::uint32_t ssrc) noexcept {
    for (auto& p : peers_)
        if (p->state != State::Closed && p->ssrc == ssrc &&
            (p->state != State::Inviting || !p->initiator))
            return p.get();
    return nullptr;
}

void TSession::sendControl(Port port, const platform::TEndpoint& to, const TControlPacket& c) {
    std::vector<std::uint8_t> out;
    writeControl(out, c);
    transport_.send(port, to, out.data(), out.size());
}

void TSession::connect(const platform::TEndpoint& control, std::int64_t now) {
    if (!started_) {
        start_ = now;
        started_ = true;
    }
    auto p = std::make_unique<Peer>(config_.maxSysex);
    p->initiator = true;
    p->control = control;
    p->state = State::Inviting;
    p->backoff = config_.inviteFirst;
    p->nextInvite = now;
    peers_.push_back(std::move(p));
    listener_.onEvent("inviting the session at " + control.text());
}

void TSession::invite(Peer& p, std::int64_t now) {
    // A new token for each new attempt; the data port's invitation repeats the control port's.
    if (p.tries == 0 && p.state == State::Inviting) {
        tokenSeed_ = tokenSeed_ * 1664525u + 1013904223u;
        p.token = tokenSeed_;
    }
    TControlPacket c;
    c.kind = ControlKind::Invite;
    c.token = p.token;
    c.ssrc = config_.ssrc;
    c.name = config_.name;
    if (p.state == State::InvitingData) {
        if (p.tries >= kDataInvites) {
            p.state = State::Inviting;
            p.tries = 0;
            invite(p, now);
            return;
        }
        sendControl(Port::Data, p.control.withPort(static_cast<std::uint16_t>(p.control.port + 1)),
                    c);
        p.nextInvite = now + config_.inviteFirst;
    } else {
        sendControl(Port::Control, p.control, c);
        p.nextInvite = now + p.backoff;
        p.backoff = std::min(p.backoff * 3 / 2, config_.inviteMax);
    }
    ++p.tries;
}

void TSession::opened(Peer& p, std::int64_t now) {
    p.state = State::Open;
    p.lastHeard = now;
    tokenSeed_ = tokenSeed_ * 1664525u + 1013904223u;
    p.seqBase = static_cast<std::uint16_t>(tokenSeed_ >> 16);
    p.sentIndex = 0;
    p.journal.reset(p.seqBase);
    p.reader.reset();
    p.sysex.abandon();
    p.haveSeq = false;
    p.feedbackDue = false;
    p.clockMisses = 0;
    p.clocks = 0;
    p.synced = false;
    p.nextClock = now;
    p.nextFeedback = now + config_.feedback;
    listener_.onEvent("session opened with " + p.label());
}

void TSession::lose(Peer& p, const std::string& why, std::int64_t now) {
    listener_.onEvent("peer lost: " + p.label() + ": " + why);
    p.sysex.abandon();
    if (p.initiator) {
        p.state = State::Inviting;
        p.tries = 0;
        p.backoff = config_.inviteFirst;
        p.nextInvite = now;
    } else {
        p.state = State::Closed;
    }
}

void TSession::receive(Port port, const platform::TEndpoint& from, const std::uint8_t* data,
                       std::size_t size, std::int64_t now) {
    if (!started_) {
        start_ = now;
        started_ = true;
    }
    if (isControl(data, size)) {
        TControlPacket c;
        if (!parseControl(data, size, c)) {
            ++counters_.malformed;
            return;
        }
        onControl(port, from, c, now);
        return;
    }
    if (port == Port::Data) {
        onRtp(from, data, size, now);
    } else {
        ++counters_.malformed;
    }
}

void TSession::onControl(Port port, const platform::TEndpoint& from, const TControlPacket& c,
                         std::int64_t now) {
    switch (c.kind) {
        case ControlKind::Invite:
            return onInvite(port, from, c, now);
        case ControlKind::Accept:
        case ControlKind::Refuse:
            return onAnswer(port, from, c, now);
        case ControlKind::End:
            return onEnd(from, c, now);
        case ControlKind::Clock:
            return onClock(from, c, now);
        case ControlKind::Feedback:
            return onFeedback(c, now);
        case ControlKind::None:
            return;
    }
}

// One line a second at most: a flood of invitations must not flood the log.
void TSession::sayRefused(const platform::TEndpoint& from, const char* why, std::int64_t now) {
    if (now - lastRefusalLine_ < 1'000'000) {
        ++refusalsUnsaid_;
        return;
    }
    std::string line = "invitation from " + from.text() + " refused: " + why;
    if (refusalsUnsaid_)
        line += " (and " + std::to_string(refusalsUnsaid_) + " more refused since the last line)";
    listener_.onEvent(line);
    lastRefusalLine_ = now;
    refusalsUnsaid_ = 0;
}

void TSession::onInvite(Port port, const platform::TEndpoint& from, const TControlPacket& c,
                        std::int64_t now) {
    TControlPacket answer;
    answer.token = c.token;
    answer.ssrc = config_.ssrc;
    const bool allowed =
        config_.allow.empty() || std::any_of(config_.allow.begin(), config_.allow.end(),
                                             [&](const TAllow& a) { return a.contains(from); });
    if (!allowed || c.version != kProtocolVersion) {
        answer.kind = ControlKind::Refuse;
        sendControl(port, from, answer);
        ++counters_.refused;
        if (port == Port::Control)
            sayRefused(from, allowed ? "unknown protocol version" : "not allowed", now);
        return;
    }
    Peer* p = findBySsrc(c.ssrc);
    if (port == Port::Data) {
        if (!p || p->initiator || !from.sameHost(p->control)) {
            ++counters_.strangers;
            return;
        }
        p->data = from;
        answer.kind = ControlKind::Accept;
        answer.name = config_.name;
        sendControl(Port::Data, from, answer);
        if (p->state != State::Open) opened(*p, now);
        return;
    }
    if (!p) {
        for (auto& q : peers_) {
            if (!q->initiator && q->state != State::Closed && q->control == from) {
                listener_.onEvent("peer restarted: " + q->label());
                q->state = State::Closed;
            }
        }
        removeClosed();
        if (peers_.size() >= config_.maxPeers) {
            answer.kind = ControlKind::Refuse;
            sendControl(port, from, answer);
            ++counters_.refused;
            return;
        }
        auto fresh = std::make_unique<Peer>(config_.maxSysex);
        fresh->ssrc = c.ssrc;
        fresh->control = from;
        p = fresh.get();
        peers_.push_back(std::move(fresh));
        listener_.onEvent("invited by '" + c.name + "' (" + from.text() + ")");
    } else if (p->initiator) {
        // Both sides invited each other: the session we invited to stands.
        answer.kind = ControlKind::Accept;
        answer.name = config_.name;
        sendControl(port, from, answer);
        return;
    }
    p->token = c.token;
    if (!c.name.empty()) p->name = c.name;
    p->state = State::Joining;
    p->joinedAt = now;
    p->lastHeard = now;
    answer.kind = ControlKind::Accept;
    answer.name = config_.name;
    sendControl(port, from, answer);
    return;
}

// An answer to our invitation, on either port.
void TSession::onAnswer(Port port, const platform::TEndpoint& from, const TControlPacket& c,
                        std::int64_t now) {
    for (auto& q : peers_) {
        Peer& p = *q;
        if (!p.initiator || p.token != c.token || !from.sameHost(p.control)) continue;
        if (c.kind == ControlKind::Refuse) {
            if (p.state != State::Inviting && p.state != State::InvitingData) continue;
            ++counters_.refused;
            listener_.onEvent("invitation refused by " + p.label());
            p.state = State::Inviting;
            p.tries = 0;
            p.nextInvite = now + p.backoff;
            return;
        }
        if (p.state == State::Inviting && port == Port::Control) {
            p.ssrc = c.ssrc;
            p.name = c.name;
            p.state = State::InvitingData;
            p.tries = 0;
            invite(p, now);
        } else if (p.state == State::InvitingData && port == Port::Data && c.ssrc == p.ssrc) {
            p.data = from;
            opened(p, now);
        }
        return;
    }
    ++counters_.strangers;
    return;
}

void TSession::onEnd(const platform::TEndpoint& from, const TControlPacket& c, std::int64_t now) {
    Peer* p = findBySsrc(c.ssrc);
    if (!p || !from.sameHost(p->control)) {
        ++counters_.strangers;
        return;
    }
    listener_.onEvent("session closed by " + p->label());
    p->sysex.abandon();
    if (p->initiator) {
        p->state = State::Inviting;
        p->tries = 0;
        p->backoff = config_.inviteFirst;
        p->nextInvite = now + config_.inviteFirst;
    } else {
        p->state = State::Closed;
    }
    return;
}

void TSession::onClock(const platform::TEndpoint& from, const TControlPacket& c, std::int64_t now) {
    const std::int64_t ts = (now - start_) / 100;
    Peer* p = findBySsrc(c.ssrc);
    if (!p || p->state != State::Open || !from.sameHost(p->control)) {
        ++counters_.strangers;
        return;
    }
    p->lastHeard = now;
    TControlPacket answer;
    answer.kind = ControlKind::Clock;
    answer.ssrc = config_.ssrc;
    answer.ts[0] = c.ts[0];
    if (c.count == 0) {
        answer.count = 1;
        answer.ts[1] = static_cast<std::uint64_t>(ts);
        sendControl(Port::Data, from, answer);
        return;
    }
    // The peer's timestamps may hold anything: the arithmetic wraps instead of
    // overflowing.
    const std::uint64_t t1 = c.ts[0], t2 = c.ts[1];
    const std::uint64_t t3 = c.count == 1 ? static_cast<std::uint64_t>(ts) : c.ts[2];
    const std::uint64_t middle = t1 + (t3 - t1) / 2;
    if (c.count == 1) {
        answer.count = 2;
        answer.ts[1] = t2;
        answer.ts[2] = t3;
        sendControl(Port::Data, from, answer);
        p->offset = static_cast<std::int64_t>(t2 - middle);
        p->clockMisses = 0;
        ++p->clocks;
    } else {
        p->offset = static_cast<std::int64_t>(middle - t2);
    }
    p->roundTrip = static_cast<std::int64_t>(t3 - t1);
    if (!p->synced) {
        p->synced = true;
        listener_.onEvent("clock synchronised with " + p->label() + ": round trip " +
                          tenths(p->roundTrip) + " ms");
    }
    return;
}

void TSession::onFeedback(const TControlPacket& c, std::int64_t now) {
    Peer* p = findBySsrc(c.ssrc);
    if (!p || p->state != State::Open) {
        ++counters_.strangers;
        return;
    }
    p->lastHeard = now;
    p->journal.acknowledge(c.seq, p->sentIndex);
    return;
}

// `lost` packets from p went missing before this payload: an unfinished SysEx is abandoned and
// the payload's journal, when it has a readable one, repairs what it can.
void TSession::recoverLoss(Peer& p, int lost, const TCommandSection& section,
                           const std::uint8_t* payload, std::size_t length) {
    counters_.lost += static_cast<std::uint64_t>(lost);
    p.lost += static_cast<std::uint64_t>(lost);
    p.sysex.abandon();
    int fixed = -1;
    if (section.ok && section.journal) {
        fixed = p.reader.repair(
            payload + section.end, length - section.end,
            [&](const std::uint8_t* m, std::size_t n) { listener_.onMessage(m, n); });
    }
    std::string line =
        "lost " + std::to_string(lost) + " packet" + (lost > 1 ? "s" : "") + " from " + p.label();
    if (fixed >= 0) {
        counters_.repaired += static_cast<std::uint64_t>(fixed);
        p.repaired += static_cast<std::uint64_t>(fixed);
        line += "; the journal repaired " + std::to_string(fixed) + " message" +
                (fixed == 1 ? "" : "s");
    } else {
        line += section.journal ? "; its journal was unreadable" : "; no journal to repair from";
    }
    listener_.onEvent(line);
}

void TSession::onRtp(const platform::TEndpoint& from, const std::uint8_t* data, std::size_t size,
                     std::int64_t now) {
    TRtpHeader h;
    const std::uint8_t* payload = nullptr;
    std::size_t length = 0;
    if (!parseRtp(data, size, h, payload, length)) {
        ++counters_.malformed;
        return;
    }
    Peer* p = findBySsrc(h.ssrc);
    if (!p || p->state != State::Open || !from.sameHost(p->data)) {
        ++counters_.strangers;
        return;
    }
    p->lastHeard = now;
    int lost = 0;
    if (p->haveSeq) {
        const auto ahead = static_cast<std::int16_t>(h.seq - p->expect);
        // A packet from before the last one is a late duplicate; a run of them is a sender
        // that started its numbering again, whose packets are taken from there on.
        if (ahead < 0 && ++p->lateRun < kLateRun) {
            ++counters_.late;
            return;
        }
        lost = std::max<int>(ahead, 0);
    }
    p->lateRun = 0;
    // With the clocks compared, the packet's timestamp tells how long it travelled: the
    // peer's time of sending, less the offset, on this side's clock.
    if (p->synced) {
        const auto sent =
            static_cast<std::uint32_t>(h.timestamp - static_cast<std::uint32_t>(p->offset));
        const auto delay = static_cast<std::int32_t>(stamp(now) - sent);
        p->delay = p->delays++ ? (p->delay * 7 + delay) / 8 : delay;
    }
    p->haveSeq = true;
    p->expect = static_cast<std::uint16_t>(h.seq + 1);
    p->lastSeq = h.seq;
    p->feedbackDue = true;
    ++p->in;
    ++counters_.packetsIn;

    TNullSink probe;
    const TCommandSection section = parseCommands(payload, length, probe);
    if (lost > 0) recoverLoss(*p, lost, section, payload, length);

    class TDeliver : public TCommandSink {
    public:
        TDeliver(Peer& p, TSessionListener& l, TSessionCounters& c) : p_(p), l_(l), c_(c) {}
        void onShort(std::uint32_t, const std::uint8_t* b, std::size_t n) override {
            p_.reader.apply(b, n);
            l_.onMessage(b, n);
            ++c_.messagesIn;
        }
        void onSysex(std::uint32_t, bool first, SysexEnd end, const std::uint8_t* d,
                     std::size_t n) override {
            if (p_.sysex.add(first, end, d, n)) {
                l_.onMessage(p_.sysex.message().data(), p_.sysex.message().size());
                ++c_.messagesIn;
            }
        }

    private:
        Peer& p_;
        TSessionListener& l_;
        TSessionCounters& c_;
    } deliver(*p, listener_, counters_);
    if (!parseCommands(payload, length, deliver).ok) ++counters_.malformed;
}

void TSession::send(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return;
    const std::uint8_t status = bytes[0];
    bool valid;
    if (status == 0xF0) {
        valid = size >= 2 && bytes[size - 1] == 0xF7 &&
                std::all_of(bytes + 1, bytes + size - 1, [](std::uint8_t b) { return b < 0x80; });
    } else {
        const int len = status >= 0x80 ? dataLength(status) : -1;
        valid = len >= 0 && size == static_cast<std::size_t>(1 + len) &&
                std::all_of(bytes + 1, bytes + size, [](std::uint8_t b) { return b < 0x80; });
    }
    if (!valid) return;
    if (openPeers() == 0) {
        ++counters_.unsent;
        return;
    }
    queue_.insert(queue_.end(), bytes, bytes + size);
}

bool TSession::nextPacket(std::vector<std::uint8_t>& shorts) {
    writer_.clear();
    shorts.clear();
    while (queueHead_ < queue_.size()) {
        const std::uint8_t* m = queue_.data() + queueHead_;
        if (m[0] == 0xF0) {
            const std::uint8_t* endAt =
                std::find(m + 1, static_cast<const std::uint8_t*>(queue_.data() + queue_.size()),
                          std::uint8_t{0xF7});
            const std::size_t total = static_cast<std::size_t>(endAt - m) - 1;
            const std::size_t left = total - sysexSent_;
            const std::size_t room = writer_.sysexRoom(0);
            if (left <= room) {
                writer_.addSysex(0, sysexSent_ == 0, true, m + 1 + sysexSent_, left);
                queueHead_ += total + 2;
                sysexSent_ = 0;
                ++counters_.messagesOut;
                continue;
            }
            // A SysEx that an empty packet holds whole, or a long one that would start in a
            // few bytes left over, waits for the next packet.
            if (!writer_.empty() && (room < 64 || left + 2 <= config_.listRoom)) return true;
            if (room == 0) return !writer_.empty();
            writer_.addSysex(0, sysexSent_ == 0, false, m + 1 + sysexSent_, room);
            sysexSent_ += room;
            return true;
        }
        const std::size_t n = 1 + static_cast<std::size_t>(dataLength(m[0]));
        if (!writer_.addShort(0, m, n)) return !writer_.empty();
        shorts.push_back(static_cast<std::uint8_t>(n));
        shorts.insert(shorts.end(), m, m + n);
        queueHead_ += n;
        ++counters_.messagesOut;
    }
    return !writer_.empty();
}

void TSession::flush(std::int64_t now) {
    if (!started_) {
        start_ = now;
        started_ = true;
    }
    if (openPeers() == 0) {
        queue_.clear();
        queueHead_ = sysexSent_ = 0;
        return;
    }
    std::vector<std::uint8_t>& shorts = flushShorts_;
    std::vector<std::uint8_t>& journal = flushJournal_;
    while (queueHead_ < queue_.size() && nextPacket(shorts)) {
        for (auto& q : peers_) {
            Peer& p = *q;
            if (p.state != State::Open) continue;
            ++p.sentIndex;
            TRtpHeader h;
            h.seq = static_cast<std::uint16_t>(p.seqBase + p.sentIndex);
            h.timestamp = stamp(now);
            h.ssrc = config_.ssrc;
            packet_.clear();
            writeRtp(packet_, h);
            journal.clear();
            const bool j = p.journal.write(journal, p.sentIndex);
            writer_.finish(packet_, j);
            packet_.insert(packet_.end(), journal.begin(), journal.end());
            transport_.send(Port::Data, p.data, packet_.data(), packet_.size());
            ++p.out;
            ++counters_.packetsOut;
            for (std::size_t i = 0; i < shorts.size(); i += 1 + shorts[i])
                p.journal.record(p.sentIndex, &shorts[i + 1], shorts[i]);
        }
    }
    if (queueHead_ >= queue_.size()) {
        queue_.clear();
        queueHead_ = 0;
    }
}

std::int64_t TSession::tick(std::int64_t now) {
    if (!started_) {
        start_ = now;
        started_ = true;
    }
    std::int64_t next = now + 1'000'000;
    for (auto& q : peers_) {
        Peer& p = *q;
        switch (p.state) {
            case State::Inviting:
            case State::InvitingData:
                if (now >= p.nextInvite) invite(p, now);
                next = std::min(next, p.nextInvite);
                break;
            case State::Joining:
                if (now - p.joinedAt > kJoinLimit) p.state = State::Closed;
                break;
            case State::Open: {
                if (now - p.lastHeard > config_.silence) {
                    lose(p,
                         "nothing heard for " + std::to_string(config_.silence / 1'000'000) + " s",
                         now);
                    next = now;
                    break;
                }
                if (p.initiator) {
                    if (now >= p.nextClock) {
                        if (p.clockMisses >= config_.clockMisses) {
                            lose(p, "no answer to the clock exchange", now);
                            next = now;
                            break;
                        }
                        TControlPacket c;
                        c.kind = ControlKind::Clock;
                        c.ssrc = config_.ssrc;
                        c.count = 0;
                        c.ts[0] = static_cast<std::uint64_t>((now - start_) / 100);
                        sendControl(Port::Data, p.data, c);
                        ++p.clockMisses;
                        p.nextClock = now + (p.clockMisses > 1 || p.clocks < 3 ? config_.clockFast
                                                                               : config_.clockSlow);
                    }
                    next = std::min(next, p.nextClock);
                }
                if (p.feedbackDue && now >= p.nextFeedback) {
                    TControlPacket c;
                    c.kind = ControlKind::Feedback;
                    c.ssrc = config_.ssrc;
                    c.seq = p.lastSeq;
                    sendControl(Port::Control, p.control, c);
                    p.feedbackDue = false;
                    p.nextFeedback = now + config_.feedback;
                }
                if (p.feedbackDue) next = std::min(next, p.nextFeedback);
                next = std::min(next, p.lastHeard + config_.silence + 1);
                break;
            }
            case State::Closed:
                break;
        }
    }
    removeClosed();
    return std::max(next, now);
}

void TSession::close() {
    for (auto& q : peers_) {
        Peer& p = *q;
        if (p.state == State::Open || p.state == State::Joining) {
            TControlPacket c;
            c.kind = ControlKind::End;
            c.token = p.token;
            c.ssrc = config_.ssrc;
            sendControl(Port::Control, p.control, c);
            listener_.onEvent("session closed with " + p.label());
        }
        p.state = State::Closed;
    }
    removeClosed();
}

void TSession::removeClosed() {
    peers_.erase(std::remove_if(peers_.begin(), peers_.end(),
                                [](const auto& p) { return p->state == State::Closed; }),
                 peers_.end());
}

int TSession::openPeers() const noexcept {
    return static_cast<int>(std::count_if(peers_.begin(), peers_.end(),
                                          [](const auto& p) { return p->state == State::Open; }));
}

TSessionCounters TSession::counters() const noexcept {
    TSessionCounters c = counters_;
    for (const auto& p : peers_) c.sysexDropped += p->sysex.dropped();
    return c;
}

std::vector<std::string> TSession::describePeers() const {
    static const char* const names[] = {"inviting", "inviting (data port)", "joining", "open",
                                        "closed"};
    std::vector<std::string> lines;
    for (const auto& q : peers_) {
        const Peer& p = *q;
        std::string line = p.label() + ": " + names[static_cast<int>(p.state)];
        if (p.state == State::Open) {
            line += ", packets in " + std::to_string(p.in) + " out " + std::to_string(p.out) +
                    ", lost " + std::to_string(p.lost) + ", repaired " + std::to_string(p.repaired);
            if (p.synced)
                line += ", clock offset " + tenths(p.offset) + " ms, round trip " +
                        tenths(p.roundTrip) + " ms";
            if (p.delays) line += ", packets travel " + tenths(p.delay) + " ms";
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace rtpmidi
