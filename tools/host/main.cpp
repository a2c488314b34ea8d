// corvella-host: a headless VST 2 host for the command line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "tools/host/editorwindow.h"
#include "tools/host/midiplay.h"
#include "tools/host/runlog.h"
#include "tools/host/state.h"
#include "tools/host/vsthost.h"

namespace {

const char* kUsage =
    "usage: corvella-host PLUGIN [--info] [--set INDEX=VALUE]... [--rate HZ] [--block FRAMES]\n"
    "                     [--blocks N] [--realtime] [--send \"FRAME:STATUS DATA1 DATA2,...\"]\n"
    "                     [--in FILE.mid [--out FILE.mid] [--max-length SECONDS]]\n"
    "                     [--load-state FILE] [--save-state FILE]\n"
    "                     [--log] [--save-log FILE] [--stats]\n"
    "                     [--log-hide LIST] [--log-time seconds|bars] [--save-log-text FILE]\n"
    "                     [--tempo BPM] [--time-signature N/D]\n"
    "                     [--editor [--screenshot DIR]]\n"
    "  --info            print what a host sees of the plug-in and exit\n"
    "  --set I=V         set parameter I (0 .. numParams - 1) to V (0.0..1.0, or a fraction\n"
    "                    such as 3/256 for list entry 3) before processing; repeatable\n"
    "  --rate HZ         sample rate (default 44100)\n"
    "  --block FRAMES    block size (default 512)\n"
    "  --blocks N        number of blocks to process (default 8)\n"
    "  --realtime        process blocks at the pace of the sample rate, as an audio\n"
    "                    device would ask for them (default: as fast as possible)\n"
    "  --send LIST       events to deliver, FRAME counted from the start of the run;\n"
    "                    numbers are decimal or 0x-prefixed hexadecimal\n"
    "  --in FILE         play every track's channel messages at the file's tempo; runs\n"
    "                    as many blocks as the file needs unless --blocks is given\n"
    "  --max-length S    refuse an --in run longer than S seconds of audio (default 86400)\n"
    "  --out FILE        write what the plug-in sends back as a MIDI file: one track, or\n"
    "                    format 1 with a track per 99,996 events when there are more\n"
    "  --load-state FILE restore parameter values and program name saved by --save-state\n"
    "  --save-state FILE save every parameter value and the program name at the end, as a\n"
    "                    host saves a project\n"
    "  --log             switch the plug-in's MIDI log on and print each new line after\n"
    "                    the block that logged it, as: block B: LINE\n"
    "  --save-log FILE   switch the log on, and save its recording to FILE at the end\n"
    "                    of the run (also when Ctrl+C ends a --realtime run)\n"
    "  --stats           print the plug-in's drop and warning counters at the end\n"
    "  --log-hide LIST   leave lines of these statuses out of --log and --save-log-text\n"
    "                    (the recording keeps them): names clock, sensing, note-off,\n"
    "                    note-on, poly-pressure, control, program, channel-pressure,\n"
    "                    pitch-bend, sysex, mtc, song-position, song-select, tune, start,\n"
    "                    continue, stop, reset (channel kinds: all 16 channels) or status\n"
    "                    bytes such as 0xF8; comma-separated, repeatable\n"
    "  --log-time T      prefix each line with its time: seconds (seconds.milliseconds of\n"
    "                    the sample clock since logging started) or bars (bar.beat.tick of\n"
    "                    the host's position, 960 ticks per quarter note)\n"
    "  --save-log-text FILE  switch the log on, and write the lines that show (with their\n"
    "                    time prefix) to FILE as UTF-8 text at the end of the run\n"
    "  --tempo BPM       the tempo the host reports (default 120; --in reports the file's)\n"
    "  --time-signature N/D  the time signature the host reports (default 4/4; --in\n"
    "                    reports the file's where it has one)\n"
    "  --editor          open the plug-in's editor in a window and process in real time\n"
    "                    until the window is closed or Ctrl+C (a MIDI monitor and router\n"
    "                    without a DAW); prints the editor's automation as it happens\n"
    "  --screenshot DIR  with --editor: save a PNG of each tab and of the options dialog\n"
    "                    in DIR, then exit\n"
    "Every event the plug-in sends back is printed as: block B frame F: BYTES\n"
    "SIGINT or SIGTERM ends the run after the current block and closes the plug-in as usual;\n"
    "the exit status is then 128 + the signal's number. SIGUSR1 pauses --log's printing (the\n"
    "lines go on being counted) and the next SIGUSR1 resumes it (not on Windows).\n";

// The signal that asked the run to end, 0 while none has.
std::atomic<int> stopSignal{0};
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "set from a signal handler");

