// The log: a line and a recorded event for each message as it enters the chain, the sample
// clock and its MIDI ticks, and the host's tempo and time-signature changes as recorded events.
// A call's lines and events are staged and join the log's ring and the recording at its end;
// the recording is shared with readers through a lock the processing thread only ever tries.
// The ring, the recording's journal and the full-size stages exist only while logging is on and
// until what they hold has gone (made on demand, see Handover); until they come, small stages
// keep what they can and the rest is counted (lost lines are shown in the log once it comes).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/handover.h"
#include "engine/loglines.h"
#include "engine/logtext.h"
#include "engine/ports.h"
#include "engine/recorder.h"
#include "engine/settingsdecoder.h"
#include "engine/sysex.h"
#include "engine/ticks.h"

class Journal {
public:
    explicit Journal(EnginePorts& ports);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    // Lets SysEx be recorded; on the constructing thread, before any processing call.
    void enableSysex();

    // The thread that prepares storage: makes the log's memory when `wanted`, and releases
    // memory handed back once no reader copies lines from it (may wait).
    bool prepare(bool wanted);

    // --- Any thread ---

    void setSampleRate(float rate) noexcept { sampleRate_.store(rate, std::memory_order_relaxed); }
    // Empties the recording and restarts the clock, and the log lines go. On the processing
    // thread (`processing`) it never waits: while a reader holds the recording, the recording
    // empties at the start of the next call that finds it free.
    void clear(bool processing) noexcept;
    LogLines& lines() noexcept { return lines_; }
    std::vector<RecordedEvent> recordingSnapshot() const;
    // Any thread but the processing thread.
    RecordingSnapshot recording() const;
    std::size_t recordedEvents() const noexcept;
    std::size_t droppedRecordings() const noexcept;
    bool takeTempoWritten() noexcept { return tempoWritten_.exchange(false); }
    bool takeTimeSigWritten() noexcept { return timeSigWritten_.exchange(false); }
    double conversionTempo() const noexcept {
        return conversionTempo_.load(std::memory_order_relaxed);
    }

    // --- Processing thread ---

    // The switches the log follows; logging switched on since (a new logEpoch) restarts the
    // clock and steps it once at once.
    void apply(const EngineSettings& s) noexcept {
        logOn_ = s.logOn;
        logMeta_ = s.logMeta;
        clearHeld_ = s.clearHeld;
        if (s.logEpoch != logEpoch_) restart();
        logEpoch_ = s.logEpoch;
    }
    // At the start of every call.
    void newCall() noexcept {
        timeAsked_ = false;
        metaChecked_ = false;
    }
    // At the start of a call with something handed over: takes the log's memory, a clear and
    // the sample rate. False when something must wait for the next call (a reader held the
    // recording).
    bool takeHandedOver() noexcept {
        bool taken = true;
        if (!store_.get() && store_.waiting()) taken = takeStore();
        if (clearWanted_.load(std::memory_order_relaxed)) taken &= takeClear();
        if (clearEpoch_.load(std::memory_order_acquire) != clearSeen_) cleared();
        const float rate = sampleRate_.load(std::memory_order_relaxed);
        if (rate != rateSeen_) {
            rateSeen_ = rate;
            rate_.set(rate_.tempo(), rate);
        }
        return taken;
    }
    // A block of `frames` (> 0) while logging: the clock step, then the rest of its frames.
    void block(int frames) noexcept {
        clockStep();
        clock_ += frames - 1;
    }
    // The same for a block with nothing else to do. Inline: most such blocks find the tempo and
    // time signature as they were. False when it left events staged.
    bool quietBlock(int frames) noexcept {
        clock_ += frames;  // the clock step's frame and the rest of the block
        if (!logMeta_) return true;
        // A quiet block stages no lines: no position needed, and the values stay in registers.
        const HostMeter m = ports_.hostMeter();
        if (m.tempo != rate_.tempo() || m.numerator != writtenNumerator_ ||
            m.denominator != writtenDenominator_) [[unlikely]]
            return quietMetaStep(m, frames);
        return true;
    }
    void logMessage(MidiWord word, int frame) noexcept;
    void logSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept;
    // At the end of a call: the staged lines and events join the log.
    void endCall() noexcept {
        flushLines();
        flushRecording();
    }
    // Hands the log's memory back once logging is off and the log holds nothing: no line, no
    // recorded event (what the user may still read or save stays until "clear log"). True when
    // it did.
    bool handBack() noexcept {
        return store_.get() && !logOn_ && nothingStaged() && handBackStore();
    }
    bool nothingStaged() const noexcept { return stagedCount_ == 0 && stagedLineCount_ == 0; }

