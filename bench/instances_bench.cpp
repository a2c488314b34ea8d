// Many idle instances in one process, as a project with many tracks holds them: resident
// memory, threads and creation time per instance, and the cost of one processing call of every
// instance, for Corvella's VST 2 binary and for x42's MIDI Thru (Debian x42-plugins) through
// lilv, measured in the same run. Nothing is switched on: these are the instances' idle costs.
//
// Memory and threads are read before and after making the instances (one instance of each
// plug-in is made first, so the library's own pages do not count): resident memory from
// /proc/self, and the heap the instances took, touched or not (resident memory alone misses
// buffers that are allocated but not yet written, and rounds small instances to no pages).
// Every instance gets the same host buffers, so only what the plug-in itself takes counts.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>
#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vst/aeffect.h"

namespace {

constexpr double kRate = 44100.0;
constexpr int kFrames = 512;
constexpr int kRepetitions = 3;
const char* const kX42Thru = "http://gareus.org/oss/lv2/midifilter#passthru";

long residentKb() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Heap bytes in use, in kB: what the instances took, touched or not.
double heapKb() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd) / 1024.0;
}

// Page faults so far: the first write to memory never used before costs one per page.
long pageFaults() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_minflt + r.ru_majflt;
}

int threadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// --- Corvella through its VST 2 entry ------------------------------------------------------------

VstTimeInfo gTime{};
float gBuffer[2][kFrames];
float* gIo[2] = {gBuffer[0], gBuffer[1]};

VstIntPtr VSTCALLBACK vstHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == audioMasterVersion) return 2400;
    if (opcode == audioMasterGetTime) return reinterpret_cast<VstIntPtr>(&gTime);
    if (opcode == audioMasterProcessEvents) return 1;
    return 0;
}

struct Vst {
    void* library = dlopen(CORVELLA_SO, RTLD_NOW | RTLD_LOCAL);
    VstPluginMainProc entry =
        library ? reinterpret_cast<VstPluginMainProc>(dlsym(library, "VSTPluginMain")) : nullptr;
    ~Vst() {
        if (library) dlclose(library);
    }
    AEffect* make() const {
        AEffect* e = entry(vstHost);
        if (!e) return nullptr;
        e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
        e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, static_cast<float>(kRate));
        e->dispatcher(e, effSetBlockSize, 0, kFrames, nullptr, 0.0f);
        e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
        e->dispatcher(e, effStartProcess, 0, 0, nullptr, 0.0f);
        return e;
    }
    static void run(AEffect* e) { e->processReplacing(e, gIo, gIo, kFrames); }
    static void end(AEffect* e) {
        e->dispatcher(e, effStopProcess, 0, 0, nullptr, 0.0f);
        e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
        e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    }
};

// --- x42 MIDI Thru through lilv ----------------------------------------------------------------

struct Lv2 {
    LilvWorld* world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    std::map<std::string, LV2_URID> ids;
    LV2_URID_Map map{
        this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
            auto& known = static_cast<Lv2*>(h)->ids;
            return known.emplace(uri, static_cast<LV2_URID>(known.size() + 1)).first->second;
        }};
    LV2_Feature mapFeature{LV2_URID__map, &map};
    const LV2_Feature* features[2] = {&mapFeature, nullptr};
    // Shared by every instance: an empty input sequence, room for output, the latency port.
    std::uint64_t in[8]{}, out[64]{};
    float latency = 0.0f;

    Lv2() {
        lilv_world_load_all(world);
        LilvNode* uri = lilv_new_uri(world, kX42Thru);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
        auto* s = reinterpret_cast<LV2_Atom_Sequence*>(in);
        s->atom.size = sizeof(LV2_Atom_Sequence_Body);
        s->atom.type = map.map(this, LV2_ATOM__Sequence);
    }
    ~Lv2() { lilv_world_free(world); }
    LilvInstance* make() {
        LilvInstance* i = lilv_plugin_instantiate(plugin, kRate, features);
        if (!i) return nullptr;
        lilv_instance_connect_port(i, 0, in);
        lilv_instance_connect_port(i, 1, out);
        lilv_instance_connect_port(i, 2, &latency);
        lilv_instance_activate(i);
        return i;
    }
    void run(LilvInstance* i) {
        auto* o = reinterpret_cast<LV2_Atom_Sequence*>(out);
        o->atom.size = sizeof out - sizeof(LV2_Atom);
        o->atom.type = map.map(this, LV2_ATOM__Chunk);
        lilv_instance_run(i, kFrames);
    }
    static void end(LilvInstance* i) {
        lilv_instance_deactivate(i);
        lilv_instance_free(i);
    }
};

