// The engine's costs against the simplest loops doing the same amount of bookkeeping.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform/settings.h"
#include "plugin/plugin.h"
#include "support/memorysettingsstore.h"
#include "tools/host/vsthost.h"
#include "vst/entry.h"

namespace {

VstIntPtr VSTCALLBACK discardingHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr,
                                     float) {
    if (opcode == audioMasterProcessEvents) benchmark::DoNotOptimize(ptr);
    return opcode == audioMasterVersion ? 2400 : 0;
}

struct Instance {
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope{store};
    AEffect* e = pluginEntry(discardingHost);
    ~Instance() { e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f); }
    APlugin& plugin() { return *static_cast<APlugin*>(e->object); }
};

// Per-frame cost with every stage off: 512 frames of processReplacing.
void BM_Frames_Baseline(benchmark::State& state) {
    std::uint32_t counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < 512; ++i) {
            ++counter;
            benchmark::ClobberMemory();
        }
    }
    benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_Frames_Baseline);

void BM_Frames_ProcessReplacing512(benchmark::State& state) {
    Instance inst;
    std::vector<float> buf(512);
    float* io[1] = {buf.data()};
    for (auto _ : state) inst.e->processReplacing(inst.e, io, io, 512);
}
BENCHMARK(BM_Frames_ProcessReplacing512);

// Messages through the chain with replace and filter on, sent at once to a discarding host.
std::vector<MidiWord> messages() {
    std::vector<MidiWord> w(1024);
    for (std::size_t i = 0; i < w.size(); ++i)
        w[i] = packWord(0x90 + (i % 16), static_cast<unsigned>(i % 128), 100);
    return w;
}

void BM_Chain_Baseline(benchmark::State& state) {
    const auto in = messages();
    std::vector<MidiWord> out(in.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < in.size(); ++i) out[i] = in[i];
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(in.size()));
}
BENCHMARK(BM_Chain_Baseline);

void BM_Chain_ReplaceFilterToHost(benchmark::State& state) {
    Instance inst;
    AEffect* e = inst.e;
    e->setParameter(e, param::Replace, 1.0f);
    e->setParameter(e, 31, 0.0f);
    e->setParameter(e, 32, 1.0f / 256.0f);  // note on, channel 1
    e->setParameter(e, 33, 128.0f / 256.0f);
    e->setParameter(e, 34, 128.0f / 256.0f);
    e->setParameter(e, 35, 1.0f / 256.0f);        // to channel 2
    e->setParameter(e, param::FilterType, 0.3f);  // block only
    e->setParameter(e, 11, 1.0f);
    e->setParameter(e, 13, 3.0f / 256.0f);  // block control changes on channel 1
    const auto in = messages();
    // One effProcessEvents block of 1024 events, as a host hands them in.
    host::MidiEventList events = host::MidiEventList::fromWords(in);
    VstEvents* list = events.get();
    for (auto _ : state) e->dispatcher(e, effProcessEvents, 0, 0, list, 0.0f);
    state.SetItemsProcessed(state.iterations() * static_cast<long>(in.size()));
}
BENCHMARK(BM_Chain_ReplaceFilterToHost);

// Messages through the chain with logging on (text line and recording insert) against logging
// off, both into a discarding host; the recording is cleared between rounds so it never fills.
void runLogged(benchmark::State& state, bool logging) {
    Instance inst;
    AEffect* e = inst.e;
    e->setParameter(e, param::LogMeta, 0.0f);
    e->setParameter(e, param::Log, logging ? 1.0f : 0.0f);
    host::MidiEventList events = host::MidiEventList::fromWords(messages());
    VstEvents* list = events.get();
    int rounds = 0;
    for (auto _ : state) {
        e->dispatcher(e, effProcessEvents, 0, 0, list, 0.0f);
        if (++rounds == 64) {
            state.PauseTiming();
            e->setParameter(e, param::ClearLog, 1.0f);
            rounds = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * list->numEvents);
}

void BM_Logging_Baseline(benchmark::State& state) {
    runLogged(state, false);
}
BENCHMARK(BM_Logging_Baseline);

void BM_Logging_On(benchmark::State& state) {
    runLogged(state, true);
}
BENCHMARK(BM_Logging_On);

}  // namespace

BENCHMARK_MAIN();
