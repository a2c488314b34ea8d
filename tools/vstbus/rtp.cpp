// vstbus rtp: one RTP-MIDI session between the buses and peers on the network.
//   vstbus rtp --from BUS --to BUS (--listen [ADDR:]PORT | --connect HOST:PORT)
//              [--name NAME] [--allow ADDR[/BITS]]... [--no-announce]
//   vstbus rtp --browse [--seconds N]
// Messages drained from --from go to every peer; messages from peers are appended to --to.
// Progress goes to standard error, one line per event; SIGUSR1 prints the counters; SIGINT
// and SIGTERM end the sessions with BY and the program with status 0.
#include "rtp.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/dnssd.h"
#include "platform/udp.h"
#include "platform/wakeword.h"
#include "rtpmidi/payload.h"
#include "rtpmidi/session.h"
#include "vstbus/vstbus.h"

namespace vstbustool {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t countersRequested = 0;

extern "C" void onStopSignal(int) {
    stopRequested = 1;
}
extern "C" void onCountersSignal(int) {
    countersRequested = 1;
}

void say(const std::string& line) {
    std::fprintf(stderr, "vstbus rtp: %s\n", line.c_str());
    std::fflush(stderr);
}

int usage(const std::string& problem) {
    if (!problem.empty()) say(problem);
    std::fprintf(stderr,
                 "usage: vstbus rtp [--from BUS] [--to BUS] (--listen [ADDR:]PORT | --connect "
                 "HOST:PORT)\n"
                 "                  [--name NAME] [--allow ADDR[/BITS]]... [--no-announce]\n"
                 "       vstbus rtp --browse [--seconds N]\n");
    return kUsage;
}

bool parseInt(std::string_view text, long low, long high, long& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
}

// "[ADDR:]PORT", "HOST:PORT", "[V6]:PORT" into a host (maybe empty) and a port.
bool splitHostPort(std::string_view text, bool hostNeeded, std::string& host, std::uint16_t& port) {
    std::string_view portText = text;
    host.clear();
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string_view::npos) return false;
        host = std::string(text.substr(1, close - 1));
        portText = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        host = std::string(text.substr(0, colon));
        portText = text.substr(colon + 1);
    }
    long p = 0;
    // The data port is the next one, so the control port leaves room for it.
    if (!parseInt(portText, 1, 65534, p)) return false;
    port = static_cast<std::uint16_t>(p);
    return !hostNeeded || !host.empty();
}

std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Options {
    int from = -1, to = -1;
    bool listen = false, connect = false, announce = true, browse = false;
    std::string host, name;
    std::uint16_t port = 0;
    long seconds = 3;
    std::vector<rtpmidi::TAllow> allow;
};

int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const bool hasValue = i + 1 < argc;
        long v = 0;
        if (a == "--from" || a == "--to") {
            if (!hasValue || !parseInt(argv[i + 1], 0, vstbus::kBusCount - 1, v))
                return usage(std::string(a) + " needs a bus number 0..63");
            (a == "--from" ? o.from : o.to) = static_cast<int>(v);
            ++i;
        } else if (a == "--listen" || a == "--connect") {
            if (!hasValue || !splitHostPort(argv[i + 1], a == "--connect", o.host, o.port))
                return usage(a == "--listen" ? "--listen needs [ADDR:]PORT (PORT 1..65534)"
                                             : "--connect needs HOST:PORT (PORT 1..65534)");
            (a == "--listen" ? o.listen : o.connect) = true;
            ++i;
        } else if (a == "--name") {
            if (!hasValue || std::string_view(argv[i + 1]).empty())
                return usage("--name needs a name");
            o.name = argv[++i];
        } else if (a == "--allow") {
            if (!hasValue) return usage("--allow needs ADDR[/BITS]");
            std::string text = argv[++i];
            rtpmidi::TAllow rule;
            long bits = -1;
            if (const auto slash = text.find('/'); slash != std::string::npos) {
                if (!parseInt(std::string_view(text).substr(slash + 1), 0, 128, bits))
                    return usage("--allow: BITS must be a number of bits");
                text.resize(slash);
            }
            if (!platform::parseAddress(text, rule.net))
                return usage("--allow: '" + text + "' is not a numeric address");
            const int total = rule.net.family == 6 ? 128 : 32;
            if (bits > total) return usage("--allow: too many bits for that address");
            rule.bits = bits < 0 ? total : static_cast<int>(bits);
            o.allow.push_back(rule);
        } else if (a == "--no-announce") {
            o.announce = false;
        } else if (a == "--browse") {
            o.browse = true;
        } else if (a == "--seconds") {
            if (!hasValue || !parseInt(argv[i + 1], 1, 60, o.seconds))
                return usage("--seconds needs 1..60");
            ++i;
        } else {
            return usage("unknown option '" + std::string(a) + "'");
        }
    }
    if (o.browse) return kOk;
    if (o.listen == o.connect) return usage("give one of --listen and --connect");
    if (o.from < 0 && o.to < 0) return usage("give --from, --to or both");
    if (o.from >= 0 && o.from == o.to)
        return usage("--from and --to must differ (the bridge would read back what it wrote)");
    return kOk;
}

