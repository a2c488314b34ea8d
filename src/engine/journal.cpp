#include "engine/journal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

// The log's memory: the ring of lines, the recording's journal, and the stages of a call. Made
// whole, every page written, so the processing thread never meets a fresh page.
struct Journal::Store {
    std::unique_ptr<LogLines::Ring> ring = LogLines::makeRing();
    std::unique_ptr<RecordedEvent[]> journal =
        std::make_unique<RecordedEvent[]>(Recorder::kCapacity);
    std::unique_ptr<RecordedEvent[]> staged = std::make_unique<RecordedEvent[]>(kStaged);
    std::unique_ptr<StagedLine[]> lines = std::make_unique<StagedLine[]>(kStagedLines);
};

Journal::Journal(EnginePorts& ports) : ports_(ports) {
    staged_ = smallStaged_.data();
    stagedLines_ = smallStagedLines_.data();
}

Journal::~Journal() = default;

void Journal::enableSysex() {
    stagedSysex_ = std::make_unique<std::uint8_t[]>(kStagedSysex);
    recorder_.enableSysex(kSysexStore);
}

bool Journal::prepare(bool wanted) {
    return store_.prepare(wanted, [&] { lines_.waitForReaders(); });
}

// --- Readers and clearing ------------------------------------------------------------------------

void Journal::clear(bool processing) noexcept {
    lines_.clear();
    if (processing) {
        stagedLineCount_ = 0;  // lines of this call logged before the clear
        // Never wait for a reader of the recording here: when one holds it, the clear waits
        // for the next call instead.
        if (mutex_.try_lock()) {
            clearRecording();
            mutex_.unlock();
        } else {
            clearWanted_.store(true, std::memory_order_relaxed);
        }
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    clearRecording();
}

void Journal::clearRecording() noexcept {
    recorder_.reset();
    clearEpoch_.store(clearEpoch_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

std::vector<RecordedEvent> Journal::recordingSnapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorder_.snapshot();
}

RecordingSnapshot Journal::recording() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorder_.fullSnapshot();
}

std::size_t Journal::recordedEvents() const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorder_.size();
}

std::size_t Journal::droppedRecordings() const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorder_.dropped() + stageDrops_.load(std::memory_order_relaxed);
}

// --- The processing thread's calls ---------------------------------------------------------------

// The journal changes hands under the recording's lock, which a reader may hold.
bool Journal::takeStore() noexcept {
    if (!mutex_.try_lock()) return false;
    Store* store = store_.take();
    if (!store) {
        mutex_.unlock();
        return true;
    }
    recorder_.setJournal(store->journal.get());
    lines_.attach(store->ring.get());
    std::copy_n(staged_, stagedCount_, store->staged.get());
    staged_ = store->staged.get();
    stagedCapacity_ = kStaged;
    std::copy_n(stagedLines_, stagedLineCount_, store->lines.get());
    stagedLines_ = store->lines.get();
    stagedLinesCapacity_ = kStagedLines;
    mutex_.unlock();
    return true;
}

bool Journal::takeClear() noexcept {
    if (!mutex_.try_lock()) return false;
    clearRecording();
    clearWanted_.store(false, std::memory_order_relaxed);
    mutex_.unlock();
    return true;
}

void Journal::cleared() noexcept {
    clearSeen_ = clearEpoch_.load(std::memory_order_acquire);
    stagedCount_ = 0;
    stagedSysexUsed_ = 0;
    rate_.set(120.0, rateSeen_);
    conversionTempo_.store(120.0, std::memory_order_relaxed);
    writtenNumerator_ = writtenDenominator_ = 0;
    lastEventTick_ = 0;
    resetClock();
}

bool Journal::handBackStore() noexcept {
    if (lines_.size() != 0 || !store_.canHandBack() || !mutex_.try_lock()) return false;
    const bool empty = recorder_.size() == 0;
    if (empty) {
        recorder_.setJournal(nullptr);
        lines_.detach();
        staged_ = smallStaged_.data();
        stagedCapacity_ = kSmallStaged;
        stagedLines_ = smallStagedLines_.data();
        stagedLinesCapacity_ = kSmallStagedLines;
        store_.handBack();
    }
    mutex_.unlock();
    return empty;
}

bool Journal::quietMetaStep(const HostMeter& m, int frames) noexcept {
    clock_ -= frames - 1;
    metaStep(m.tempo, m.numerator, m.denominator);
    clock_ += frames - 1;
    // The events join the recording now, as at the end of any other call; only a clock step
    // stages events in a quiet block.
    flushRecording();
    return stagedCount_ == 0;
}