// Runs on whichever thread the signal interrupts. A second signal ends the process at once.
extern "C" void onStopSignal(int sig) {
    stopSignal.store(sig);
    stopRequested.store(true);
    std::signal(sig, SIG_DFL);
}

// SIGUSR1 pauses --log's printing and the next one resumes it (where the system has it).
std::atomic<bool> logPaused{false};
extern "C" void onPauseSignal(int) {
    logPaused.store(!logPaused.load());
}

// Sleeps until `due` unless a stop is asked for first.
void sleepUntil(std::chrono::steady_clock::time_point due) {
    constexpr auto kSlice = std::chrono::milliseconds(20);
    while (!stopRequested.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= due) return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(due - now, kSlice));
    }
}

int fail(const std::string& message) {
    std::fprintf(stderr, "corvella-host: %s\n", message.c_str());
    return 2;
}

int usageError(const std::string& message) {
    return fail(message + "\n" + kUsage);
}

std::string fourCCText(VstInt32 v) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((static_cast<std::uint32_t>(v) >> shift) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

void printInfo(host::VstHost& h) {
    AEffect* e = h.effect();
    std::printf("magic: 0x%08X '%s'\n", static_cast<unsigned>(e->magic),
                fourCCText(e->magic).c_str());
    std::printf("numPrograms: %d\n", e->numPrograms);
    std::printf("numParams: %d\n", e->numParams);
    std::printf("numInputs: %d\n", e->numInputs);
    std::printf("numOutputs: %d\n", e->numOutputs);
    std::printf("flags: 0x%X\n", static_cast<unsigned>(e->flags));
    std::printf("initialDelay: %d\n", e->initialDelay);
    std::printf("realQualities: %d\n", e->realQualities);
    std::printf("offQualities: %d\n", e->offQualities);
    std::printf("ioRatio: %g\n", static_cast<double>(e->ioRatio));
    std::printf("uniqueID: 0x%08X '%s'\n", static_cast<unsigned>(e->uniqueID),
                fourCCText(e->uniqueID).c_str());
    std::printf("version: %d\n", e->version);
    std::printf("user: %s\n", e->user ? "set" : "null");
    bool futureZero = true;
    for (char c : e->future) futureZero = futureZero && c == 0;
    std::printf("future: %s\n", futureZero ? "all zero" : "not zero");
    std::printf("effect name: %s\n", h.dispatchText(effGetEffectName).c_str());
    std::printf("vendor: %s\n", h.dispatchText(effGetVendorString).c_str());
    std::printf("product: %s\n", h.dispatchText(effGetProductString).c_str());
    std::printf("vendor version: %ld\n", static_cast<long>(h.dispatch(effGetVendorVersion)));
    std::printf("category: %ld\n", static_cast<long>(h.dispatch(effGetPlugCategory)));
    std::printf("VST version: %ld\n", static_cast<long>(h.dispatch(effGetVstVersion)));
    static const char* questions[] = {"sendVstEvents",
                                      "sendVstMidiEvent",
                                      "receiveVstEvents",
                                      "receiveVstMidiEvent",
                                      "receiveVstTimeInfo",
                                      "plugAsChannelInsert",
                                      "plugAsSend",
                                      "offline",
                                      "bypass",
                                      "midiProgramNames"};
    for (const char* q : questions) {
        char text[64];
        std::snprintf(text, sizeof text, "%s", q);
        std::printf("canDo %s: %ld\n", q, static_cast<long>(h.dispatch(effCanDo, 0, 0, text)));
    }
    for (VstInt32 i = 0; i < e->numOutputs; ++i) {
        VstPinProperties pin{};
        const VstIntPtr ok = h.dispatch(effGetOutputProperties, i, 0, &pin);
        if (ok) {
            std::printf("output %d: %s flags 0x%X\n", i, pin.label,
                        static_cast<unsigned>(pin.flags));
        } else {
            std::printf("output %d: no properties\n", i);
        }
    }
    std::printf("program: %ld %s\n", static_cast<long>(h.dispatch(effGetProgram)),
                h.dispatchText(effGetProgramName).c_str());
    for (VstInt32 i = 0; i < e->numParams; ++i) {
        std::printf("param %d: \"%s\" = %g\n", i, h.dispatchText(effGetParamName, i).c_str(),
                    static_cast<double>(h.getParameter(i)));
    }
}

// What the command line asks for. The host's own settings (rate, block, tempo, time
// signature) go straight into the VstHost.
struct Options {
    std::string path;
    bool info = false;
    bool realtime = false;
    bool editor = false;
    std::string screenshotDir;
    std::string loadPath, savePath;
    long blocks = 8;
    bool blocksGiven = false;
    double maxLength = 24.0 * 60 * 60;
    std::string inFile, outFile;
    std::vector<std::pair<long, float>> sets;
    std::vector<host::ScheduledEvent> schedule;
    host::LogOptions logOptions;
};

// What an option parser made of an option, when it is not an exit code: taken, or not one of
// its options.
constexpr int kTaken = -1, kNotMine = -2;

// The command line's words after the plug-in, one at a time.
struct Args {
    int argc;
    char** argv;
    int i;
    std::string option;

    std::string next(const char* what) {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "corvella-host: %s needs %s\n", option.c_str(), what);
            std::exit(2);
        }
        return argv[++i];
    }
    // A file or folder name: an empty one would read as the option not given.
    std::string nextPath(const char* what) {
        std::string p = next(what);
        if (p.empty()) {
            std::fprintf(stderr, "corvella-host: %s needs %s, not an empty name\n", option.c_str(),
                         what);
            std::exit(2);
        }
        return p;
    }
};

