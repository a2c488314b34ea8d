// What a parameter change does to the engine once it is ready: one step per row of the
// parameter table.
#include <cmath>
#include <mutex>

#include "plugin/plugin.h"

void APlugin::applyParameter(int index, float v, Origin origin) {
    if (applyObserver_) applyObserver_(applyContext_, index, v);
    switch (kParameters[index].apply) {
        case ApplyStep::None:
            break;
        case ApplyStep::SelectOutputDevice:
            applySelectDevice(true, v);
            break;
        case ApplyStep::SelectInputDevice:
            applySelectDevice(false, v);
            break;
        case ApplyStep::ReplaceStage:
            applyReplaceStage(v);
            break;
        case ApplyStep::ClearLog:
            applyClearLog(v, origin);
            break;
        case ApplyStep::Logging:
            applyLogging(v);
            break;
        case ApplyStep::DelayAmount:
            applyDelayAmount(v);
            break;
        case ApplyStep::DelayOutput:
            applyDelayOutput(v);
            break;
        case ApplyStep::FilterType:
            applyFilterType(v);
            break;
        case ApplyStep::ReplaceMatch:
            applyReplaceMatch(index);
            break;
        case ApplyStep::ReplaceTarget:
            applyReplaceTarget(index, v);
            break;
        case ApplyStep::OpenInputDevice:
            applyOpenDevice(false, v);
            break;
        case ApplyStep::OpenOutputDevice:
            applyOpenDevice(true, v);
            break;
        case ApplyStep::ReceiveBus:
            applyBus(false);
            break;
        case ApplyStep::SendBus:
            applyBus(true);
            break;
        case ApplyStep::SaveLog:
            applySaveLog(v, origin);
            break;
        case ApplyStep::Knob:
            applyKnob(index - param::KnobValue1, v);
            break;
    }
}

// A one-shot's current value returns to 0.0 once handled, while the program record keeps what
// was set. A replay (setProgram, resume) stores the value but does not act on it: a stored 1.0
// would otherwise clear the log, or save over the file, at every host resume; and it must not
// stay at 1.0 either, where "clear log!" would hold the log shut.
void APlugin::resetOneShot(int index) noexcept {
    values_[index].store(0.0f, std::memory_order_relaxed);
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    params_[index] = 0.0f;
}

void APlugin::applyClearLog(float v, Origin origin) {
    if (v <= 0.5f) return;
    if (origin == Origin::Outside) clearLog();
    resetOneShot(param::ClearLog);
}

// --- MIDI devices ----------------------------------------------------------------------------

// Parameters 0 and 9: device number Round(v x 256), halves to the even neighbour.
void APlugin::applySelectDevice(bool output, float v) {
    const int number = choiceOf(v);
    output ? midiIO_.selectOutputDevice(number) : midiIO_.selectInputDevice(number);
}

// Parameters 39 and 40: open above 0.5, else close.
void APlugin::applyOpenDevice(bool output, float v) {
    output ? midiIO_.setOutputOpen(v > 0.5f) : midiIO_.setInputOpen(v > 0.5f);
}

bool APlugin::deviceOpen(bool output) const noexcept {
    return output ? midiIO_.outputOpen() : midiIO_.inputOpen();
}

void APlugin::deviceInputProc(void* self, std::uint32_t word) noexcept {
    static_cast<APlugin*>(self)->deviceInput(word);
}

// Every word the input device delivers runs the chain on the driver's thread.
void APlugin::deviceInput(MidiWord word) noexcept {
    deviceInputs_.fetch_add(1, std::memory_order_relaxed);
    runChain(word, 0);
}