// Makes `n` instances (after one that stays out of the count), reports the per-instance costs
// as counters, then times one processing call of every instance per iteration.
template <class Host, class Instance>
void idleInstances(benchmark::State& state, Host& host, const char* missing) {
    const auto n = static_cast<std::size_t>(state.range(0));
    Instance* first = host.make();
    if (!first) return state.SkipWithError(missing);
    const long memory = residentKb();
    const double heap = heapKb();
    const int threads = threadCount();
    const long faults = pageFaults();
    const auto start = std::chrono::steady_clock::now();
    std::vector<Instance*> all;
    for (std::size_t i = 0; i < n; ++i) all.push_back(host.make());
    const std::chrono::duration<double, std::micro> made = std::chrono::steady_clock::now() - start;
    const long faulted = pageFaults() - faults;
    const double per = static_cast<double>(n);
    state.counters["create_us_per_instance"] = made.count() / per;
    state.counters["rss_kb_per_instance"] = static_cast<double>(residentKb() - memory) / per;
    state.counters["heap_kb_per_instance"] = (heapKb() - heap) / per;
    state.counters["threads_per_instance"] = (threadCount() - threads) / per;
    state.counters["faults_per_instance"] = static_cast<double>(faulted) / per;
    for (auto _ : state)
        for (Instance* i : all) host.run(i);
    for (Instance* i : all) Host::end(i);
    Host::end(first);
}

void BM_Idle_Corvella(benchmark::State& state) {
    static Vst vst;
    if (!vst.entry) return state.SkipWithError("corvella.so does not load");
    idleInstances<Vst, AEffect>(state, vst, "corvella.so made no instance");
}
void BM_Idle_X42(benchmark::State& state) {
    static Lv2 lv2;
    if (!lv2.plugin) return state.SkipWithError("x42 MIDI Thru not found (Debian x42-plugins)");
    idleInstances<Lv2, LilvInstance>(state, lv2, "x42 MIDI Thru made no instance");
}

void registerAll() {
    for (int n : {1, 16, 128, 256}) {
        for (auto* b : {benchmark::RegisterBenchmark("BM_Idle_X42", BM_Idle_X42),
                        benchmark::RegisterBenchmark("BM_Idle_Corvella", BM_Idle_Corvella)})
            b->Arg(n)->Repetitions(kRepetitions)->Unit(benchmark::kMicrosecond);
        const std::string subject = "BM_Idle_Corvella/" + std::to_string(n);
        const std::string baseline = "BM_Idle_X42/" + std::to_string(n);
        const std::string what = std::to_string(n) + " idle instances, ";
        auto compare = [&](const std::string& key, const std::string& text, const char* unit) {
            benchmark::AddCustomContext(
                "ratio:idle" + std::to_string(1000 + n) + key,
                what + text + ";" + subject + ";" + baseline + ";2;" + unit);
        };
        compare("a", "processing call of each", "block");
        // Resident memory is printed with each run; a small instance rounds to no new pages.
        compare("b", "memory each (heap in use)", "counter:heap_kb_per_instance");
        compare("c", "creation time each", "counter:create_us_per_instance");
        benchmark::AddCustomContext("value:idle" + std::to_string(1000 + n),
                                    what + "threads each;" + subject + ";threads_per_instance;0");
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