// The options that set the plug-in's and the host's values and the events to send.
int parseHostOption(Args& args, Options& o, host::VstHost& h) {
    const std::string& a = args.option;
    long n = 0;
    if (a == "--set") {
        const std::string s = args.next("INDEX=VALUE");
        const auto eq = s.find('=');
        double v = 0.0;
        if (eq == std::string::npos || !host::parseNumber(s.substr(0, eq), n) || n < 0 ||
            !host::parseValue(s.substr(eq + 1), v))
            return usageError("bad --set \"" + s +
                              "\": expected INDEX=VALUE, e.g. 8=1.0 or 32=1/256");
        o.sets.emplace_back(n, static_cast<float>(v));
    } else if (a == "--rate") {
        if (!host::parseNumber(args.next("a sample rate"), n) || n <= 0)
            return fail("--rate needs a positive whole number of Hz");
        h.sampleRate = static_cast<double>(n);
    } else if (a == "--block") {
        if (!host::parseNumber(args.next("a frame count"), n) || n <= 0 || n > 1 << 20)
            return fail("--block needs a frame count from 1 to 1048576");
        h.blockSize = static_cast<VstInt32>(n);
    } else if (a == "--tempo") {
        double bpm = 0.0;
        if (!host::parseValue(args.next("a tempo"), bpm) || !(bpm >= 1.0 && bpm <= 1000.0))
            return fail("--tempo needs beats per minute from 1 to 1000");
        h.tempo = bpm;
    } else if (a == "--time-signature") {
        const std::string sig = args.next("N/D");
        const auto slash = sig.find('/');
        long num = 0, den = 0;
        if (slash == std::string::npos || !host::parseNumber(sig.substr(0, slash), num) ||
            !host::parseNumber(sig.substr(slash + 1), den) || num < 1 || num > 255 || den < 1 ||
            den > 128 || (den & (den - 1)) != 0)
            return fail("--time-signature needs N/D, N from 1 to 255, D a power of two");
        h.timeSigNumerator = static_cast<VstInt32>(num);
        h.timeSigDenominator = static_cast<VstInt32>(den);
    } else if (a == "--send") {
        std::string error;
        if (!host::parseSchedule(args.next("an event list"), o.schedule, error))
            return fail("bad --send: " + error);
    } else {
        return kNotMine;
    }
    return kTaken;
}

