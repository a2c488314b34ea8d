// The message engine: the chain every message runs through (log, replace, filter, then the
// delay line or the outputs), the knobs, the delay line, the log and its recording, and the
// sample clock. It reaches the outside only through EnginePorts, and knows no front end.
//
// Threads. The processing thread owns the engine's working state: it runs every message and
// calls every port. Every thread, the processing thread included, hands it parameter changes
// the same way, without a lock: the newest value of each parameter, the number of its last
// change (one count for all changes), and a mark that it changed. At the start of each
// processing call the processing thread decodes every marked parameter from its newest value,
// so the value set last is the value that applies and no number of changes overflows
// anything. Words from the MIDI input device and knob messages wait in bounded queues (the
// newest change of each knob also kept aside, so the last one always runs), each with the
// change count of its time: it runs after the changes numbered before it and before the later
// ones. (A parameter changed both before and after a queued word within one call shows the
// word its value from the call before.) The recording is shared with readers through a lock
// the processing thread only ever tries.
//
// Memory. The log's ring and recording, the delay line's ring and the receive bus's buffer
// exist only while their feature is on (and, for the log and the delay, until what they hold
// has gone). A switch-on asks the front end (EnginePorts::storageWanted) to have
// prepareStorage make the memory on a thread that may allocate; the processing thread takes it
// at the start of a call and hands it back the same way when the feature is off and drained.
// Until it comes, small buffers every engine holds keep what they can; what they cannot is
// counted (and, for log lines, shown in the log once it comes).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "engine/delayedsysex.h"
#include "engine/delayline.h"
#include "engine/loglines.h"
#include "engine/logtext.h"
#include "engine/midiword.h"
#include "engine/parameters.h"
#include "engine/ports.h"
#include "engine/recorder.h"
#include "engine/replacefilter.h"
#include "engine/sysex.h"
#include "engine/threadtoken.h"
#include "engine/ticks.h"
#include "engine/wordqueue.h"

// Every parameter the per-message path reads, decoded into plain values.
struct EngineSettings {
    Filter filter;
    Replacer replacer;
    bool replaceOn = false;
    bool sendToHost = true;
    bool putToBus = false;
    bool getFromBus = false;
    bool deviceOut = false;
    int sendBus = 0;
    int receiveBus = 0;
    bool logOn = false;
    bool logMeta = true;
    bool clearHeld = false;
    unsigned logEpoch = 0;  // counts switch-ons of "log?": each restarts the sample clock
    int delayFrames = 0;
    bool delayOut = false;
    // Counts changes of what decides a note's way (replace, filter, delay): a note-off whose
    // note-on left under another count follows that note-on (see MidiEngine::chain).
    unsigned routeGeneration = 0;
    // Bit n: the filter removes note-offs of channel n + 1 (the filter decides on a note-off by
    // its status alone).
    std::uint16_t noteOffsBlocked = 0;
};

// A word from a receive bus, which any participant can write: the message when the word is one
// short MIDI message (a status byte that starts one, data bytes below 0x80 for each byte the
// message has, bits 24..31 clear), with the bytes the message lacks cleared; 0 for anything
// else, which the engine drops and counts.
MidiWord busMessage(std::uint32_t word) noexcept;

// Turns parameter values into settings (the engine's is the processing thread's).
class SettingsDecoder {
public:
    SettingsDecoder() noexcept;
    // Stores and decodes one value; values decoded one after another in the order they were
    // set give the settings that order means.
    void apply(int index, float value) noexcept;
    // Parameters 31 and 32 at once from their match state (Replacer::foldMatch).
    void applyMatchState(std::uint32_t state) noexcept;
    const EngineSettings& settings() const noexcept { return settings_; }

private:
    std::array<float, kNumParams> values_{};
    EngineSettings settings_;
};

// What was dropped or raised so far.
struct EngineCounters {
    std::size_t delayDrops = 0;  // words a full delay line refused
    // Words from other threads that found the queue full, and knob changes whose messages
    // never ran (a full queue, or passed over for a newer change of the knob).
    std::size_t inputQueueDrops = 0;
    std::size_t recordingDrops = 0;  // events a full recording refused
    std::size_t soundStreamNotices = 0;
    std::size_t sysexDrops = 0;    // SysEx refused: not whole, too long, a full queue or delay
    std::size_t busMalformed = 0;  // words from the receive bus that were no short message
};