    std::int64_t sampleClock() const noexcept { return clock_; }
    std::int32_t lastEventTick() const noexcept { return lastEventTick_; }
    std::int32_t ticksAt(std::int64_t clock) const noexcept {
        return static_cast<std::int32_t>(
            baseTick_ + static_cast<std::uint32_t>(rate_.ticks(clock - baseClock_)));
    }

private:
    struct StagedLine {
        std::uint64_t message;  // a message's line: LogLines::kMessageLine | its word, no text
        std::size_t length;
        char text[kMaxLogLine];
        std::int64_t clock;  // the sample clock at the message
        int frame;           // its frame in the call, for the host's position
        std::uint8_t status;
    };
    static_assert(kMaxLogLine % 8 == 0, "staged texts are read in whole words");
    struct Store;
    static constexpr std::size_t kStaged = 8192;
    static constexpr std::size_t kSmallStaged = 64;  // while the log's memory is not there
    static constexpr std::size_t kStagedLines = 64;
    static constexpr std::size_t kSmallStagedLines = 24;
    static constexpr std::size_t kStagedSysex = 2 * kMaxSysex;
    static constexpr std::size_t kSysexStore = 8u << 20;

    // The host's time, asked once per processing call (a quiet block asks hostMeter instead).
    const HostTime* time() noexcept;
    // The parts of takeHandedOver and handBack that act; false when a reader held the lock.
    bool takeStore() noexcept;
    bool takeClear() noexcept;
    void cleared() noexcept;
    bool handBackStore() noexcept;
    void restart() noexcept;
    void resetClock() noexcept;
    // The clock step at the start of a block (or of logging): one frame on, then the host's
    // tempo and time signature. Inline: most blocks find them as they were.
    void clockStep() noexcept;
    // A new tempo or time signature from the host: their events join the recording.
    [[gnu::cold, gnu::noinline]] void metaStep(double tempo, int numerator,
                                               int denominator) noexcept;
    // The same found by a quiet block, whose clock has already moved past its first frame,
    // where the events belong.
    [[gnu::cold, gnu::noinline]] bool quietMetaStep(const HostMeter& m, int frames) noexcept;
    // The tempo and time signature the host reports for this call, taken before its first
    // message is converted to ticks: a host hands over a block's events before the block, and
    // they belong to it. Their events sit where the block's clock step would put them.
    [[gnu::cold, gnu::noinline]] void metaBeforeMessage() noexcept;
    void tempoStep(double tempo) noexcept;
    void timeSignatureStep(int numerator, int denominator) noexcept;
    // The place for a log line of this call, or null while "clear log" is held.
    StagedLine* stageLine(int frame, std::uint8_t status) noexcept;
    // The fields every line of this call shares: the rate and the host's time.
    void callLineInfo(LogLineInfo& info) noexcept;
    void flushLines() noexcept;
    void record(const RecordedEvent& e) noexcept;
    // The next free place in the stage, or null when the event is dropped (counted).
    RecordedEvent* stageEvent() noexcept;
    void flushRecording() noexcept;
    // The recording empties; the processing thread restarts its clock when it sees the new
    // epoch (mutex_ held).
    void clearRecording() noexcept;

    EnginePorts& ports_;
    bool logOn_ = false;
    bool logMeta_ = true;
    bool clearHeld_ = false;
    unsigned logEpoch_ = 0;
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
    std::atomic<bool> clearWanted_{false};  // a clear asked for on the processing thread

    Handover<Store> store_;
    // Events of the current call on their way into the recording.
    RecordedEvent* staged_ = nullptr;  // smallStaged_ or the store's
    std::size_t stagedCapacity_ = kSmallStaged;
    std::size_t stagedCount_ = 0;
    std::atomic<std::size_t> stageDrops_{0};
    // Log lines of the current call on their way into lines_, and the clear epoch when the
    // first of them was staged.
    StagedLine* stagedLines_ = nullptr;  // smallStagedLines_ or the store's
    std::size_t stagedLinesCapacity_ = kSmallStagedLines;
    std::size_t stagedLineCount_ = 0;
    std::size_t linesLost_ = 0;  // lines of a full stage while the ring was not there
    unsigned lineEpoch_ = 0;
    // The bytes of the call's staged SysEx events (only when enabled).
    std::unique_ptr<std::uint8_t[]> stagedSysex_;
    std::size_t stagedSysexUsed_ = 0;

    // Shared with readers.
    std::atomic<float> sampleRate_{44100.0f};
    std::atomic<double> conversionTempo_{120.0};
    std::atomic<bool> tempoWritten_{false};
    std::atomic<bool> timeSigWritten_{false};
    LogLines lines_{false};
    mutable std::mutex mutex_;
    Recorder recorder_{false};             // mutex_
    std::atomic<unsigned> clearEpoch_{0};  // changed under mutex_

    // The small stages that keep what they can until the store comes (kept apart from the
    // state every message touches).
    std::array<RecordedEvent, kSmallStaged> smallStaged_{};
    std::array<StagedLine, kSmallStagedLines> smallStagedLines_;
};

inline const HostTime* Journal::time() noexcept {
    if (!timeAsked_) {
        timeAsked_ = true;
        timeValid_ = ports_.hostTime(time_);
    }
    return timeValid_ ? &time_ : nullptr;
}

inline void Journal::clockStep() noexcept {
    ++clock_;
    if (!logMeta_) return;
    metaChecked_ = true;
    const HostTime* t = time();
    if (!t) return;  // no record: nothing to log
    if (t->tempo != rate_.tempo() || t->numerator != writtenNumerator_ ||
        t->denominator != writtenDenominator_) [[unlikely]]
        metaStep(t->tempo, t->numerator, t->denominator);
}