// --- The clock -----------------------------------------------------------------------------------

void Journal::resetClock() noexcept {
    clock_ = 0;
    baseClock_ = 0;
    baseTick_ = 0;
}

// Switching logging on restarts the sample clock and runs the clock step once at once.
void Journal::restart() noexcept {
    resetClock();
    clockStep();
}

void Journal::metaStep(double tempo, int numerator, int denominator) noexcept {
    if (tempo != rate_.tempo()) tempoStep(tempo);
    if (numerator != writtenNumerator_ || denominator != writtenDenominator_)
        timeSignatureStep(numerator, denominator);
}

void Journal::metaBeforeMessage() noexcept {
    metaChecked_ = true;
    const HostTime* t = time();
    if (!t || (t->tempo == rate_.tempo() && t->numerator == writtenNumerator_ &&
               t->denominator == writtenDenominator_))
        return;
    ++clock_;  // the block's first frame, as its clock step counts it
    metaStep(t->tempo, t->numerator, t->denominator);
    --clock_;
}

// The tempo event sits at the tick reached at the old tempo; later ticks count on from there at
// the new one.
void Journal::tempoStep(double tempo) noexcept {
    if (!(tempo >= 1.0)) return;
    const std::int64_t micros = static_cast<std::int64_t>(std::nearbyint(60000000.0 / tempo));
    const std::int32_t tick = ticksAt(clock_);
    record({tick,
            RecordedEvent::Tempo,
            {static_cast<std::uint8_t>((micros >> 16) & 0xFF),
             static_cast<std::uint8_t>((micros >> 8) & 0xFF),
             static_cast<std::uint8_t>(micros & 0xFF), 0}});
    baseTick_ = static_cast<std::uint32_t>(tick);
    baseClock_ = clock_;
    rate_.set(tempo, rateSeen_);
    conversionTempo_.store(tempo, std::memory_order_relaxed);
    tempoWritten_.store(true);
}

void Journal::timeSignatureStep(int numerator, int denominator) noexcept {
    if (numerator == 0 && denominator == 0) return;
    const double power = denominator > 0 ? std::log2(static_cast<double>(denominator)) : 0.0;
    record({ticksAt(clock_),
            RecordedEvent::TimeSignature,
            {static_cast<std::uint8_t>(numerator & 0xFF),
             static_cast<std::uint8_t>(roundEven(power) & 0xFF), 24, 8}});
    writtenNumerator_ = numerator;
    writtenDenominator_ = denominator;
    timeSigWritten_.store(true);
}

// --- Lines and events ----------------------------------------------------------------------------

// Each message as it enters the chain, before replacing and filtering.
void Journal::logMessage(MidiWord w, int frame) noexcept {
    if (logMeta_ && !metaChecked_) [[unlikely]]
        metaBeforeMessage();
    const std::int32_t tick = ticksAt(clock_ + frame);
    lastEventTick_ = tick;
    if (RecordedEvent* e = stageEvent()) {
        // Field by field into the stage: no copy of a half-written event.
        e->tick = tick;
        e->kind = RecordedEvent::Message;
        e->bytes[0] = static_cast<std::uint8_t>(wordStatus(w));
        e->bytes[1] = static_cast<std::uint8_t>(wordData1(w));
        e->bytes[2] = static_cast<std::uint8_t>(wordData2(w));
        e->bytes[3] = 0;
    }
    // The reader writes the text from the word.
    if (StagedLine* line = stageLine(frame, static_cast<std::uint8_t>(wordStatus(w))))
        line->message = LogLines::kMessageLine | w;
}

// The whole message goes into the stage or none of it: a full stage drops it (counted).
void Journal::logSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    if (logMeta_ && !metaChecked_) [[unlikely]]
        metaBeforeMessage();
    const std::int32_t tick = ticksAt(clock_ + frame);
    lastEventTick_ = tick;
    if (kStagedSysex - stagedSysexUsed_ < size + 4) flushRecording();
    if (kStagedSysex - stagedSysexUsed_ < size + 4) {
        stageDrops_.store(stageDrops_.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
    } else if (RecordedEvent* e = stageEvent()) {
        e->tick = tick;
        e->kind = RecordedEvent::SysEx;
        setSysexOffset(*e, static_cast<std::uint32_t>(stagedSysexUsed_));
        const auto length = static_cast<std::uint32_t>(size);
        std::memcpy(stagedSysex_.get() + stagedSysexUsed_, &length, 4);
        std::memcpy(stagedSysex_.get() + stagedSysexUsed_ + 4, data, size);
        stagedSysexUsed_ += 4 + size;
    }
    if (StagedLine* line = stageLine(frame, 0xF0)) {
        line->message = 0;
        line->length = writeSysexLogLine(data, size, line->text);
    }
}

