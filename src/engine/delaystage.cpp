#include "engine/delaystage.h"

#include "engine/midiword.h"

namespace {
constexpr std::size_t kDelayedSysexBytes = 1u << 20;
constexpr std::size_t kDelayedSysexEntries = 4096;
}  // namespace

void DelayStage::enableSysex() {
    sysex_ = std::make_unique<DelayedSysex>(kDelayedSysexBytes, kDelayedSysexEntries);
}

void DelayStage::takeLine() noexcept {
    if (DelayLine* line = line_.take()) {
        line->setDelay(frames_);
        wait_.moveTo(*line, waitTime_);
    }
}

bool DelayStage::handBackLine() noexcept {
    const DelayLine* line = line_.get();
    if (line->occupied() != 0 || !line_.canHandBack()) return false;
    waitTime_ = line->time();
    dropsBefore_ += line->dropped();
    line_.handBack();
    return true;
}

std::int64_t DelayStage::insertAt(MidiWord word, int distance) noexcept {
    if (DelayLine* line = line_.get()) return line->insertAt(word, distance);
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
