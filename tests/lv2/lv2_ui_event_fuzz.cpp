// Any event a host may hand the LV2 editor from the plug-in's notify output: the plug-in's
// messages with any properties and values (texts unterminated, values that claim more than
// their object holds, numbers of the wrong type), and raw bytes of any size. The editor's
// access must read only what lies within the event and keep its state consistent.
#include <lv2/atom/forge.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lv2/uiaccess.h"
#include "lv2/uiprotocol.h"
#include "lv2testhost.h"
#include "support/fuzzinput.h"

namespace {

void ignoreWrite(LV2UI_Controller, std::uint32_t, std::uint32_t, std::uint32_t, const void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv2test::Host host;
    static lv2ui::Lv2UiAccess ui(&ignoreWrite, nullptr, &host.map, nullptr);
    const std::uint32_t transfer = host.id(LV2_ATOM__eventTransfer);
    fuzz::Input r{data, size};
    if (r.byte() % 4 == 0) {
        // Raw bytes as the event, the size as given.
        ui.portEvent(lv2ui::kNotifyPort, static_cast<std::uint32_t>(r.size), transfer, r.data);
    } else {
        const char* types[] = {lv2ui::kLogLine, LV2_PATCH__Set,        lv2ui::kInfo,
                               lv2ui::kTempo,   lv2ui::kTimeSignature, lv2ui::kSaved,
                               lv2ui::kNotice,  "urn:fuzz:other"};
        const char* keys[] = {lv2ui::kSequence,      lv2ui::kText,       LV2_PATCH__property,
                              LV2_PATCH__value,      lv2ui::kSampleRate, LV2_TIME__beatsPerMinute,
                              LV2_TIME__beatsPerBar, LV2_TIME__beatUnit};
        const char* valueTypes[] = {LV2_ATOM__Long,   LV2_ATOM__Int,    LV2_ATOM__Float,
                                    LV2_ATOM__Double, LV2_ATOM__String, LV2_ATOM__Path,
                                    LV2_ATOM__URID};
        std::vector<std::uint64_t> buffer(1024);
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &host.map);
        lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(buffer.data()),
                                  buffer.size() * 8);
        LV2_Atom_Forge_Frame object;
        lv2_atom_forge_object(&forge, &object, 0, host.id(types[r.byte() % 8]));
        for (int n = r.byte() % 4; n > 0; --n) {
            lv2_atom_forge_key(&forge, host.id(keys[r.byte() % 8]));
            // A value of any type and any stated size, with up to 63 bytes of body.
            const std::uint8_t type = r.byte();
            const std::uint32_t length = r.byte() % 64;
            const std::uint32_t claimed = type >= 0xF0 ? length + r.byte() : length;
            if (type % 7 == 6) {
                const char* names[] = {lv2ui::kLogFile, lv2ui::kTrackName};
                lv2_atom_forge_urid(&forge, host.id(names[r.byte() % 2]));
                continue;
            }
            lv2_atom_forge_atom(&forge, claimed, host.id(valueTypes[type % 7]));
            for (std::uint32_t i = 0; i < length; ++i) {
                const std::uint8_t b = r.byte();
                lv2_atom_forge_raw(&forge, &b, 1);
            }
            lv2_atom_forge_pad(&forge, length);
        }
        lv2_atom_forge_pop(&forge, &object);
        const auto* atom = reinterpret_cast<const LV2_Atom*>(buffer.data());
        ui.portEvent(lv2ui::kNotifyPort, static_cast<std::uint32_t>(lv2_atom_total_size(atom)),
                     transfer, atom);
    }
    // The list holds only what fits its room; the reports are taken whole.
    if (ui.lines().size() > LogLines::kCapacity) std::abort();
    for (const std::string& m : ui.takeMessages())
        if (m.size() > lv2ui::kMaxText + 16) std::abort();
    int numerator = 0, denominator = 0;
    double bpm = 0.0;
    ui.takeTempo(bpm);
    ui.takeTimeSignature(numerator, denominator);
    return 0;
}
