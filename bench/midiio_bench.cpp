// Latency of the MIDI device ports on real JACK ports, against one JACK period (the transport's
// own limit), measured in the same run: from a peer's send to the input handler call, and from
// the plug-in's send to the peer. Median and p99 are printed as ratios to the period.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "jackpeer.h"
#include "midiio/midiio.h"

namespace {

using jacktest::now;

struct Rig {
    jacktest::JackServer server{48000, 256};
    std::unique_ptr<jacktest::JackPeer> peer;
    TMidiIO io;
    std::vector<std::int64_t> handled = std::vector<std::int64_t>(1 << 16);
    std::atomic<std::size_t> handledCount{0};

    static void handler(void* self, std::uint32_t) noexcept {
        auto* r = static_cast<Rig*>(self);
        const std::size_t n = r->handledCount.load(std::memory_order_relaxed);
        if (n < r->handled.size()) r->handled[n] = now();
        r->handledCount.store(n + 1, std::memory_order_release);
    }
};
Rig* rig = nullptr;

template <typename Done>
bool waitUntil(Done done) {
    const std::int64_t deadline = now() + 2'000'000'000LL;
    while (!done()) {
        if (now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

struct Summary {
    double median = 0, p99 = 0;
};
Summary summarise(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}
Summary periodSummary, inSummary, outSummary;

void report(benchmark::State& state, const std::vector<double>& samples, Summary& into) {
    into = summarise(samples);
    state.counters["median_us"] = into.median * 1e6;
    state.counters["p99_us"] = into.p99 * 1e6;
}

// One JACK period as the peer's process callback sees it: start to start of two cycles.
void periods(benchmark::State& state) {
    std::vector<double> samples;
    for (auto _ : state) {
        const std::uint64_t c = rig->peer->cycles();
        rig->peer->waitCycles(2);
        const double s =
            static_cast<double>(rig->peer->cycleStart(c + 1) - rig->peer->cycleStart(c)) * 1e-9;
        samples.push_back(s);
        state.SetIterationTime(s);
    }
    report(state, samples, periodSummary);
}

void BM_DeviceIn_Baseline(benchmark::State& state) {
    periods(state);
}
BENCHMARK(BM_DeviceIn_Baseline)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

// The peer writes a note in its process callback; the handler runs on RtMidi's JACK thread.
void BM_DeviceIn_Subject(benchmark::State& state) {
    std::vector<double> samples;
    for (auto _ : state) {
        const std::size_t handled = rig->handledCount.load();
        const std::size_t sent = rig->peer->sentCount();
        rig->peer->post(jacktest::shortMessage(0x403C90));
        if (!waitUntil([&] { return rig->handledCount.load() > handled; })) {
            state.SkipWithError("message lost");
            break;
        }
        const double s =
            static_cast<double>(rig->handled[handled] - rig->peer->sentAt(sent)) * 1e-9;
        samples.push_back(s);
        state.SetIterationTime(s);
    }
    report(state, samples, inSummary);
}
BENCHMARK(BM_DeviceIn_Subject)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_DeviceOut_Baseline(benchmark::State& state) {
    periods(state);
}
BENCHMARK(BM_DeviceOut_Baseline)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

// sendShortMessage from an ordinary thread at a random point of the period; the peer reads
// the note in its process callback.
void BM_DeviceOut_Subject(benchmark::State& state) {
    std::vector<double> samples;
    std::mt19937 random(5);
    std::uniform_int_distribution<int> phase(0, 5333);
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(phase(random)));
        state.ResumeTiming();
        const std::size_t received = rig->peer->receivedCount();
        const std::int64_t start = now();
        rig->io.sendShortMessage(0x403C90);
        if (!waitUntil([&] { return rig->peer->receivedCount() > received; })) {
            state.SkipWithError("message lost");
            break;
        }
        const double s = static_cast<double>(rig->peer->receivedAt(received) - start) * 1e-9;
        samples.push_back(s);
        state.SetIterationTime(s);
    }
    report(state, samples, outSummary);
}
BENCHMARK(BM_DeviceOut_Subject)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

bool setUp() {
    if (!rig->server.running()) {
        std::printf("skipped: %s\n", rig->server.problem().c_str());
        return false;
    }
    rig->peer = std::make_unique<jacktest::JackPeer>("peer", 32);
    rig->io.setInputHandler(&Rig::handler, rig);
    rig->io.selectInputDevice(jacktest::deviceNamed(rig->io, false, rig->peer->outputPort()));
    rig->io.selectOutputDevice(jacktest::deviceNamed(rig->io, true, rig->peer->inputPort()));
    rig->io.setInputOpen(true);
    rig->io.setOutputOpen(true);
    if (!rig->io.inputOpen() || !rig->io.outputOpen()) {
        std::printf("skipped: the ports did not open (is there an ALSA sequencer?)\n");
        return false;
    }
    // Warm both paths up.
    for (int i = 0; i < 20; ++i) {
        rig->peer->post(jacktest::shortMessage(0xFE));
        rig->io.sendShortMessage(0xFE);
        rig->peer->waitCycles(1);
    }
    rig->peer->waitCycles(4);
    return rig->handledCount.load() > 0 && rig->peer->receivedCount() > 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Rig r;
    rig = &r;
    if (setUp()) {
        benchmark::RunSpecifiedBenchmarks();
        const double period = periodSummary.median;
        if (period > 0) {
            std::printf("ratio DeviceIn median: %.3f  p99: %.3f (of one period, %.0f us)\n",
                        inSummary.median / period, inSummary.p99 / period, period * 1e6);
            std::printf("ratio DeviceOut median: %.3f  p99: %.3f (of one period, %.0f us)\n",
                        outSummary.median / period, outSummary.p99 / period, period * 1e6);
        }
    }
    benchmark::Shutdown();
    rig = nullptr;
    return 0;
}