// The options of the run itself: what it does, how long, and the files it reads and writes.
int parseRunOption(Args& args, Options& o) {
    const std::string& a = args.option;
    long n = 0;
    if (a == "--info") {
        o.info = true;
    } else if (a == "--realtime") {
        o.realtime = true;
    } else if (a == "--editor") {
        o.editor = true;
    } else if (a == "--screenshot") {
        o.screenshotDir = args.nextPath("a folder");
    } else if (a == "--blocks") {
        if (!host::parseNumber(args.next("a block count"), n) || n < 0)
            return fail("--blocks needs a count of 0 or more");
        o.blocks = n;
        o.blocksGiven = true;
    } else if (a == "--in") {
        o.inFile = args.nextPath("a MIDI file");
    } else if (a == "--max-length") {
        const std::string text = args.next("a number of seconds");
        char* end = nullptr;
        o.maxLength = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(o.maxLength) || o.maxLength <= 0)
            return usageError("--max-length needs a positive number of seconds");
    } else if (a == "--out") {
        o.outFile = args.nextPath("a MIDI file");
    } else if (a == "--load-state") {
        o.loadPath = args.nextPath("a file name");
    } else if (a == "--save-state") {
        o.savePath = args.nextPath("a file name");
    } else {
        return kNotMine;
    }
    return kTaken;
}

// The options of the plug-in's log as the run shows and saves it.
int parseLogOption(Args& args, host::LogOptions& log) {
    const std::string& a = args.option;
    if (a == "--log") {
        log.print = true;
    } else if (a == "--save-log") {
        log.saveTo = args.nextPath("a MIDI file");
    } else if (a == "--stats") {
        log.stats = true;
    } else if (a == "--log-hide") {
        std::string bad;
        if (!log.show.hideList(args.next("a list of statuses"), bad))
            return usageError("--log-hide: unknown status \"" + bad + "\"");
    } else if (a == "--log-time") {
        const std::string t = args.next("seconds or bars");
        if (t == "seconds") {
            log.show.setTimePrefix(LogTimePrefix::Seconds);
        } else if (t == "bars") {
            log.show.setTimePrefix(LogTimePrefix::Bars);
        } else {
            return usageError("--log-time needs seconds or bars");
        }
    } else if (a == "--save-log-text") {
        log.saveTextTo = args.nextPath("a text file");
    } else {
        return kNotMine;
    }
    return kTaken;
}

// Reads the options after the plug-in's path: kTaken when all were good, else the exit code.
int parseOptions(int argc, char** argv, Options& o, host::VstHost& h) {
    for (Args args{argc, argv, 2, {}}; args.i < argc; ++args.i) {
        args.option = argv[args.i];
        int rc = parseHostOption(args, o, h);
        if (rc == kNotMine) rc = parseRunOption(args, o);
        if (rc == kNotMine) rc = parseLogOption(args, o.logOptions);
        if (rc == kNotMine) return fail("unknown option \"" + args.option + "\"\n" + kUsage);
        if (rc != kTaken) return rc;
    }
    return kTaken;
}

// Refuses, before anything is processed, options that do not go together and files the run
// could not save at its end: kTaken when all is well, else the exit code.
int checkOptions(const Options& o) {
    if (!o.outFile.empty() && o.inFile.empty()) return fail("--out needs --in");
    if (!o.screenshotDir.empty() && !o.editor) return fail("--screenshot needs --editor");
    const std::pair<const char*, const std::string*> savedAtEnd[] = {
        {"--save-log", &o.logOptions.saveTo},
        {"--save-log-text", &o.logOptions.saveTextTo},
        {"--out", &o.outFile},
        {"--save-state", &o.savePath}};
    for (const auto& [option, file] : savedAtEnd) {
        platform::FileSave probe;
        if (!file->empty() && !probe.open(*file))
            return fail(std::string(option) + " " + *file + ": " + probe.error());
    }
    if (!o.screenshotDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(o.screenshotDir, ec);
        if (ec || !std::filesystem::is_directory(o.screenshotDir, ec))
            return fail("--screenshot: cannot make the folder " + o.screenshotDir + ": " +
                        (ec ? ec.message() : std::string("not a folder")));
    }
    return kTaken;
}

