#include "engine/midiengine.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "engine/logtext.h"
#include "platform/midi.h"
#include "vstbus/vstbus.h"

// --- Decoding ------------------------------------------------------------------------------------

SettingsDecoder::SettingsDecoder() noexcept {
    for (int i = 0; i < kNumParams; ++i)
        values_[static_cast<std::size_t>(i)] =
            kParameters[static_cast<std::size_t>(i)].defaultValue;
    // Every default decoded, except "log?" whose switch-on is an event of its own.
    for (int i = 0; i < kNumParams; ++i)
        if (i != param::Log) apply(i, values_[static_cast<std::size_t>(i)]);
}

// What decides where a note goes: "replace", the delay, "delay output?", the filter and the
// replace pattern and target.
static bool routesNotes(int index) noexcept {
    return index == param::Replace || index == param::DelayAmount || index == param::DelayOutput ||
           (index >= param::FilterType && index <= param::ReplaceNewData2);
}

void SettingsDecoder::applyMatchState(std::uint32_t state) noexcept {
    if (state == settings_.replacer.matchState()) return;
    ++settings_.routeGeneration;
    settings_.replacer.setMatchState(state);
}

void SettingsDecoder::apply(int index, float v) noexcept {
    EngineSettings& s = settings_;
    if (routesNotes(index) && values_[static_cast<std::size_t>(index)] != v) ++s.routeGeneration;
    values_[static_cast<std::size_t>(index)] = v;
    const float* p = values_.data();
    switch (index) {
        case param::SendToHost:
            s.sendToHost = switchOn(index, v);
            break;
        case param::Replace:
            s.replaceOn = switchOn(index, v);
            break;
        case param::ClearLog:
            s.clearHeld = clearHeld(v);
            break;
        case param::Log:
            s.logOn = switchOn(index, v);
            if (s.logOn) ++s.logEpoch;
            break;
        case param::DelayAmount:
            s.delayFrames = delayFrames(v);
            break;
        case param::DelayOutput:
            s.delayOut = switchOn(index, v);
            break;
        case param::FilterType:
            s.filter.applyType(v);
            break;
        case param::OutputMidi:
            s.deviceOut = switchOn(index, v);
            break;
        case param::RecvBus:
        case param::GetFromBus:
            s.receiveBus = busOf(p[param::RecvBus]);
            s.getFromBus = switchOn(param::GetFromBus, p[param::GetFromBus]);
            break;
        case param::SendBus:
        case param::PutToBus:
            s.sendBus = busOf(p[param::SendBus]);
            s.putToBus = switchOn(param::PutToBus, p[param::PutToBus]);
            break;
        case param::LogMeta:
            s.logMeta = switchOn(index, v);
            break;
        default:
            break;
    }
    switch (kParameters[static_cast<std::size_t>(index)].apply) {
        case ApplyStep::ReplaceMatch:
            s.replacer.applyMatch(index, p);
            break;
        case ApplyStep::ReplaceTarget:
            s.replacer.applyTarget(index, p);
            break;
        default:
            if (index >= param::FilterRow1 && index < param::FilterRowsEnd) s.filter.applyRows(p);
            break;
    }
    if (index >= param::FilterType && index < param::FilterRowsEnd) {
        s.noteOffsBlocked = 0;
        for (unsigned ch = 0; ch < 16; ++ch) {
            MidiWord off = 0x80 | ch;
            s.filter.apply(off);
            if (off == 0) s.noteOffsBlocked |= static_cast<std::uint16_t>(1u << ch);
        }
    }
}

// --- Construction and the other threads' side
// -----------------------------------------------------

MidiEngine::MidiEngine(EnginePorts& ports) : ports_(ports), hostOutput_(ports.hostOutputEntry()) {
    staged_ = smallStaged_.data();
    stagedLines_ = smallStagedLines_.data();
    for (int i = 0; i < kNumParams; ++i)
        values_[static_cast<std::size_t>(i)].store(
            kParameters[static_cast<std::size_t>(i)].defaultValue);
    s_ = decoder_.settings();
    matchState_.store(s_.replacer.matchState(), std::memory_order_relaxed);
}

// --- Memory on demand ----------------------------------------------------------------------------

