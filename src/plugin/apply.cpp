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

// The device and log steps drive parts that are built separately; until then the value is
// only stored.
void APlugin::applySelectDevice(bool, float) {}
void APlugin::applyOpenDevice(bool, float) {}
bool APlugin::deviceOpen(bool) const noexcept {
    return false;
}
void APlugin::applyLogging(float) {}