class MidiEngine {
public:
    explicit MidiEngine(EnginePorts& ports);
    ~MidiEngine();
    MidiEngine(const MidiEngine&) = delete;
    MidiEngine& operator=(const MidiEngine&) = delete;

    // Lets SysEx through: sizes its queue, stage, delay store and recording store. Called once, on
    // the constructing thread, before any processing call; without it every SysEx is dropped.
    void enableSysex();
    bool sysexEnabled() const noexcept { return sysexOn_; }

    // --- Any thread ---

    // Makes the memory switched-on features want and releases what the processing thread
    // handed back (any thread but the processing thread: it allocates and may wait for readers
    // of the log; calls from several threads run one after another).
    void prepareStorage();
    // Whether the calling thread ran the last processing call (any thread).
    bool onProcessingThread() const noexcept {
        return processingThread_.load(std::memory_order_relaxed) == currentThreadToken();
    }

    // A parameter's new value (already clamped to 0..1), from any thread, the processing thread
    // included; lock-free and allocation-free. It applies from the start of the next processing
    // call; a knob's value also queues the knob's message for that call.
    void setParameter(int index, float value) noexcept;
    // A word from the MIDI input device (any thread but the processing thread); it runs the
    // chain at the start of the next processing call.
    void deviceInput(MidiWord word) noexcept;
    // A whole SysEx from the MIDI input device (any thread but the processing thread), copied:
    // it runs in order with the device's words at the start of the next processing call. A
    // message that is not whole or finds the queue full is dropped and counted.
    void deviceSysexInput(const std::uint8_t* data, std::size_t size) noexcept;
    // Empties the recording and restarts the clock, and the log lines go (any thread). On the
    // processing thread, while a reader holds the recording, the recording empties at the
    // start of the next call that finds it free.
    void clearLog() noexcept;
    void setSampleRate(float rate) noexcept {
        sampleRate_.store(rate, std::memory_order_relaxed);
        pending_.store(true, std::memory_order_release);
    }

    LogLines& logLines() noexcept { return logLines_; }
    std::vector<RecordedEvent> recordingSnapshot() const;
    // The events and their SysEx bytes, as saving needs them (any thread but the processing
    // thread).
    RecordingSnapshot recording() const;
    std::size_t recordedEvents() const noexcept;
    std::size_t droppedRecordings() const noexcept;
    // Read and cleared by the editor, which then shows the host's tempo or time signature.
    bool takeTempoWritten() noexcept { return tempoWritten_.exchange(false); }
    bool takeTimeSigWritten() noexcept { return timeSigWritten_.exchange(false); }
    double conversionTempo() const noexcept {
        return conversionTempo_.load(std::memory_order_relaxed);
    }
    EngineCounters counters() const noexcept;

    // Sample-accurate output, set by the front end before the first processing call: a
    // delayed word leaves `delay` frames after its own input frame (not delay + 1 frames after
    // the start of the block that follows), so the ports can place every word at its frame.
    void setSampleAccurate(bool on) noexcept { exactDelay_ = on; }
    bool sampleAccurate() const noexcept { return exactDelay_; }

    // --- Processing thread ---

    // A processing call that brings host events: beginCall, hostInput for each, endCall.
    void beginCall() noexcept;
    void hostInput(MidiWord word, int frame) noexcept { chain(word & kWordBits, frame); }
    // A SysEx from the host: logged and recorded, then to the host and the device unchanged
    // (replace and filter do not apply). With the delay on it takes the delay line as a word
    // does and leaves in its place among the delayed words. Dropped and counted when not whole,
    // when SysEx is not enabled, or when the delay store or line has no room for it.
    void hostSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    void endCall() noexcept;
    // A processing call of `frames` sample frames (a whole call: begins and ends it). Inline:
    // a block with nothing to do (see quiet_) only moves the delay line on.
    void processBlock(int frames) noexcept {
        noteProcessingThread();
        if (quiet_ && frames > 0 && !pending_.load(std::memory_order_relaxed)) [[likely]] {
            if (s_.logOn) {
                logBlock(frames);
                return;
            }
            idleFrames_ += frames;  // quiet: the line is empty
            return;
        }
        runBlock(frames);
    }