// A log's memory: the ring of lines, the recording's journal, and the stages of a call. Made
// whole, every page written, so the processing thread never meets a fresh page.
struct MidiEngine::LogStore {
    std::unique_ptr<LogLines::Ring> ring = LogLines::makeRing();
    std::unique_ptr<RecordedEvent[]> journal =
        std::make_unique<RecordedEvent[]>(Recorder::kCapacity);
    std::unique_ptr<RecordedEvent[]> staged = std::make_unique<RecordedEvent[]>(kStaged);
    std::unique_ptr<StagedLine[]> lines = std::make_unique<StagedLine[]>(kStagedLines);
};

struct MidiEngine::BusStore {
    std::array<MidiWord, vstbus::kMaxCapacity> words{};
};

namespace {
// Releases what was handed back, and makes (or takes back) what `wanted` says. The processing
// thread sets `held` before it takes the made memory, so looking at `made` first and `held`
// after never misses a taking.
template <class T>
bool prepareOne(auto& h, bool wanted, auto beforeRelease) {
    if (T* spent = h.spent.exchange(nullptr)) {
        beforeRelease();
        delete spent;
    }
    if (!wanted) {
        delete h.made.exchange(nullptr);
        return false;
    }
    if (h.made.load() || h.held.load()) return false;
    h.made.store(new T());
    return true;
}

// The processing thread's side: the made memory, or null.
template <class T>
T* takeMade(auto& h) noexcept {
    if (!h.made.load(std::memory_order_relaxed)) return nullptr;
    h.held.store(true);
    T* made = h.made.exchange(nullptr);
    if (!made) h.held.store(false);
    return made;
}

template <class T>
void handBack(auto& h, T* spent) noexcept {
    h.spent.store(spent);
    h.held.store(false);
}
}  // namespace

MidiEngine::~MidiEngine() {
    for (LogStore* p : {log_, logHandover_.made.load(), logHandover_.spent.load()}) delete p;
    for (DelayLine* p : {delay_, delayHandover_.made.load(), delayHandover_.spent.load()}) delete p;
    for (BusStore* p : {bus_, busHandover_.made.load(), busHandover_.spent.load()}) delete p;
}

void MidiEngine::prepareStorage() {
    std::lock_guard<std::mutex> lock(prepareMutex_);
    auto on = [&](int index) {
        return switchOn(index, values_[static_cast<std::size_t>(index)].load());
    };
    bool made =
        prepareOne<LogStore>(logHandover_, on(param::Log), [&] { logLines_.waitForReaders(); });
    made |= prepareOne<DelayLine>(delayHandover_, on(param::DelayOutput), [] {});
    made |= prepareOne<BusStore>(busHandover_, on(param::GetFromBus), [] {});
    if (made) pending_.store(true, std::memory_order_release);
}

void MidiEngine::takeStorage() noexcept {
    if (!log_ && logHandover_.made.load(std::memory_order_relaxed)) {
        // The journal changes hands under the recording's lock, which a reader may hold.
        if (journalMutex_.try_lock()) {
            if ((log_ = takeMade<LogStore>(logHandover_))) {
                recorder_.setJournal(log_->journal.get());
                logLines_.attach(log_->ring.get());
                std::copy_n(staged_, stagedCount_, log_->staged.get());
                staged_ = log_->staged.get();
                stagedCapacity_ = kStaged;
                std::copy_n(stagedLines_, stagedLineCount_, log_->lines.get());
                stagedLines_ = log_->lines.get();
                stagedLinesCapacity_ = kStagedLines;
            }
            journalMutex_.unlock();
        } else {
            ownPending_ = true;
        }
    }
    if (!delay_ && (delay_ = takeMade<DelayLine>(delayHandover_))) {
        delay_->setDelay(s_.delayFrames);
        delayWait_.moveTo(*delay_, delayTime_);
    }
    if (!bus_) bus_ = takeMade<BusStore>(busHandover_);
}

