// The LV2 front end's control ports, driven directly: a reading that stays the same, NaN
// included, reaches the engine and the worker once, not on every run.
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/logshow.h"
#include "lv2/lv2plugin.h"
#include "lv2/portmap.h"
#include "lv2testhost.h"

namespace {

struct Instance {
    lv2test::Host host;
    std::unique_ptr<Lv2Plugin> plugin{Lv2Plugin::create(48000.0, host.features)};
    std::vector<float> controls = std::vector<float>(kNumParams);
    std::vector<std::uint64_t> in = std::vector<std::uint64_t>(64), out = in;

    Instance() {
        for (int i = 0; i < kNumParams; ++i) {
            const std::size_t at = static_cast<std::size_t>(i);
            controls[at] = lv2port::portValue(i, kParameters[at].defaultValue);
            plugin->connect(static_cast<std::uint32_t>(i), &controls[at]);
        }
        plugin->connect(kMidiInPort, in.data());
        plugin->connect(kMidiOutPort, out.data());
        plugin->activate();
    }
    // One run with an empty input sequence; answers the jobs it scheduled.
    int run() {
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(in.data());
        sequence->atom.type = host.id(LV2_ATOM__Sequence);
        sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
        reinterpret_cast<LV2_Atom*>(out.data())->size =
            static_cast<std::uint32_t>(out.size() * 8 - sizeof(LV2_Atom));
        const int before = host.jobs;
        plugin->run(512);
        return host.jobs - before;
    }
};

}  // namespace

TEST(Lv2Controls, AReadingCountsOnceWhenItChanges) {
    Instance p;
    ASSERT_NE(p.plugin, nullptr);
    EXPECT_EQ(p.run(), 0);
    // Port 0 selects the output device, a step for the worker.
    p.controls[0] = 3.0f;
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(p.run(), 0);
    p.controls[0] = std::nanf("");
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(p.run(), 0);
    // Another port's change leaves the unchanged NaN reading alone.
    p.controls[static_cast<std::size_t>(param::SendBus)] = 5.0f;
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(p.run(), 0);
}

// A port the host never connected keeps the parameter's default.
TEST(Lv2Controls, UnconnectedPortsStayAtTheirDefaults) {
    Instance p;
    ASSERT_NE(p.plugin, nullptr);
    p.plugin->connect(0, nullptr);
    p.controls[0] = 3.0f;
    EXPECT_EQ(p.run(), 0);
}

// time:bar and time:barBeat give each log line the host's position; between positions it moves
// on with the frames at the tempo, into the next bar.
TEST(Lv2Position, LogLinesCarryTheBarPosition) {
    Instance p;
    ASSERT_NE(p.plugin, nullptr);
    p.controls[static_cast<std::size_t>(param::Log)] = 1.0f;
    p.run();
    auto runWith = [&p](bool position) {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &p.host.map);
        lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(p.in.data()),
                                  p.in.size() * 8);
        LV2_Atom_Forge_Frame sequence;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        if (position) {
            // Bar 3 (index 2) of 6/8, its third eighth, at 120 bpm.
            LV2_Atom_Forge_Frame object;
            lv2_atom_forge_frame_time(&forge, 0);
            lv2_atom_forge_object(&forge, &object, 0, p.host.id(LV2_TIME__Position));
            lv2_atom_forge_key(&forge, p.host.id(LV2_TIME__beatsPerMinute));
            lv2_atom_forge_float(&forge, 120.0f);
            lv2_atom_forge_key(&forge, p.host.id(LV2_TIME__beatsPerBar));
            lv2_atom_forge_float(&forge, 6.0f);
            lv2_atom_forge_key(&forge, p.host.id(LV2_TIME__beatUnit));
            lv2_atom_forge_int(&forge, 8);
            lv2_atom_forge_key(&forge, p.host.id(LV2_TIME__bar));
            lv2_atom_forge_long(&forge, 2);
            lv2_atom_forge_key(&forge, p.host.id(LV2_TIME__barBeat));
            lv2_atom_forge_float(&forge, 2.0f);
            lv2_atom_forge_pop(&forge, &object);
        }
        const std::uint8_t note[3] = {0x90, 60, 100};
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_atom(&forge, 3, p.host.id(LV2_MIDI__MidiEvent));
        lv2_atom_forge_write(&forge, note, 3);
        lv2_atom_forge_pop(&forge, &sequence);
        reinterpret_cast<LV2_Atom*>(p.out.data())->size =
            static_cast<std::uint32_t>(p.out.size() * 8 - sizeof(LV2_Atom));
        p.plugin->run(48000);  // a second: two quarter notes at 120 bpm
    };
    runWith(true);
    runWith(false);
    runWith(false);
    std::vector<LogEntry> got;
    LogEntry e;
    for (std::uint64_t seq = 0; p.plugin->logLines().read(seq, e); ++seq) got.push_back(e);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(barsText(got[0].info), "3.3.000");
    EXPECT_EQ(barsText(got[1].info), "4.1.000");  // two quarters on: the next bar's start
    EXPECT_EQ(got[1].info.barStart, 9.0);
    EXPECT_EQ(barsText(got[2].info), "4.5.000");
    EXPECT_EQ(got[2].info.barStart, 9.0);
}
