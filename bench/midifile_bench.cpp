// Loading and saving large Standard MIDI Files with the MIDI file library, against Debian's
// libsmf on the same files in the same run: one track of 99,999 events, and 16 tracks of
// 50,000 events (counts include End of Track). Prints the libsmf/corvella time ratio of every
// pair after the table.
#include <benchmark/benchmark.h>
#include <smf.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "midifile/mididata.h"

namespace {

// A file of `tracks` tracks of `events` events each (End of Track included), made and saved by
// the library: each track a 0x21 meta, a name, a tempo, then a mix of notes (mostly under
// running status), controllers, pitch wheel and program changes.
std::string makeFile(const std::string& name, int tracks, int events) {
    midifile::TMidiData d;
    d.newFile();
    d.setPpqn(480);
    for (int t = 0; t < tracks; ++t) {
        d.addTrack(0);
        midifile::TMidiTrackStream& track = *d.track(t);
        const std::uint8_t tempo[3] = {0x07, 0xA1, 0x20};
        track.insertMetaEvent(0, 0x51, 3, tempo);
        const auto ch = static_cast<std::uint8_t>(t & 0x0F);
        std::int32_t time = 0;
        for (int i = track.eventCount(); i < events; ++i) {
            time += (i * 37) % 97;
            std::uint8_t e[5] = {static_cast<std::uint8_t>(0x90 | ch),
                                 static_cast<std::uint8_t>((i * 13) % 128),
                                 static_cast<std::uint8_t>((i & 1) ? 0 : 100), 0, 0};
            if (i % 16 == 7) e[0] = static_cast<std::uint8_t>(0xB0 | ch);
            if (i % 16 == 11) e[0] = static_cast<std::uint8_t>(0xE0 | ch);
            if (i % 16 == 15) e[0] = static_cast<std::uint8_t>(0xC0 | ch);
            track.insertEvent(time, e, 0);
        }
    }
    d.fileName = (std::filesystem::temp_directory_path() / name).string();
    d.save();
    return d.fileName;
}

const std::string& oneTrack() {
    static const std::string path = makeFile("corvella-bench-1x99999.mid", 1, 99999);
    return path;
}
const std::string& sixteenTracks() {
    static const std::string path = makeFile("corvella-bench-16x50000.mid", 16, 50000);
    return path;
}
const std::string& fileFor(const benchmark::State& state) {
    return state.range(0) == 1 ? oneTrack() : sixteenTracks();
}
std::string outputFor(const benchmark::State& state, const char* who) {
    return (std::filesystem::temp_directory_path() /
            ("corvella-bench-out-" + std::string(who) + std::to_string(state.range(0)) + ".mid"))
        .string();
}

void BM_LoadCorvella(benchmark::State& state) {
    const std::string& path = fileFor(state);
    for (auto _ : state) {
        midifile::TMidiData d;
        d.fileName = path;
        d.load();
        benchmark::DoNotOptimize(d.track(0));
    }
}

// Both libraries must see the same tracks and events, or the comparison means nothing.
bool sameEvents(const std::string& path, smf_t* smf) {
    midifile::TMidiData d;
    d.fileName = path;
    d.load();
    if (smf->number_of_tracks != d.trackCount()) return false;
    for (int t = 0; t < d.trackCount(); ++t) {
        const smf_track_t* track = smf_get_track_by_number(smf, t + 1);
        if (!track || track->number_of_events != d.track(t)->eventCount()) return false;
    }
    return true;
}

void BM_LoadLibsmf(benchmark::State& state) {
    const std::string& path = fileFor(state);
    smf_t* check = smf_load(path.c_str());
    const bool same = check && sameEvents(path, check);
    if (check) smf_delete(check);
    if (!same) {
        state.SkipWithError("libsmf reads other events than corvella");
        return;
    }
    for (auto _ : state) {
        smf_t* smf = smf_load(path.c_str());
        if (!smf) {
            state.SkipWithError("libsmf could not load the file");
            return;
        }
        benchmark::DoNotOptimize(smf);
        smf_delete(smf);
    }
}

void BM_SaveCorvella(benchmark::State& state) {
    midifile::TMidiData d;
    d.fileName = fileFor(state);
    d.load();
    d.fileName = outputFor(state, "corvella");
    for (auto _ : state) d.save();
}

void BM_SaveLibsmf(benchmark::State& state) {
    smf_t* smf = smf_load(fileFor(state).c_str());
    const std::string out = outputFor(state, "libsmf");
    for (auto _ : state) {
        if (smf_save(smf, out.c_str()) != 0) {
            state.SkipWithError("libsmf could not save the file");
            break;
        }
    }
    smf_delete(smf);
}

// Argument: the number of tracks (1 track of 99,999 events or 16 of 50,000).
BENCHMARK(BM_LoadCorvella)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadLibsmf)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveCorvella)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveLibsmf)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

// The console table, then libsmf time / corvella time for each operation and file.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* op : {"Load", "Save"}) {
            for (const char* arg : {"1", "16"}) {
                const std::string ours = std::string("BM_") + op + "Corvella/" + arg;
                const std::string theirs = std::string("BM_") + op + "Libsmf/" + arg;
                if (!times_.count(ours) || !times_.count(theirs)) continue;
                std::printf("ratio %s %s: libsmf / corvella = %.1fx\n", op,
                            std::string(arg) == "1" ? "1 track x 99,999 events"
                                                    : "16 tracks x 50,000 events",
                            times_[theirs] / times_[ours]);
            }
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
