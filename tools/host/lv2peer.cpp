#include "tools/host/lv2peer.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace host {

// The lilv world, the URID map and the worker the plug-in instance holds on to.
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
    // Scheduled work runs on the worker thread, alongside later runs, as in a host.
    std::mutex mutex;
    std::condition_variable wake, idle;
    std::deque<std::vector<char>> jobs;
    int busy = 0;
    bool stop = false;
    std::thread thread;
    LV2_Worker_Schedule schedule{
        this, [](LV2_Worker_Schedule_Handle h, std::uint32_t size, const void* data) {
            auto& w = *static_cast<World*>(h);
            const char* bytes = static_cast<const char*>(data);
            {
                std::lock_guard<std::mutex> lock(w.mutex);
                w.jobs.emplace_back(bytes, bytes + size);
            }
            w.wake.notify_one();
            return LV2_WORKER_SUCCESS;
        }};
    LV2_Feature scheduleFeature{LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[3] = {&mapFeature, &scheduleFeature, nullptr};
    const LV2_Worker_Interface* worker = nullptr;
    LV2_URID id(const char* uri) { return map.map(map.handle, uri); }
    void startWorker(void* handle) {
        thread = std::thread([this, handle] {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                wake.wait(lock, [this] { return stop || !jobs.empty(); });
                if (jobs.empty()) return;
                std::vector<char> job = std::move(jobs.front());
                jobs.pop_front();
                ++busy;
                lock.unlock();
                worker->work(handle, nullptr, nullptr, static_cast<std::uint32_t>(job.size()),
                             job.data());
                lock.lock();
                --busy;
                idle.notify_all();
            }
        });
    }
    void stopWorker() {
        if (!thread.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        wake.notify_one();
        thread.join();
    }
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
    bool outputConnected = false;
    for (std::uint32_t i = 0; i < ports; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        symbols_[i] = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
        const bool isInput = lilv_port_is_a(plugin, port, input);
        if (lilv_port_is_a(plugin, port, atom)) {
            // The first atom output carries the MIDI; later ones (a notify port for an editor)
            // are left unconnected.
            const bool midiOut = !isInput && !outputConnected;
            outputConnected = outputConnected || midiOut;
            lilv_instance_connect_port(instance, i,
                                       isInput   ? in_.data()
                                       : midiOut ? out_.data()
                                                 : nullptr);
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
    world_->worker = static_cast<const LV2_Worker_Interface*>(
        lilv_instance_get_extension_data(instance, LV2_WORKER__interface));
    if (world_->worker) world_->startWorker(lilv_instance_get_handle(instance));
    instance_ = instance;
}

Lv2Peer::~Lv2Peer() {
    if (instance_ != nullptr) {
        auto* instance = static_cast<LilvInstance*>(instance_);
        world_->stopWorker();
        if (active_) lilv_instance_deactivate(instance);
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

void Lv2Peer::waitForWork() {
    World& w = *world_;
    std::unique_lock<std::mutex> lock(w.mutex);
    w.idle.wait(lock, [&w] { return w.jobs.empty() && w.busy == 0; });
}

void* Lv2Peer::handle() const noexcept {
    return lilv_instance_get_handle(static_cast<LilvInstance*>(instance_));
}

const void* Lv2Peer::extensionData(const char* uri) const noexcept {
    return lilv_instance_get_extension_data(static_cast<LilvInstance*>(instance_), uri);
}

std::uint32_t Lv2Peer::urid(const char* uri) {
    return world_->id(uri);
}

bool Lv2Peer::setControl(std::uint32_t index, float value) {
    if (index >= controls_.size() || !controlInput_[index]) return false;
    controls_[index] = value;
    return true;
}

void Lv2Peer::setInput(const std::vector<std::uint32_t>& words,
                       const std::vector<std::uint32_t>& frames, double tempo, int beatsPerBar,
                       int beatUnit) {
    std::vector<std::vector<std::uint8_t>> messages;
    for (const std::uint32_t word : words)
        messages.push_back({static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                            static_cast<std::uint8_t>(word >> 16)});
    setInputMessages(messages, frames, tempo, beatsPerBar, beatUnit);
}

void Lv2Peer::setInputMessages(const std::vector<std::vector<std::uint8_t>>& messages,
                               const std::vector<std::uint32_t>& frames, double tempo,
                               int beatsPerBar, int beatUnit) {
    World& w = *world_;
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &w.map);
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(in_.data()), kAtomBytes);
    LV2_Atom_Forge_Frame sequence;
    lv2_atom_forge_sequence_head(&forge, &sequence, 0);
    if (tempo > 0.0) {
        lv2_atom_forge_frame_time(&forge, 0);
        LV2_Atom_Forge_Frame object;
        lv2_atom_forge_object(&forge, &object, 0, w.id(LV2_TIME__Position));
        lv2_atom_forge_key(&forge, w.id(LV2_TIME__beatsPerMinute));
        lv2_atom_forge_float(&forge, static_cast<float>(tempo));
        lv2_atom_forge_key(&forge, w.id(LV2_TIME__beatsPerBar));
        lv2_atom_forge_float(&forge, static_cast<float>(beatsPerBar));
        lv2_atom_forge_key(&forge, w.id(LV2_TIME__beatUnit));
        lv2_atom_forge_int(&forge, beatUnit);
        lv2_atom_forge_pop(&forge, &object);
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const auto size = static_cast<std::uint32_t>(messages[i].size());
        lv2_atom_forge_frame_time(&forge, frames[i]);
        lv2_atom_forge_atom(&forge, size, midiEvent_);
        lv2_atom_forge_write(&forge, messages[i].data(), size);
    }
    lv2_atom_forge_pop(&forge, &sequence);
}

int Lv2Peer::run(std::uint32_t frames) {
    // The output sequence offers its whole buffer to the plug-in on every run.
    auto* out = reinterpret_cast<LV2_Atom_Sequence*>(out_.data());
    out->atom.type = chunk_;
    constexpr std::uint32_t kWhole = kAtomBytes - sizeof(LV2_Atom);
    out->atom.size = outputSpace > 0 && outputSpace < kWhole ? outputSpace : kWhole;
    auto* instance = static_cast<LilvInstance*>(instance_);
    if (!active_) {
        lilv_instance_activate(instance);
        active_ = true;
    }
    lilv_instance_run(instance, frames);
    int count = 0;
    output_.clear();
    LV2_ATOM_SEQUENCE_FOREACH(out, ev) {
        if (ev->body.type != midiEvent_) continue;
        ++count;
        if (keepOutput) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(ev + 1);
            output_.push_back({ev->time.frames, {bytes, bytes + ev->body.size}});
        }
    }
    return count;
}

}  // namespace host
