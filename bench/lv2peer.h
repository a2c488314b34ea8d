// A minimal LV2 host for the benchmarks: instantiates one plug-in through lilv, connects its
// atom (MIDI) sequence ports and control ports, and runs blocks with a prepared input sequence.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

class Lv2Peer {
public:
    // Loads the plug-in with this URI; ok() is false (and error() says why) when lilv cannot
    // find or instantiate it.
    Lv2Peer(const std::string& uri, double sampleRate);
    ~Lv2Peer();
    Lv2Peer(const Lv2Peer&) = delete;
    Lv2Peer& operator=(const Lv2Peer&) = delete;

    bool ok() const noexcept { return instance_ != nullptr; }
    const std::string& error() const noexcept { return error_; }

    // Sets an input control port by its symbol; false if there is none.
    bool setControl(const std::string& symbol, float value);
    // Replaces the input sequence with three-byte MIDI messages at the given frames (ascending).
    void setInput(const std::vector<std::uint32_t>& words,
                  const std::vector<std::uint32_t>& frames);
    // Runs one block and answers how many MIDI events the plug-in wrote to its output.
    int run(std::uint32_t frames);

private:
    struct World;
    std::unique_ptr<World> world_;
    void* instance_ = nullptr;  // LilvInstance
    std::string error_;
    std::vector<std::uint64_t> in_, out_;  // 8-byte aligned atom buffers
    std::vector<float> controls_;
    std::vector<std::string> symbols_;
    std::vector<bool> controlInput_;
    std::uint32_t midiEvent_ = 0, sequence_ = 0, chunk_ = 0;
};

}  // namespace bench
