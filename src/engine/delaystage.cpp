#include "engine/delaystage.h"

#include <bit>
#include <utility>

#include "engine/midiword.h"

namespace {
constexpr std::size_t kDelayedSysexBytes = 1u << 20;
constexpr std::size_t kDelayedSysexEntries = 4096;
}  // namespace

void DelayStage::enableSysex() {
    sysex_ = std::make_unique<DelayedSysex>(kDelayedSysexBytes, kDelayedSysexEntries);
}

void DelayStage::takeLine() noexcept {
    Store* store = store_.take();
    if (!store) return;
    store->line.setDelay(frames_);
    wait_.moveTo(store->line, waitTime_);
    // The wait keeps each frame's word at its own frame count, so the times stay as they were.
    for (std::size_t i = 0; i < waitDueCount_; ++i)
        store->dues[waitDues_[i].note] = waitDues_[i].due;
    waitDueCount_ = 0;
    for (std::size_t w = 0; w < droppedNotes_.size(); ++w)
        for (std::uint64_t bits = std::exchange(droppedNotes_[w], 0); bits != 0; bits &= bits - 1)
            store->dues[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))] = -1;
}

// Every note-on in the line has left by then: only the dropped ones are kept (droppedNotes_).
bool DelayStage::handBackLine() noexcept {
    const Store* store = store_.get();
    if (store->line.occupied() != 0 || !store_.canHandBack()) return false;
    waitTime_ = store->line.time();
    dropsBefore_ += store->line.dropped();
    for (std::size_t n = 0; n < kNotes; ++n)
        if (store->dues[n] < 0) droppedNotes_[n / 64] |= std::uint64_t{1} << (n % 64);
    store_.handBack();
    return true;
}

std::int64_t DelayStage::noteDue(std::size_t note) const noexcept {
    if (const Store* store = store_.get()) return store->dues[note];
    for (std::size_t i = 0; i < waitDueCount_; ++i)
        if (waitDues_[i].note == note) return waitDues_[i].due;
    if (droppedNotes_[note / 64] >> (note % 64) & 1) return -1;
    return waitTime_ - 1;  // it has left
}

// An entry whose note-on has left (its time before now) makes room: at most one entry per word
// in the wait is still waiting.
void DelayStage::waitNote(MidiWord word, int frame, std::size_t note) noexcept {
    const std::int64_t due = insertAt(word, distance(frame));
    const std::uint64_t bit = std::uint64_t{1} << (note % 64);
    droppedNotes_[note / 64] &= ~bit;
    std::size_t at = 0;
    while (at < waitDueCount_ && waitDues_[at].note != note) ++at;
    if (due < 0) {
        droppedNotes_[note / 64] |= bit;
        if (at < waitDueCount_) waitDues_[at] = waitDues_[--waitDueCount_];
        return;
    }
    if (at == waitDueCount_) {
        for (at = 0; at < waitDueCount_ && waitDues_[at].due >= waitTime_; ++at) {
        }
        if (at == waitDueCount_) {
            if (at == waitDues_.size()) return;  // never: every entry still waiting has a word
            ++waitDueCount_;
        }
    }
    waitDues_[at] = {due, note};
}

std::int64_t DelayStage::insertAt(MidiWord word, int distance) noexcept {
    if (DelayLine* line = lineIn()) return line->insertAt(word, distance);
    if (word == 0) return -1;
    const std::int64_t at = wait_.insert(word, waitTime_ + distance);
    if (at < 0) ++dropsBefore_;
    return at;
}

// The bytes wait in the store; a marker naming them takes the slot a word would take now.
// Placed at once (insertAt places the staged words first), so a full line is known here and
// the bytes go back at once.
bool DelayStage::insertSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    const long handle = sysex_->store(data, size);
    if (handle < 0) return false;
    const MidiWord marker = kSysexFlag | static_cast<MidiWord>(handle);
    if (insertAt(marker, distance(frame)) >= 0) return true;
    sysex_->release(static_cast<std::size_t>(handle));
    return false;
}

const std::uint8_t* DelayStage::sysexData(MidiWord marker) const noexcept {
    return sysex_->data(marker & kWordBits);
}

std::size_t DelayStage::sysexSize(MidiWord marker) const noexcept {
    return sysex_->size(marker & kWordBits);
}

void DelayStage::releaseSysex(MidiWord marker) noexcept {
    sysex_->release(marker & kWordBits);
}