// The log's memory goes once the log is off and holds nothing: no line, no recorded event
// (what the user may still read or save stays until "clear log"). The delay line's goes once
// delayed output is off and the line is empty; the bus buffer as soon as reading stops.
void MidiEngine::handBackStorage() noexcept {
    bool spent = false;
    if (log_ && !s_.logOn && stagedCount_ == 0 && stagedLineCount_ == 0 && logLines_.size() == 0 &&
        !logHandover_.spent.load(std::memory_order_relaxed) && journalMutex_.try_lock()) {
        if (recorder_.size() == 0) {
            recorder_.setJournal(nullptr);
            logLines_.detach();
            staged_ = smallStaged_.data();
            stagedCapacity_ = kSmallStaged;
            stagedLines_ = smallStagedLines_.data();
            stagedLinesCapacity_ = kSmallStagedLines;
            handBack(logHandover_, std::exchange(log_, nullptr));
            spent = true;
        }
        journalMutex_.unlock();
    }
    if (delay_ && !s_.delayOut && delay_->occupied() == 0 &&
        !delayHandover_.spent.load(std::memory_order_relaxed)) {
        delayTime_ = delay_->time();
        delayDropsBefore_ += delay_->dropped();
        handBack(delayHandover_, std::exchange(delay_, nullptr));
        spent = true;
    }
    if (bus_ && !s_.getFromBus && !busHandover_.spent.load(std::memory_order_relaxed)) {
        handBack(busHandover_, std::exchange(bus_, nullptr));
        spent = true;
    }
    if (spent) ports_.storageWanted();
}

std::int64_t MidiEngine::delayAt(MidiWord word, int distance) noexcept {
    if (delay_) return delay_->insertAt(word, distance);
    if (word == 0) return -1;
    const std::int64_t at = delayWait_.insert(word, delayTime_ + distance);
    if (at < 0) ++delayDropsBefore_;
    return at;
}

void MidiEngine::enableSysex() {
    if (sysexOn_) return;
    sysexIn_ = std::make_unique<platform::MessageRing>(kSysexQueue);
    sysexScratch_ = std::make_unique<std::uint8_t[]>(kMaxSysex);
    stagedSysex_ = std::make_unique<std::uint8_t[]>(kStagedSysex);
    delayedSysex_ = std::make_unique<DelayedSysex>(kDelayedSysexBytes, kDelayedSysexEntries);
    recorder_.enableSysex(kSysexStore);
    sysexOn_ = true;
}

namespace {
// Whether number a (of the change count, or of a knob's own count) came after b; the counts
// wrap.
bool later(std::uint32_t a, std::uint32_t b) noexcept {
    return static_cast<std::int32_t>(a - b) > 0;
}
}  // namespace

// A value set again unchanged keeps the number of its change, so that a host replaying every
// value (at a resume, say) does not move earlier changes behind the words queued after them;
// a knob's value and "log?" switched on act each time (a message; a restart of the clock).
void MidiEngine::setParameter(int index, float value) noexcept {
    if (index < 0 || index >= kNumParams) return;
    const auto i = static_cast<std::size_t>(index);
    bool changed = values_[i].exchange(value, std::memory_order_relaxed) != value;
    if (index == param::ReplaceMatchChannel || index == param::ReplaceMatchStatus) {
        std::uint32_t state = matchState_.load(std::memory_order_relaxed), folded;
        do {
            folded = Replacer::foldMatch(state, index, value);
        } while (!matchState_.compare_exchange_weak(state, folded, std::memory_order_relaxed));
        changed = folded != state;
    }
    const bool knob = index >= param::KnobValue1 && index < param::KnobValue1 + kKnobs;
    if (changed || knob || (index == param::Log && switchOn(index, value))) {
        const std::uint32_t number = changeCount_.fetch_add(1, std::memory_order_relaxed);
        changedAt_[i].store(number, std::memory_order_relaxed);
        if (knob) queueKnob(index - param::KnobValue1, value, number);
    }
    // Published with the value: the processing thread that sees the mark sees this value or a
    // newer one.
    changed_[i / 32].fetch_or(1u << (i % 32), std::memory_order_release);
    pending_.store(true, std::memory_order_release);
    if (index == param::Log || index == param::DelayOutput || index == param::GetFromBus)
        ports_.storageWanted();
}