Journal::StagedLine* Journal::stageLine(int frame, std::uint8_t status) noexcept {
    if (clearHeld_) return nullptr;
    // The lines of a call join the list together at its end, published at once.
    if (stagedLineCount_ == stagedLinesCapacity_) flushLines();
    if (stagedLineCount_ == stagedLinesCapacity_) [[unlikely]] {
        ++linesLost_;  // the ring is not there yet
        return nullptr;
    }
    if (stagedLineCount_ == 0) lineEpoch_ = clearEpoch_.load(std::memory_order_acquire);
    StagedLine& line = stagedLines_[stagedLineCount_++];
    line.clock = clock_ - 1 + frame;  // the clock step counts the first frame as 1
    line.frame = frame;
    line.status = status;
    return &line;
}

void Journal::callLineInfo(LogLineInfo& info) noexcept {
    info.sampleRate = rateSeen_;
    const HostTime* t = time();
    if (!t) return;
    info.numerator = static_cast<std::uint8_t>(t->numerator);
    info.denominator = static_cast<std::uint8_t>(t->denominator);
    info.hasPpq = t->hasPpq;
    info.hasBar = t->hasBar;
    info.ppq = t->ppq;
    info.barStart = t->barStart;
}

// Lines staged before a clear that happened meanwhile on another thread go with it, as the
// recorded events do.
void Journal::flushLines() noexcept {
    static_assert(kMaxLogLine <= LogLines::kLineLength);
    if (stagedLineCount_ == 0 || !store_.get()) return;
    if (clearEpoch_.load(std::memory_order_acquire) == lineEpoch_) {
        // The fields the lines share once; per line only its own (the formatting is the
        // reader's).
        LogLineInfo call;
        callLineInfo(call);
        const double quartersPerFrame = call.hasPpq && rateSeen_ > 0.0f
                                            ? time_.tempo / (60.0 * static_cast<double>(rateSeen_))
                                            : 0.0;
        lines_.appendBatch(stagedLineCount_,
                           [&](std::size_t i, std::size_t& length, LogLineInfo& info,
                               std::uint64_t& message) noexcept {
                               const StagedLine& line = stagedLines_[i];
                               message = line.message;
                               if (i == 0) info = call;  // kept from line to line
                               info.clock = line.clock;
                               info.status = line.status;
                               info.ppq = call.ppq + line.frame * quartersPerFrame;
                               length = line.length;
                               return line.text;
                           });
        if (linesLost_ != 0) [[unlikely]] {
            char text[kMaxLogLine];
            char* end = std::to_chars(text, text + 24, linesLost_).ptr;
            static constexpr char kLost[] = " log lines lost while the log was being prepared";
            end = std::copy_n(kLost, sizeof kLost - 1, end);
            lines_.append(text, static_cast<std::size_t>(end - text), call);
        }
    }
    linesLost_ = 0;
    stagedLineCount_ = 0;
}

void Journal::record(const RecordedEvent& e) noexcept {
    if (RecordedEvent* slot = stageEvent()) *slot = e;
}

RecordedEvent* Journal::stageEvent() noexcept {
    // A call with more events than the stage holds hands them over as it goes.
    if (stagedCount_ == stagedCapacity_) flushRecording();
    if (stagedCount_ == stagedCapacity_) [[unlikely]] {
        // A reader held the recording for many calls in a row.
        stageDrops_.store(stageDrops_.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
        return nullptr;
    }
    return &staged_[stagedCount_++];
}

// The call's events join the recording unless a reader holds it; then they wait for the next
// call. Events staged before a clear that happened meanwhile are dropped with it.
void Journal::flushRecording() noexcept {
    if (stagedCount_ == 0 || !store_.get() || !mutex_.try_lock()) return;
    if (clearEpoch_.load(std::memory_order_relaxed) == clearSeen_) {
        for (std::size_t i = 0; i < stagedCount_; ++i) {
            const RecordedEvent& e = staged_[i];
            if (e.kind != RecordedEvent::SysEx) {
                recorder_.insert(e);
                continue;
            }
            std::uint32_t length;
            std::memcpy(&length, stagedSysex_.get() + sysexOffset(e), 4);
            recorder_.insertSysex(e.tick, stagedSysex_.get() + sysexOffset(e) + 4, length);
        }
    }
    stagedCount_ = 0;
    stagedSysexUsed_ = 0;
    mutex_.unlock();
}
