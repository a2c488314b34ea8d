// A small LV2 host over lilv for the tests and the benchmarks: instantiates one plug-in,
// connects its atom (MIDI) sequence ports and control ports, offers the URID map and a worker,
// and runs blocks with a prepared input sequence, keeping what the plug-in wrote.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// One MIDI event of an output sequence.
struct Lv2Event {
    std::int64_t frame;
    std::vector<std::uint8_t> bytes;
};

class Lv2Peer {
public:
    // Loads the plug-in with this URI from the LV2 path; ok() is false (and error() says why)
    // when lilv cannot find or instantiate it.
    Lv2Peer(const std::string& uri, double sampleRate);
    ~Lv2Peer();
    Lv2Peer(const Lv2Peer&) = delete;
    Lv2Peer& operator=(const Lv2Peer&) = delete;

    bool ok() const noexcept { return instance_ != nullptr; }
    const std::string& error() const noexcept { return error_; }

    // Sets an input control port by its symbol or index; false if there is none.
    bool setControl(const std::string& symbol, float value);
    bool setControl(std::uint32_t index, float value);
    // Replaces the input sequence with three-byte MIDI messages at the given frames (ascending),
    // after a time:Position with this tempo and time signature when tempo > 0.
    void setInput(const std::vector<std::uint32_t>& words, const std::vector<std::uint32_t>& frames,
                  double tempo = 0.0, int beatsPerBar = 4, int beatUnit = 4);
    // The same with messages of any length (SysEx among them).
    void setInputMessages(const std::vector<std::vector<std::uint8_t>>& messages,
                          const std::vector<std::uint32_t>& frames, double tempo = 0.0,
                          int beatsPerBar = 4, int beatUnit = 4);
    // Runs one block (the first activates the instance, with the controls set so far); the work
    // the plug-in schedules runs on the peer's worker thread, alongside later runs, as in a
    // host. Answers how many MIDI events the plug-in wrote to its output.
    int run(std::uint32_t frames);
    // Waits until the worker has done all the work scheduled so far.
    void waitForWork();
    // The bytes of sequence body the output port offers on each run (0: its whole buffer), to
    // see what a plug-in does when its output is full.
    std::uint32_t outputSpace = 0;
    // The MIDI events of the last run (collected only when set).
    bool keepOutput = false;
    const std::vector<Lv2Event>& output() const noexcept { return output_; }
    // The instance's handle and extension data (state and the like), and the URID map's answer.
    void* handle() const noexcept;
    const void* extensionData(const char* uri) const noexcept;
    std::uint32_t urid(const char* uri);

private:
    struct World;
    std::unique_ptr<World> world_;
    void* instance_ = nullptr;  // LilvInstance
    bool active_ = false;
    std::string error_;
    std::vector<std::uint64_t> in_, out_;  // 8-byte aligned atom buffers
    std::vector<float> controls_;
    std::vector<std::string> symbols_;
    std::vector<bool> controlInput_;
    std::vector<Lv2Event> output_;
    std::uint32_t midiEvent_ = 0, chunk_ = 0;
};

}  // namespace host
