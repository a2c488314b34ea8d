// The message engine: the chain every message runs through (log, replace, filter, then the
// delay line or the outputs), the knobs, the delay line, the log and its recording, and the
// sample clock. It reaches the outside only through EnginePorts, and knows no front end.
//
// MidiEngine only composes its parts, each with one job:
// - ChangeIntake: what every thread hands the processing thread (parameter changes, the MIDI
//   input device's words and SysEx, the knobs' messages), taken in order at a call's start;
// - SettingsDecoder: the changed parameters decoded into EngineSettings;
// - Router: replace, filter, note routes and the outputs, per message;
// - DelayStage: the delay line and the bytes of delayed SysEx;
// - Journal: log lines, recording, the sample clock and its ticks.
//
// Threads. The processing thread owns the working state: it runs every message and calls every
// port. Every thread, the processing thread included, hands it parameter changes and input
// through ChangeIntake, without a lock; the recording is shared with readers through a lock the
// processing thread only ever tries.
//
// Memory. The queue of the MIDI input device's words, the log's ring and recording, the delay
// line's ring with its notes' times and the receive bus's buffer exist only while their feature
// is on (and, but for the bus's, until what they hold has gone). A switch-on asks the front end
// (EnginePorts::storageWanted) to have prepareStorage make the memory on a thread that may
// allocate; the processing thread takes it at the start of a call and hands it back the same way
// when the feature is off and drained (Handover). Until it comes, small buffers every engine holds
// keep what they can; what they cannot is counted (and, for log lines, shown in the log once it
// comes). The knobs' queue is made the same way the first time a knob moves, and kept.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/changeintake.h"
#include "engine/delaystage.h"
#include "engine/handover.h"
#include "engine/journal.h"
#include "engine/midiword.h"
#include "engine/parameters.h"
#include "engine/ports.h"
#include "engine/router.h"
#include "engine/settingsdecoder.h"
#include "engine/threadtoken.h"

// A word from a receive bus, which any participant can write: the message when the word is one
// short MIDI message (a status byte that starts one, data bytes below 0x80 for each byte the
// message has, bits 24..31 clear), with the bytes the message lacks cleared; 0 for anything
// else, which the engine drops and counts.
MidiWord busMessage(std::uint32_t word) noexcept;

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

class MidiEngine final : private IntakeSink {
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
        journal_.setSampleRate(rate);
        intake_.markPending();
    }

    LogLines& logLines() noexcept { return journal_.lines(); }
    std::vector<RecordedEvent> recordingSnapshot() const { return journal_.recordingSnapshot(); }
    // The events and their SysEx bytes, as saving needs them (any thread but the processing
    // thread).
    RecordingSnapshot recording() const { return journal_.recording(); }
    std::size_t recordedEvents() const noexcept { return journal_.recordedEvents(); }
    std::size_t droppedRecordings() const noexcept { return journal_.droppedRecordings(); }
    // Read and cleared by the editor, which then shows the host's tempo or time signature.
    bool takeTempoWritten() noexcept { return journal_.takeTempoWritten(); }
    bool takeTimeSigWritten() noexcept { return journal_.takeTimeSigWritten(); }
    double conversionTempo() const noexcept { return journal_.conversionTempo(); }
    EngineCounters counters() const noexcept;

    // Sample-accurate output, set by the front end before the first processing call: a
    // delayed word leaves `delay` frames after its own input frame (not delay + 1 frames after
    // the start of the block that follows), so the ports can place every word at its frame.
    void setSampleAccurate(bool on) noexcept { delay_.setExact(on); }
    bool sampleAccurate() const noexcept { return delay_.exact(); }

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
        if (quiet_ && frames > 0 && !intake_.pending()) [[likely]] {
            if (router_.settings().logOn) {
                logBlock(frames);
                return;
            }
            delay_.skipQuiet(frames);  // quiet: the line is empty
            return;
        }
        runBlock(frames);
    }

    // Working state, for tests on the processing thread.
    const EngineSettings& settings() const noexcept { return router_.settings(); }
    // Null while the delay line's ring is not there.
    const DelayLine* delayLine() noexcept { return delay_.line(); }
    // The delay line's frame count (DelayLine::time), with or without its ring.
    std::int64_t delayTime() noexcept { return delay_.time(); }
    MidiWord lastKnobWord() const noexcept { return lastKnobWord_; }
    std::int64_t sampleClock() const noexcept { return journal_.sampleClock(); }
    std::int32_t lastEventTick() const noexcept { return journal_.lastEventTick(); }
    std::int32_t ticksAt(std::int64_t clock) const noexcept { return journal_.ticksAt(clock); }

private:
    struct BusStore;
    static constexpr std::size_t kSmallBus = 64;
    static constexpr std::size_t kSysexQueue = 1u << 20;

    void noteProcessingThread() noexcept {
        processingThread_.store(currentThreadToken(), std::memory_order_relaxed);
    }
    void runBlock(int frames) noexcept;
    // A quiet block while logging: the clock step, and the events it made join the recording.
    void logBlock(int frames) noexcept;
    // What the intake hands over at the start of a call (IntakeSink).
    void decode(int index, float value) noexcept override { decoder_.apply(index, value); }
    void decodeMatchState(std::uint32_t state) noexcept override {
        decoder_.applyMatchState(state);
    }
    void settle() noexcept override;
    void word(MidiWord word) noexcept override { chain(word, 0); }
    void sysex(const std::uint8_t* data, std::size_t size) noexcept override {
        sysexChain(data, size, 0);
    }
    // A knob's word runs the chain unless it equals the word the last knob left.
    void knob(MidiWord word, bool afterMissed) noexcept override;
    // Every message: logged as it enters, then routed.
    MidiWord chain(MidiWord word, int frame) noexcept {
        if (router_.settings().logOn) journal_.logMessage(word & kWordBits, frame);
        return router_.chain(word, frame);
    }
    void sysexChain(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    // A SysEx marker leaving the delay line: sent at `frame` when `send`, released either way.
    void sysexLeaves(MidiWord marker, int frame, bool send) noexcept;
    // The processing thread and the device's input thread both count here.
    void countSysexDrop() noexcept { sysexDrops_.fetch_add(1, std::memory_order_relaxed); }
    // The receive bus at the block's start.
    void readBus() noexcept;

    EnginePorts& ports_;
    std::atomic<std::uintptr_t> processingThread_{0};
    bool ownPending_ = false;  // work the processing thread left for its next call
    // Set at the end of a call that leaves nothing for a block to do but move the delay line
    // on (and the clock step while logging): no own work pending, no bus to read, no delayed
    // output, nothing staged, an empty delay line. Cleared at the start of every call.
    bool quiet_ = false;
    bool sysexOn_ = false;
    MidiWord lastKnobWord_ = 0;
    SettingsDecoder decoder_;  // before intake_, which starts from its match state
    ChangeIntake intake_;
    DelayStage delay_;
    Router router_;
    Journal journal_;
    Handover<BusStore> bus_;
    std::mutex prepareMutex_;
    std::atomic<std::size_t> soundNotices_{0};
    std::atomic<std::size_t> sysexDrops_{0};
    std::atomic<std::size_t> busMalformed_{0};
    std::array<MidiWord, kSmallBus> smallBus_{};  // until the bus buffer comes
};