// Runs `blocks` blocks of the --send schedule, paced to the sample rate when realtime, until a
// stop is asked for.
void runBlocks(host::VstHost& h, const Options& o) {
    const auto start = std::chrono::steady_clock::now();
    for (long b = 0; b < o.blocks && !stopRequested.load(); ++b) {
        if (o.realtime) {
            const auto due = start + std::chrono::duration<double>(static_cast<double>(b) *
                                                                   h.blockSize / h.sampleRate);
            sleepUntil(std::chrono::time_point_cast<std::chrono::steady_clock::duration>(due));
            if (stopRequested.load()) break;
        }
        h.runBlock(o.schedule);
    }
}

void printSent(const host::VstHost& h) {
    for (const auto& s : h.sent) {
        if (s.type == kVstMidiType) {
            std::printf("block %ld frame %d: %s\n", s.block, s.deltaFrames,
                        host::hexBytes(s.bytes, 3).c_str());
        } else if (s.type == kVstSysExType) {
            std::printf("block %ld frame %d: sysex %zu bytes\n", s.block, s.deltaFrames,
                        s.sysex.size());
        } else {
            std::printf("block %ld frame %d: event type %d\n", s.block, s.deltaFrames, s.type);
        }
    }
}

// Drives the instantiated plug-in as the options ask, closes it and answers the exit code
// (128 + the signal when one stopped the run).
int runInstance(const Options& o, host::VstHost& h, host::MidiFilePlayer& player) {
    // Indices are known to be valid only now; a failure from here on closes the instance.
    for (const auto& set : o.sets) {
        if (set.first >= h.effect()->numParams)
            return usageError("bad --set: parameter " + std::to_string(set.first) +
                              " does not exist; indices run from 0 to " +
                              std::to_string(h.effect()->numParams - 1));
    }
    std::string error;
    if (!o.loadPath.empty() && !host::loadState(h, o.loadPath, error)) return fail(error);
    // After the restored values, so --log wins over a stored "log?" off; before --set.
    host::RunLog runLog(o.logOptions);
    if (!runLog.begin(h, error)) return fail(error);
    h.afterBlock = [&] {
        runLog.setPaused(logPaused.load(), h.currentBlock());
        runLog.afterBlock(h);
    };
    for (const auto& [index, value] : o.sets) h.setParameter(static_cast<VstInt32>(index), value);
    auto finish = [&]() {
        if (!o.savePath.empty() && !host::saveState(h, o.savePath, error)) return fail(error);
        return 0;
    };

    if (o.info) {
        printInfo(h);
        const int rc = finish();
        std::printf("effClose: %ld\n", static_cast<long>(h.close()));
        return rc;
    }

    h.start();
    if (o.editor) {
        const int rc = host::runEditorWindow(h, o.screenshotDir, error);
        h.stop();
        if (rc != 0) fail(error);
        const int saved = finish();
        h.close();
        return rc != 0 ? rc : saved;
    }
    if (!o.inFile.empty()) {
        player.play(h, o.schedule, o.blocksGiven ? o.blocks : -1, &stopRequested,
                    host::delayTailFrames(h));
    } else {
        runBlocks(h, o);
    }
    h.stop();
    printSent(h);
    int rc = finish();
    if (!runLog.finish(h, error)) rc = fail(error);
    h.close();
    if (rc == 0 && !o.outFile.empty() && !player.write(h, o.outFile, error)) return fail(error);
    if (const int sig = stopSignal.load(); sig != 0) {
        std::fprintf(stderr, "corvella-host: stopped by signal %d; the plug-in was closed\n", sig);
        return 128 + sig;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    Options o;
    o.path = argv[1];
    host::VstHost h;
    if (const int rc = parseOptions(argc, argv, o, h); rc != kTaken) return rc;
    if (const int rc = checkOptions(o); rc != kTaken) return rc;

    host::MidiFilePlayer player;
    std::string error;
    if (!o.inFile.empty() && !player.load(o.inFile, error)) return fail(error);
    player.reportStart(h);
    if (!o.inFile.empty() && !player.checkRun(h, o.schedule, o.blocksGiven ? o.blocks : -1,
                                              o.maxLength, !o.outFile.empty(), error))
        return fail(o.inFile + ": " + error);

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGUSR1
    std::signal(SIGUSR1, onPauseSignal);
#endif
    if (!h.load(o.path)) return fail(h.error());
    if (!h.instantiate()) return fail(h.error());
    return runInstance(o, h, player);
}