int browse(const Options& o) {
    std::vector<platform::TSeenSession> seen;
    std::string why;
    if (!platform::browseSessions(static_cast<int>(o.seconds * 1000), seen, why)) {
        say("browsing is not available: " + why);
        return kFailed;
    }
    for (const auto& s : seen)
        std::printf("%s\t%s\t%s:%u\n", s.name.c_str(), s.host.c_str(), s.address.c_str(),
                    static_cast<unsigned>(s.port));
    if (seen.empty()) say("no sessions seen");
    return kOk;
}

// The two sockets of the session; the data port is the control port + 1.
struct Sockets : rtpmidi::TTransport {
    platform::TUdpSocket control, data;
    std::uint64_t sendFailures = 0;
    // The loop's or the bus's sender's thread, under the session's lock.
    void send(rtpmidi::Port port, const platform::TEndpoint& to, const std::uint8_t* d,
              std::size_t n) override {
        auto& s = port == rtpmidi::Port::Control ? control : data;
        if (!s.sendTo(to, d, n)) ++sendFailures;
    }
    bool open(platform::TEndpoint local, bool anyPort, std::string& why) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (!control.open(local, why)) return false;
            const std::uint16_t port = control.localPort();
            if (port < 65535 &&
                data.open(local.withPort(static_cast<std::uint16_t>(port + 1)), why))
                return true;
            control.close();
            if (!anyPort) {
                why = "data port " + std::to_string(local.port + 1) + ": " + why;
                return false;
            }
        }
        return false;
    }
};

// The session and the lock around it: the loop (sockets and timers) and the bus's sender use
// it from their two threads. Neither holds the lock while it sleeps or writes to a bus.
struct SharedSession {
    std::mutex lock;
    rtpmidi::TSession& session;
};

// Carries the words that come on the --from bus to the network: a thread of its own sleeps on
// the bus's wake-up, drains the bus and sends what it took itself, so that a participant's
// message costs one wake-up of the bridge (the loop waits on the sockets, which a bus writer
// cannot ring).
class BusSender {
public:
    BusSender(vstbus::TVstBus& bus, int from, SharedSession& shared)
        : bus_(bus), from_(from), shared_(shared) {
        words_.reserve(vstbus::kMaxCapacity);
    }
    ~BusSender() { stop(); }
    BusSender(const BusSender&) = delete;
    BusSender& operator=(const BusSender&) = delete;

