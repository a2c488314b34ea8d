// The LV2 front end's ports, driven directly: a control reading that stays the same, NaN
// included, reaches the engine and the worker once, not on every run; input atoms are read only
// within the sequence.
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/logshow.h"
#include "lv2/lv2plugin.h"
#include "lv2/portmap.h"
#include "lv2testhost.h"
#include "platform/virtualmemory.h"
#include "host/options.h"
#include "support/memorysettingsstore.h"

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
    // The receive bus's flags are a step for the host's worker.
    p.controls[static_cast<std::size_t>(param::RecvBus)] = 3.0f;
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(p.run(), 0);
    p.controls[static_cast<std::size_t>(param::RecvBus)] = std::nanf("");
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

namespace {

// Bytes placed so that the last of them is the last byte the process may read: before a guard
// page when their length is a multiple of 8 (an atom's alignment), otherwise at the end of a
// heap block of exactly their length, which AddressSanitizer guards.
class LastReadable {
public:
    explicit LastReadable(const std::uint8_t* bytes, std::size_t length) {
        if (length % 8 == 0) {
            base_ = platform::reserveMemory(2 * page_);
            if (!base_ || !platform::commitMemory(base_, 0, page_))
                throw std::runtime_error("no guard page");
            data_ = static_cast<std::uint8_t*>(base_) + page_ - length;
        } else {
            heap_ = std::make_unique<std::uint8_t[]>(length);
            data_ = heap_.get();
        }
        std::memcpy(data_, bytes, length);
    }
    ~LastReadable() {
        if (base_) platform::releaseMemory(base_, 2 * page_);
    }
    LastReadable(const LastReadable&) = delete;
    LastReadable& operator=(const LastReadable&) = delete;
    void* data() const { return data_; }

private:
    std::size_t page_ = platform::memoryPageSize();
    void* base_ = nullptr;
    std::unique_ptr<std::uint8_t[]> heap_;
    std::uint8_t* data_ = nullptr;
};

}  // namespace

// Each input ends in an atom that claims more than the sequence holds after it (or whose header
// is cut): the plug-in reads nothing past the sequence, skips that atom, and still passes the
// note before it. A whole message at the very end, unpadded, is read too, but no further.
TEST(Lv2Input, AtomsThatClaimMoreThanIsLeftAreSkipped) {
    platform::MemorySettingsStore store;
    store.writeDword(kOptionsKey, kOptionSysEx, 1);
    platform::ScopedSettingsStore scope{store};
    Instance p;
    ASSERT_NE(p.plugin, nullptr);
    p.run();  // the knobs' first words
    lv2test::Host& h = p.host;
    const LV2_URID midi = h.id(LV2_MIDI__MidiEvent);
    // An object of `otype` with one property, whose size claims 64 bytes more than it has.
    auto object = [&h](const char* otype, const char* key,
                       const std::function<void(LV2_Atom_Forge&)>& value) {
        return [&h, otype, key, value](LV2_Atom_Forge& forge) {
            LV2_Atom_Forge_Frame frame;
            auto* atom = static_cast<LV2_Atom*>(lv2_atom_forge_deref(
                &forge, lv2_atom_forge_object(&forge, &frame, 0, h.id(otype))));
            lv2_atom_forge_key(&forge, h.id(key));
            value(forge);
            lv2_atom_forge_pop(&forge, &frame);
            atom->size += 64;
        };
    };
    struct Case {
        const char* what;
        std::function<void(LV2_Atom_Forge&)> last;
        std::uint32_t cut;  // bytes of the sequence's end the host leaves out
        std::uint32_t read = 0;
    };
    const std::uint8_t sysex[8] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7, 0, 0};
    const std::uint8_t off[3] = {0x80, 60, 0};
    const Case cases[] = {
        {"a MIDI event without its body",
         [&](LV2_Atom_Forge& f) { lv2_atom_forge_atom(&f, 3, midi); }, 0},
        {"a MIDI event at the very end, unpadded",
         [&](LV2_Atom_Forge& f) {
             lv2_atom_forge_atom(&f, 3, midi);
             lv2_atom_forge_write(&f, off, 3);
         },
         5, 0x3C80},
        {"an event header cut short", [&](LV2_Atom_Forge& f) { lv2_atom_forge_atom(&f, 3, midi); },
         8},
        {"a SysEx claiming 1000 bytes",
         [&](LV2_Atom_Forge& f) {
             lv2_atom_forge_atom(&f, 1000, midi);
             lv2_atom_forge_raw(&f, sysex, 8);
         },
         0},
        {"patch:Set",
         object(LV2_PATCH__Set, LV2_PATCH__property,
                [&](LV2_Atom_Forge& f) { lv2_atom_forge_urid(&f, h.id(lv2ui::kLogFile)); }),
         0},
        {"time:Position",
         object(LV2_TIME__Position, LV2_TIME__beatsPerMinute,
                [](LV2_Atom_Forge& f) { lv2_atom_forge_float(&f, 90.0f); }),
         0},
        {"the editor's LogFrom",
         object(lv2ui::kLogFrom, lv2ui::kSequence,
                [](LV2_Atom_Forge& f) { lv2_atom_forge_long(&f, 0); }),
         0},
    };
    for (const Case& c : cases) {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &h.map);
        lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(p.in.data()),
                                  p.in.size() * 8);
        LV2_Atom_Forge_Frame sequence;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        const std::uint8_t note[3] = {0x90, 60, 100};
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_atom(&forge, 3, midi);
        lv2_atom_forge_write(&forge, note, 3);
        lv2_atom_forge_frame_time(&forge, 1);
        c.last(forge);
        lv2_atom_forge_pop(&forge, &sequence);
        auto* in = reinterpret_cast<LV2_Atom_Sequence*>(p.in.data());
        in->atom.size -= c.cut;
        const LastReadable placed(reinterpret_cast<const std::uint8_t*>(in),
                                  sizeof(LV2_Atom) + in->atom.size);
        auto* out = reinterpret_cast<LV2_Atom_Sequence*>(p.out.data());
        out->atom.size = static_cast<std::uint32_t>(p.out.size() * 8 - sizeof(LV2_Atom));
        p.plugin->connect(kMidiInPort, placed.data());
        p.plugin->run(512);
        p.plugin->connect(kMidiInPort, p.in.data());
        std::vector<std::uint32_t> sent;
        LV2_ATOM_SEQUENCE_FOREACH(out, ev) {
            std::uint32_t word = 0;
            std::memcpy(&word, ev + 1, ev->body.size < 4 ? ev->body.size : 4);
            sent.push_back(word);
        }
        std::vector<std::uint32_t> expected = {0x643C90};
        if (c.read) expected.push_back(c.read);
        EXPECT_EQ(sent, expected) << c.what;
    }
}
