// Any input sequence and control readings a host may hand the LV2 plug-in: MIDI events and
// SysEx of any length, time:Position objects with values of any type, the editor's and a
// generic UI's messages with any properties and values (texts cut short or unterminated, values
// that claim more than their object holds), atoms of unknown types, and sequences whose last
// event claims more than is left or that end inside an event. The sequence lies at the end of
// a heap block of its exact length, so AddressSanitizer sees any read past it. The output must
// stay a well-formed sequence of MIDI events (short messages or whole SysEx) with frames in
// order within the block, and the notify output a sequence of whole objects within its room.
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lv2/lv2plugin.h"
#include "lv2testhost.h"
#include "host/options.h"
#include "support/fuzzinput.h"
#include "support/memorysettingsstore.h"

namespace {

constexpr std::uint32_t kFrames = 512;
constexpr std::size_t kBytes = 1 << 14;

using lv2test::Host;

// A number atom of a type the input picks.
void forgeNumber(LV2_Atom_Forge& forge, fuzz::Input& in) {
    const std::uint8_t kind = in.byte();
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits = bits << 8 | in.byte();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    switch (kind % 5) {
        case 0:
            lv2_atom_forge_float(&forge, f);
            break;
        case 1:
            lv2_atom_forge_double(&forge, static_cast<double>(f));
            break;
        case 2:
            lv2_atom_forge_int(&forge, static_cast<std::int32_t>(bits));
            break;
        case 3:
            lv2_atom_forge_long(&forge, static_cast<std::int64_t>(bits) << 20);
            break;
        default:
            lv2_atom_forge_string(&forge, "x", 1);
            break;
    }
}

// A message as the editor or a generic host UI sends it, of any make-up.
void forgeMessage(LV2_Atom_Forge& forge, Host& host, fuzz::Input& in) {
    const char* types[] = {LV2_PATCH__Set,   LV2_PATCH__Get,     lv2ui::kLogFrom,  lv2ui::kSaveLog,
                           lv2ui::kClearLog, LV2_TIME__Position, "urn:fuzz:other", LV2_PATCH__Set};
    const char* keys[] = {LV2_PATCH__property, LV2_PATCH__value, lv2ui::kSequence,
                          LV2_TIME__beatsPerMinute};
    const char* names[] = {lv2ui::kLogFile, lv2ui::kTrackName, "urn:fuzz:name"};
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_object(&forge, &object, 0, host.id(types[in.byte() % 8]));
    for (int n = in.byte() % 4; n > 0; --n) {
        lv2_atom_forge_key(&forge, host.id(keys[in.byte() % 4]));
        const std::uint8_t kind = in.byte();
        switch (kind % 5) {
            case 0:
                lv2_atom_forge_urid(&forge, host.id(names[in.byte() % 3]));
                break;
            case 1:
            case 2: {
                // A text of up to 63 bytes, terminated or not, as a string or a path.
                const std::uint32_t length = in.byte() % 64;
                lv2_atom_forge_atom(&forge, length,
                                    host.id(kind % 5 == 1 ? LV2_ATOM__Path : LV2_ATOM__String));
                for (std::uint32_t i = 0; i < length; ++i) {
                    const std::uint8_t b = in.byte();
                    lv2_atom_forge_raw(&forge, &b, 1);
                }
                lv2_atom_forge_pad(&forge, length);
                break;
            }
            case 3: {
                // A value whose size says more than is there, up to sizes that wrap when
                // padded: the object's end cuts it.
                const std::uint8_t b = in.byte();
                lv2_atom_forge_atom(&forge, b >= 0xF0 ? 0xFFFFFFF0u + (b & 0xFu) : 64u + b,
                                    host.id(LV2_ATOM__Long));
                break;
            }
            default:
                forgeNumber(forge, in);
                break;
        }
    }
    lv2_atom_forge_pop(&forge, &object);
}

// Settings with "Pass and log system exclusive" on, so the plug-in reads SysEx events.
platform::SettingsStore& sysexOn() {
    static platform::MemorySettingsStore store;
    store.writeDword(kOptionsKey, kOptionSysEx, 1);
    return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::ScopedSettingsStore settings{sysexOn()};
    static Host host;
    static Lv2Plugin* plugin = Lv2Plugin::create(48000.0, host.features);
    static std::vector<std::uint64_t> in(kBytes / 8), out(kBytes / 8), notify(kBytes / 8);
    static std::vector<float> controls(kNumParams);
    if (!plugin) std::abort();
    static const bool connected = [] {
        for (int i = 0; i < kNumParams; ++i)
            plugin->connect(static_cast<std::uint32_t>(i), &controls[static_cast<std::size_t>(i)]);
        plugin->connect(kMidiInPort, in.data());
        plugin->connect(kMidiOutPort, out.data());
        plugin->connect(kNotifyPort, notify.data());
        plugin->activate();
        return true;
    }();
    (void)connected;
    fuzz::Input r{data, size};
    // A few control readings, any float bits.
    for (int n = r.byte() % 8; n > 0; --n) {
        const std::size_t port = r.byte() % kNumParams;
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) bits = bits << 8 | r.byte();
        std::memcpy(&controls[port], &bits, sizeof(float));
    }
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &host.map);
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(in.data()), kBytes);
    LV2_Atom_Forge_Frame sequence;
    lv2_atom_forge_sequence_head(&forge, &sequence, 0);
    std::int64_t frame = 0;
    std::size_t lastEvent = 0;  // where the last event's body begins
    std::uint32_t cut = 0;      // bytes the sequence's size leaves out at its end
    while (r.size > 0 && forge.offset + 256 < kBytes) {
        const std::uint8_t kind = r.byte();
        if (kind >= 0xE0 && kind < 0xF0) {
            // The last event claims more than it has, by a little or up to sizes that wrap
            // when padded, and the sequence may end short of it; it is the sequence's end.
            const std::uint8_t b = r.byte();
            auto* body =
                reinterpret_cast<LV2_Atom*>(reinterpret_cast<std::uint8_t*>(in.data()) + lastEvent);
            if (lastEvent && b >= 0xF0)
                body->size = 0xFFFFFFF0u + (b & 0xFu);
            else if (lastEvent && b >= 0x80)
                body->size += b & 0x7Fu;
            cut = kind & 0x0Fu;
            break;
        }
        frame += r.byte() % 64;
        if (frame >= kFrames) frame = kFrames - 1;
        lv2_atom_forge_frame_time(&forge, frame);
        lastEvent = forge.offset;
        if (kind >= 0xF0) {
            forgeMessage(forge, host, r);
        } else if (kind % 3 == 0) {
            // Up to 8 bytes, or a whole SysEx of up to 40.
            std::uint8_t bytes[40] = {};
            const std::uint8_t sizeByte = r.byte();
            std::uint32_t n = sizeByte % 9;
            if (sizeByte >= 0xF0) {
                n = 6 + (sizeByte & 0x0Fu) * 2;
                bytes[0] = 0xF0;
                for (std::uint32_t i = 1; i + 1 < n; ++i) bytes[i] = r.byte() & 0x7Fu;
                bytes[n - 1] = 0xF7;
            } else {
                for (std::uint32_t i = 0; i < n; ++i) bytes[i] = r.byte();
            }
            lv2_atom_forge_atom(&forge, n, host.id(LV2_MIDI__MidiEvent));
            lv2_atom_forge_write(&forge, bytes, n);
        } else if (kind % 3 == 1) {
            LV2_Atom_Forge_Frame object;
            lv2_atom_forge_object(&forge, &object, 0, host.id(LV2_TIME__Position));
            const char* keys[] = {LV2_TIME__beatsPerMinute, LV2_TIME__beatsPerBar,
                                  LV2_TIME__beatUnit, LV2_TIME__frame};
            for (int n = r.byte() % 5; n > 0; --n) {
                lv2_atom_forge_key(&forge, host.id(keys[r.byte() % 4]));
                forgeNumber(forge, r);
            }
            lv2_atom_forge_pop(&forge, &object);
        } else {
            const std::uint8_t n = r.byte() % 16;
            lv2_atom_forge_atom(&forge, n, host.id("urn:fuzz:unknown"));
            for (std::uint8_t i = 0; i < n; ++i) {
                const std::uint8_t b = r.byte();
                lv2_atom_forge_write(&forge, &b, 1);
            }
        }
    }
    lv2_atom_forge_pop(&forge, &sequence);
    auto* forged = reinterpret_cast<LV2_Atom_Sequence*>(in.data());
    forged->atom.size -= cut < forged->atom.size ? cut : forged->atom.size;
    const std::size_t length = sizeof(LV2_Atom) + forged->atom.size;
    const auto exact = std::make_unique<std::uint8_t[]>(length);
    std::memcpy(exact.get(), in.data(), length);
    plugin->connect(kMidiInPort, exact.get());

    auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(out.data());
    seq->atom.type = host.id(LV2_ATOM__Chunk);
    seq->atom.size = kBytes - sizeof(LV2_Atom);
    // The notify output's room changes from run to run, down to nothing.
    auto* note = reinterpret_cast<LV2_Atom_Sequence*>(notify.data());
    note->atom.type = host.id(LV2_ATOM__Chunk);
    note->atom.size = static_cast<std::uint32_t>((size * 97) % (kBytes - sizeof(LV2_Atom)));
    const std::uint32_t room = note->atom.size;
    plugin->run(kFrames);
    plugin->connect(kMidiInPort, in.data());
    if (note->atom.type != host.id(LV2_ATOM__Sequence)) std::abort();
    if (note->atom.size > room) std::abort();
    LV2_ATOM_SEQUENCE_FOREACH(note, ev) {
        if (ev->body.type != host.id(LV2_ATOM__Object)) std::abort();
        if (ev->time.frames != 0) std::abort();
    }
    if (seq->atom.type != host.id(LV2_ATOM__Sequence)) std::abort();
    if (seq->atom.size > kBytes - sizeof(LV2_Atom)) std::abort();
    std::int64_t last = 0;
    LV2_ATOM_SEQUENCE_FOREACH(seq, ev) {
        if (ev->body.type != host.id(LV2_MIDI__MidiEvent)) std::abort();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(ev + 1);
        const std::uint32_t n = ev->body.size;
        if (n < 1 || (n > 3 && (bytes[0] != 0xF0 || bytes[n - 1] != 0xF7))) std::abort();
        if (ev->time.frames < last || ev->time.frames >= kFrames) std::abort();
        last = ev->time.frames;
    }
    return 0;
}
