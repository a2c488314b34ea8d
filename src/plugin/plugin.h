// The plug-in object: one per instance, owner of everything the instance uses.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "engine/midiengine.h"
#include "host/busflags.h"
#include "host/devices.h"
#include "host/frameorder.h"
#include "host/identity.h"
#include "host/logfile.h"
#include "host/worker.h"
#include "platform/notice.h"
#include "vst/audioeffectx.h"
#include "vstbus/vstbus.h"

class APluginEditor;

// Identity answers given to the host (the names in host/identity.h).
inline constexpr VstInt32 kUniqueId = fourCC('C', 'R', 'V', 'L');

// The single program: the 68 values and a name. The buffer holds more than any host sends.
struct APluginProgram {
    APluginProgram() noexcept;
    std::array<std::atomic<float>, kNumParams> values{};
    char name[64]{};
};

// What the plug-in dropped or raised so far (a host command and the tools report them).
struct APluginCounters {
    std::size_t delayDrops = 0;  // words a full delay line refused
    // Words from other threads that found the queue full, and knob messages that never ran.
    std::size_t hostQueueDrops = 0;
    std::size_t deviceQueueDrops = 0;  // words the output device's queue refused
    std::size_t recordingDrops = 0;    // events a full recording refused
    std::size_t busDrops = 0;          // words the send bus refused (full, slot given up)
    std::size_t soundStreamNotices = 0;
    std::size_t feedbackLoopNotices = 0;
    std::size_t sysexDrops = 0;    // SysEx the engine or the output device's queue dropped
    std::size_t busMalformed = 0;  // words from the receive bus that were no short message
};

// The VST 2 front end: the host's entries, the program, the devices and what it hands the
// process's worker; the messages themselves run in the MidiEngine, which reaches the host, the
// buses and the device through this object's ports.
class APlugin : public AudioEffectX {
public:
    explicit APlugin(audioMasterCallback audioMaster);
    ~APlugin() override;

    // Program (any thread the host uses for it).
    void setProgram(VstInt32 program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override;

    // Parameters (any thread: the host's, the editor's, the processing thread).
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;
    void getParameterName(VstInt32 index, char* text) override;

    // Identity.
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    VstInt32 getVendorVersion() override { return 1; }
    VstInt32 canDo(char* text) override;
    // The commands of vst/corvellavendor.h (index 'CRVL'); any thread, typically the host's
    // user-interface thread while processing runs. Every other call answers 0.
    VstIntPtr vendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float opt) override;
    bool getOutputProperties(VstInt32 index, VstPinProperties* properties) override;
    void setSampleRate(float rate) override;

    // Processing (the processing thread).
    void resume() override;
    void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    VstInt32 processEvents(VstEvents* events) override;
    // The record's process and processReplacing entries: straight to the engine, whose block
    // throws nothing, without the virtual call in between (the processing thread).
    static void VSTCALLBACK processEntry(AEffect* e, float** inputs, float** outputs,
                                         VstInt32 sampleFrames) noexcept;

    // A word received from the MIDI input device (the driver's thread).
    void deviceInput(MidiWord word) noexcept;

    // The log lines on their way to the editor (any thread).
    LogLines& logLines() noexcept { return engine_.logLines(); }

    // --- The recording (logging.cpp) ---
    // The file "save log!" writes to (empty: saving does nothing), and the track's name
    // (any thread).
    void setLogFileName(const std::string& path) { logFile_.setPath(path); }
    std::string logFileName() const { return logFile_.path(); }
    void setTrackName(const std::string& name) { logFile_.setTrackName(name); }
    std::string trackName() const { return logFile_.trackName(); }
    const host::LogFile& logFile() const noexcept { return logFile_; }
    // Saves the recording now, on the calling thread (the editor's); never call it from the
    // processing thread. False, with a notice shown, when the file could not be written.
    bool saveLogNow();
    // Read and cleared by the editor (UI thread), which then shows the host's tempo or time
    // signature.
    bool takeTempoWritten() noexcept { return engine_.takeTempoWritten(); }
    bool takeTimeSigWritten() noexcept { return engine_.takeTimeSigWritten(); }
    // Recorded events, and those a full recording dropped (any thread).
    std::size_t recordedEvents() const noexcept { return engine_.recordedEvents(); }
    std::size_t droppedRecordings() const noexcept { return engine_.droppedRecordings(); }
    double conversionTempo() const noexcept { return engine_.conversionTempo(); }
    std::vector<RecordedEvent> recordingSnapshot() const { return engine_.recordingSnapshot(); }
    RecordingSnapshot recording() const { return engine_.recording(); }
    // Drops and notices so far (any thread).
    APluginCounters counters() const noexcept;
    // Waits until the worker has done what it was handed: saves, notices and device work
    // (tests; any thread but the worker and the processing thread).
    void waitForWorker();
    // Closing waits this long for a save the worker is writing; then it gives the save up
    // (the file stays as it was) with a notice, and the worker ends that save alone.
    static constexpr std::chrono::seconds kCloseWait{3};
    // Tests hold a save up: called on the worker inside each save it writes, before the file
    // (set before the save is asked for).
    using SaveObserver = void (*)(void* context) noexcept;
    void setSaveObserver(SaveObserver observer, void* context) noexcept {
        workerState_->saveObserver = observer;
        workerState_->saveContext = context;
    }

