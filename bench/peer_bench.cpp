// Corvella's plug-in binary against its peers, all through the plug-ins' own binary entries:
// the ideal VST 2 pass-through and its logging-limit variant (bench/ideal_plugin.cpp), and
// x42's MIDI filters through lilv. Every comparison is registered as run context, so
// scripts/bench.sh prints each ratio with its target from the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "vstpeer.h"

#if CORVELLA_BENCH_LILV
#include "tools/host/lv2peer.h"
#endif

namespace {

constexpr double kRate = 44100.0;
constexpr VstInt32 kMaxBlock = 4096;
constexpr int kRepetitions = 7;
const char* const kX42Thru = "http://gareus.org/oss/lv2/midifilter#passthru";
const char* const kX42ChannelFilter = "http://gareus.org/oss/lv2/midifilter#channelfilter";
const char* const kCorvellaLv2 = "urn:quobel:corvella";

// Corvella's published parameter indices, as a host addresses them.
enum Param : VstInt32 {
    Replace = 2,
    ClearLog = 3,
    Log = 4,
    DelayOutput = 8,
    FilterType = 10,
    Row1Enable = 11,
    Row1Channel = 12,
    Row1Status = 13,
    MatchChannel = 31,
    MatchStatus = 32,
    MatchData1 = 33,
    MatchData2 = 34,
    NewChannel = 35,
};
constexpr float choice(int n) {
    return static_cast<float>(n) / 256.0f;
}
constexpr float kBlockOnly = 0.3f;

// A block's messages: note-ons over all 16 channels and the whole key range, spread evenly
// over the block's frames.
struct Block {
    std::vector<std::uint32_t> words, frames;
    Block(int messages, int blockFrames) {
        for (int i = 0; i < messages; ++i) {
            words.push_back(
                static_cast<std::uint32_t>((0x90 + i % 16) | (i % 128) << 8 | 100 << 16));
            frames.push_back(static_cast<std::uint32_t>(i * blockFrames / messages));
        }
    }
};

std::unique_ptr<bench::VstPeer> load(benchmark::State& state, const std::string& path) {
    auto peer = std::make_unique<bench::VstPeer>(path, kRate, kMaxBlock);
    if (!peer->ok()) {
        state.SkipWithError(peer->error().c_str());
        return nullptr;
    }
    return peer;
}

// One VST 2 block after another: the event list, then processReplacing. `everyBlocks` > 0
// runs `between` (untimed) after that many blocks.
template <typename Between>
void runVst(benchmark::State& state, bench::VstPeer& peer, int messages, int frames,
            long expectedPerBlock, int everyBlocks, Between between) {
    Block block(messages, frames);
    bench::EventList list(block.words, block.frames);
    int rounds = 0;
    // One untimed block first: the plug-in may send a message of its own when it starts.
    if (messages > 0) peer.events(list.get());
    peer.process(frames);
    const long before = peer.sent();
    for (auto _ : state) {
        if (messages > 0) peer.events(list.get());
        peer.process(frames);
        if (everyBlocks > 0 && ++rounds == everyBlocks) {
            state.PauseTiming();
            between();
            rounds = 0;
            state.ResumeTiming();
        }
    }
    const long sent = peer.sent() - before;
    const long expected = expectedPerBlock * static_cast<long>(state.iterations());
    if (expectedPerBlock >= 0 && sent != expected)
        state.SkipWithError(
            ("sent " + std::to_string(sent) + " events, expected " + std::to_string(expected))
                .c_str());
    state.counters["messages"] = messages;
}

void runVst(benchmark::State& state, bench::VstPeer& peer, int messages, int frames,
            long expectedPerBlock) {
    runVst(state, peer, messages, frames, expectedPerBlock, 0, [] {});
}

void runLv2(benchmark::State& state, const char* uri, int messages, int frames,
            int expectedPerBlock, const std::vector<std::pair<std::string, float>>& controls) {
#if !CORVELLA_BENCH_LILV
    (void)uri, (void)messages, (void)frames, (void)expectedPerBlock, (void)controls;
    state.SkipWithError("skipped: built without lilv (Debian package liblilv-dev)");
#else
    host::Lv2Peer peer(uri, kRate);
    if (!peer.ok()) {
        state.SkipWithError(
            ("skipped: " + peer.error() + " (Debian packages x42-plugins and liblilv-0-0)")
                .c_str());
        return;
    }
    for (const auto& [symbol, value] : controls) {
        if (!peer.setControl(symbol, value)) {
            state.SkipWithError(("no control port " + symbol).c_str());
            return;
        }
    }
    // The first block carries what the plug-in sends on its own at start (knob 1's word).
    peer.run(static_cast<std::uint32_t>(frames));
    Block block(messages, frames);
    peer.setInput(block.words, block.frames);
    long out = 0;
    for (auto _ : state) out += peer.run(static_cast<std::uint32_t>(frames));
    if (out != static_cast<long>(expectedPerBlock) * static_cast<long>(state.iterations()))
        state.SkipWithError("the LV2 plug-in sent an unexpected number of events");
    state.counters["messages"] = messages;
#endif
}

std::string corvellaPath, idealPath, limitPath;

// Idle blocks: processReplacing without MIDI, at the block size in the argument.
void BM_Idle_Ideal(benchmark::State& state) {
    auto p = load(state, idealPath);
    if (p == nullptr) return;
    runVst(state, *p, 0, static_cast<int>(state.range(0)), 0);
}
void BM_Idle_Corvella(benchmark::State& state) {
    auto p = load(state, corvellaPath);
    if (p == nullptr) return;
    runVst(state, *p, 0, static_cast<int>(state.range(0)), 0);
}
void BM_Idle_CorvellaLogging(benchmark::State& state) {
    auto p = load(state, corvellaPath);
    if (p == nullptr) return;
    p->setParameter(Log, 1.0f);
    // The first logged block writes the tempo and time signature; none after that.
    runVst(state, *p, 0, static_cast<int>(state.range(0)), -1);
}

// 256 note-ons per 512-frame block through each pass-through.
constexpr int kThruMessages = 256, kThruFrames = 512;
void BM_Thru_Ideal(benchmark::State& state) {
    auto p = load(state, idealPath);
    if (p == nullptr) return;
    runVst(state, *p, kThruMessages, kThruFrames, kThruMessages);
}
void BM_Thru_X42(benchmark::State& state) {
    runLv2(state, kX42Thru, kThruMessages, kThruFrames, kThruMessages, {});
}
void BM_Thru_Corvella(benchmark::State& state) {
    auto p = load(state, corvellaPath);
    if (p == nullptr) return;
    runVst(state, *p, kThruMessages, kThruFrames, kThruMessages);
}
void BM_Thru_CorvellaLv2(benchmark::State& state) {
    runLv2(state, kCorvellaLv2, kThruMessages, kThruFrames, kThruMessages, {});
}

// Replace and filter: Corvella moves note-ons of channel 1 to channel 2 and one filter row
// blocks note-ons on channel 16; x42's channel filter blocks channel 16. Both pass 15/16.
constexpr int kFilteredMessages = kThruMessages - kThruMessages / 16;
void BM_ReplaceFilter_X42(benchmark::State& state) {
    runLv2(state, kX42ChannelFilter, kThruMessages, kThruFrames, kFilteredMessages,
           {{"chn16", 0.0f}});
}
void BM_ReplaceFilter_Corvella(benchmark::State& state) {
    auto p = load(state, corvellaPath);
    if (p == nullptr) return;
    p->setParameter(Replace, 1.0f);
    p->setParameter(MatchChannel, choice(0));
    p->setParameter(MatchStatus, choice(1));   // note on
    p->setParameter(MatchData1, choice(128));  // any
    p->setParameter(MatchData2, choice(128));  // any
    p->setParameter(NewChannel, choice(1));    // to channel 2
    p->setParameter(FilterType, kBlockOnly);
    p->setParameter(Row1Enable, 1.0f);
    p->setParameter(Row1Channel, choice(15));
    p->setParameter(Row1Status, choice(1));
    runVst(state, *p, kThruMessages, kThruFrames, kFilteredMessages);
}
void BM_ReplaceFilter_CorvellaLv2(benchmark::State& state) {
    // The same settings through the LV2 ports: lists as entry numbers.
    runLv2(state, kCorvellaLv2, kThruMessages, kThruFrames, kFilteredMessages,
           {{"replace", 1.0f},
            {"replace_byte1_channel", 0.0f},
            {"replace_byte1_status", 1.0f},
            {"replace_byte2", 128.0f},
            {"replace_byte3", 128.0f},
            {"replace_byte1_channel_2", 1.0f},
            {"filter_type", kBlockOnly},
            {"filter_enable", 1.0f},
            {"filter_channel", 15.0f},
            {"filter_status", 1.0f}});
}

// Logging on: every message becomes a log line and a recorded event. Corvella's log is
// cleared (untimed) every 16 blocks so its line list stays inside its reserved room.
void BM_Logging_Limit(benchmark::State& state) {
    auto p = load(state, limitPath);
    if (p == nullptr) return;
    runVst(state, *p, kThruMessages, kThruFrames, kThruMessages);
}
void BM_Logging_Corvella(benchmark::State& state) {
    auto p = load(state, corvellaPath);
    if (p == nullptr) return;
    p->setParameter(Log, 1.0f);
    runVst(state, *p, kThruMessages, kThruFrames, kThruMessages, 16,
           [peer = p.get()] { peer->setParameter(ClearLog, 1.0f); });
}

// Delay on: 1,024 messages per 1,024-frame block into the delay line (default 768 samples);
// after the first block as many leave per block as enter.
void BM_Delay_Corvella(benchmark::State& state) {
    auto p = load(state, corvellaPath);
    if (p == nullptr) return;
    p->setParameter(DelayOutput, 1.0f);
    runVst(state, *p, 1024, 1024, -1);
}

void registerAll() {
    using benchmark::RegisterBenchmark;
    std::vector<benchmark::internal::Benchmark*> all;
    for (auto* b : {RegisterBenchmark("BM_Idle_Ideal", BM_Idle_Ideal),
                    RegisterBenchmark("BM_Idle_Corvella", BM_Idle_Corvella),
                    RegisterBenchmark("BM_Idle_CorvellaLogging", BM_Idle_CorvellaLogging)}) {
        for (int frames : {32, 64, 512, 4096}) b->Arg(frames);
        all.push_back(b);
    }
    all.push_back(RegisterBenchmark("BM_Thru_Ideal", BM_Thru_Ideal));
    all.push_back(RegisterBenchmark("BM_Thru_X42", BM_Thru_X42));
    all.push_back(RegisterBenchmark("BM_Thru_Corvella", BM_Thru_Corvella));
    all.push_back(RegisterBenchmark("BM_Thru_CorvellaLv2", BM_Thru_CorvellaLv2));
    all.push_back(RegisterBenchmark("BM_ReplaceFilter_X42", BM_ReplaceFilter_X42));
    all.push_back(RegisterBenchmark("BM_ReplaceFilter_CorvellaLv2", BM_ReplaceFilter_CorvellaLv2));
    all.push_back(RegisterBenchmark("BM_ReplaceFilter_Corvella", BM_ReplaceFilter_Corvella));
    all.push_back(RegisterBenchmark("BM_Logging_Limit", BM_Logging_Limit));
    all.push_back(RegisterBenchmark("BM_Logging_Corvella", BM_Logging_Corvella));
    all.push_back(RegisterBenchmark("BM_Delay_Corvella", BM_Delay_Corvella));
    // Runs of different benchmarks interleave with other load on the machine; the ratios use
    // the medians (and minimums) of several runs each.
    for (auto* b : all) b->Repetitions(kRepetitions)->DisplayAggregatesOnly(true);
}

// Each comparison: subject, baseline, the largest ratio that meets the target, and whether
// the ratio is per message (time per block over messages per block) or per block.
void addComparisons() {
    int n = 0;
    const auto add = [&n](const std::string& what, const std::string& subject,
                          const std::string& baseline, double target, bool perMessage) {
        char key[16];
        std::snprintf(key, sizeof key, "ratio:%02d", n++);
        benchmark::AddCustomContext(key, what + ";" + subject + ";" + baseline + ";" +
                                             std::to_string(target) + ";" +
                                             (perMessage ? "message" : "block"));
    };
    for (const char* frames : {"32", "64", "512", "4096"}) {
        const std::string f = frames;
        add("idle " + f + " frames, logging off", "BM_Idle_Corvella/" + f, "BM_Idle_Ideal/" + f,
            3.0, false);
        add("idle " + f + " frames, logging on", "BM_Idle_CorvellaLogging/" + f,
            "BM_Idle_Ideal/" + f, 6.0, false);
    }
    add("thru per message vs x42 MIDI Thru", "BM_Thru_Corvella", "BM_Thru_X42", 0.5, true);
    add("LV2 thru per message vs x42 MIDI Thru (both through lilv)", "BM_Thru_CorvellaLv2",
        "BM_Thru_X42", 0.5, true);
    add("LV2 replace + filter vs x42 Channel Filter", "BM_ReplaceFilter_CorvellaLv2",
        "BM_ReplaceFilter_X42", 0.6, true);
    add("thru per message vs ideal", "BM_Thru_Corvella", "BM_Thru_Ideal", 2.0, true);
    add("replace + filter vs x42 Channel Filter", "BM_ReplaceFilter_Corvella",
        "BM_ReplaceFilter_X42", 0.6, true);
    add("logging on vs logging limit", "BM_Logging_Corvella", "BM_Logging_Limit", 2.0, true);
    add("delay on (1,024 per block) vs thru", "BM_Delay_Corvella", "BM_Thru_Corvella", 2.0, true);
}

std::string fromEnv(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    corvellaPath = fromEnv("CORVELLA_PLUGIN", CORVELLA_SO);
    idealPath = IDEAL_SO;
    limitPath = LOGGING_LIMIT_SO;
    // The plug-in under test must not read or change the user's settings or buses.
    std::string config = (std::filesystem::temp_directory_path() / "corvella-bench-XXXXXX");
    if (mkdtemp(config.data()) == nullptr) return 1;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("CORVELLA_VSTBUS_SCOPE", "corvella-bench", 1);
#if CORVELLA_BENCH_LILV
    // lilv finds the built bundle before any installed one, and x42's from the system.
    const char* lv2Path = std::getenv("LV2_PATH");
    setenv("LV2_PATH",
           (std::string(CORVELLA_LV2_DIR) + ":" +
            (lv2Path ? lv2Path : "/usr/local/lib/lv2:/usr/lib/lv2"))
               .c_str(),
           1);
#endif

    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    addComparisons();
    benchmark::AddCustomContext("repetitions", std::to_string(kRepetitions));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(config);
    return 0;
}
