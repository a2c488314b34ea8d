// What a parameter change does in the front end once the plug-in is ready: the wishes for the
// devices, the buses' flags, the log file and the one-shots. They run on the thread that set
// the value and never wait (devices and saves are the worker's); the engine decodes the values
// its messages need by itself.
#include "plugin/plugin.h"

void APlugin::applyParameter(int index, float v, Origin origin) {
    if (applyObserver_) applyObserver_(applyContext_, index, v);
    switch (kParameters[index].apply) {
        case ApplyStep::SelectOutputDevice:
        case ApplyStep::SelectInputDevice:
        case ApplyStep::OpenInputDevice:
        case ApplyStep::OpenOutputDevice:
            devices_.wish(index, v);
            break;
        case ApplyStep::ClearLog:
            applyClearLog(v, origin);
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
        default:
            break;
    }
}

// A one-shot's current value returns to 0.0 once handled, while the program record keeps what
// was set. A replay (setProgram, resume) stores the value but does not act on it: a stored 1.0
// would otherwise clear the log, or save over the file, at every host resume; and it must not
// stay at 1.0 either, where "clear log!" would hold the log shut.
void APlugin::resetOneShot(int index) noexcept {
    values_[index].store(0.0f, std::memory_order_relaxed);
    engine_.setParameter(index, 0.0f);
}

void APlugin::applyClearLog(float v, Origin origin) {
    if (!switchOn(param::ClearLog, v)) return;
    if (origin == Origin::Outside) engine_.clearLog();
    resetOneShot(param::ClearLog);
}

// --- Buses -------------------------------------------------------------------------------------

// The sender flag tells other participants that this instance writes to its send bus; the
// feedback warning comes whenever a bus setting leaves both switches on one bus.
void APlugin::applyBus(bool send) {
    if (busFlags_.apply(*bus_, send, values_)) {
        feedbackRaised_.fetch_add(1, std::memory_order_relaxed);
        raiseNotice(EngineNotice::FeedbackLoop);
    }
}

// --- MIDI devices ----------------------------------------------------------------------------

bool APlugin::deviceOpen(bool output) const noexcept {
    return devices_.open(output);
}

void APlugin::deviceInputProc(void* self, std::uint32_t word) noexcept {
    static_cast<APlugin*>(self)->deviceInput(word);
}

// Every word the input device delivers runs the chain at the start of the next processing call.
void APlugin::deviceInput(MidiWord word) noexcept {
    deviceInputs_.fetch_add(1, std::memory_order_relaxed);
    engine_.deviceInput(word);
}

// A SysEx from the input device runs in order with its words at the next processing call.
void APlugin::deviceSysexProc(void* self, const std::uint8_t* data, std::size_t size) noexcept {
    auto* p = static_cast<APlugin*>(self);
    p->deviceInputs_.fetch_add(1, std::memory_order_relaxed);
    p->engine_.deviceSysexInput(data, size);
}