    const APluginProgram& program() const noexcept { return program_; }
    bool engineReady() const noexcept { return ready_; }
    // The stored current value (no device-state lookup; any thread).
    float value(int index) const noexcept { return values_[index].load(std::memory_order_relaxed); }

    // The shared buses (the editor's bus lists and labels; UI thread).
    vstbus::TVstBus& bus() noexcept { return *bus_; }
    // Set while the editor window is closed: program changes then do not ask it to refresh.
    void setEditorClosed(bool closed) noexcept { editorClosed_.store(closed); }
    bool editorClosed() const noexcept { return editorClosed_.load(); }
    // The MIDI device ports (parameters 0, 9, 39, 40; the editor's device lists).
    TMidiIO& midiDevices() noexcept { return devices_.io(); }
    // Words the MIDI input device has delivered so far.
    std::uint64_t deviceInputCount() const noexcept {
        return deviceInputs_.load(std::memory_order_relaxed);
    }

    // Tests watch the apply steps run: called with each index and value before its step, on
    // the thread that set the value.
    using ApplyObserver = void (*)(void* context, int index, float value) noexcept;
    void setApplyObserver(ApplyObserver observer, void* context) noexcept {
        applyObserver_ = observer;
        applyContext_ = context;
    }

private:
    // Who sets a value: the host or the editor from outside, or the plug-in replaying stored
    // values in setProgram and resume. The one-shot parameters fire only from outside, so a
    // replay never clears the log or saves over a file.
    enum class Origin { Outside, Replay };
    void storeParameter(VstInt32 index, float value, Origin origin);
    // Hands every value over again, as a resume does; `engineHasDefaults` (at construction)
    // leaves out the values only the engine decodes, which it holds already.
    void replayValues(bool engineHasDefaults);
    // The steps the front end itself takes for a value (devices, buses, log file, one-shots),
    // on the thread that set it; the engine decodes the rest.
    void applyParameter(int index, float value, Origin origin);
    void applyClearLog(float value, Origin origin);
    void applyBus(bool send);
    void applySaveLog(float value, Origin origin);
    void resetOneShot(int index) noexcept;
    // Whether the MIDI input (false) or output (true) device is open.
    bool deviceOpen(bool output) const noexcept;

    // --- Ports (ports.cpp), called by the engine on the processing thread ---
    // A member rather than a base of APlugin: the engine's calls then land in the plug-in
    // without a this-adjusting thunk on every message and block.
    class Ports final : public EnginePorts {
    public:
        explicit Ports(APlugin& plugin) noexcept : p_(plugin) {}
        void hostOutput(MidiWord word, int frame) noexcept override;
        HostOutputEntry hostOutputEntry() noexcept override;
        bool hostTime(HostTime& time) noexcept override;
        HostMeter hostMeter() noexcept override;
        int busTake(int bus, MidiWord* words, int capacity) noexcept override;
        void busWrite(int bus, MidiWord word) noexcept override;
        void deviceOutput(MidiWord word) noexcept override;
        void hostSysexOutput(const std::uint8_t* data, std::size_t size,
                             int frame) noexcept override;
        void deviceSysexOutput(const std::uint8_t* data, std::size_t size) noexcept override;
        void notice(EngineNotice which) noexcept override;
        void storageWanted() noexcept override;

