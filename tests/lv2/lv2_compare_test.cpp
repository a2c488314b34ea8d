// The LV2 build against the VST 2 build, both loaded through their binary entries: the same
// scripted input and parameters must bring the same words back, in the same order and block;
// the LV2 events carry the frame at which the engine produced each word.
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/state/state.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "lv2/portmap.h"
#include "support/midimessages.h"
#include "tools/host/lv2peer.h"
#include "tools/host/vsthost.h"

namespace {

constexpr const char* kUri = "urn:quobel:corvella";

struct Case {
    std::vector<std::pair<int, float>> values;  // parameter index, value 0..1
    std::string schedule;
    int blocks = 3;
};

// One word as both hosts saw it.
struct Seen {
    long block;
    std::string bytes;
    std::int64_t frame;  // LV2 only
    bool operator==(const Seen& o) const { return block == o.block && bytes == o.bytes; }
};

std::string hex(const std::vector<std::uint8_t>& b) {
    std::uint8_t three[3] = {0, 0, 0};
    for (std::size_t i = 0; i < b.size() && i < 3; ++i) three[i] = b[i];
    return host::hexBytes(three, 3);
}

std::vector<Seen> runVst(const Case& c) {
    host::VstHost vst;
    EXPECT_TRUE(vst.load(std::getenv("CORVELLA_PLUGIN"))) << vst.error();
    EXPECT_NE(vst.instantiate(), nullptr) << vst.error();
    for (const auto& [i, v] : c.values) vst.setParameter(i, v);
    std::vector<host::ScheduledEvent> schedule;
    std::string error;
    EXPECT_TRUE(host::parseSchedule(c.schedule, schedule, error)) << error;
    vst.start();
    for (int b = 0; b < c.blocks; ++b) vst.runBlock(schedule);
    vst.stop();
    std::vector<Seen> out;
    for (const auto& e : vst.sent)
        out.push_back({e.block, host::hexBytes(e.bytes, 3), e.deltaFrames});
    return out;
}

std::vector<Seen> runLv2(const Case& c, int blockSize = 512) {
    host::Lv2Peer peer(kUri, 44100.0);
    EXPECT_TRUE(peer.ok()) << peer.error();
    if (!peer.ok()) return {};
    peer.keepOutput = true;
    for (const auto& [i, v] : c.values)
        EXPECT_TRUE(peer.setControl(static_cast<std::uint32_t>(i), lv2port::portValue(i, v)));
    std::vector<host::ScheduledEvent> schedule;
    std::string error;
    EXPECT_TRUE(host::parseSchedule(c.schedule, schedule, error)) << error;
    std::vector<Seen> out;
    for (int b = 0; b < c.blocks; ++b) {
        std::vector<std::uint32_t> words, frames;
        for (const auto& s : schedule) {
            const long at = s.frame - static_cast<long>(b) * blockSize;
            if (at < 0 || at >= blockSize) continue;
            words.push_back(s.bytes[0] | (s.bytes[1] << 8) | (s.bytes[2] << 16));
            frames.push_back(static_cast<std::uint32_t>(at));
        }
        peer.setInput(words, frames, 120.0, 4, 4);
        peer.run(static_cast<std::uint32_t>(blockSize));
        for (const auto& e : peer.output()) out.push_back({b, hex(e.bytes), e.frame});
    }
    return out;
}

std::string listing(const std::vector<Seen>& seen) {
    std::string s;
    for (const Seen& e : seen)
        s += "block " + std::to_string(e.block) + " frame " + std::to_string(e.frame) + ": " +
             e.bytes + "\n";
    return s;
}

// Runs the case through both builds, expects the same words and answers the LV2 events.
std::vector<Seen> same(const Case& c) {
    const std::vector<Seen> vst = runVst(c), lv2 = runLv2(c);
    EXPECT_EQ(vst, lv2) << "VST 2:\n" << listing(vst) << "LV2:\n" << listing(lv2);
    return lv2;
}

float choice(int n) {
    return static_cast<float>(n) / 256.0f;
}

// "Pass and log system exclusive" (and sample-accurate output) stored in a settings file of its
// own while it lives (instances read them when they are made).
class SysexOption {
public:
    SysexOption() {
        std::filesystem::create_directories(home_ + "/corvella/Software");
        const char* previous = std::getenv("XDG_CONFIG_HOME");
        had_ = previous != nullptr;
        if (had_) saved_ = previous;
        ::setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
    }
    ~SysexOption() {
        had_ ? ::setenv("XDG_CONFIG_HOME", saved_.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    }
    void set(bool on, bool sampleAccurate = false) {
        std::ofstream(home_ + "/corvella/Software/Corvella.conf")
            << "SysEx=dword:" << (on ? 1 : 0) << "\nSampleAccurate=dword:" << sampleAccurate
            << "\n";
    }

private:
    std::string home_ = ::testing::TempDir() + "lv2_sysex_config";
    std::string saved_;
    bool had_ = false;
};

using testsupport::sysexOf;

}  // namespace

TEST(Lv2AgainstVst, ThruKeepsEachWordAtItsInputFrame) {
    const auto lv2 = same({{}, "0:0x90 60 100,700:0x80 60 0,1100:0xB0 7 127,1101:0xC0 5 0", 3});
    ASSERT_EQ(lv2.size(), 5u);
    EXPECT_EQ(lv2[0].bytes, "B0 00 00");  // knob 1's word from the start
    EXPECT_EQ(lv2[1].frame, 0);
    EXPECT_EQ(lv2[2].frame, 700 - 512);
    EXPECT_EQ(lv2[3].frame, 1100 - 1024);
    EXPECT_EQ(lv2[4].frame, 1101 - 1024);
}

// A full output port keeps the events that fit whole and drops the rest; frames stay within
// the block and in order, whatever the input's frames.
TEST(Lv2Plugin, OutputKeepsWithinItsSpaceAndBlock) {
    host::Lv2Peer peer(kUri, 44100.0);
    ASSERT_TRUE(peer.ok()) << peer.error();
    peer.keepOutput = true;
    // Each event takes 24 bytes after the sequence's own 8.
    const std::vector<std::uint32_t> words = {0x643C90, 0x643D90, 0x643E90};
    for (const std::uint32_t space : {4u, 8u, 8u + 24u - 1u, 8u + 2u * 24u}) {
        peer.outputSpace = space;
        peer.setInput(words, {0, 1, 2});
        EXPECT_EQ(peer.run(512), space < 32 ? 0 : space < 56 ? 1 : 2) << space;
    }
    peer.outputSpace = 0;
    peer.setInput(words, {300, 100, 700});
    ASSERT_EQ(peer.run(512), 3);
    std::vector<std::int64_t> frames;
    for (const auto& e : peer.output()) frames.push_back(e.frame);
    EXPECT_EQ(frames, (std::vector<std::int64_t>{300, 300, 511}));
    EXPECT_EQ(hex(peer.output()[2].bytes), "90 3E 64");
}

// With "Pass and log system exclusive" stored (read at instantiation), a SysEx comes back
// unchanged between the words, at its frame; without it, it is skipped.
TEST(Lv2Plugin, PassesSysexWhenTheOptionIsOn) {
    SysexOption option;
    const std::vector<std::uint8_t> sysex = sysexOf(1000);
    for (const bool on : {true, false}) {
        option.set(on);
        host::Lv2Peer peer(kUri, 44100.0);
        ASSERT_TRUE(peer.ok()) << peer.error();
        peer.keepOutput = true;
        peer.setInputMessages({{0x90, 60, 100}, sysex, {0x80, 60, 0}}, {10, 20, 30});
        peer.run(512);
        std::vector<std::vector<std::uint8_t>> got;
        std::vector<std::int64_t> frames;
        for (const auto& e : peer.output()) {
            if (e.bytes[0] == 0xB0) continue;  // the knobs' first words
            got.push_back(e.bytes);
            frames.push_back(e.frame);
        }
        if (on) {
            EXPECT_EQ(got, (std::vector<std::vector<std::uint8_t>>{
                               {0x90, 60, 100}, sysex, {0x80, 60, 0}}));
            EXPECT_EQ(frames, (std::vector<std::int64_t>{10, 20, 30}));
        } else {
            EXPECT_EQ(got.size(), 2u);
        }
    }
}

// With the delay on, a SysEx waits as long as the words and is written between them at its
// frame, in frame order, in a later block: sample-accurate, `delay` frames after its own frame;
// otherwise delay + 1 frames after its block's start, one frame after the message before it.
TEST(Lv2Plugin, DelayedSysexKeepsItsFrameAmongTheWords) {
    SysexOption option;
    const std::vector<std::uint8_t> sysex = sysexOf(300);
    for (const bool exact : {false, true}) {
        option.set(true, exact);
        host::Lv2Peer peer(kUri, 44100.0);
        ASSERT_TRUE(peer.ok()) << peer.error();
        peer.keepOutput = true;
        ASSERT_TRUE(peer.setControl(static_cast<std::uint32_t>(param::DelayOutput),
                                    lv2port::portValue(param::DelayOutput, 1.0f)));
        ASSERT_TRUE(peer.setControl(static_cast<std::uint32_t>(param::DelayAmount),
                                    lv2port::portValue(param::DelayAmount, 600.0f / 32767.0f)));
        peer.setInputMessages({{0x90, 60, 100}, sysex, {0x80, 60, 0}, sysex}, {10, 20, 30, 500});
        std::vector<std::vector<std::uint8_t>> got;
        std::vector<std::int64_t> frames;
        for (int block = 0; block < 3; ++block) {
            peer.run(512);
            for (const auto& e : peer.output()) {
                if (e.bytes[0] == 0xB0) continue;  // the knobs' first words
                got.push_back(e.bytes);
                frames.push_back(block * 512 + e.frame);
            }
            peer.setInputMessages({}, {});
        }
        EXPECT_EQ(got, (std::vector<std::vector<std::uint8_t>>{
                           {0x90, 60, 100}, sysex, {0x80, 60, 0}, sysex}));
        const std::vector<std::int64_t> due = exact ? std::vector<std::int64_t>{610, 620, 630, 1100}
                                                    : std::vector<std::int64_t>{601, 602, 603, 604};
        EXPECT_EQ(frames, due);
    }
}

// Only knob 1's word from the start comes back: it was queued before the switch went off.
TEST(Lv2AgainstVst, SwitchesOffTheHostPaths) {
    EXPECT_EQ(same({{{1, 0.0f}}, "0:0x90 60 100,600:0x80 60 0", 2}).size(), 1u);
    EXPECT_EQ(same({{{49, 0.0f}}, "0:0x90 60 100,600:0x80 60 0", 2}).size(), 1u);
}

// Replace, two filter rows and a delay of 512 samples together: the delayed words leave at
// their due frames, the second of two aimed at one frame in the next frame.
TEST(Lv2AgainstVst, ReplaceFilterAndDelay) {
    const Case c{{{2, 1.0f},         {31, choice(0)}, {32, choice(1)},  {33, choice(128)},
                  {34, choice(128)}, {35, choice(2)}, {36, choice(23)}, {37, choice(130)},
                  {38, choice(130)}, {10, 0.3f},      {11, 1.0f},       {12, choice(0)},
                  {13, choice(3)},   {14, choice(7)}, {15, 1.0f},       {16, choice(16)},
                  {17, choice(4)},   {18, 0.0f},      {8, 1.0f},        {7, 512.0f / 32767.0f}},
                 "0:0x90 60 100,10:0xB0 7 90,20:0xB0 8 90,30:0xC5 3,1100:0x80 60 0,1200:0x91 61 1",
                 4};
    const auto lv2 = same(c);
    ASSERT_EQ(lv2.size(), 5u);
    EXPECT_EQ(lv2[1].bytes, "92 3C 64");
    EXPECT_EQ(lv2[1].frame, 1);
    EXPECT_EQ(lv2[2].frame, 2);
    EXPECT_EQ(lv2[3].block, 3);
}

// Knob values, channels and messages: a control change, a program change and the pitch wheel.
TEST(Lv2AgainstVst, Knobs) {
    same({{{50, 0.5f}, {56, choice(2)}, {62, choice(7)}}, "0:0x90 1 1", 2});
    same({{{51, 1.0f}, {57, choice(15)}, {63, 0.5f}}, "", 2});
    same({{{52, 0.25f}, {58, choice(0)}, {64, 0.75f}}, "", 2});
}

// Every list of the bundle shows the editor's entries; a port reading between entries is
// taken as the nearest one, and the filter type as its stored value.
TEST(Lv2Ports, ValuesFromPortReadings) {
    EXPECT_EQ(lv2port::parameterValue(32, 1.2f), choice(1));
    EXPECT_EQ(lv2port::parameterValue(32, 400.0f), choice(255));
    EXPECT_EQ(lv2port::parameterValue(41, 63.0f), choice(63));
    EXPECT_EQ(lv2port::parameterValue(10, 0.8f), 0.8f);
    EXPECT_EQ(lv2port::parameterValue(7, -1.0f), 0.0f);
    EXPECT_EQ(lv2port::parameterValue(7, 2.0f), 1.0f);
    EXPECT_EQ(lv2port::portValue(32, choice(23)), 23.0f);
    EXPECT_EQ(lv2port::portValue(7, 0.0234375f), 0.0234375f);
}

namespace {

// The state a host keeps for the plug-in: key, type and bytes of each property.
struct StateStore {
    std::map<std::uint32_t, std::pair<std::uint32_t, std::string>> values;
    static LV2_State_Status store(LV2_State_Handle h, std::uint32_t key, const void* value,
                                  std::size_t size, std::uint32_t type, std::uint32_t) {
        static_cast<StateStore*>(h)->values[key] = {
            type, std::string(static_cast<const char*>(value), size)};
        return LV2_STATE_SUCCESS;
    }
    static const void* retrieve(LV2_State_Handle h, std::uint32_t key, std::size_t* size,
                                std::uint32_t* type, std::uint32_t* flags) {
        auto& values = static_cast<StateStore*>(h)->values;
        const auto it = values.find(key);
        if (it == values.end()) return nullptr;
        *size = it->second.second.size();
        *type = it->second.first;
        *flags = LV2_STATE_IS_POD;
        return it->second.second.data();
    }
};

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

// The log file and track names come back from the host's state; "save log!" writes the
// recording on the worker, with the host's tempo and time signature from time:Position, on
// each switch-on only.
TEST(Lv2Plugin, StateNamesAndSavingTheLogThroughTheWorker) {
    const auto dir = std::filesystem::temp_directory_path() / "corvella-lv2-state-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "log.mid").string();

    host::Lv2Peer peer(kUri, 48000.0);
    ASSERT_TRUE(peer.ok()) << peer.error();
    const auto* state =
        static_cast<const LV2_State_Interface*>(peer.extensionData(LV2_STATE__interface));
    ASSERT_NE(state, nullptr);
    StateStore restored;
    const std::uint32_t text = peer.urid(LV2_ATOM__String);
    restored.values[peer.urid("urn:quobel:corvella#logFile")] = {text, file + '\0'};
    restored.values[peer.urid("urn:quobel:corvella#trackName")] = {text,
                                                                   std::string("Take 7\0", 7)};
    ASSERT_EQ(state->restore(peer.handle(), StateStore::retrieve, &restored, 0, nullptr),
              LV2_STATE_SUCCESS);
    StateStore saved;
    ASSERT_EQ(state->save(peer.handle(), StateStore::store, &saved, 0, nullptr), LV2_STATE_SUCCESS);
    EXPECT_EQ(saved.values, restored.values);

    // "save log!" starts at its default 1.0: that first reading saves nothing.
    peer.setControl(4, 1.0f);  // log?
    peer.setInput({0x643C90u, 0x003C80u}, {0, 100}, 100.0, 3, 4);
    peer.run(512);
    peer.waitForWork();
    EXPECT_FALSE(std::filesystem::exists(file));
    peer.setControl(46, 0.0f);
    // A time signature no MIDI file can hold is ignored: the log keeps 3/4.
    peer.setInput({0x643E90u}, {0}, 100.0, 2147483647, 4);
    peer.run(512);
    peer.waitForWork();
    EXPECT_FALSE(std::filesystem::exists(file));
    peer.setControl(46, 1.0f);
    peer.run(512);
    peer.waitForWork();
    ASSERT_TRUE(std::filesystem::exists(file));
    const std::string bytes = fileBytes(file);
    EXPECT_NE(bytes.find(std::string("\xFF\x51\x03\x09\x27\xC0", 6)), std::string::npos)
        << "tempo 100 bpm";
    EXPECT_NE(bytes.find(std::string("\xFF\x58\x04\x03\x02", 5)), std::string::npos) << "3/4";
    EXPECT_EQ(bytes.find("\xFF\x58", bytes.find("\xFF\x58") + 1), std::string::npos)
        << "one time signature only";
    EXPECT_NE(bytes.find("Take 7"), std::string::npos);
    EXPECT_NE(bytes.find(std::string("\x90\x3C\x64", 3)), std::string::npos);

    // Held on, it does not save again; the next switch-on does.
    std::filesystem::remove(file);
    peer.run(512);
    peer.waitForWork();
    EXPECT_FALSE(std::filesystem::exists(file));
    peer.setControl(46, 0.0f);
    peer.run(512);
    peer.setControl(46, 1.0f);
    peer.run(512);
    peer.waitForWork();
    EXPECT_TRUE(std::filesystem::exists(file));
    std::filesystem::remove_all(dir);
}

// Clearing, saving and the bus steps run on the worker while blocks keep running (the
// ThreadSanitizer preset runs this too); every block's notes still come through.
TEST(Lv2Plugin, WorkerRunsAlongsideProcessing) {
    const auto dir = std::filesystem::temp_directory_path() / "corvella-lv2-worker-test";
    std::filesystem::create_directories(dir);
    host::Lv2Peer peer(kUri, 48000.0);
    ASSERT_TRUE(peer.ok()) << peer.error();
    peer.keepOutput = true;
    const auto* state =
        static_cast<const LV2_State_Interface*>(peer.extensionData(LV2_STATE__interface));
    ASSERT_NE(state, nullptr);
    StateStore names;
    names.values[peer.urid("urn:quobel:corvella#logFile")] = {peer.urid(LV2_ATOM__String),
                                                              (dir / "log.mid").string() + '\0'};
    ASSERT_EQ(state->restore(peer.handle(), StateStore::retrieve, &names, 0, nullptr),
              LV2_STATE_SUCCESS);
    peer.setControl(4, 1.0f);  // log?
    peer.setControl(46, 0.0f);
    peer.setInput({0x643C90u, 0x003C80u}, {0, 10}, 120.0, 4, 4);
    for (int b = 0; b < 300; ++b) {
        peer.setControl(3, static_cast<float>(b % 7 == 0));   // clear log!
        peer.setControl(46, static_cast<float>(b % 5 == 0));  // save log!
        peer.setControl(44, static_cast<float>(b % 3 == 0));  // put to bus?
        peer.setControl(42, static_cast<float>(b % 4 + 10));  // send bus num
        peer.run(256);
        const std::size_t notes = b == 0 ? 3u : 2u;  // knob 1's word first
        ASSERT_EQ(peer.output().size(), notes) << "block " << b;
        EXPECT_EQ(peer.output()[notes - 2].bytes[0], 0x90);
    }
    peer.waitForWork();
    EXPECT_TRUE(std::filesystem::exists(dir / "log.mid"));
    std::filesystem::remove_all(dir);
}
