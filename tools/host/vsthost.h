// A small VST 2 host: loads a plug-in binary, calls its entry exactly as a host does, answers
// the host callback, drives the record and captures what the plug-in sends back. Used by
// corvella-host and by the black-box tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/library.h"
#include "vst/aeffect.h"

namespace host {

// One event the plug-in handed to audioMasterProcessEvents.
struct SentEvent {
    long block;             // processing block during which it arrived (-1 before the first)
    VstInt32 deltaFrames;   // as the plug-in filled it
    std::uint8_t bytes[4];  // midiData
    VstInt32 type;
    std::vector<std::uint8_t> sysex;  // a kVstSysExType event's bytes
};

// One event to deliver through effProcessEvents.
struct ScheduledEvent {
    long frame;  // absolute sample frame from the start of the run
    std::uint8_t bytes[3];
    std::vector<std::uint8_t> sysex;  // when not empty: a SysEx, sent as kVstSysExType
};

// An effProcessEvents list of MIDI events, of any length: the header followed by one pointer
// per event, all owned here.
class MidiEventList {
public:
    explicit MidiEventList(std::vector<VstMidiEvent> events);
    // MIDI events and SysEx events in one list: `sysexAt` holds, in order, the list positions
    // the SysEx events take.
    MidiEventList(std::vector<VstMidiEvent> events, std::vector<VstMidiSysexEvent> sysex,
                  const std::vector<std::size_t>& sysexAt);
    // Events of type kVstMidiType from packed words (status in the low byte), at deltaFrames.
    static MidiEventList fromWords(const std::vector<std::uint32_t>& words,
                                   VstInt32 deltaFrames = 0);
    VstEvents* get() noexcept { return reinterpret_cast<VstEvents*>(block_.data()); }

private:
    std::vector<VstMidiEvent> events_;
    std::vector<VstMidiSysexEvent> sysex_;
    std::vector<unsigned char> block_;
};

class VstHost {
public:
    VstHost();
    ~VstHost();
    VstHost(const VstHost&) = delete;
    VstHost& operator=(const VstHost&) = delete;

    // Loads the binary and finds VSTPluginMain (or main). False with error() on failure.
    bool load(const std::string& path);
    // Calls the entry; answers the record or null.
    AEffect* instantiate();
    // Hosts a record made in this process as if the entry had answered it (a plug-in linked
    // in, or a stand-in that plays one). False with error() when it is null or not a record.
    bool adopt(AEffect* effect);
    // effClose through the record; answers the dispatcher's result.
    VstIntPtr close();

    AEffect* effect() const noexcept { return effect_; }
    const std::string& error() const noexcept { return error_; }

    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                       void* ptr = nullptr, float opt = 0.0f);
    std::string dispatchText(VstInt32 opcode, VstInt32 index = 0);
    void setParameter(VstInt32 index, float value);
    float getParameter(VstInt32 index);

    // Host state the callback answers with.
    double sampleRate = 44100.0;
    VstInt32 blockSize = 512;
    double tempo = 120.0;
    VstInt32 timeSigNumerator = 4;
    VstInt32 timeSigDenominator = 4;
    VstIntPtr versionAnswer = 2400;  // audioMasterVersion; 0 makes a plug-in refuse to load
    bool answerTimeInfo = true;      // false answers audioMasterGetTime with null
    std::string productString = "corvella-host";
    // Set while processing and an editor run on two threads at once: the callback then keeps
    // none of the records below (each belongs to one thread) and prints the editor's
    // automation instead: "automate INDEX VALUE", "begin edit INDEX", "end edit INDEX".
    bool live = false;

    // Starts processing (open, rate, block size, mains on, start) and runs blocks.
    void start();
    // Delivers the events that fall into the next block, then processes it.
    void runBlock(const std::vector<ScheduledEvent>& schedule);
    // Called at the end of every runBlock (corvella-host prints the plug-in's log there).
    std::function<void()> afterBlock;
    void stop();
    // Delivers raw events in one effProcessEvents call (deltaFrames as given).
    VstIntPtr sendEvents(const std::vector<VstMidiEvent>& events);

    long currentBlock() const noexcept { return block_; }
    long framePosition() const noexcept { return position_; }

    // What the plug-in did through the callback.
    std::vector<SentEvent> sent;
    std::vector<std::pair<VstInt32, float>> automated;
    int wantMidiCalls = 0;
    int getTimeCalls = 0;
    std::vector<VstInt32> opcodesSeen;

    // The callback every instance gets.
    static VstIntPtr VSTCALLBACK callback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                          VstIntPtr value, void* ptr, float opt);

private:
    VstIntPtr answer(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);
    void noteCall(VstInt32 opcode, VstInt32 index, float opt);
    VstIntPtr timeInfo();
    VstIntPtr receiveEvents(const VstEvents* list);
    VstIntPtr textAnswer(VstInt32 opcode, void* ptr);
    void processBlock();

    platform::Library library_;
    VstPluginMainProc entry_ = nullptr;
    AEffect* effect_ = nullptr;
    std::string error_;
    long block_ = -1;
    // Advanced by the processing thread, read by the editor's when it asks for the time.
    std::atomic<long> position_{0};
    // The musical position at the block's start and the start of its bar, in quarter notes:
    // moved on per block at the tempo and time signature of that block.
    std::atomic<double> ppq_{0.0};
    std::atomic<double> barStart_{0.0};
    bool processing_ = false;
    std::vector<float> in_[2];
    std::vector<float> out_[2];
};

// "0x90", "144" or "90h"-free C-style numbers: 0x prefix for hexadecimal, otherwise decimal.
// False for a number beyond the range of long.
bool parseNumber(const std::string& text, long& out);
// A parameter value: a decimal number or a fraction "N/D" (list entry n is n/256).
bool parseValue(const std::string& text, double& out);
// Parses "FRAME:STATUS DATA1 DATA2,..." (data bytes optional).
bool parseSchedule(const std::string& text, std::vector<ScheduledEvent>& out, std::string& error);
// "90 3C 64" for the bytes of a message.
std::string hexBytes(const std::uint8_t* bytes, int count);

}  // namespace host
