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

// --- Per block and per message, as the host drives a plug-in ---------------------------------

VstTimeInfo gTime{};

VstIntPtr VSTCALLBACK timedHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    if (opcode == audioMasterProcessEvents) benchmark::DoNotOptimize(ptr);
    if (opcode == audioMasterGetTime) return reinterpret_cast<VstIntPtr>(&gTime);
    return opcode == audioMasterVersion ? 2400 : 0;
}

struct TimedInstance {
    TimedInstance() {
        gTime.tempo = 120.0;
        gTime.timeSigNumerator = 4;
        gTime.timeSigDenominator = 4;
        gTime.sampleRate = 44100.0;
    }
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope{store};
    AEffect* e = pluginEntry(timedHost);
    ~TimedInstance() { e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f); }
};

// An idle block (no MIDI) of state.range(0) frames; logging on asks the host's time.
void idleBlock(benchmark::State& state, bool logging) {
    TimedInstance inst;
    AEffect* e = inst.e;
    e->setParameter(e, param::Log, logging ? 1.0f : 0.0f);
    const auto frames = static_cast<VstInt32>(state.range(0));
    std::vector<float> buf(static_cast<std::size_t>(frames));
    float* io[1] = {buf.data()};
    for (auto _ : state) e->processReplacing(e, io, io, frames);
    state.counters["frames"] = static_cast<double>(frames);
}
void BM_IdleBlock(benchmark::State& state) {
    idleBlock(state, false);
}
BENCHMARK(BM_IdleBlock)->Arg(32)->Arg(512)->Arg(4096);
void BM_IdleBlockLogging(benchmark::State& state) {
    idleBlock(state, true);
}
BENCHMARK(BM_IdleBlockLogging)->Arg(32)->Arg(512)->Arg(4096);

// Host automation: one parameter change before each 32-frame block, against the idle block.
void automatedBlocks(benchmark::State& state, bool change) {
    TimedInstance inst;
    AEffect* e = inst.e;
    std::vector<float> buf(32);
    float* io[1] = {buf.data()};
    float v = 0.0f;
    for (auto _ : state) {
        if (change) {
            v = v == 0.0f ? 0.5f : 0.0f;
            e->setParameter(e, param::DelayAmount, v);
        }
        e->processReplacing(e, io, io, 32);
    }
}
void BM_Automation_Baseline(benchmark::State& state) {
    automatedBlocks(state, false);
}
BENCHMARK(BM_Automation_Baseline);
void BM_Automation_OneChangePerBlock(benchmark::State& state) {
    automatedBlocks(state, true);
}
BENCHMARK(BM_Automation_OneChangePerBlock);

// A change from a thread that never processes (the editor's), while no block runs.
void BM_SetParameterOffProcessing(benchmark::State& state) {
    TimedInstance inst;
    AEffect* e = inst.e;
    float v = 0.0f;
    for (auto _ : state) {
        v = v == 0.0f ? 0.5f : 0.0f;
        e->setParameter(e, param::DelayAmount, v);
    }
}
BENCHMARK(BM_SetParameterOffProcessing);

// 256 messages per block through to the host; one block of 64 frames after them.
void messagesPerBlock(benchmark::State& state, AEffect* e, std::size_t perBlock, VstInt32 frames) {
    std::vector<MidiWord> words(perBlock);
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = packWord(0x90 + (i % 16), static_cast<unsigned>(i % 128), 100);
    host::MidiEventList events = host::MidiEventList::fromWords(words);
    VstEvents* list = events.get();
    std::vector<float> buf(static_cast<std::size_t>(frames));
    float* io[1] = {buf.data()};
    for (auto _ : state) {
        e->dispatcher(e, effProcessEvents, 0, 0, list, 0.0f);
        e->processReplacing(e, io, io, frames);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(perBlock));
}

void BM_Thru256(benchmark::State& state) {
    Instance inst;
    messagesPerBlock(state, inst.e, 256, 64);
}
BENCHMARK(BM_Thru256);

// Replace note ons on channel 1 to channel 2, filter with one row (block control changes).
void BM_ReplaceFilterOneRow256(benchmark::State& state) {
    Instance inst;
    AEffect* e = inst.e;
    e->setParameter(e, param::Replace, 1.0f);
    e->setParameter(e, param::ReplaceMatchChannel, 0.0f);
    e->setParameter(e, param::ReplaceMatchStatus, 1.0f / 256.0f);
    e->setParameter(e, param::ReplaceMatchData1, 128.0f / 256.0f);
    e->setParameter(e, param::ReplaceMatchData2, 128.0f / 256.0f);
    e->setParameter(e, param::ReplaceNewChannel, 1.0f / 256.0f);
    e->setParameter(e, param::ReplaceNewStatus, 23.0f / 256.0f);
    e->setParameter(e, param::ReplaceNewData1, 130.0f / 256.0f);
    e->setParameter(e, param::ReplaceNewData2, 130.0f / 256.0f);
    e->setParameter(e, param::FilterType, 0.3f);
    e->setParameter(e, param::FilterRow1, 1.0f);
    e->setParameter(e, param::FilterRow1 + 2, 3.0f / 256.0f);
    messagesPerBlock(state, e, 256, 64);
}
BENCHMARK(BM_ReplaceFilterOneRow256);

// The delay line with 1,024 messages a block: each block inserts 1,024 and emits 1,024.
void BM_Delay1024(benchmark::State& state) {
    Instance inst;
    AEffect* e = inst.e;
    e->setParameter(e, param::DelayOutput, 1.0f);
    messagesPerBlock(state, e, 1024, 1024);
}
BENCHMARK(BM_Delay1024);

}  // namespace

BENCHMARK_MAIN();
