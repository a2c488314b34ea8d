#include "vstpeer.h"

#include <dlfcn.h>

#include <cstring>

namespace bench {

namespace {
// The instance being constructed: the plug-in may call the host before its entry returns.
thread_local VstPeer* constructing = nullptr;
}  // namespace

VstPeer::VstPeer(const std::string& path, double sampleRate, VstInt32 maxBlock) {
    for (auto& b : buffers_) b.assign(static_cast<std::size_t>(maxBlock), 0.0f);
    in_[0] = buffers_[0].data();
    in_[1] = buffers_[1].data();
    out_[0] = buffers_[2].data();
    out_[1] = buffers_[3].data();
    time_.sampleRate = sampleRate;
    time_.tempo = 120.0;
    time_.timeSigNumerator = 4;
    time_.timeSigDenominator = 4;
    time_.flags = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstTimeSigValid;

    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        error_ = dlerror();
        return;
    }
    auto entry = reinterpret_cast<VstPluginMainProc>(dlsym(library_, "VSTPluginMain"));
    if (entry == nullptr) {
        error_ = path + " has no VSTPluginMain";
        return;
    }
    constructing = this;
    AEffect* e = entry(callback);
    constructing = nullptr;
    if (e == nullptr || e->magic != kEffectMagic) {
        error_ = path + ": the entry returned no effect";
        return;
    }
    e->resvd1 = reinterpret_cast<VstIntPtr>(this);
    effect_ = e;
    e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate));
    e->dispatcher(e, effSetBlockSize, 0, maxBlock, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    e->dispatcher(e, effStartProcess, 0, 0, nullptr, 0.0f);
}

VstPeer::~VstPeer() {
    if (effect_ != nullptr) {
        effect_->dispatcher(effect_, effStopProcess, 0, 0, nullptr, 0.0f);
        effect_->dispatcher(effect_, effMainsChanged, 0, 0, nullptr, 0.0f);
        effect_->dispatcher(effect_, effClose, 0, 0, nullptr, 0.0f);
    }
    if (library_ != nullptr) dlclose(library_);
}

VstIntPtr VSTCALLBACK VstPeer::callback(AEffect* effect, VstInt32 opcode, VstInt32, VstIntPtr,
                                        void*, float) {
    VstPeer* self = effect != nullptr && effect->resvd1 != 0
                        ? reinterpret_cast<VstPeer*>(effect->resvd1)
                        : constructing;
    switch (opcode) {
        case audioMasterVersion:
            return 2400;
        case audioMasterProcessEvents:
            if (self != nullptr) ++self->sent_;
            return 1;
        case audioMasterGetTime:
            return self != nullptr ? reinterpret_cast<VstIntPtr>(&self->time_) : 0;
        default:
            return 0;
    }
}

EventList::EventList(const std::vector<std::uint32_t>& words,
                     const std::vector<std::uint32_t>& frames)
    : events_(words.size()) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        VstMidiEvent& m = events_[i];
        m.type = kVstMidiType;
        m.byteSize = sizeof(VstMidiEvent);
        m.deltaFrames = static_cast<VstInt32>(frames[i]);
        m.midiData[0] = static_cast<char>(words[i] & 0xFF);
        m.midiData[1] = static_cast<char>((words[i] >> 8) & 0xFF);
        m.midiData[2] = static_cast<char>((words[i] >> 16) & 0xFF);
    }
    block_.assign(offsetof(VstEvents, events) + (words.size() + 2) * sizeof(VstEvent*), 0);
    auto* list = reinterpret_cast<VstEvents*>(block_.data());
    list->numEvents = static_cast<VstInt32>(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        VstEvent* e = reinterpret_cast<VstEvent*>(&events_[i]);
        std::memcpy(block_.data() + offsetof(VstEvents, events) + i * sizeof(VstEvent*), &e,
                    sizeof e);
    }
}

}  // namespace bench
