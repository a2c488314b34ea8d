#include "lv2peer.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <cstring>
#include <map>

namespace bench {

// The lilv world and the URID map the plug-in instance holds on to.
struct Lv2Peer::World {
    LilvWorld* world = lilv_world_new();
    std::map<std::string, LV2_URID> ids;
    LV2_URID_Map map{this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
                         auto& known = static_cast<World*>(h)->ids;
                         auto [it, added] =
                             known.emplace(uri, static_cast<LV2_URID>(known.size() + 1));
                         return it->second;
                     }};
    LV2_Feature mapFeature{LV2_URID__map, &map};
    const LV2_Feature* features[2] = {&mapFeature, nullptr};
    ~World() { lilv_world_free(world); }
};

namespace {
constexpr std::size_t kAtomBytes = 1 << 16;
}

Lv2Peer::Lv2Peer(const std::string& uri, double sampleRate)
    : world_(std::make_unique<World>()), in_(kAtomBytes / 8), out_(kAtomBytes / 8) {
    LilvWorld* w = world_->world;
    lilv_world_load_all(w);
    LilvNode* name = lilv_new_uri(w, uri.c_str());
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(w), name);
    lilv_node_free(name);
    if (plugin == nullptr) {
        error_ = "LV2 plug-in " + uri + " is not installed";
        return;
    }
    midiEvent_ = world_->map.map(world_->map.handle, LV2_MIDI__MidiEvent);
    sequence_ = world_->map.map(world_->map.handle, LV2_ATOM__Sequence);
    chunk_ = world_->map.map(world_->map.handle, LV2_ATOM__Chunk);
    LilvInstance* instance = lilv_plugin_instantiate(plugin, sampleRate, world_->features);
    if (instance == nullptr) {
        error_ = "LV2 plug-in " + uri + " could not be instantiated";
        return;
    }
    LilvNode* input = lilv_new_uri(w, LV2_CORE__InputPort);
    LilvNode* control = lilv_new_uri(w, LV2_CORE__ControlPort);
    LilvNode* atom = lilv_new_uri(w, LV2_ATOM__AtomPort);
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    std::vector<float> defaults(ports, 0.0f);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    controls_.assign(ports, 0.0f);
    symbols_.resize(ports);
    controlInput_.assign(ports, false);
    for (std::uint32_t i = 0; i < ports; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        symbols_[i] = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
        const bool isInput = lilv_port_is_a(plugin, port, input);
        if (lilv_port_is_a(plugin, port, atom)) {
            lilv_instance_connect_port(instance, i, isInput ? in_.data() : out_.data());
        } else if (lilv_port_is_a(plugin, port, control)) {
            controls_[i] = defaults[i] == defaults[i] ? defaults[i] : 0.0f;  // NaN: no default
            controlInput_[i] = isInput;
            lilv_instance_connect_port(instance, i, &controls_[i]);
        } else {
            lilv_instance_connect_port(instance, i, nullptr);
        }
    }
    lilv_node_free(input);
    lilv_node_free(control);
    lilv_node_free(atom);
    setInput({}, {});
    lilv_instance_activate(instance);
    instance_ = instance;
}

Lv2Peer::~Lv2Peer() {
    if (instance_ != nullptr) {
        auto* instance = static_cast<LilvInstance*>(instance_);
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
}

bool Lv2Peer::setControl(const std::string& symbol, float value) {
    for (std::size_t i = 0; i < symbols_.size(); ++i) {
        if (symbols_[i] == symbol && controlInput_[i]) {
            controls_[i] = value;
            return true;
        }
    }
    return false;
}

void Lv2Peer::setInput(const std::vector<std::uint32_t>& words,
                       const std::vector<std::uint32_t>& frames) {
    auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(in_.data());
    seq->atom.type = sequence_;
    seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
    seq->body.unit = 0;
    seq->body.pad = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        auto* ev = reinterpret_cast<LV2_Atom_Event*>(reinterpret_cast<char*>(seq) +
                                                     sizeof(LV2_Atom) + seq->atom.size);
        ev->time.frames = frames[i];
        ev->body.type = midiEvent_;
        ev->body.size = 3;
        auto* bytes = reinterpret_cast<std::uint8_t*>(ev + 1);
        bytes[0] = static_cast<std::uint8_t>(words[i]);
        bytes[1] = static_cast<std::uint8_t>(words[i] >> 8);
        bytes[2] = static_cast<std::uint8_t>(words[i] >> 16);
        seq->atom.size += lv2_atom_pad_size(sizeof(LV2_Atom_Event) + 3);
    }
}

int Lv2Peer::run(std::uint32_t frames) {
    // The output sequence offers its whole buffer to the plug-in on every run.
    auto* out = reinterpret_cast<LV2_Atom_Sequence*>(out_.data());
    out->atom.type = chunk_;
    out->atom.size = kAtomBytes - sizeof(LV2_Atom);
    lilv_instance_run(static_cast<LilvInstance*>(instance_), frames);
    int count = 0;
    LV2_ATOM_SEQUENCE_FOREACH(out, ev) {
        if (ev->body.type == midiEvent_) ++count;
    }
    return count;
}

}  // namespace bench
