// The plug-in object: one per instance, owner of everything the instance uses.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "midiio/midiio.h"
#include "plugin/delayline.h"
#include "plugin/loglines.h"
#include "plugin/midiword.h"
#include "plugin/parameters.h"
#include "plugin/recorder.h"
#include "plugin/replacefilter.h"
#include "plugin/spinlock.h"
#include "plugin/wordqueue.h"
#include "vst/audioeffectx.h"
#include "vstbus/vstbus.h"

class APluginEditor;

// Identity answers given to the host.
inline constexpr const char* kEffectName = "corvella 9-30-2003";
inline constexpr const char* kVendorName = "Quobel";
inline constexpr VstInt32 kUniqueId = fourCC('C', 'R', 'V', 'L');

// The single program: the 68 values and a name. The buffer holds more than any host sends.
struct APluginProgram {
    APluginProgram() noexcept;
    std::array<std::atomic<float>, kNumParams> values{};
    char name[64]{};
};

class APlugin : public AudioEffectX {
public:
    explicit APlugin(audioMasterCallback audioMaster);
    ~APlugin() override;

    // Program.
    void setProgram(VstInt32 program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override;

    // Parameters.
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
    float getVu() override;

    // Processing.
    void resume() override;
    void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    VstInt32 processEvents(VstEvents* events) override;

    // The single entry of the message chain: log, replace, filter, then the delay line or the
    // outputs. Any thread may call it.
    void runChain(MidiWord word, VstInt32 frameOffset) noexcept;
    // A word received from the MIDI input device (the driver's thread).
    void deviceInput(MidiWord word) noexcept;
    // Sends one packed MIDI word to the host as a single-event list (processing thread only).
    void sendToHost(MidiWord word) noexcept;

    // Engine state, for tests and the editor.
    const DelayLine& delayLine() const noexcept { return delay_; }
    std::size_t hostQueueDropped() const noexcept { return hostQueue_.dropped(); }
    // Words a full send bus refused (any thread).
    std::uint64_t busDropped() const noexcept { return bus_->dropped(); }
    MidiWord lastKnobWord() const noexcept { return lastKnobWord_; }
    int receiveBus() const noexcept { return receiveBus_; }
    int sendBus() const noexcept { return sendBus_; }
    const Replacer& replacer() const noexcept { return replacer_; }
    LogLines& logLines() noexcept { return logLines_; }
    std::int64_t sampleClock() const noexcept { return sampleClock_; }

    // --- The recording (logging.cpp) ---
    // Sample frames to ticks at the conversion tempo, 192 ticks per quarter note.
    std::int32_t samplesToTicks(std::int64_t samples) const noexcept;
    // The file "save log!" writes to (empty: saving does nothing), and the track's name.
    void setLogFileName(const std::string& path);
    std::string logFileName() const;
    void setTrackName(const std::string& name);
    std::string trackName() const;
    // Saves the recording now, on the calling thread (the editor's); never call it from the
    // processing thread. False, with a notice shown, when the file could not be written.
    bool saveLogNow();
    // Read and cleared by the editor, which then shows the host's tempo or time signature.
    bool takeTempoWritten() noexcept { return tempoWritten_.exchange(false); }
    bool takeTimeSigWritten() noexcept { return timeSigWritten_.exchange(false); }
    // Recorded events, and those a full recording dropped.
    std::size_t recordedEvents() const noexcept;
    std::size_t droppedRecordings() const noexcept;
    std::int32_t lastEventTick() const noexcept { return lastEventTick_; }
    double conversionTempo() const noexcept { return conversionTempo_; }
    std::vector<RecordedEvent> recordingSnapshot() const;
    // "Stream is sound!" and "Feedback loop!" warnings raised so far (any thread).
    std::uint64_t soundStreamWarnings() const noexcept { return soundStreamsSeen_.load(); }
    std::uint64_t feedbackLoopWarnings() const noexcept { return feedbackLoopsSeen_.load(); }
    // Waits until the worker has done what it was handed: saves and notices (tests).
    void waitForWorker();

    const APluginProgram& program() const noexcept { return program_; }
    bool engineReady() const noexcept { return ready_; }
    // The stored current value (no device-state lookup).
    float value(int index) const noexcept { return values_[index].load(std::memory_order_relaxed); }

    // The shared buses (the editor's bus lists and labels).
    vstbus::TVstBus& bus() noexcept { return *bus_; }
    // Set while the editor window is closed: program changes then do not ask it to refresh.
    void setEditorClosed(bool closed) noexcept { editorClosed_.store(closed); }
    bool editorClosed() const noexcept { return editorClosed_.load(); }
    // The MIDI device ports (parameters 0, 9, 39, 40; the editor's device lists).
    TMidiIO& midiDevices() noexcept { return midiIO_; }
    // Words the MIDI input device has delivered so far.
    std::uint64_t deviceInputCount() const noexcept {
        return deviceInputs_.load(std::memory_order_relaxed);
    }

    // Tests watch the apply steps run: called with each index and value before its step.
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
    void applyParameter(int index, float value, Origin origin);

    // Apply steps (see the parameter table); each runs once the engine is ready.
    void applySelectDevice(bool output, float value);
    void applyOpenDevice(bool output, float value);
    void applyReplaceStage(float value);
    void applyClearLog(float value, Origin origin);
    void applyLogging(float value);
    void applyDelayAmount(float value);
    void applyDelayOutput(float value);
    void applyFilterType(float value);
    void applyReplaceMatch(int index);
    void applyReplaceTarget(int index, float value);
    void applyBus(bool send);
    void applySaveLog(float value, Origin origin);
    void resetOneShot(int index) noexcept;
    void applyKnob(int knob, float value);
    // Whether the MIDI input (false) or output (true) device is open.
    bool deviceOpen(bool output) const noexcept;

    // --- Message engine (engine.cpp) ---
    // The chain under the chain lock. On the processing thread outputs leave at once; on any
    // other thread host-bound words wait in hostQueue_ and the device word is handed back in
    // `deviceWord` to be sent once the lock is released. Answers the word as the chain left it.
    MidiWord chainLocked(MidiWord word, VstInt32 frameOffset, bool processing,
                         MidiWord& deviceWord) noexcept;
    MidiWord emitLocked(MidiWord word, bool processing, MidiWord& deviceWord) noexcept;
    bool onProcessingThread() const noexcept;
    void drainHostQueue() noexcept;
    void runFrames(VstInt32 sampleFrames) noexcept;
    void sampleTick() noexcept;
    MidiWord knobWord(int knob) const noexcept;

    // Stage slots: each holds its working step or a do-nothing step.
    using MessageStep = void (*)(APlugin&, MidiWord& word) noexcept;
    using LogStep = void (*)(APlugin&, MidiWord word, VstInt32 frameOffset) noexcept;
    using FrameStep = void (*)(APlugin&) noexcept;
    using OutStep = void (*)(APlugin&, MidiWord word) noexcept;
    static void noMessageStep(APlugin&, MidiWord&) noexcept {}
    static void noLogStep(APlugin&, MidiWord, VstInt32) noexcept {}
    static void noFrameStep(APlugin&) noexcept {}
    static void noOutStep(APlugin&, MidiWord) noexcept {}
    static void replaceStep(APlugin& p, MidiWord& w) noexcept;
    static void filterStep(APlugin& p, MidiWord& w) noexcept;
    static void busReadStep(APlugin& p) noexcept;
    static void delayedOutStep(APlugin& p, MidiWord w) noexcept;
    static void logStep(APlugin& p, MidiWord w, VstInt32 frameOffset) noexcept;
    static void metaLogStep(APlugin& p) noexcept;
    // The clock step without asking the host: advance the clock, then log `time` if given.
    void metaLogWith(const VstTimeInfo* time) noexcept;
    void tempoStep(double hostTempo) noexcept;
    void timeSignatureStep(VstInt32 numerator, VstInt32 denominator) noexcept;
    void clearLog() noexcept;
    void resetRecording() noexcept;
    bool writeRecording(const std::vector<RecordedEvent>& events, const std::string& path,
                        const std::string& name);
    // The worker: saves the host asks for, and the notices the engine raises, away from the
    // thread that asked (which may be the processing thread: it must not allocate or wait).
    void workerLoop();
    enum class EngineNotice { SoundStream, FeedbackLoop };
    void raiseNotice(EngineNotice which) noexcept;

    // --- Bus and device ports (ports.cpp) ---
    void busWrite(int bus, MidiWord word) noexcept;
    // Takes the receive bus's waiting words into busWords_; answers how many, or -1 when the
    // bus carries a sound stream.
    int busTake(int bus) noexcept;
    void busSetSender(int bus, bool sender) noexcept;
    void deviceSend(MidiWord word) noexcept;

    // The MIDI input device's handler, on the driver's thread.
    static void deviceInputProc(void* self, std::uint32_t word) noexcept;

    // Constructed before and destroyed after every other member.
    TMidiIO midiIO_;
    std::atomic<std::uint64_t> deviceInputs_{0};

    bool ready_ = false;
    std::atomic<bool> editorClosed_{false};
    std::array<std::atomic<float>, kNumParams> values_{};
    APluginProgram program_;
    ApplyObserver applyObserver_ = nullptr;
    void* applyContext_ = nullptr;
    // Chain state, guarded by chainLock_. params_ mirrors the current values for the chain.
    mutable RecursiveSpinLock chainLock_;
    std::array<float, kNumParams> params_{};
    Replacer replacer_;
    DelayLine delay_;
    MidiWord lastKnobWord_ = 0;
    int receiveBus_ = 0;
    int sendBus_ = 0;
    LogStep logStage_ = noLogStep;
    MessageStep replaceStage_ = noMessageStep;
    MessageStep filterStage_ = noMessageStep;
    FrameStep busReadStep_ = noFrameStep;
    FrameStep metaLogStep_ = noFrameStep;
    OutStep delayedOutStep_ = noOutStep;
    // The log: its lines on their way to the editor, and the sample clock of the recording.
    LogLines logLines_;
    std::int64_t sampleClock_ = 0;
    // The recording and its tempo tracking (chain lock).
    Recorder recorder_;
    double conversionTempo_ = 120.0;
    VstInt32 writtenNumerator_ = 0;
    VstInt32 writtenDenominator_ = 0;
    VstTimeInfo timeCopy_{};
    std::int32_t lastEventTick_ = 0;
    std::atomic<bool> tempoWritten_{false};
    std::atomic<bool> timeSigWritten_{false};
    // The file and track names (user-interface and save threads).
    mutable std::mutex namesMutex_;
    std::string logFileName_;
    std::atomic<bool> hasLogFileName_{false};  // read where the name may not be copied
    std::string trackName_ = "Corvella";
    // The worker thread and what it was handed.
    std::mutex workerMutex_;
    std::condition_variable workerWake_;
    std::atomic<bool> saveRequested_{false};
    std::atomic<int> soundNotices_{0};
    std::atomic<int> feedbackNotices_{0};
    std::atomic<std::uint64_t> soundStreamsSeen_{0};  // never reset, unlike the two above
    std::atomic<std::uint64_t> feedbackLoopsSeen_{0};
    std::atomic<bool> workerBusy_{false};
    bool stopWorker_ = false;
    std::thread worker_;
    // The shared buses, and room for one frame's worth of words taken from the receive bus.
    std::unique_ptr<vstbus::TVstBus> bus_;
    std::unique_ptr<MidiWord[]> busWords_;
    // Host-bound words produced away from the processing thread, sent at its next call.
    WordQueue<4096> hostQueue_;
    std::atomic<std::thread::id> processingThread_{};
    VstEvents hostEvents_{};
    VstMidiEvent hostMidiEvent_{};
    float vu_ = 0.0f;
};
