// A host for the LV2 plug-in and an editor of it, in one thread as a simple host runs them:
// the editor's port writes reach the control ports and its messages the plug-in's input; each
// block runs the plug-in, then the worker's jobs and the answers (which reach the next run),
// then hands the notify output's events to the editor (`toUi`).
#pragma once

#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lv2/lv2plugin.h"
#include "lv2/portmap.h"

namespace lv2test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const void* data, std::size_t size) {
    const auto* b = static_cast<const std::uint8_t*>(data);
    return Bytes(b, b + size);
}

struct UiHost {
    std::map<std::string, LV2_URID> ids;
    LV2_URID_Map map{
        this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
            auto& known = static_cast<UiHost*>(h)->ids;
            return known.emplace(uri, static_cast<LV2_URID>(known.size() + 1)).first->second;
        }};
    std::vector<Bytes> jobs, responses;
    LV2_Worker_Schedule schedule{
        this, [](LV2_Worker_Schedule_Handle h, std::uint32_t size, const void* data) {
            static_cast<UiHost*>(h)->jobs.push_back(bytesOf(data, size));
            return LV2_WORKER_SUCCESS;
        }};
    LV2_Feature mapFeature{LV2_URID__map, &map};
    LV2_Feature scheduleFeature{LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[3] = {&mapFeature, &scheduleFeature, nullptr};
    std::unique_ptr<Lv2Plugin> plugin{Lv2Plugin::create(48000.0, features)};
    std::vector<float> controls = std::vector<float>(kNumParams);
    std::vector<std::uint64_t> in = std::vector<std::uint64_t>(4096), out = in, notify = in;
    std::uint32_t notifyBytes = 16384;

    // What the editor wrote: control values, and the messages for the next run.
    std::vector<std::pair<std::uint32_t, float>> portWrites;
    std::vector<Bytes> toPlugin;
    std::vector<MidiWord> midi;    // host input for the next run
    std::vector<Bytes> delivered;  // every notify event handed to the editor
    std::function<void(std::uint32_t port, std::uint32_t size, std::uint32_t format,
                       const void* buffer)>
        toUi;

    LV2_URID id(const char* uri) { return map.map(map.handle, uri); }

    // The log is on; every other parameter at its default.
    UiHost() {
        for (int i = 0; i < kNumParams; ++i) {
            const std::size_t at = static_cast<std::size_t>(i);
            controls[at] = lv2port::portValue(i, kParameters[at].defaultValue);
            plugin->connect(static_cast<std::uint32_t>(i), &controls[at]);
        }
        controls[param::Log] = 1.0f;
        plugin->connect(kMidiInPort, in.data());
        plugin->connect(kMidiOutPort, out.data());
        plugin->connect(kNotifyPort, notify.data());
        plugin->activate();
    }
    UiHost(const UiHost&) = delete;
    UiHost& operator=(const UiHost&) = delete;

    // The editor's write function.
    static void write(LV2UI_Controller c, std::uint32_t port, std::uint32_t size,
                      std::uint32_t format, const void* buffer) {
        auto& h = *static_cast<UiHost*>(const_cast<void*>(c));
        if (format == 0) {
            ASSERT_EQ(size, sizeof(float));
            float v;
            std::memcpy(&v, buffer, sizeof v);
            h.portWrites.emplace_back(port, v);
            if (port < static_cast<std::uint32_t>(kNumParams)) h.controls[port] = v;
            return;
        }
        ASSERT_EQ(port, kMidiInPort);
        ASSERT_EQ(format, h.id(LV2_ATOM__eventTransfer));
        h.toPlugin.push_back(bytesOf(buffer, size));
    }

    // A control port changed by the host: the plug-in reads it, the editor is told.
    void setControl(int index, float value) {
        controls[static_cast<std::size_t>(index)] = value;
        if (toUi) toUi(static_cast<std::uint32_t>(index), sizeof value, 0, &value);
    }

    // One block; answers the notify events delivered.
    int run() {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &map);
        lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(in.data()),
                                  in.size() * 8);
        LV2_Atom_Forge_Frame frame;
        lv2_atom_forge_sequence_head(&forge, &frame, 0);
        for (MidiWord word : midi) {
            const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(word & 0xFF),
                                           static_cast<std::uint8_t>((word >> 8) & 0xFF),
                                           static_cast<std::uint8_t>((word >> 16) & 0xFF)};
            lv2_atom_forge_frame_time(&forge, 0);
            lv2_atom_forge_atom(&forge, 3, id(LV2_MIDI__MidiEvent));
            lv2_atom_forge_write(&forge, bytes, 3);
        }
        for (const Bytes& message : toPlugin) {
            lv2_atom_forge_frame_time(&forge, 0);
            lv2_atom_forge_write(&forge, message.data(),
                                 static_cast<std::uint32_t>(message.size()));
        }
        lv2_atom_forge_pop(&forge, &frame);
        midi.clear();
        toPlugin.clear();
        reinterpret_cast<LV2_Atom*>(out.data())->size =
            static_cast<std::uint32_t>(out.size() * 8 - sizeof(LV2_Atom));
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(notify.data());
        sequence->atom.size = notifyBytes;
        plugin->run(512);

        for (const Bytes& job : std::exchange(jobs, {})) {
            plugin->work(
                [](LV2_Worker_Respond_Handle h, std::uint32_t size, const void* data) {
                    static_cast<UiHost*>(h)->responses.push_back(bytesOf(data, size));
                    return LV2_WORKER_SUCCESS;
                },
                this, static_cast<std::uint32_t>(job.size()), job.data());
        }
        for (const Bytes& r : std::exchange(responses, {}))
            plugin->workResponse(static_cast<std::uint32_t>(r.size()), r.data());

        EXPECT_EQ(sequence->atom.type, id(LV2_ATOM__Sequence));
        EXPECT_LE(sequence->atom.size, notifyBytes);
        int events = 0;
        LV2_ATOM_SEQUENCE_FOREACH(sequence, ev) {
            const auto size = static_cast<std::uint32_t>(lv2_atom_total_size(&ev->body));
            delivered.push_back(bytesOf(&ev->body, size));
            if (toUi) toUi(kNotifyPort, size, id(LV2_ATOM__eventTransfer), &ev->body);
            ++events;
        }
        return events;
    }
    void runs(int n) {
        for (int i = 0; i < n; ++i) run();
    }

    // A generic host UI's patch:Set of a property.
    Bytes patchSet(const char* property, const char* type, const std::string& text) {
        Bytes buffer(8192);
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &map);
        lv2_atom_forge_set_buffer(&forge, buffer.data(), buffer.size());
        LV2_Atom_Forge_Frame frame;
        auto* atom = reinterpret_cast<LV2_Atom*>(lv2_atom_forge_deref(
            &forge, lv2_atom_forge_object(&forge, &frame, 0, id(LV2_PATCH__Set))));
        lv2_atom_forge_key(&forge, id(LV2_PATCH__property));
        lv2_atom_forge_urid(&forge, id(property));
        lv2_atom_forge_key(&forge, id(LV2_PATCH__value));
        lv2_atom_forge_typed_string(&forge, id(type), text.data(),
                                    static_cast<std::uint32_t>(text.size()));
        lv2_atom_forge_pop(&forge, &frame);
        buffer.resize(lv2_atom_total_size(atom));
        return buffer;
    }

    // The names the plug-in's state keeps.
    std::map<LV2_URID, std::string> savedState() {
        std::map<LV2_URID, std::string> stored;
        plugin->save(
            [](LV2_State_Handle h, std::uint32_t key, const void* value, std::size_t size,
               std::uint32_t, std::uint32_t) {
                const char* text = static_cast<const char*>(value);
                (*static_cast<std::map<LV2_URID, std::string>*>(h))[key] =
                    std::string(text, strnlen(text, size));
                return LV2_STATE_SUCCESS;
            },
            &stored);
        return stored;
    }
};

inline MidiWord noteOn(int note) {
    return 0x90u | (static_cast<MidiWord>(note) << 8) | (100u << 16);
}

}  // namespace lv2test
