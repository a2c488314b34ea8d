// Handoff latency on the buses: a word written to one bus until a spinning reader drains it.
// Measured as half a round trip (ping on one bus, echoed back on another), between two
// processes (this program starts a copy of itself as the echo) against the same handoff
// between two threads of one process, which is what the hardware can do. Both run on the same
// system block under a scope of their own, so the user's buses are left alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vstbus/vstbus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPing = 60;
constexpr int kPong = 61;
constexpr std::uint32_t kStop = 0x00FFFFFF;

std::string self;
std::string scope;

struct Result {
    double median = 0;
    double p99 = 0;
};
Result threads, processes;

// Echoes every word from the ping bus to the pong bus, spinning, until the stop word.
void echo(vstbus::TVstBus& bus) {
    bool stop = false;
    const auto deadline = Clock::now() + std::chrono::minutes(5);
    while (!stop && Clock::now() < deadline) {
        bus.drain(kPing, [&](std::uint32_t w) {
            if (w == kStop) {
                stop = true;
            } else {
                bus.write(kPong, w);
            }
        });
    }
}

void pingPong(benchmark::State& state, Result& result) {
    vstbus::TVstBus bus{scope};
    if (!bus.attached()) {
        state.SkipWithError("cannot attach to the buses");
        return;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (bus.participants() < 2 && Clock::now() < deadline) std::this_thread::yield();
    if (bus.participants() < 2) {
        state.SkipWithError("the echo did not come");
        return;
    }
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    std::uint32_t n = 0;
    for (auto _ : state) {
        const std::uint32_t word = (n++ % 0xFFFFF0u) + 1;
        bool back = false;
        const auto t0 = Clock::now();
        bus.write(kPing, word);
        // A word is dropped only when a writer stalls between claiming a slot and filling it
        // for longer than a reader waits: then the run ends instead of waiting for ever.
        for (std::uint32_t spins = 1; !back; ++spins) {
            bus.drain(kPong, [&](std::uint32_t w) { back = back || w == word; });
            if (spins % 65536 == 0 && Clock::now() - t0 > std::chrono::seconds(1)) break;
        }
        if (!back) {
            state.SkipWithError("a word did not come back");
            break;
        }
        const double half = std::chrono::duration<double>(Clock::now() - t0).count() / 2;
        state.SetIterationTime(half);
        samples.push_back(half * 1e9);
    }
    bus.write(kPing, kStop);
    std::sort(samples.begin(), samples.end());
    result.median = samples[samples.size() / 2];
    result.p99 = samples[samples.size() * 99 / 100];
    state.counters["median_ns"] = result.median;
    state.counters["p99_ns"] = result.p99;
}

void BM_HandoffBetweenThreads(benchmark::State& state) {
    std::thread peer([] {
        vstbus::TVstBus bus{scope};
        echo(bus);
    });
    pingPong(state, threads);
    peer.join();
}

void BM_HandoffBetweenProcesses(benchmark::State& state) {
    std::thread child([] {
        const std::string command = "\"" + self + "\" --vstbus-echo " + scope;
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "the echo process failed\n");
    });
    pingPong(state, processes);
    child.join();
}

BENCHMARK(BM_HandoffBetweenThreads)->Iterations(200000)->UseManualTime();
BENCHMARK(BM_HandoffBetweenProcesses)->Iterations(200000)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--vstbus-echo") {
        vstbus::TVstBus bus{argv[2]};
        echo(bus);
        return 0;
    }
    self = argv[0];
    scope = "bench." + std::to_string(Clock::now().time_since_epoch().count());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (threads.median > 0 && processes.median > 0) {
        std::printf(
            "handoff, processes / threads: median %.0f / %.0f ns = %.2f, p99 %.0f / %.0f ns"
            " = %.2f\n",
            processes.median, threads.median, processes.median / threads.median, processes.p99,
            threads.p99, processes.p99 / threads.p99);
    }
    return 0;
}