// The word is made now, from the channel and message kind the knob has now.
void MidiEngine::queueKnob(int knob, float value, std::uint32_t number) noexcept {
    const auto k = static_cast<std::size_t>(knob);
    const MidiWord word =
        knobWordOf(value,
                   values_[static_cast<std::size_t>(param::KnobChannel1 + knob)].load(
                       std::memory_order_relaxed),
                   values_[static_cast<std::size_t>(param::KnobMessage1 + knob)].load(
                       std::memory_order_relaxed));
    const std::uint32_t count = knobCount_[k].fetch_add(1, std::memory_order_relaxed) + 1;
    // Two threads moving one knob at once may get here in either order: the later count wins.
    const std::uint64_t mine = std::uint64_t{count} << 32 | word;
    std::uint64_t newest = knobNewest_[k].load(std::memory_order_relaxed);
    while (later(count, static_cast<std::uint32_t>(newest >> 32)) &&
           !knobNewest_[k].compare_exchange_weak(newest, mine, std::memory_order_release,
                                                 std::memory_order_relaxed)) {
    }
    knobs_.push({number, count, word | static_cast<MidiWord>(knob) << 24});
}

void MidiEngine::deviceInput(MidiWord word) noexcept {
    std::lock_guard<std::mutex> lock(producerMutex_);
    words_.push({word & kWordBits, changeCount_.load(std::memory_order_relaxed)});
    pending_.store(true, std::memory_order_release);
}

void MidiEngine::deviceSysexInput(const std::uint8_t* data, std::size_t size) noexcept {
    if (!sysexOn_ || size > kMaxSysex || !wholeSysex(data, size)) {
        countSysexDrop();
        return;
    }
    std::lock_guard<std::mutex> lock(producerMutex_);
    // The bytes first: the word that marks their place is pushed only when both fit.
    if (words_.full() || !sysexIn_->push(data, size)) {
        countSysexDrop();
        return;
    }
    words_.push({kSysexFlag, changeCount_.load(std::memory_order_relaxed)});
    pending_.store(true, std::memory_order_release);
}

void MidiEngine::clearLog() noexcept {
    logLines_.clear();
    if (onProcessingThread()) {
        stagedLineCount_ = 0;  // lines of this call logged before the clear
        // Never wait for a reader of the recording here: when one holds it, the clear waits
        // for the next call instead.
        if (journalMutex_.try_lock()) {
            clearRecording();
            journalMutex_.unlock();
        } else {
            clearWanted_.store(true, std::memory_order_relaxed);
        }
        pending_.store(true, std::memory_order_release);
        return;
    }
    std::lock_guard<std::mutex> lock(journalMutex_);
    clearRecording();
    pending_.store(true, std::memory_order_release);
}

