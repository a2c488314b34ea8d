#include "engine/midiengine.h"

#include "engine/sysex.h"
#include "platform/midi.h"
#include "vstbus/vstbus.h"

struct MidiEngine::BusStore {
    std::array<MidiWord, vstbus::kMaxCapacity> words{};
};

MidiEngine::MidiEngine(EnginePorts& ports)
    : ports_(ports),
      intake_(decoder_.settings().replacer.matchState()),
      router_(ports, delay_),
      journal_(ports) {
    router_.apply(decoder_.settings());
    journal_.apply(decoder_.settings());
}

MidiEngine::~MidiEngine() = default;

void MidiEngine::enableSysex() {
    if (sysexOn_) return;
    intake_.enableSysex(kSysexQueue);
    delay_.enableSysex();
    journal_.enableSysex();
    sysexOn_ = true;
}

// --- The other threads' side ---------------------------------------------------------------------

void MidiEngine::prepareStorage() {
    std::lock_guard<std::mutex> lock(prepareMutex_);
    auto on = [&](int index) { return switchOn(index, intake_.value(index)); };
    bool made = intake_.prepare(on(param::InputMidi));
    made |= journal_.prepare(on(param::Log));
    made |= delay_.prepare(on(param::DelayOutput));
    made |= bus_.prepare(on(param::GetFromBus));
    if (made) intake_.markPending();
}

void MidiEngine::setParameter(int index, float value) noexcept {
    if (index < 0 || index >= kNumParams) return;
    // Asked before the change, so that off the processing thread the queue is there for it.
    if (intake_.knobQueueWanted(index, value)) ports_.storageWanted();
    // Storage follows a switch's changes only: its last change already asked for it.
    if (!intake_.set(index, value)) return;
    if (index == param::Log || index == param::DelayOutput || index == param::GetFromBus ||
        index == param::InputMidi)
        ports_.storageWanted();
}

void MidiEngine::deviceInput(MidiWord word) noexcept {
    intake_.deviceInput(word);
}

void MidiEngine::deviceSysexInput(const std::uint8_t* data, std::size_t size) noexcept {
    if (!sysexOn_ || size > kMaxSysex || !wholeSysex(data, size) ||
        !intake_.deviceSysex(data, size))
        countSysexDrop();
}

void MidiEngine::clearLog() noexcept {
    journal_.clear(onProcessingThread());
    intake_.markPending();
}

EngineCounters MidiEngine::counters() const noexcept {
    EngineCounters c;
    c.delayDrops = delay_.dropped();
    c.inputQueueDrops = intake_.dropped();
    c.recordingDrops = journal_.droppedRecordings();
    c.soundStreamNotices = soundNotices_.load(std::memory_order_relaxed);
    c.sysexDrops = sysexDrops_.load(std::memory_order_relaxed);
    c.busMalformed = busMalformed_.load(std::memory_order_relaxed);
    return c;
}

// --- The start and end of a processing call ------------------------------------------------------

void MidiEngine::beginCall() noexcept {
    noteProcessingThread();
    delay_.settle();
    journal_.newCall();
    quiet_ = false;
    if (!ownPending_ && !intake_.pending()) return;
    intake_.takePending();
    ownPending_ = !journal_.takeHandedOver();
    delay_.take();
    if (!bus_.get()) bus_.take();
    intake_.drain(*this);
}

void MidiEngine::settle() noexcept {
    const EngineSettings& s = decoder_.settings();
    router_.apply(s);
    delay_.setDelay(s.delayFrames);
    journal_.apply(s);
}

// After a knob change whose message never ran, the next one runs even when it repeats the
// last word a knob sent.
void MidiEngine::knob(MidiWord word, bool afterMissed) noexcept {
    if (afterMissed) lastKnobWord_ = 0;
    if (word == lastKnobWord_) return;
    lastKnobWord_ = chain(word, 0);
}

void MidiEngine::endCall() noexcept {
    delay_.place();  // the call's delayed words take their slots, drops counted
    journal_.endCall();
    const EngineSettings& s = router_.settings();
    bool spent = intake_.storageWanted();
    spent |= journal_.handBack();
    spent |= delay_.handBack(s.delayOut);
    if (bus_.get() && !s.getFromBus && bus_.canHandBack()) {
        bus_.handBack();
        spent = true;
    }
    if (spent) ports_.storageWanted();
    delay_.publishDrops();
    quiet_ =
        !ownPending_ && !s.getFromBus && !s.delayOut && journal_.nothingStaged() && delay_.empty();
}

// What runBlock does for a quiet block while logging, without the checks quiet_ stands for.
void MidiEngine::logBlock(int frames) noexcept {
    delay_.skipQuiet(frames);  // quiet: the line is empty
    if (!journal_.quietBlock(frames)) quiet_ = false;
}

void MidiEngine::runBlock(int frames) noexcept {
    beginCall();
    if (frames > 0) {
        const EngineSettings& s = router_.settings();
        if (s.getFromBus) readBus();
        if (s.logOn) journal_.block(frames);
        if (s.delayOut) {
            delay_.advance(frames, [this](MidiWord w, long offset) {
                if (w & kSysexFlag) [[unlikely]]
                    sysexLeaves(w, static_cast<int>(offset), true);
                else
                    router_.emit(w, static_cast<int>(offset));
            });
        } else {
            // Words the line passes now go unsent; a SysEx's bytes are released.
            delay_.advance(frames, [this](MidiWord w, long) {
                if (w & kSysexFlag) sysexLeaves(w, 0, false);
            });
        }
    }
    endCall();
}

// --- Bus input -----------------------------------------------------------------------------------

// Bits 24..31 must be clear: the chain keeps its own flags there.
MidiWord busMessage(std::uint32_t word) noexcept {
    if ((word & ~0xFF'FFFFu) != 0) return 0;
    const int length = platform::shortMessageLength(static_cast<std::uint8_t>(word));
    const MidiWord data = length == 3 ? 0xFFFF'00u : length == 2 ? 0xFF'00u : 0;
    if (length == 0 || (word & data & 0x8080'00u) != 0) return 0;
    return word & (data | 0xFFu);
}

// The words waiting now run the chain; words arriving later wait for the next block. A word
// that is no short message is dropped and counted.
void MidiEngine::readBus() noexcept {
    // Before the buffer comes, the rest of the words wait on the bus for the next call.
    BusStore* bus = bus_.get();
    MidiWord* words = bus ? bus->words.data() : smallBus_.data();
    const int n = ports_.busTake(router_.settings().receiveBus, words,
                                 bus ? vstbus::kMaxCapacity : static_cast<int>(kSmallBus));
    if (n < 0) {
        // Bus reading stops at once and stays off: the front end switches the parameter off.
        router_.stopBusReading();
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

// --- SysEx ---------------------------------------------------------------------------------------

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
    const EngineSettings& s = router_.settings();
    if (s.logOn) journal_.logSysex(data, size, frame);
    if (!s.delayOut) {
        router_.sendSysex(data, size, frame);
    } else if (!delay_.insertSysex(data, size, frame)) {
        countSysexDrop();
    }
}

void MidiEngine::sysexLeaves(MidiWord marker, int frame, bool send) noexcept {
    if (send) router_.sendSysex(delay_.sysexData(marker), delay_.sysexSize(marker), frame);
    delay_.releaseSysex(marker);
}
