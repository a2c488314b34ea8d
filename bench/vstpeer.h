// A VST 2 plug-in binary driven the way a host drives it, for benchmarks: loaded with dlopen,
// started as a host starts it, fed prepared event lists and processing calls. The host
// callback only counts the events the plug-in sends back and answers the time with a fixed
// record, so the measured cost is the plug-in's own.
#pragma once

#include <string>
#include <vector>

#include "vst/aeffect.h"

namespace bench {

class VstPeer {
public:
    // Loads the binary and instantiates it; ok() is false (and error() says why) on failure.
    VstPeer(const std::string& path, double sampleRate, VstInt32 maxBlock);
    ~VstPeer();
    VstPeer(const VstPeer&) = delete;
    VstPeer& operator=(const VstPeer&) = delete;

    bool ok() const noexcept { return effect_ != nullptr; }
    const std::string& error() const noexcept { return error_; }

    void setParameter(VstInt32 index, float value) { effect_->setParameter(effect_, index, value); }
    void events(VstEvents* list) {
        effect_->dispatcher(effect_, effProcessEvents, 0, 0, list, 0.0f);
    }
    void process(VstInt32 frames) { effect_->processReplacing(effect_, in_, out_, frames); }

    // Events the plug-in has handed to audioMasterProcessEvents so far (processing thread).
    long sent() const noexcept { return sent_; }

private:
    static VstIntPtr VSTCALLBACK callback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                          VstIntPtr value, void* ptr, float opt);

    void* library_ = nullptr;
    AEffect* effect_ = nullptr;
    std::string error_;
    long sent_ = 0;
    VstTimeInfo time_{};
    std::vector<float> buffers_[4];
    float* in_[2];
    float* out_[2];
};

// A list of MIDI events for effProcessEvents, laid out as a host lays it out.
class EventList {
public:
    EventList(const std::vector<std::uint32_t>& words, const std::vector<std::uint32_t>& frames);
    VstEvents* get() noexcept { return reinterpret_cast<VstEvents*>(block_.data()); }

private:
    std::vector<VstMidiEvent> events_;
    std::vector<unsigned char> block_;
};

}  // namespace bench
