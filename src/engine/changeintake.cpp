#include "engine/changeintake.h"

#include <bit>
#include <utility>

#include "engine/replacefilter.h"
#include "engine/sysex.h"

namespace {
// Whether number a (of the change count, or of a knob's own count) came after b; the counts
// wrap.
bool later(std::uint32_t a, std::uint32_t b) noexcept {
    return static_cast<std::int32_t>(a - b) > 0;
}
}  // namespace

ChangeIntake::ChangeIntake(std::uint32_t matchState) : matchState_(matchState) {
    for (int i = 0; i < kNumParams; ++i)
        values_[static_cast<std::size_t>(i)].store(
            kParameters[static_cast<std::size_t>(i)].defaultValue, std::memory_order_relaxed);
}

ChangeIntake::~ChangeIntake() = default;

void ChangeIntake::enableSysex(std::size_t bytes) {
    sysexIn_ = std::make_unique<platform::MessageRing>(bytes);
    sysexScratch_ = std::make_unique<std::uint8_t[]>(kMaxSysex);
}

// Folds parameter 31 or 32 into the match state; true when that changed it.
bool ChangeIntake::foldMatch(int index, float value) noexcept {
    std::uint32_t state = matchState_.load(std::memory_order_relaxed), folded;
    do {
        folded = Replacer::foldMatch(state, index, value);
    } while (!matchState_.compare_exchange_weak(state, folded, std::memory_order_relaxed));
    return folded != state;
}

// The word is made now, from the channel and message kind the knob has now.
void ChangeIntake::queueKnob(int knob, float value, std::uint32_t number) noexcept {
    const auto k = static_cast<std::size_t>(knob);
    const MidiWord word = knobWordOf(value, this->value(param::KnobChannel1 + knob),
                                     this->value(param::KnobMessage1 + knob));
    const std::uint32_t count = knobCount_[k].fetch_add(1, std::memory_order_relaxed) + 1;
    // Two threads moving one knob at once may get here in either order: the later count wins.
    const std::uint64_t mine = std::uint64_t{count} << 32 | word;
    std::uint64_t newest = knobNewest_[k].load(std::memory_order_relaxed);
    while (later(count, static_cast<std::uint32_t>(newest >> 32)) &&
           !knobNewest_[k].compare_exchange_weak(newest, mine, std::memory_order_release,
                                                 std::memory_order_relaxed)) {
    }
    const KnobChange change{number, count, word | static_cast<MidiWord>(knob) << 24};
    if (KnobQueue* queue = knobs_.load(std::memory_order_acquire))
        queue->push(change);
    else
        smallKnobs_.push(change);
}

bool ChangeIntake::prepare(bool wanted) {
    std::lock_guard<std::mutex> lock(producerMutex_);
    if (knobsWanted_.load(std::memory_order_relaxed) && !madeKnobs_) {
        madeKnobs_ = std::make_unique<KnobQueue>();
        knobs_.store(madeKnobs_.get(), std::memory_order_release);
    }
    DeviceWords* published = producerWords_.load(std::memory_order_relaxed);
    if (wanted) {
        if (published) return false;
        if (!madeWords_) madeWords_ = std::make_unique<DeviceWords>();
        producerWords_.store(madeWords_.get(), std::memory_order_release);
        return true;
    }
    bool look = false;
    // Back to the small queue only once the processing thread has taken every word, so the
    // words keep their order.
    if (published && published->drained()) {
        producerWords_.store(nullptr);
        published = nullptr;
        look = true;
    }
    if (!published && madeWords_ && consumerWords_.load() != madeWords_.get()) madeWords_.reset();
    return look;
}

void ChangeIntake::deviceInput(MidiWord word) noexcept {
    std::lock_guard<std::mutex> lock(producerMutex_);
    const QueuedWord w{word & kWordBits, changeCount_.load(std::memory_order_relaxed)};
    DeviceWords* words = producerWords_.load(std::memory_order_relaxed);
    if (!(words ? words->push(w) : smallWords_.push(w)))
        wordDrops_.fetch_add(1, std::memory_order_relaxed);
    markPending();
}

bool ChangeIntake::deviceSysex(const std::uint8_t* data, std::size_t size) noexcept {
    std::lock_guard<std::mutex> lock(producerMutex_);
    DeviceWords* words = producerWords_.load(std::memory_order_relaxed);
    // The bytes first: the word that marks their place is pushed only when both fit.
    if ((words ? words->full() : smallWords_.full()) || !sysexIn_->push(data, size)) return false;
    const QueuedWord w{kSysexFlag, changeCount_.load(std::memory_order_relaxed)};
    if (words)
        words->push(w);
    else
        smallWords_.push(w);
    markPending();
    return true;
}

