// The cost of reaching the plug-in's processing through the effect record, against a direct
// call of an empty function with the same signature.
#include <benchmark/benchmark.h>

#include <vector>

#include "plugin/plugin.h"
#include "vst/entry.h"

namespace {

VstIntPtr VSTCALLBACK quietHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

__attribute__((noinline)) void VSTCALLBACK emptyProcess(AEffect* e, float** in, float** out,
                                                        VstInt32 frames) {
    benchmark::DoNotOptimize(e);
    benchmark::DoNotOptimize(in);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(frames);
}

struct Buffers {
    std::vector<float> a = std::vector<float>(512), b = std::vector<float>(512);
    float* ins[2] = {a.data(), b.data()};
    float* outs[2] = {a.data(), b.data()};
};

void BM_Entry_Baseline(benchmark::State& state) {
    Buffers buf;
    AEffectProcessProc proc = emptyProcess;
    benchmark::DoNotOptimize(proc);
    for (auto _ : state) proc(nullptr, buf.ins, buf.outs, 512);
}
BENCHMARK(BM_Entry_Baseline);

void BM_Entry_RecordProcessReplacing(benchmark::State& state) {
    Buffers buf;
    AEffect* e = pluginEntry(quietHost);
    for (auto _ : state) e->processReplacing(e, buf.ins, buf.outs, 512);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}
BENCHMARK(BM_Entry_RecordProcessReplacing);

}  // namespace

BENCHMARK_MAIN();
