// The message engine: the chain that every message runs through, the outputs, the delay line
// and the per-frame steps that the host's audio callbacks drive.
//
// Threads: the chain is entered from the processing thread, the MIDI driver's thread and any
// thread that sets a knob. Its state is guarded by chainLock_, whose holders do only memory work
// unless they are the processing thread: away from it, host-bound words wait in hostQueue_
// (sent at the start of the next processing call) and device words are sent after the lock is
// released. So the processing thread never waits on I/O, a host call or a notice.
#include <mutex>

#include "plugin/plugin.h"

namespace {
// Marks the calling thread as this instance's processing thread for the length of a call.
class ProcessingScope {
public:
    explicit ProcessingScope(std::atomic<std::thread::id>& slot) noexcept
        : slot_(slot), previous_(slot.exchange(std::this_thread::get_id())) {}
    ~ProcessingScope() { slot_.store(previous_); }
    ProcessingScope(const ProcessingScope&) = delete;
    ProcessingScope& operator=(const ProcessingScope&) = delete;

private:
    std::atomic<std::thread::id>& slot_;
    std::thread::id previous_;
};
}  // namespace

bool APlugin::onProcessingThread() const noexcept {
    return processingThread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// --- The chain ---------------------------------------------------------------------------------

void APlugin::runChain(MidiWord word, VstInt32 frameOffset) noexcept {
    const bool processing = onProcessingThread();
    MidiWord deviceWord = 0;
    {
        std::lock_guard<RecursiveSpinLock> guard(chainLock_);
        chainLocked(word, frameOffset, processing, deviceWord);
    }
    if (deviceWord) deviceSend(deviceWord);
}

MidiWord APlugin::chainLocked(MidiWord word, VstInt32 frameOffset, bool processing,
                              MidiWord& deviceWord) noexcept {
    logStage_(*this, word, frameOffset);
    replaceStage_(*this, word);
    filterStage_(*this, word);
    if (params_[param::DelayOutput] >= 0.5f) {
        delay_.insert(word);
    } else {
        emitLocked(word, processing, deviceWord);
    }
    return word;
}

// Host, send bus, device, in that order.
MidiWord APlugin::emitLocked(MidiWord word, bool processing, MidiWord& deviceWord) noexcept {
    if (word == 0) return 0;
    if (params_[param::SendToHost] > 0.5f) {
        if (processing) {
            sendToHost(word);
        } else {
            hostQueue_.push(word);
        }
    }
    if (params_[param::PutToBus] > 0.5f) busWrite(sendBus_, word);
    if (processing) {
        deviceSend(word);
    } else {
        deviceWord = word;
    }
    return word;
}

void APlugin::sendToHost(MidiWord word) noexcept {
    hostMidiEvent_.midiData[0] = static_cast<char>(wordStatus(word));
    hostMidiEvent_.midiData[1] = static_cast<char>(wordData1(word));
    hostMidiEvent_.midiData[2] = static_cast<char>(wordData2(word));
    hostMidiEvent_.midiData[3] = 0;
    sendVstEventsToHost(&hostEvents_);
}

void APlugin::drainHostQueue() noexcept {
    MidiWord w;
    while (hostQueue_.pop(w)) {
        if (w) sendToHost(w);
    }
}

void APlugin::replaceStep(APlugin& p, MidiWord& w) noexcept {
    p.replacer_.replace(w, p.params_.data());
}

void APlugin::filterStep(APlugin& p, MidiWord& w) noexcept {
    filterMessage(w, p.params_.data());
}

// --- Host entries ------------------------------------------------------------------------------

VstInt32 APlugin::processEvents(VstEvents* events) {
    ProcessingScope scope(processingThread_);
    drainHostQueue();
    if (!events || value(param::ReceiveFromHost) < 0.5f) return 0;
    for (VstInt32 i = 0; i < events->numEvents; ++i) {
        const VstEvent* e = eventAt(events, i);
        if (!e || e->type != kVstMidiType) continue;
        const auto* m = reinterpret_cast<const VstMidiEvent*>(e);
        runChain(packWord(static_cast<std::uint8_t>(m->midiData[0]),
                          static_cast<std::uint8_t>(m->midiData[1]),
                          static_cast<std::uint8_t>(m->midiData[2])),
                 m->deltaFrames);
    }
    return 1;
}

// Audio passes through untouched in both modes: the callbacks only drive the per-frame steps.
void APlugin::process(float** /*inputs*/, float** /*outputs*/, VstInt32 sampleFrames) {
    runFrames(sampleFrames);
}

void APlugin::processReplacing(float** /*inputs*/, float** /*outputs*/, VstInt32 sampleFrames) {
    runFrames(sampleFrames);
}

void APlugin::runFrames(VstInt32 sampleFrames) noexcept {
    ProcessingScope scope(processingThread_);
    drainHostQueue();
    if (sampleFrames <= 0) return;
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    for (VstInt32 i = 0; i < sampleFrames; ++i) sampleTick();
}

void APlugin::sampleTick() noexcept {
    busReadStep_(*this);
    metaLogStep_(*this);
    delayedOutStep_(*this, delay_.take());
}

void APlugin::delayedOutStep(APlugin& p, MidiWord w) noexcept {
    MidiWord unused = 0;
    p.emitLocked(w, true, unused);
}

// Drains the receive bus into the chain (processing thread, chain lock held). The words are
// taken first and run afterwards, so words the chain itself sends to the same bus (a feedback
// loop) wait for the next frame.
void APlugin::busReadStep(APlugin& p) noexcept {
    const int n = p.busTake(p.receiveBus_);
    if (n < 0) {
        // Switch bus reading off first, so the notice appears once.
        p.setParameter(param::GetFromBus, 0.0f);
        p.raiseNotice(EngineNotice::SoundStream);
        return;
    }
    for (int i = 0; i < n; ++i) {
        MidiWord unused = 0;
        p.chainLocked(p.busWords_[static_cast<std::size_t>(i)], 0, true, unused);
    }
}

// --- Apply steps that change the chain ----------------------------------------------------------

void APlugin::applyReplaceStage(float v) {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    replaceStage_ = v > 0.5f ? replaceStep : noMessageStep;
}

void APlugin::applyFilterType(float v) {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    filterStage_ = static_cast<double>(v) < 0.8901 ? filterStep : noMessageStep;
}

void APlugin::applyReplaceMatch(int index) {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    replacer_.applyMatch(index, params_.data());
}

void APlugin::applyReplaceTarget(int index, float) {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    replacer_.applyTarget(index, params_.data());
}

void APlugin::applyDelayAmount(float v) {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    delay_.setDelay(roundEven(static_cast<double>(v) * 32767.0));
}

// Messages go into the line at "delay output?" of at least 0.5 and the line emits at the same
// test, so no message is ever stranded in the ring.
void APlugin::applyDelayOutput(float v) {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    delayedOutStep_ = v >= 0.5f ? delayedOutStep : noOutStep;
}

void APlugin::applyBus(bool send) {
    bool feedback = false;
    {
        std::lock_guard<RecursiveSpinLock> guard(chainLock_);
        const int r = busOf(params_[param::RecvBus]);
        const int s = busOf(params_[param::SendBus]);
        feedback = r == s && params_[param::GetFromBus] > 0.5f && params_[param::PutToBus] > 0.5f;
        if (send) {
            busSetSender(sendBus_, false);
            sendBus_ = s;
        } else {
            receiveBus_ = r;
        }
        if (params_[param::PutToBus] > 0.5f) busSetSender(s, true);
        if (!send) busReadStep_ = params_[param::GetFromBus] > 0.5f ? busReadStep : noFrameStep;
    }
    if (feedback) raiseNotice(EngineNotice::FeedbackLoop);
}

// --- Knobs -------------------------------------------------------------------------------------

MidiWord APlugin::knobWord(int knob) const noexcept {
    const double v = params_[param::KnobValue1 + knob];
    const int channel = choiceOf(params_[param::KnobChannel1 + knob]);
    const float m = params_[param::KnobMessage1 + knob];
    if (m < 0.5f) {
        return packWord(static_cast<unsigned>(channel + 176), static_cast<unsigned>(choiceOf(m)),
                        static_cast<unsigned>(roundEven(v * 127.0)));
    }
    if (m == 0.5f)
        return packWord(static_cast<unsigned>(channel + 192),
                        static_cast<unsigned>(roundEven(v * 127.0)), 0);
    if (m == 0.50390625f)
        return packWord(static_cast<unsigned>(channel + 208),
                        static_cast<unsigned>(roundEven(v * 127.0)), 0);
    // Pitch wheel: data2 holds bits 8..14 of the bend value and data1 bits 1..7, so both stay
    // valid data bytes and data2 x 128 + data1 is the 14-bit bend.
    const int bend = roundEven(v * 32767.0);
    return packWord(static_cast<unsigned>(channel + 224), static_cast<unsigned>((bend >> 1) & 0x7F),
                    static_cast<unsigned>(bend >> 8));
}

void APlugin::applyKnob(int knob, float) {
    const bool processing = onProcessingThread();
    MidiWord deviceWord = 0;
    {
        std::lock_guard<RecursiveSpinLock> guard(chainLock_);
        const MidiWord w = knobWord(knob);
        if (w == lastKnobWord_) return;
        lastKnobWord_ = chainLocked(w, 0, processing, deviceWord);
    }
    if (deviceWord) deviceSend(deviceWord);
}
