// The network bridge (vstbus rtp) on loopback, against the independent Node implementation
// (the npm package rtpmidi) measured in the same run:
// - RtpRoundTrip: the p99 round trip of a control change from a Node peer through the bridge,
//   a bus, a participant that sends it back on another bus, the bridge and back to the peer
//   (Subject), against a Node peer that talks to another Node peer (Baseline); and, to tell
//   the protocol's share from the buses', through the library's test peer alone, which sends
//   it straight back (Library). The benchmark time is the p99; the counters hold the median
//   and the maximum.
// - RtpThroughput: messages per second from a bus through one bridge, over loopback, through a
//   second bridge to a bus of another set of buses, with no more on their way than the
//   receiving bus holds.
// - RtpIdle: CPU time each bridge takes per second while its session is open and idle.
// Skipped (with an error line) where node or the Node peer is missing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/wakeword.h"
#include "vstbus/vstbus.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
std::string scope;
int basePort = 24000;

// A child process with standard output in a file.
struct Child {
    pid_t pid = -1;
    std::string out;
    Child(const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::string& outFile) {
        out = outFile;
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> all = env;
        for (char** e = environ; *e; ++e) all.push_back(*e);
        for (auto& e : all) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&fa, 2, (outFile + ".err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Child() { stop(); }
    int wait() {
        int status = -1;
        if (pid > 0 && waitpid(pid, &status, 0) == pid) pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        wait();
    }
    std::string text(const std::string& suffix = "") const {
        std::ifstream in(out + suffix);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool waitFor(const std::string& what, const std::string& suffix, double seconds) const {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (text(suffix).find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // User and system CPU time in seconds.
    double cpu() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(in, line);
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i)
            if (i >= 14) ticks += std::atof(field.c_str());
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
};

double jsonNumber(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atof(json.c_str() + at + key.size() + 3);
}

std::string tmp(const std::string& name) {
    return "/tmp/corvella-rtpbench-" + std::to_string(getpid()) + "-" + name;
}

std::vector<std::string> nodeEnv() {
    return {std::string("NODE_PATH=") + CORVELLA_NODE_PEER_DIR + "/node_modules"};
}

bool nodeReady(benchmark::State& state) {
    if (std::system("node --version >/dev/null 2>&1") != 0) {
        state.SkipWithError("node is not installed");
        return false;
    }
    if (!std::ifstream(std::string(CORVELLA_NODE_PEER_DIR) + "/node_modules/rtpmidi/index.js")) {
        state.SkipWithError("the Node peer is not installed (scripts/setup.sh)");
        return false;
    }
    return true;
}

struct Trip {
    double p50 = -1, p99 = -1, max = -1;
    std::string error;
};

Trip read(const Child& rtt) {
    const std::string json = rtt.text();
    Trip t{jsonNumber(json, "p50"), jsonNumber(json, "p99"), jsonNumber(json, "max"), ""};
    if (t.p99 <= 0) t.error = "no round trips: " + rtt.text(".err");
    return t;
}

constexpr const char* kCount = "1000";
constexpr const char* kGapMs = "2";

const std::string js = std::string(CORVELLA_BENCH_DIR) + "/rtpmidi_node.js";

Trip rtt(int port) {
    Child c({"node", js, "rtt", std::to_string(port + 100), std::to_string(port), kCount, kGapMs},
            nodeEnv(), tmp("rtt"));
    c.wait();
    return read(c);
}

Trip nodeToNode(int port) {
    Child echo({"node", js, "echo", std::to_string(port)}, nodeEnv(), tmp("echo"));
    if (!echo.waitFor("ready", ".err", 10)) return {-1, -1, -1, "the Node echo did not start"};
    return rtt(port);
}

Trip throughTheBridge(int port) {
    const std::vector<std::string> env = {"CORVELLA_VSTBUS_SCOPE=" + scope + ".rt"};
    vstbus::TVstBus bus{scope + ".rt"};
    bus.markSender(1, true);
    Child bridge({CORVELLA_VSTBUS, "rtp", "--from", "1", "--to", "2", "--listen",
                  "127.0.0.1:" + std::to_string(port), "--no-announce"},
                 env, tmp("bridge"));
    if (!bridge.waitFor("listening", ".err", 10)) return {-1, -1, -1, "the bridge did not start"};
    // The participant that answers sleeps on its bus's wake-up (a plug-in looks once per
    // audio block, a millisecond or more). It keeps the default scheduling, as the Node peers
    // do: only the bridge's own threads ask for short time slices.
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop) {
            if (bus.waitForWords(2, std::chrono::milliseconds(100)))
                bus.drain(2, [&](std::uint32_t w) { bus.write(1, w); });
        }
    });
    const Trip t = rtt(port);
    stop = true;
    loop.join();
    return t;
}

Trip libraryEcho(int port) {
    Child echo({CORVELLA_RTP_PEER, "echo", std::to_string(port)}, {}, tmp("peer"));
    if (!echo.waitFor("ready", ".err", 10)) return {-1, -1, -1, "the test peer did not start"};
    return rtt(port);
}

// The three kinds run in turns, three rounds, so that the load other programs put on the
// machine falls on all of them alike; each reports its median round.
constexpr int kRounds = 3;
std::vector<Trip> trips[3];

void measureTrips() {
    if (!trips[0].empty()) return;
    for (int r = 0; r < kRounds; ++r) {
        trips[0].push_back(nodeToNode(basePort));
        trips[1].push_back(throughTheBridge(basePort + 10));
        trips[2].push_back(libraryEcho(basePort + 30));
    }
}

void report(benchmark::State& state, int kind) {
    if (!nodeReady(state)) return;
    measureTrips();
    std::vector<Trip> t = trips[kind];
    for (const Trip& one : t) {
        if (!one.error.empty()) {
            state.SkipWithError(one.error.c_str());
            return;
        }
    }
    std::sort(t.begin(), t.end(), [](const Trip& a, const Trip& b) { return a.p99 < b.p99; });
    const Trip& mid = t[t.size() / 2];
    for (auto _ : state) state.SetIterationTime(mid.p99 / 1e6);
    state.counters["p50_us"] = mid.p50;
    state.counters["p99_us"] = mid.p99;
    state.counters["max_us"] = mid.max;
    std::string all;
    for (const Trip& one : trips[kind]) all += " " + std::to_string(static_cast<int>(one.p99));
    state.SetLabel("p99 per round (us):" + all);
}

void BM_RtpRoundTrip_Baseline(benchmark::State& state) {
    report(state, 0);
}
void BM_RtpRoundTrip_Subject(benchmark::State& state) {
    report(state, 1);
}
void BM_RtpRoundTrip_Library(benchmark::State& state) {
    report(state, 2);
}

void BM_RtpThroughput(benchmark::State& state) {
    const int port = basePort + 20;
    const std::string a = scope + ".a", b = scope + ".b";
    vstbus::TVstBus busA{a}, busB{b};
    busA.markSender(1, true);
    constexpr int kMessages = 100000;
    for (auto _ : state) {
        Child bridgeA({CORVELLA_VSTBUS, "rtp", "--from", "1", "--to", "2", "--listen",
                       "127.0.0.1:" + std::to_string(port), "--no-announce"},
                      {"CORVELLA_VSTBUS_SCOPE=" + a}, tmp("a"));
        bridgeA.waitFor("listening", ".err", 10);
        Child bridgeB({CORVELLA_VSTBUS, "rtp", "--from", "1", "--to", "2", "--connect",
                       "127.0.0.1:" + std::to_string(port)},
                      {"CORVELLA_VSTBUS_SCOPE=" + b}, tmp("b"));
        if (!bridgeB.waitFor("session opened", ".err", 10)) {
            state.SkipWithError("the bridges did not meet");
            return;
        }
        // No more messages on their way than the receiving bus has room for, so that none is
        // lost there while this reader waits for a core (the bridge would count them as "bus
        // full"): what is measured is how fast the bridges carry messages, not how long a
        // reader may be kept from its bus.
        const int room = busB.capacity(2);
        int sent = 0, got = 0;
        const auto t0 = Clock::now();
        auto last = t0;
        // Until all came, or nothing more came for a second (the network lost some: counted as
        // lost).
        while (got < kMessages && Clock::now() - last < std::chrono::seconds(1)) {
            // Paced also by the waiting-word count, as a sending plug-in would be.
            while (sent < kMessages && sent - got < room && busA.getWriteIndex(1) < 2048) {
                const std::uint32_t n = static_cast<std::uint32_t>(sent++);
                busA.write(1, 0xB0u | (n & 0x7F) << 8 | (n >> 7 & 0x7F) << 16);
            }
            const int taken = busB.drain(2, [&](std::uint32_t) { ++got; });
            if (taken == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            else
                last = Clock::now();
        }
        const double seconds = std::chrono::duration<double>(last - t0).count();
        state.SetIterationTime(seconds);
        state.counters["messages"] = got;
        state.counters["messages_per_s"] = got / seconds;
        state.counters["lost"] = kMessages - got;

        // Idle: the session stays open with nothing to carry (measured from two seconds after
        // the last message, when the bridges look at their buses at their slowest).
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpuA = bridgeA.cpu(), cpuB = bridgeB.cpu();
        // Ten seconds: the system charges CPU time in whole ticks.
        std::this_thread::sleep_for(std::chrono::seconds(10));
        state.counters["idle_cpu_percent_listen"] = (bridgeA.cpu() - cpuA) / 10 * 100;
        state.counters["idle_cpu_percent_connect"] = (bridgeB.cpu() - cpuB) / 10 * 100;
    }
}

BENCHMARK(BM_RtpRoundTrip_Baseline)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RtpRoundTrip_Subject)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RtpRoundTrip_Library)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RtpThroughput)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    scope = "rtpbench." + std::to_string(getpid());
    basePort = 24000 + static_cast<int>(getpid() % 200) * 40;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* name : {"echo", "rtt", "bridge", "a", "b", "peer"}) {
        std::remove(tmp(name).c_str());
        std::remove((tmp(name) + ".err").c_str());
    }
    return 0;
}