    private:
        APlugin& p_;
    };
    void hostOutput(MidiWord word, int frame) noexcept;
    void hostSysexOutput(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    void notice(EngineNotice which) noexcept;
    // The frame of sample-accurate output for a word produced at `frame` (hostOutput).
    VstInt32 blockFrame(int frame) noexcept;
    // The start of a processing block of `frames` frames, for the frames of sample-accurate
    // output (the processing thread).
    void beginBlock(VstInt32 frames) noexcept {
        eventsBeforeBlock_ ? frames_.limit(frames - 1) : frames_.restart(frames - 1);
        eventsBeforeBlock_ = false;
    }

    // What the worker shares with the plug-in. When a close stops waiting for a save, it is
    // left allocated with the plug-in gone (plugin null): the worker then ends that save
    // alone and touches nothing else.
    enum WorkerBits : std::uint32_t { kSaveBit = 1, kNoticeBit = 2, kStorageBit = 4 };
    struct WorkerState {
        explicit WorkerState(APlugin* owner) noexcept : plugin(owner) {}
        // The worker: a save's file write begins and ends; endWrite answers false when the
        // close gave up waiting meanwhile.
        void beginWrite(const std::string& path);
        bool endWrite();
        // The worker: the plug-in, or null once the close gave it up.
        APlugin* owner();
        // The closing thread: waits until the worker is done with the plug-in, at most
        // kCloseWait while it writes a save. False when it gave the save up, with the file's
        // name; the plug-in is then no longer the worker's.
        bool waitOrGiveUp(std::string& path);

        std::mutex mutex;
        APlugin* plugin;  // under mutex
        bool saving = false;
        std::string savingTo;
        std::atomic<bool> giveUp{false};  // read by the save itself, without the lock
        platform::NoticeLimiter notices;  // this instance's notices (worker and UI threads)
        SaveObserver saveObserver = nullptr;
        void* saveContext = nullptr;
        host::Worker::Client client{&APlugin::workerRun, this};
    };
    enum class SaveResult { Saved, Failed, GivenUp };
    // Saves the recording on the calling thread; on the worker a close may give the write up,
    // and then the plug-in is gone (GivenUp).
    SaveResult saveRecording(bool onWorker);
    // The worker: saves the host asks for, and the notices the engine raises, away from the
    // thread that asked (which may be the processing thread: it must not allocate or wait).
    static void workerRun(host::Worker::Client& client, std::uint32_t bits) noexcept;
    void showNotices(WorkerState& state) noexcept;
    // The closing thread: waits for the worker, or leaves it the save after kCloseWait.
    void stopWorker();
    // Any thread: hands a notice to the worker without waiting.
    void raiseNotice(EngineNotice which) noexcept;

    // The MIDI input device's handler, on the driver's thread.
    static void deviceInputProc(void* self, std::uint32_t word) noexcept;
    static void deviceSysexProc(void* self, const std::uint8_t* data, std::size_t size) noexcept;

    // Constructed before and destroyed after every other member; it also holds the process's
    // worker for the rest of the plug-in.
    host::Devices devices_;
    std::atomic<std::uint64_t> deviceInputs_{0};

    bool ready_ = false;
    std::atomic<bool> editorClosed_{false};
    std::array<std::atomic<float>, kNumParams> values_{};
    APluginProgram program_;
    ApplyObserver applyObserver_ = nullptr;
    void* applyContext_ = nullptr;
    // The shared buses, and the send bus this instance flags as its own.
    std::unique_ptr<vstbus::TVstBus> bus_;
    host::BusFlags busFlags_;
    Ports ports_{*this};
    MidiEngine engine_{ports_};
    // The file and track names (user-interface and save threads).
    host::LogFile logFile_;
    // What the worker was handed: notices to show.
    std::atomic<int> soundNotices_{0};
    std::atomic<int> feedbackNotices_{0};

    std::atomic<std::size_t> feedbackRaised_{0};
    std::unique_ptr<WorkerState> workerState_ = std::make_unique<WorkerState>(this);
    // The one-event list handed to the host for every message.
    VstEvents hostEvents_{};
    VstMidiEvent hostMidiEvent_{};
    // Sample-accurate output (processing thread): the frames given in this block, and whether
    // processEvents began the block.
    host::FrameOrder frames_;
    bool eventsBeforeBlock_ = false;
    // The one-event list handed to the host for each SysEx.
    VstEvents hostSysexEvents_{};
    VstMidiSysexEvent hostSysexEvent_{};
};