    // Working state, for tests on the processing thread.
    const EngineSettings& settings() const noexcept { return s_; }
    // Null while the delay line's ring is not there.
    const DelayLine* delayLine() noexcept {
        settleIdleFrames();
        return delay_;
    }
    // The delay line's frame count (DelayLine::time), with or without its ring.
    std::int64_t delayTime() noexcept {
        settleIdleFrames();
        return delay_ ? delay_->time() : delayTime_;
    }
    MidiWord lastKnobWord() const noexcept { return lastKnobWord_; }
    std::int64_t sampleClock() const noexcept { return clock_; }
    std::int32_t lastEventTick() const noexcept { return lastEventTick_; }
    std::int32_t ticksAt(std::int64_t clock) const noexcept;

private:
    // Bit 31 marks a word taken from the receive bus.
    // Bit 27 marks the place of a device's SysEx among the queued words; its bytes wait in
    // sysexIn_. In the delay line it marks a SysEx whose bytes wait in delayedSysex_, the low
    // bits holding its handle (no short word carries the bit there, and none is 0 with it).
    static constexpr MidiWord kSysexFlag = 1u << 27;
    static constexpr MidiWord kFromBusFlag = 1u << 31;
    static constexpr MidiWord kWordBits = 0xFFFFFFu;

    void noteProcessingThread() noexcept {
        processingThread_.store(currentThreadToken(), std::memory_order_relaxed);
    }
    void runBlock(int frames) noexcept;
    // Moves the delay line on by the frames of the quiet blocks since the last other call.
    void settleIdleFrames() noexcept {
        if (idleFrames_ == 0) return;
        if (delay_)
            delay_->skip(idleFrames_);
        else
            delayTime_ += idleFrames_;
        idleFrames_ = 0;
    }
    // The delay line's frames on, the words leaving passed to `out`.
    template <class Out>
    void advanceDelay(long frames, Out&& out) noexcept {
        if (delay_) [[likely]] {
            delay_->advance(frames, out);
            return;
        }
        delayWait_.advance(delayTime_, frames, out);
        delayTime_ += frames;
    }
    // Into the delay line `distance` frames on (DelayLine::insertAt), or into the small wait
    // while the line is not there; -1 when dropped.
    std::int64_t delayAt(MidiWord word, int distance) noexcept;
    // Takes the memory prepareStorage made, and hands back what features switched off no
    // longer need (processing thread).
    void takeStorage() noexcept;
    void handBackStorage() noexcept;
    // A quiet block while logging: the clock step, and the events it made join the recording.
    void logBlock(int frames) noexcept;
    // A new tempo or time signature found by a quiet block (logBlock) whose clock has already
    // moved past its first frame, where the events belong.
    [[gnu::cold, gnu::noinline]] void quietMetaStep(const HostMeter& m, int frames) noexcept;
    // The parameters marked since the last call, in the order of their last changes.
    void takeChanges() noexcept;
    // Decodes the taken changes numbered before `number`, or all of them.
    void decodeChangesBefore(std::uint32_t number, bool all = false) noexcept;
    void applySettings(const EngineSettings& settings) noexcept;
    // Knob `knob`'s message for its new value, change number `number` (any thread).
    void queueKnob(int knob, float value, std::uint32_t number) noexcept;
    // Runs the device's words and the knobs' messages in the order of their numbers, each
    // after the changes numbered before it; then the rest of the changes.
    void takeQueued() noexcept;
    struct QueuedWord;
    void runWord(const QueuedWord& w) noexcept;
    struct KnobChange;
    // Runs a knob's change unless a later one of that knob already ran; false when passed over.
    bool runKnobChange(std::size_t knob, std::uint32_t count, MidiWord word) noexcept;
    void runKnob(MidiWord word) noexcept;
    // The chain and the outputs run once per message: inline, so a front end's loop over its
    // events calls only the ports.
    MidiWord chain(MidiWord word, int frame) noexcept;
    // Replace, filter, then the delay line or the outputs.
    MidiWord route(MidiWord word, MidiWord flags, int frame) noexcept;
    void emit(MidiWord word, int frame) noexcept;
    // Into the delay line; `due` (if given) gets the time the word leaves it (DelayLine::time)
    // once it is placed, or -1 when the full line drops it.
    [[gnu::always_inline]] void delayInsert(MidiWord word, int frame,
                                            std::int64_t* due = nullptr) noexcept;
    int delayDistance(int frame) const noexcept;