    // Main thread, once.
    void start() {
#ifndef _WIN32
        // The stop and counter signals go to the loop, whose wait they cut short.
        sigset_t blocked, previous;
        sigemptyset(&blocked);
        for (int signal : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&blocked, signal);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        thread_ = std::thread([this] { run(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#else
        thread_ = std::thread([this] { run(); });
#endif
    }
    // Main thread.
    void stop() noexcept {
        if (!thread_.joinable()) return;
        stopping_ = true;
        thread_.join();
    }
    // Words sent, and words that were no whole short message. Read under the session's lock.
    std::uint64_t sent = 0, notSent = 0;

private:
    // The sender's thread.
    void run() noexcept {
        platform::preferShortSlices();
        // Long enough to cost nothing when idle; it only bounds how long stop() waits. A bus
        // whose writers have no wake block is looked at every millisecond by waitForWords.
        constexpr std::chrono::milliseconds kSafetyNet{200};
        while (!stopping_) {
            if (!bus_.waitForWords(from_, kSafetyNet)) continue;
            words_.clear();
            const int taken = bus_.drain(from_, [&](std::uint32_t w) { words_.push_back(w); });
            if (!words_.empty()) {
                std::lock_guard<std::mutex> hold(shared_.lock);
                for (const std::uint32_t word : words_) {
                    const auto status = static_cast<std::uint8_t>(word & 0xFF);
                    const int len = status >= 0x80 ? rtpmidi::dataLength(status) : -1;
                    if (len < 0) {
                        if (word != 0) ++notSent;
                        continue;
                    }
                    const std::uint8_t bytes[3] = {status,
                                                   static_cast<std::uint8_t>(word >> 8 & 0x7F),
                                                   static_cast<std::uint8_t>(word >> 16 & 0x7F)};
                    shared_.session.send(bytes, static_cast<std::size_t>(1 + len));
                    ++sent;
                }
                shared_.session.flush(nowUs());
            }
            // Words that could not be taken (a sound stream, or a slot its writer has not
            // filled yet) are not worth spinning on.
            if (taken <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    vstbus::TVstBus& bus_;
    const int from_;
    SharedSession& shared_;
    std::vector<std::uint32_t> words_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// What the session hears from the network, for the --to bus. The loop's thread, under the
// session's lock: the words wait in `pending` until deliver(), after the lock is let go, so that
// a participant woken by them does not find the bus's sender waiting for the lock.
struct Bridge : rtpmidi::TSessionListener {
    vstbus::TVstBus& bus;
    int to;
    std::uint64_t toBus = 0, busFull = 0, sysexNotCarried = 0;
    std::vector<std::uint32_t> pending;
    Bridge(vstbus::TVstBus& b, int t) : bus(b), to(t) {}

    void onMessage(const std::uint8_t* b, std::size_t n) override {
        if (to < 0) return;
        if (n > 3) {
            // A bus word holds one short message: SysEx has no place on the buses.
            if (sysexNotCarried++ == 0)
                say("SysEx from the network is not carried: the buses hold short messages only "
                    "(counted from now on)");
            return;
        }
        std::uint32_t word = 0;
        for (std::size_t i = 0; i < n; ++i) word |= static_cast<std::uint32_t>(b[i]) << (8 * i);
        pending.push_back(word);
    }
    // The loop's thread, without the session's lock.
    void deliver() {
        for (const std::uint32_t word : pending) {
            if (bus.write(to, word)) {
                ++toBus;
            } else if (busFull++ == 0) {
                say("bus " + std::to_string(to) +
                    " is full: messages from the network are dropped "
                    "until its reader drains it (counted)");
            }
        }
        pending.clear();
    }
    void onEvent(const std::string& line) override { say(line); }
};

// The loop's thread, under the session's lock.
void printCounters(const rtpmidi::TSession& session, const Bridge& bridge, const BusSender& sender,
                   const Sockets& s) {
    const rtpmidi::TSessionCounters c = session.counters();
    say("counters: packets in " + std::to_string(c.packetsIn) + " out " +
        std::to_string(c.packetsOut) + ", messages from the network " +
        std::to_string(c.messagesIn) + " (to the bus " + std::to_string(bridge.toBus) +
        ", bus full " + std::to_string(bridge.busFull) + ", SysEx not carried " +
        std::to_string(bridge.sysexNotCarried) + "), messages to the network " +
        std::to_string(c.messagesOut) + " (from the bus " + std::to_string(sender.sent) +
        ", no peer " + std::to_string(c.unsent) + ", not a whole message " +
        std::to_string(sender.notSent) + "), packets lost " + std::to_string(c.lost) +
        ", repaired messages " + std::to_string(c.repaired) + ", late " + std::to_string(c.late) +
        ", malformed " + std::to_string(c.malformed) + ", from strangers " +
        std::to_string(c.strangers) + ", refused " + std::to_string(c.refused) +
        ", SysEx dropped " + std::to_string(c.sysexDropped) + ", send failures " +
        std::to_string(s.sendFailures));
    for (const auto& line : session.describePeers()) say("peer " + line);
}

// The session loop, until a stop signal: waits on both sockets and runs the session's timers.
void serve(Sockets& sockets, rtpmidi::TSession& session, Bridge& bridge, SharedSession& shared,
           const BusSender& sender) {
    std::vector<std::uint8_t> buffer(65536);
    platform::TUdpSocket* waitOn[2] = {&sockets.control, &sockets.data};
    std::int64_t nextTimers = 0;
    while (!stopRequested) {
        std::int64_t now = nowUs();
        if (now >= nextTimers) {
            std::lock_guard<std::mutex> hold(shared.lock);
            nextTimers = session.tick(now);
        }
        const int ready =
            platform::waitReadable(waitOn, 2, std::max<std::int64_t>(nextTimers - now, 0));
        for (int k = 0; k < 2; ++k) {
            if (!(ready & (1 << k))) continue;
            // A bounded number per round, so that a flood cannot hold the loop. Each datagram's
            // messages reach the bus before the next is read.
            for (int n = 0; n < 256; ++n) {
                platform::TEndpoint from;
                const long got = waitOn[k]->receive(buffer.data(), buffer.size(), from);
                if (got < 0) break;
                {
                    std::lock_guard<std::mutex> hold(shared.lock);
                    session.receive(k == 0 ? rtpmidi::Port::Control : rtpmidi::Port::Data, from,
                                    buffer.data(), static_cast<std::size_t>(got), nowUs());
                }
                bridge.deliver();
            }
        }
        if (countersRequested) {
            countersRequested = 0;
            std::lock_guard<std::mutex> hold(shared.lock);
            printCounters(session, bridge, sender, sockets);
        }
    }
}

}  // namespace

int runRtp(int argc, char** argv) {
    Options o;
    if (const int rc = parse(argc, argv, o); rc != kOk) return rc;
    if (o.browse) return browse(o);

    platform::TEndpoint local, target;
    std::string why;
    if (o.connect) {
        if (!platform::resolve(o.host, o.port, target, why)) {
            say("cannot resolve '" + o.host + "': " + why);
            return kFailed;
        }
        local.family = target.family;
    } else if (!platform::resolve(o.host, o.port, local, why)) {
        say("cannot use address '" + o.host + "': " + why);
        return kFailed;
    }
    Sockets sockets;
    if (!sockets.open(local, o.connect, why)) {
        say("cannot open the ports: " + why);
        return kFailed;
    }

    vstbus::TVstBus bus;
    if (!bus.attached()) {
        say("cannot attach to the buses");
        return kFailed;
    }
    if (o.to >= 0) bus.markSender(o.to, true);

    rtpmidi::TSessionConfig config;
    config.name = o.name.empty()
                      ? platform::hostName() + " bus " + std::to_string(o.from >= 0 ? o.from : o.to)
                      : o.name;
    std::random_device random;
    config.ssrc = random();
    config.allow = o.allow;
    Bridge bridge(bus, o.to);
    rtpmidi::TSession session(config, sockets, bridge);

    std::unique_ptr<platform::TAnnouncement> announcement;
    if (o.listen) {
        say("listening on control port " + std::to_string(sockets.control.localPort()) +
            " and data port " + std::to_string(sockets.data.localPort()) + " as '" + config.name +
            "'");
        if (o.announce) {
            announcement = platform::announceSession(config.name, sockets.control.localPort(), why);
            if (!announcement) say("not announced: " + why);
        }
    } else {
        session.connect(target, nowUs());
    }

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGUSR1
    std::signal(SIGUSR1, onCountersSignal);
#endif

    // The loop waits on the sockets and runs the timers; the bus's sender carries the --from
    // bus from a thread of its own. Both work a few microseconds per wake-up, and a message's
    // way through the bridge waits for each of them to get a core.
    platform::preferShortSlices();
    SharedSession shared{{}, session};
    BusSender sender(bus, o.from, shared);
    if (o.from >= 0) sender.start();
    serve(sockets, session, bridge, shared, sender);
    sender.stop();
    session.close();
    if (o.to >= 0) bus.markSender(o.to, false);
    say("stopped");
    return kOk;
}

}  // namespace vstbustool
