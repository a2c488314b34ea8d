#include "engine/settingsdecoder.h"

SettingsDecoder::SettingsDecoder(Defaults) noexcept {
    for (int i = 0; i < kNumParams; ++i)
        values_[static_cast<std::size_t>(i)] =
            kParameters[static_cast<std::size_t>(i)].defaultValue;
    // Every default decoded, except "log?" whose switch-on is an event of its own; the filter's
    // rows, which any one of their parameters decodes all together, once.
    for (int i = 0; i < kNumParams; ++i)
        if (i != param::Log && (i <= param::FilterRow1 || i >= param::FilterRowsEnd))
            apply(i, values_[static_cast<std::size_t>(i)]);
}

// Decoded once per process; every instance starts from a copy.
SettingsDecoder::SettingsDecoder() noexcept {
    static const SettingsDecoder defaults{Defaults{}};
    *this = defaults;
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