    // How a sounding note's note-on left: the routing generation then, and the word after
    // replace and filter (0 when removed) with the bits below.
    struct NoteRoute {
        unsigned generation;
        MidiWord out;
    };
    static constexpr MidiWord kSounding = 1u << 24;    // a note-on ran and no note-off yet
    static constexpr MidiWord kDelayed = 1u << 25;     // it went into the delay line
    static constexpr MidiWord kOffBlocked = 1u << 26;  // the filter then removed its note-off
    static std::size_t noteIndex(MidiWord w) noexcept {
        return (w & 0x0Fu) << 7 | (w >> 8 & 0x7Fu);
    }
    void noteLeft(NoteRoute& note, MidiWord word) noexcept;
    MidiWord followNoteOn(MidiWord word, MidiWord flags, int frame, std::size_t note) noexcept;
    void sysexChain(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    void delaySysex(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    // To the host and the device, as their switches say.
    void sendSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    // A SysEx marker leaving the delay line: sent at `frame` when `send`, released either way.
    void sysexLeaves(MidiWord marker, int frame, bool send) noexcept;
    void logSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    void countSysexDrop() noexcept {
        sysexDrops_.store(sysexDrops_.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
    }
    void readBus() noexcept;
    // The clock step at the start of a block (or of logging): one frame on, then the host's
    // tempo and time signature.
    void clockStep() noexcept;
    // The host's time, asked once per processing call (a quiet block asks hostMeter instead).
    const HostTime* time() noexcept;
    // A new tempo or time signature from the host: their events join the recording.
    [[gnu::cold, gnu::noinline]] void metaStep(double tempo, int numerator,
                                               int denominator) noexcept;
    // The tempo and time signature the host reports for this call, taken before its first
    // message is converted to ticks: a host hands over a block's events before the block, and
    // they belong to it. Their events sit where the block's clock step would put them.
    [[gnu::cold, gnu::noinline]] void metaBeforeMessage() noexcept;
    void restartLogging() noexcept;
    void resetClock() noexcept;
    void logMessage(MidiWord word, int frame) noexcept;
    // The fields every line of this call shares: the rate and the host's time.
    void callLineInfo(LogLineInfo& info) noexcept;
    void tempoStep(double tempo) noexcept;
    void timeSignatureStep(int numerator, int denominator) noexcept;
    void record(const RecordedEvent& e) noexcept;
    void flushLines() noexcept;
    // The next free place in the stage, or null when the event is dropped (counted).
    RecordedEvent* stageEvent() noexcept;
    void flushRecording() noexcept;
    void clearRecording() noexcept;

    EnginePorts& ports_;
    const EnginePorts::HostOutputEntry hostOutput_;
    std::atomic<std::uintptr_t> processingThread_{0};
    // Set by every thread that hands the processing thread something: a call with nothing
    // pending costs one load.
    std::atomic<bool> pending_{true};
    bool ownPending_ = false;  // work the processing thread left for its next call
    // Set at the end of a call that leaves nothing for a block to do but move the delay line
    // on (and the clock step while logging): no own work pending, no bus to read, no delayed
    // output, nothing staged, an empty delay line. Cleared at the start of every call.
    bool quiet_ = false;
    std::atomic<bool> clearWanted_{false};  // a clear asked for on the processing thread

    // The device's words, each with the change count when it came (producer side under
    // producerMutex_).
    struct QueuedWord {
        MidiWord word;
        std::uint32_t number;
    };
    std::mutex producerMutex_;
    WordQueue<4096, QueuedWord> words_;
    // Parameter changes from every thread: the count of changes so far, the newest value of
    // each parameter and the number of its last change, and bit n of changed_ set when
    // parameter n was set since the processing thread last looked. Parameters 31 and 32 are
    // also folded into matchState_ in the order they are set.
    std::atomic<std::uint32_t> changeCount_{0};
    std::array<std::atomic<float>, kNumParams> values_{};
    std::array<std::atomic<std::uint32_t>, kNumParams> changedAt_{};
    std::array<std::atomic<std::uint32_t>, (kNumParams + 31) / 32> changed_{};
    std::atomic<std::uint32_t> matchState_{0};
    // Knob messages. Each change of a knob also takes the next number of that knob's own count;
    // the queue holds both numbers and the word (with the knob in bits 24..26), and knobNewest_
    // the newest change of each knob (its count << 32 | word), so a message the full queue
    // refused still runs when it is the knob's last.
    struct KnobChange {
        std::uint32_t number;
        std::uint32_t count;
        MidiWord word;
    };
    static constexpr int kKnobs = 6;
    SharedQueue<1024, KnobChange> knobs_;
    std::array<std::atomic<std::uint32_t>, kKnobs> knobCount_{};
    std::array<std::atomic<std::uint64_t>, kKnobs> knobNewest_{};
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

    // Processing side.
    SettingsDecoder decoder_;
    // The changes taken at the start of this call, by number; those before markedNext_ are
    // decoded.
    struct Marked {
        std::uint32_t number;
        int index;
    };
    std::array<Marked, kNumParams> marked_{};
    std::size_t markedCount_ = 0;
    std::size_t markedNext_ = 0;
    // The count of each knob's last change whose message ran (or was passed over for a later
    // one), and the changes whose messages were passed over or ran from knobNewest_ (counters).
    std::array<std::uint32_t, kKnobs> knobRan_{};
    std::atomic<std::size_t> knobsPassed_{0};
    std::atomic<std::size_t> knobsFromNewest_{0};
    EngineSettings s_;
    bool exactDelay_ = false;
    unsigned logEpoch_ = 0;
    // Memory handed between prepareStorage and the processing thread: made and waiting to be
    // taken, handed back to be released, and whether the processing thread holds one.
    template <class T>
    struct Handover {
        std::atomic<T*> made{nullptr};
        std::atomic<T*> spent{nullptr};
        std::atomic<bool> held{false};
    };
    struct LogStore;
    struct BusStore;
    Handover<LogStore> logHandover_;
    Handover<DelayLine> delayHandover_;
    Handover<BusStore> busHandover_;
    std::mutex prepareMutex_;
    LogStore* log_ = nullptr;
    DelayLine* delay_ = nullptr;
    std::int64_t delayTime_ = 0;  // the delay line's frame count while it is not there
    // Words dropped by delay lines handed back and by the wait, and the total shown.
    std::size_t delayDropsBefore_ = 0;
    std::atomic<std::size_t> delayDrops_{0};
    // Frames of quiet blocks not yet counted by the (empty) delay line: a quiet block only adds
    // here, and the next other call moves the line on (settleIdleFrames).
    long idleFrames_ = 0;
    BusStore* bus_ = nullptr;
    MidiWord lastKnobWord_ = 0;
    bool timeAsked_ = false;
    bool timeValid_ = false;
    bool metaChecked_ = false;  // this call compared the host's tempo and time signature
    HostTime time_{};
    std::int64_t clock_ = 0;
    std::int64_t baseClock_ = 0;  // the clock and the tick at the last tempo change
    std::uint32_t baseTick_ = 0;
    TickRate rate_;
    float rateSeen_ = 0.0f;
    int writtenNumerator_ = 0;
    int writtenDenominator_ = 0;
    std::int32_t lastEventTick_ = 0;
    unsigned clearSeen_ = 0;
    // Events of the current call on their way into the recording.
    static constexpr std::size_t kStaged = 8192;
    static constexpr std::size_t kSmallStaged = 64;  // while the log's memory is not there
    RecordedEvent* staged_ = nullptr;                // smallStaged_ or the log's
    std::size_t stagedCapacity_ = kSmallStaged;
    std::size_t stagedCount_ = 0;
    std::atomic<std::size_t> stageDrops_{0};
    // Log lines of the current call on their way into logLines_, and the clear epoch when the
    // first of them was staged.
    struct StagedLine {
        std::uint64_t message;  // a message's line: LogLines::kMessageLine | its word, no text
        std::size_t length;
        char text[kMaxLogLine];
        std::int64_t clock;  // the sample clock at the message
        int frame;           // its frame in the call, for the host's position
        std::uint8_t status;
    };
    static_assert(kMaxLogLine % 8 == 0, "staged texts are read in whole words");
    static constexpr std::size_t kStagedLines = 64;
    static constexpr std::size_t kSmallStagedLines = 24;  // while the log's memory is not there
    // The place for a log line of this call, or null while "clear log" is held.
    StagedLine* stageLine(int frame, std::uint8_t status) noexcept;
    StagedLine* stagedLines_ = nullptr;  // smallStagedLines_ or the log's
    std::size_t stagedLinesCapacity_ = kSmallStagedLines;
    std::size_t stagedLineCount_ = 0;
    std::size_t linesLost_ = 0;  // lines of a full stage while the log's ring was not there
    unsigned lineEpoch_ = 0;
    std::atomic<std::size_t> soundNotices_{0};
    // By input channel and note; the time a delayed note-on leaves the delay line apart.
    std::array<NoteRoute, 16 * 128> notes_{};
    std::array<std::int64_t, 16 * 128> noteDue_{};
    // SysEx (only when enabled): the device's messages on their way in, the place the
    // processing thread copies one to, and the bytes of the call's staged SysEx events.
    static constexpr std::size_t kSysexQueue = 1u << 20;
    static constexpr std::size_t kStagedSysex = 2 * kMaxSysex;
    static constexpr std::size_t kSysexStore = 8u << 20;
    static constexpr std::size_t kDelayedSysexBytes = 1u << 20;
    static constexpr std::size_t kDelayedSysexEntries = 4096;
    bool sysexOn_ = false;
    std::unique_ptr<platform::MessageRing> sysexIn_;  // producerMutex_ on the producer side
    std::unique_ptr<std::uint8_t[]> sysexScratch_;
    std::unique_ptr<std::uint8_t[]> stagedSysex_;
    std::size_t stagedSysexUsed_ = 0;
    std::unique_ptr<DelayedSysex> delayedSysex_;
    std::atomic<std::size_t> sysexDrops_{0};
    std::atomic<std::size_t> busMalformed_{0};

    // Shared with readers.
    std::atomic<float> sampleRate_{44100.0f};
    std::atomic<double> conversionTempo_{120.0};
    std::atomic<bool> tempoWritten_{false};
    std::atomic<bool> timeSigWritten_{false};
    LogLines logLines_{false};
    mutable std::mutex journalMutex_;
    Recorder recorder_{false};             // journalMutex_
    std::atomic<unsigned> clearEpoch_{0};  // changed under journalMutex_

    // The small buffers that keep messages until a feature's memory comes (kept apart from
    // the state every message touches).
    std::array<RecordedEvent, kSmallStaged> smallStaged_{};
    std::array<StagedLine, kSmallStagedLines> smallStagedLines_;
    DelayWait delayWait_;  // while the delay line is not there
    static constexpr std::size_t kSmallBus = 64;
    std::array<MidiWord, kSmallBus> smallBus_{};
};

inline MidiWord MidiEngine::chain(MidiWord word, int frame) noexcept {
    const MidiWord flags = word & ~kWordBits;
    word &= kWordBits;
    if (s_.logOn) logMessage(word, frame);
    // A note-on (status 0x90..0x9F, velocity above 0) notes how it leaves. A note-off (or a
    // note-on at velocity 0) whose note-on left under the same routing settings runs as any
    // other message; after a change it follows its note-on instead (followNoteOn).
    NoteRoute* note = nullptr;
    if ((word & 0xE0) == 0x80) {
        note = &notes_[noteIndex(word)];
        if ((word & 0x10) == 0 || word < 0x10000) {
            if (note->generation != s_.routeGeneration && (note->out & kSounding)) [[unlikely]]
                return followNoteOn(word, flags, frame, noteIndex(word));
            note->out = 0;
            note = nullptr;
        }
    }
    if (s_.replaceOn) s_.replacer.replace(word);
    s_.filter.apply(word);
    if (word == 0) {
        if (note) *note = {s_.routeGeneration, kSounding};
        return 0;
    }
    if (s_.delayOut) {
        if (note) {
            delayInsert(word | flags, frame,
                        &noteDue_[static_cast<std::size_t>(note - notes_.data())]);
            noteLeft(*note, word);
        } else {
            delayInsert(word | flags, frame);
        }
        return word;
    }
    if (note) noteLeft(*note, word);
    emit(word | flags, frame);
    return word;
}

// A note-on left as `word`, into the delay line when that is on.
inline void MidiEngine::noteLeft(NoteRoute& note, MidiWord word) noexcept {
    MidiWord state = word | kSounding;
    if (s_.noteOffsBlocked >> (word & 0x0F) & 1) state |= kOffBlocked;
    if (s_.delayOut) state |= kDelayed;
    note = {s_.routeGeneration, state};
}

inline MidiWord MidiEngine::route(MidiWord word, MidiWord flags, int frame) noexcept {
    if (s_.replaceOn) s_.replacer.replace(word);
    s_.filter.apply(word);
    if (word == 0) return 0;
    if (s_.delayOut) {
        delayInsert(word | flags, frame);
    } else {
        emit(word | flags, frame);
    }
    return word;
}

inline void MidiEngine::delayInsert(MidiWord word, int frame, std::int64_t* due) noexcept {
    if (!delay_) [[unlikely]] {
        const std::int64_t at = delayAt(word, delayDistance(frame));
        if (due) *due = at;
    } else if (exactDelay_) {
        const std::int64_t at = delay_->insertAt(word, delayDistance(frame));
        if (due) *due = at;
    } else {
        delay_->insert(word, due);
    }
}

// Today's delay counts delay + 1 frames from the block's start; the sample-accurate one counts
// delay frames from the word's own frame, kept within the ring.
inline int MidiEngine::delayDistance(int frame) const noexcept {
    if (!exactDelay_) return s_.delayFrames + 1;
    const long d = static_cast<long>(frame < 0 ? 0 : frame) + s_.delayFrames;
    return d < DelayLine::kSlots ? static_cast<int>(d) : DelayLine::kSlots - 1;
}

// Host, send bus, device, in that order. A word this instance took from its receive bus does
// not go back onto that same bus: a loop through one bus comes back once, not forever.
inline void MidiEngine::emit(MidiWord word, int frame) noexcept {
    const MidiWord w = word & kWordBits;
    if (s_.sendToHost) hostOutput_(ports_, w, frame);
    if (s_.putToBus && !((word & kFromBusFlag) && s_.sendBus == s_.receiveBus))
        ports_.busWrite(s_.sendBus, w);
    if (s_.deviceOut) ports_.deviceOutput(w);
}

inline const HostTime* MidiEngine::time() noexcept {
    if (!timeAsked_) {
        timeAsked_ = true;
        timeValid_ = ports_.hostTime(time_);
    }
    return timeValid_ ? &time_ : nullptr;
}

// Inline: most blocks find the tempo and time signature as they were, one host call and three
// compares.
inline void MidiEngine::clockStep() noexcept {
    ++clock_;
    if (!s_.logMeta) return;
    metaChecked_ = true;
    const HostTime* t = time();
    if (!t) return;  // no record: nothing to log
    if (t->tempo != rate_.tempo() || t->numerator != writtenNumerator_ ||
        t->denominator != writtenDenominator_) [[unlikely]]
        metaStep(t->tempo, t->numerator, t->denominator);
}