// The recording empties; the processing thread restarts its clock when it sees the new epoch
// (journalMutex_ held).
void MidiEngine::clearRecording() noexcept {
    recorder_.reset();
    clearEpoch_.store(clearEpoch_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

std::vector<RecordedEvent> MidiEngine::recordingSnapshot() const {
    std::lock_guard<std::mutex> lock(journalMutex_);
    return recorder_.snapshot();
}

RecordingSnapshot MidiEngine::recording() const {
    std::lock_guard<std::mutex> lock(journalMutex_);
    return recorder_.fullSnapshot();
}

std::size_t MidiEngine::recordedEvents() const noexcept {
    std::lock_guard<std::mutex> lock(journalMutex_);
    return recorder_.size();
}

std::size_t MidiEngine::droppedRecordings() const noexcept {
    std::lock_guard<std::mutex> lock(journalMutex_);
    return recorder_.dropped() + stageDrops_.load(std::memory_order_relaxed);
}

EngineCounters MidiEngine::counters() const noexcept {
    EngineCounters c;
    c.delayDrops = delayDrops_.load(std::memory_order_relaxed);
    // Knob changes whose messages never ran: refused by the full queue or passed over for a
    // newer change, less those that ran from the newest change after all.
    const std::size_t knobsLost = knobs_.dropped() + knobsPassed_.load(std::memory_order_relaxed);
    const std::size_t knobsFound = knobsFromNewest_.load(std::memory_order_relaxed);
    c.inputQueueDrops = words_.dropped() + (knobsLost > knobsFound ? knobsLost - knobsFound : 0);
    c.recordingDrops = droppedRecordings();
    c.soundStreamNotices = soundNotices_.load(std::memory_order_relaxed);
    c.sysexDrops = sysexDrops_.load(std::memory_order_relaxed);
    c.busMalformed = busMalformed_.load(std::memory_order_relaxed);
    return c;
}

// --- The start and end of a processing call
// ---------------------------------------------------------

void MidiEngine::beginCall() noexcept {
    noteProcessingThread();
    settleIdleFrames();
    timeAsked_ = false;
    metaChecked_ = false;
    quiet_ = false;
    if (!ownPending_ && !pending_.load(std::memory_order_relaxed)) return;
    // Cleared before looking, so whatever arrives from now on is seen at the next call.
    pending_.exchange(false, std::memory_order_acq_rel);
    ownPending_ = false;
    takeStorage();
    if (clearWanted_.load(std::memory_order_relaxed)) {
        if (journalMutex_.try_lock()) {
            clearRecording();
            clearWanted_.store(false, std::memory_order_relaxed);
            journalMutex_.unlock();
        } else {
            ownPending_ = true;
        }
    }
    if (clearEpoch_.load(std::memory_order_acquire) != clearSeen_) {
        clearSeen_ = clearEpoch_.load(std::memory_order_acquire);
        stagedCount_ = 0;
        stagedSysexUsed_ = 0;
        rate_.set(120.0, rateSeen_);
        conversionTempo_.store(120.0, std::memory_order_relaxed);
        writtenNumerator_ = writtenDenominator_ = 0;
        lastEventTick_ = 0;
        resetClock();
    }
    const float rate = sampleRate_.load(std::memory_order_relaxed);
    if (rate != rateSeen_) {
        rateSeen_ = rate;
        rate_.set(rate_.tempo(), rate);
    }
    takeChanges();
    takeQueued();
}

void MidiEngine::takeChanges() noexcept {
    markedCount_ = markedNext_ = 0;
    for (std::size_t w = 0; w < changed_.size(); ++w) {
        if (changed_[w].load(std::memory_order_relaxed) == 0) continue;
        std::uint32_t bits = changed_[w].exchange(0, std::memory_order_acquire);
        for (; bits != 0; bits &= bits - 1) {
            const int index = static_cast<int>(w * 32) + std::countr_zero(bits);
            const Marked m{
                changedAt_[static_cast<std::size_t>(index)].load(std::memory_order_relaxed), index};
            // By number: a few changes per call, so an insertion is cheapest.
            std::size_t at = markedCount_++;
            for (; at > 0 && later(marked_[at - 1].number, m.number); --at)
                marked_[at] = marked_[at - 1];
            marked_[at] = m;
        }
    }
}

// A knob's last change marks the place of its newest message: when the full queue refused it
// (or it is still on its way into the queue), it runs from knobNewest_ there.
void MidiEngine::decodeChangesBefore(std::uint32_t number, bool all) noexcept {
    bool decoded = false;
    for (; markedNext_ < markedCount_; ++markedNext_) {
        const Marked& m = marked_[markedNext_];
        if (!all && !later(number, m.number)) break;
        if (m.index >= param::KnobValue1 && m.index < param::KnobValue1 + kKnobs) {
            if (decoded) applySettings(decoder_.settings());
            decoded = false;
            const auto knob = static_cast<std::size_t>(m.index - param::KnobValue1);
            const std::uint64_t newest = knobNewest_[knob].load(std::memory_order_acquire);
            if (runKnobChange(knob, static_cast<std::uint32_t>(newest >> 32),
                              static_cast<MidiWord>(newest)))
                knobsFromNewest_.store(knobsFromNewest_.load(std::memory_order_relaxed) + 1,
                                       std::memory_order_relaxed);
            continue;
        }
        if (m.index == param::ReplaceMatchChannel || m.index == param::ReplaceMatchStatus)
            decoder_.applyMatchState(matchState_.load(std::memory_order_relaxed));
        else
            decoder_.apply(m.index, values_[static_cast<std::size_t>(m.index)].load(
                                        std::memory_order_relaxed));
        decoded = true;
    }
    if (decoded) applySettings(decoder_.settings());
}

void MidiEngine::applySettings(const EngineSettings& settings) noexcept {
    s_ = settings;
    if (delay_ && s_.delayFrames != delay_->delay()) delay_->setDelay(s_.delayFrames);
    // Logging was switched on since the last settings.
    if (s_.logEpoch != logEpoch_) restartLogging();
    logEpoch_ = s_.logEpoch;
}

void MidiEngine::takeQueued() noexcept {
    QueuedWord w;
    KnobChange k;
    bool word = words_.pop(w), knob = knobs_.pop(k);
    while (word || knob) {
        if (word && (!knob || !later(w.number, k.number))) {
            decodeChangesBefore(w.number);
            runWord(w);
            word = words_.pop(w);
        } else {
            decodeChangesBefore(k.number);
            if (!runKnobChange(k.word >> 24, k.count, k.word))
                knobsPassed_.store(knobsPassed_.load(std::memory_order_relaxed) + 1,
                                   std::memory_order_relaxed);
            knob = knobs_.pop(k);
        }
    }
    decodeChangesBefore(0, true);
}

void MidiEngine::runWord(const QueuedWord& w) noexcept {
    if (w.word & kSysexFlag) {
        const std::size_t size = sysexIn_->pop(sysexScratch_.get());
        if (size != 0) sysexChain(sysexScratch_.get(), size, 0);
    } else {
        chain(w.word, 0);
    }
}

// Each knob's messages run in the order of its changes: a change older than one whose message
// already ran is passed over. After a change whose message never ran, the next one runs even
// when it repeats the last word a knob sent.
bool MidiEngine::runKnobChange(std::size_t knob, std::uint32_t count, MidiWord word) noexcept {
    if (!later(count, knobRan_[knob])) return false;
    if (count - knobRan_[knob] != 1) lastKnobWord_ = 0;
    knobRan_[knob] = count;
    runKnob(word & kWordBits);
    return true;
}

void MidiEngine::endCall() noexcept {
    if (delay_) delay_->place();  // the call's delayed words take their slots, drops counted
    flushLines();
    flushRecording();
    handBackStorage();
    delayDrops_.store(delayDropsBefore_ + (delay_ ? delay_->dropped() : 0),
                      std::memory_order_relaxed);
    quiet_ = !ownPending_ && !s_.getFromBus && !s_.delayOut && stagedCount_ == 0 &&
             stagedLineCount_ == 0 && (delay_ ? delay_->occupied() == 0 : delayWait_.size() == 0);
}

// What runBlock does for a quiet block while logging, without the checks quiet_ stands for.
// Written so that little is live across the host time call, which is most of its cost.
void MidiEngine::logBlock(int frames) noexcept {
    clock_ += frames;       // the clock step's frame and the rest of the block
    idleFrames_ += frames;  // quiet: the line is empty
    if (s_.logMeta) {
        // A quiet block stages no lines: no position needed, and the values stay in registers.
        const HostMeter m = ports_.hostMeter();
        if (m.tempo != rate_.tempo() || m.numerator != writtenNumerator_ ||
            m.denominator != writtenDenominator_) [[unlikely]]
            quietMetaStep(m, frames);
    }
}

void MidiEngine::quietMetaStep(const HostMeter& m, int frames) noexcept {
    clock_ -= frames - 1;
    metaStep(m.tempo, m.numerator, m.denominator);
    clock_ += frames - 1;
    // The events join the recording now, as at the end of any other call; only a clock step
    // stages events in a quiet block.
    flushRecording();
    quiet_ = stagedCount_ == 0;
}

void MidiEngine::runBlock(int frames) noexcept {
    beginCall();
    if (frames > 0) {
        if (s_.getFromBus) readBus();
        if (s_.logOn) {
            clockStep();
            clock_ += frames - 1;
        }
        if (s_.delayOut) {
            advanceDelay(frames, [this](MidiWord w, long offset) {
                if (w & kSysexFlag) [[unlikely]]
                    sysexLeaves(w, static_cast<int>(offset), true);
                else
                    emit(w, static_cast<int>(offset));
            });
        } else {
            // Words the line passes now go unsent; a SysEx's bytes are released.
            advanceDelay(frames, [this](MidiWord w, long) {
                if (w & kSysexFlag) sysexLeaves(w, 0, false);
            });
        }
    }
    endCall();
}

// --- The chain ---------------------------------------------------------------------------------

// A knob's word runs the chain unless it equals the word the last knob left.
void MidiEngine::runKnob(MidiWord word) noexcept {
    if (word == lastKnobWord_) return;
    lastKnobWord_ = chain(word, 0);
}

// Bits 24..31 must be clear: the chain keeps its own flags there.
MidiWord busMessage(std::uint32_t word) noexcept {
    if ((word & ~0xFF'FFFFu) != 0) return 0;
    const int length = platform::shortMessageLength(static_cast<std::uint8_t>(word));
    const MidiWord data = length == 3 ? 0xFFFF'00u : length == 2 ? 0xFF'00u : 0;
    if (length == 0 || (word & data & 0x8080'00u) != 0) return 0;
    return word & (data | 0xFFu);
}

// The receive bus at the block's start: the words waiting now run the chain; words arriving
// later wait for the next block. A word that is no short message is dropped and counted.
void MidiEngine::readBus() noexcept {
    // Before the buffer comes, the rest of the words wait on the bus for the next call.
    MidiWord* words = bus_ ? bus_->words.data() : smallBus_.data();
    const int n = ports_.busTake(s_.receiveBus, words,
                                 bus_ ? vstbus::kMaxCapacity : static_cast<int>(kSmallBus));
    if (n < 0) {
        // Bus reading stops at once and stays off: the front end switches the parameter off.
        s_.getFromBus = false;
        soundNotices_.store(soundNotices_.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        ports_.notice(EngineNotice::SoundStream);
        return;
    }
    std::size_t malformed = 0;
    for (int i = 0; i < n; ++i) {
        const MidiWord taken = words[static_cast<std::size_t>(i)];
        const MidiWord word = busMessage(taken);
        if (word == 0) [[unlikely]] {
            malformed += taken != 0;  // 0 is no message
            continue;
        }
        chain(word | kFromBusFlag, 0);
    }
    if (malformed != 0)
        busMalformed_.store(busMalformed_.load(std::memory_order_relaxed) + malformed,
                            std::memory_order_relaxed);
}

// A note-off whose routing changed since its note-on goes the way that note-on went: on its
// channel and note, removed when it was removed or when the filter removed this note-off then
// and still does now, and never ahead of it while it waits in the delay line. A note-on that
// left as some other message leaves its note-off to run as any other message.
MidiWord MidiEngine::followNoteOn(MidiWord word, MidiWord flags, int frame,
                                  std::size_t note) noexcept {
    const MidiWord state = notes_[note].out;
    notes_[note].out = 0;
    const MidiWord sent = state & kWordBits;
    if (sent == 0) return 0;
    if ((sent & 0xF0) != 0x90 || wordData2(sent) == 0) return route(word, flags, frame);
    // The note-off keeps its own kind and velocity.
    MidiWord off = (word & 0xFF00F0u) | (sent & 0x7F0Fu);
    if (state & kOffBlocked) {
        MidiWord now = off;
        s_.filter.apply(now);
        if (now == 0) return 0;
    }
    off |= flags;
    if (state & kDelayed) {
        if (delay_) delay_->place();       // the note-on's time is known once it has its slot
        if (noteDue_[note] < 0) return 0;  // the full line dropped it
        const std::int64_t wait = noteDue_[note] - (delay_ ? delay_->time() : delayTime_);
        if (wait >= 0) {
            // Behind its note-on, which still waits (even when delayed output is off now: then
            // both go unsent as the line passes them).
            long distance = static_cast<long>(wait) + 1;
            if (s_.delayOut && delayDistance(frame) > distance) distance = delayDistance(frame);
            if (distance > DelayLine::kSlots - 1) distance = DelayLine::kSlots - 1;
            delayAt(off, static_cast<int>(distance));
            return off & kWordBits;
        }
        if (s_.delayOut) {
            delayInsert(off, frame);
            return off & kWordBits;
        }
    }
    emit(off, frame);
    return off & kWordBits;
}

void MidiEngine::hostSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    if (!sysexOn_ || size > kMaxSysex || !wholeSysex(data, size)) {
        countSysexDrop();
        return;
    }
    sysexChain(data, size, frame);
}

// A SysEx skips replace, filter and the bus (whose blocks hold 3-byte words). It is logged as
// it comes in, as a word is, and with the delay on leaves when the line reaches it.
void MidiEngine::sysexChain(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    if (s_.logOn) logSysex(data, size, frame);
    if (s_.delayOut) {
        delaySysex(data, size, frame);
        return;
    }
    sendSysex(data, size, frame);
}

void MidiEngine::sendSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    if (s_.sendToHost) ports_.hostSysexOutput(data, size, frame);
    if (s_.deviceOut) ports_.deviceSysexOutput(data, size);
}

// The bytes wait in the store; a marker naming them takes the slot a word would take now.
// Placed at once (insertAt places the staged words first), so a full line is known here and
// the bytes go back at once.
void MidiEngine::delaySysex(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    const long handle = delayedSysex_->store(data, size);
    if (handle < 0) {
        countSysexDrop();
        return;
    }
    const MidiWord marker = kSysexFlag | static_cast<MidiWord>(handle);
    if (delayAt(marker, delayDistance(frame)) < 0) {
        delayedSysex_->release(static_cast<std::size_t>(handle));
        countSysexDrop();
    }
}

void MidiEngine::sysexLeaves(MidiWord marker, int frame, bool send) noexcept {
    const std::size_t handle = marker & kWordBits;
    if (send) sendSysex(delayedSysex_->data(handle), delayedSysex_->size(handle), frame);
    delayedSysex_->release(handle);
}

// --- The log
// -------------------------------------------------------------------------------------

std::int32_t MidiEngine::ticksAt(std::int64_t clock) const noexcept {
    return static_cast<std::int32_t>(baseTick_ +
                                     static_cast<std::uint32_t>(rate_.ticks(clock - baseClock_)));
}

void MidiEngine::resetClock() noexcept {
    clock_ = 0;
    baseClock_ = 0;
    baseTick_ = 0;
}

// Switching logging on restarts the sample clock and runs the clock step once at once.
void MidiEngine::restartLogging() noexcept {
    resetClock();
    clockStep();
}

void MidiEngine::metaStep(double tempo, int numerator, int denominator) noexcept {
    if (tempo != rate_.tempo()) tempoStep(tempo);
    if (numerator != writtenNumerator_ || denominator != writtenDenominator_)
        timeSignatureStep(numerator, denominator);
}

void MidiEngine::metaBeforeMessage() noexcept {
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
void MidiEngine::tempoStep(double tempo) noexcept {
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

void MidiEngine::timeSignatureStep(int numerator, int denominator) noexcept {
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

// Each message as it enters the chain, before replacing and filtering.
void MidiEngine::logMessage(MidiWord w, int frame) noexcept {
    if (s_.logMeta && !metaChecked_) [[unlikely]]
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
void MidiEngine::logSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    if (s_.logMeta && !metaChecked_) [[unlikely]]
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

MidiEngine::StagedLine* MidiEngine::stageLine(int frame, std::uint8_t status) noexcept {
    if (s_.clearHeld) return nullptr;
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

void MidiEngine::callLineInfo(LogLineInfo& info) noexcept {
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
void MidiEngine::flushLines() noexcept {
    static_assert(kMaxLogLine <= LogLines::kLineLength);
    if (stagedLineCount_ == 0 || !log_) return;
    if (clearEpoch_.load(std::memory_order_acquire) == lineEpoch_) {
        // The fields the lines share once; per line only its own (the formatting is the
        // reader's).
        LogLineInfo call;
        callLineInfo(call);
        const double quartersPerFrame = call.hasPpq && rateSeen_ > 0.0f
                                            ? time_.tempo / (60.0 * static_cast<double>(rateSeen_))
                                            : 0.0;
        logLines_.appendBatch(stagedLineCount_,
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
            logLines_.append(text, static_cast<std::size_t>(end - text), call);
        }
    }
    linesLost_ = 0;
    stagedLineCount_ = 0;
}

void MidiEngine::record(const RecordedEvent& e) noexcept {
    if (RecordedEvent* slot = stageEvent()) *slot = e;
}

RecordedEvent* MidiEngine::stageEvent() noexcept {
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
void MidiEngine::flushRecording() noexcept {
    if (stagedCount_ == 0 || !log_ || !journalMutex_.try_lock()) return;
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
    journalMutex_.unlock();
}
