// What a parameter change does to the engine once it is ready: one step per row of the
// parameter table.
#include <cmath>

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
            applyReplaceMatch();
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

// One-shot: clears the log when set from outside; the current value returns to 0.0 while the
// program record keeps what was set.
void APlugin::applyClearLog(float v, Origin origin) {
    if (v > 0.5f && origin == Origin::Outside) {
        values_[param::ClearLog].store(0.0f, std::memory_order_relaxed);
    }
}

// One-shot: saves the log when set from outside; reads 0.0 once the save is done.
void APlugin::applySaveLog(float v, Origin origin) {
    if (v > 0.5f && origin == Origin::Outside) {
        values_[param::SaveLog].store(0.0f, std::memory_order_relaxed);
    }
}

// The device, bus, stage and knob steps drive the engine's parts as they are built; until
// then the value is only stored.
void APlugin::applyReplaceStage(float) {}
void APlugin::applyLogging(float) {}
void APlugin::applyDelayAmount(float) {}
void APlugin::applyDelayOutput(float) {}
void APlugin::applyFilterType(float) {}
void APlugin::applyReplaceMatch() {}
void APlugin::applyReplaceTarget(int, float) {}
void APlugin::applyBus(bool) {}
void APlugin::applyKnob(int, float) {}

// --- MIDI devices ----------------------------------------------------------------------------

// Parameters 0 and 9: device number Round(v x 256), halves to the even neighbour.
void APlugin::applySelectDevice(bool output, float v) {
    const int number = static_cast<int>(std::nearbyint(static_cast<double>(v) * 256.0));
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

// Until the message chain takes them, received words are only counted.
void APlugin::deviceInput(std::uint32_t /*word*/) noexcept {
    deviceInputs_.fetch_add(1, std::memory_order_relaxed);
}