std::size_t ChangeIntake::dropped() const noexcept {
    const KnobQueue* queue = knobs_.load(std::memory_order_acquire);
    const std::size_t knobsLost = (queue ? queue->dropped() : 0) + smallKnobs_.dropped() +
                                  knobsPassed_.load(std::memory_order_relaxed);
    const std::size_t knobsFound = knobsFromNewest_.load(std::memory_order_relaxed);
    return wordDrops_.load(std::memory_order_relaxed) +
           (knobsLost > knobsFound ? knobsLost - knobsFound : 0);
}

// A queue stops being the producers' only once it is drained, so the one held is empty when
// the producers have moved on; the preparing thread releases it once it is let go. A queue is
// claimed before it is used and the claim checked against the producers' queue again: the
// preparing thread stops publishing a queue before it looks at the claim, so it never releases
// one in use.
void ChangeIntake::followDeviceWords() noexcept {
    DeviceWords* published = producerWords_.load(std::memory_order_acquire);
    if (published == deviceWords_ || (deviceWords_ && !deviceWords_->empty())) return;
    if (published) {
        consumerWords_.store(published);
        if (producerWords_.load() != published) {  // no longer published: not taken
            consumerWords_.store(deviceWords_);
            letGo_ = true;  // the preparing thread may have kept it for the claim
            return;
        }
    }
    letGo_ = deviceWords_ != nullptr;
    deviceWords_ = published;
    consumerWords_.store(published);
}

bool ChangeIntake::storageWanted() noexcept {
    if (std::exchange(letGo_, false)) return true;
    return deviceWords_ && !switchOn(param::InputMidi, value(param::InputMidi)) &&
           deviceWords_->empty() && producerWords_.load(std::memory_order_relaxed) == deviceWords_;
}

void ChangeIntake::drain(IntakeSink& sink) noexcept {
    takeMarks();
    followDeviceWords();
    QueuedWord w{};
    KnobChange k{};
    KnobQueue* knobs = knobs_.load(std::memory_order_acquire);
    // The small queue's changes came first: the producers leave it once the big one is there.
    auto popKnob = [&](KnobChange& c) { return smallKnobs_.pop(c) || (knobs && knobs->pop(c)); };
    bool word = popWord(w), knob = popKnob(k);
    while (word || knob) {
        if (word && (!knob || !later(w.number, k.number))) {
            decodeBefore(sink, w.number);
            runWord(sink, w);
            word = popWord(w);
        } else {
            decodeBefore(sink, k.number);
            if (!runKnob(sink, k.word >> 24, k.count, k.word))
                knobsPassed_.store(knobsPassed_.load(std::memory_order_relaxed) + 1,
                                   std::memory_order_relaxed);
            knob = popKnob(k);
        }
    }
    decodeBefore(sink, 0, true);
}

void ChangeIntake::takeMarks() noexcept {
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

// Decodes the taken changes numbered before `number`, or all of them. A knob's last change
// marks the place of its newest message: when the full queue refused it (or it is still on its
// way into the queue), it runs from knobNewest_ there.
void ChangeIntake::decodeBefore(IntakeSink& sink, std::uint32_t number, bool all) noexcept {
    bool decoded = false;
    for (; markedNext_ < markedCount_; ++markedNext_) {
        const Marked& m = marked_[markedNext_];
        if (!all && !later(number, m.number)) break;
        if (isKnob(m.index)) {
            if (decoded) sink.settle();
            decoded = false;
            const auto knob = static_cast<std::size_t>(m.index - param::KnobValue1);
            const std::uint64_t newest = knobNewest_[knob].load(std::memory_order_acquire);
            if (runKnob(sink, knob, static_cast<std::uint32_t>(newest >> 32),
                        static_cast<MidiWord>(newest)))
                knobsFromNewest_.store(knobsFromNewest_.load(std::memory_order_relaxed) + 1,
                                       std::memory_order_relaxed);
            continue;
        }
        if (m.index == param::ReplaceMatchChannel || m.index == param::ReplaceMatchStatus)
            sink.decodeMatchState(matchState_.load(std::memory_order_relaxed));
        else
            sink.decode(m.index, value(m.index));
        decoded = true;
    }
    if (decoded) sink.settle();
}

void ChangeIntake::runWord(IntakeSink& sink, const QueuedWord& w) noexcept {
    if (w.word & kSysexFlag) {
        const std::size_t size = sysexIn_->pop(sysexScratch_.get());
        if (size != 0) sink.sysex(sysexScratch_.get(), size);
    } else {
        sink.word(w.word);
    }
}

// Each knob's messages run in the order of its changes: a change older than one whose message
// already ran is passed over. After a change whose message never ran, the next one runs even
// when it repeats the last word a knob sent.
bool ChangeIntake::runKnob(IntakeSink& sink, std::size_t knob, std::uint32_t count,
                           MidiWord word) noexcept {
    if (!later(count, knobRan_[knob])) return false;
    const bool afterMissed = count - knobRan_[knob] != 1;
    knobRan_[knob] = count;
    sink.knob(word & kWordBits, afterMissed);
    return true;
}
