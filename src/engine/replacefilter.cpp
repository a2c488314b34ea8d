#include "engine/replacefilter.h"

namespace {
using namespace replacecode;

double x256(float v) noexcept {
    return static_cast<double>(v) * 256.0;
}
std::uint8_t byteOf(int v) noexcept {
    return static_cast<std::uint8_t>(v & 0xFF);
}
}  // namespace

// --- Replacer ----------------------------------------------------------------------------------

std::uint32_t Replacer::foldMatch(std::uint32_t state, int index, float v) noexcept {
    unsigned byte0 = state & 0xFFu;
    std::uint32_t flags = state & ~0xFFu;
    if (index == param::ReplaceMatchChannel) {
        // Ignored while the match status is a system status or ANY.
        if (flags & kChannelIgnored) return state;
        flags &= ~kAnyChannel;
        if (static_cast<double>(v) <= kChannelAny) {
            byte0 = byteOf(static_cast<int>(byte0 & 0xF0) + roundEven(x256(v)));
        } else {
            flags |= kAnyChannel;
        }
    } else if (index == param::ReplaceMatchStatus) {
        flags &= ~(kAnyStatus | kChannelIgnored);
        if (x256(v) > kLastVoiceStatus) flags |= kChannelIgnored;
        if (static_cast<double>(v) > kStatusAny) {
            flags |= kAnyStatus;
        } else if (x256(v) <= kLastVoiceStatus) {
            byte0 = byteOf(roundEven(static_cast<double>(v) * 4096.0) +
                           static_cast<int>(byte0 & 0x0F) + 128);
        } else {
            byte0 = byteOf(roundEven(x256(v)) + kSystemBase);
        }
    }
    return flags | byte0;
}

void Replacer::setMatchState(std::uint32_t state) noexcept {
    match_ = state;
    updateMatch();
}

void Replacer::applyMatch(int index, const float* p) noexcept {
    const float data1 = p[param::ReplaceMatchData1], data2 = p[param::ReplaceMatchData2];
    switch (index) {
        case param::ReplaceMatchChannel:
        case param::ReplaceMatchStatus:
            match_ = foldMatch(match_, index, p[index]);
            break;
        case param::ReplaceMatchData1:
            anyData1_ = false;
            if (static_cast<double>(data1) <= kDataAny) {
                matchData1_ = byteOf(roundEven(x256(data1)));
            } else {
                anyData1_ = true;
            }
            break;
        case param::ReplaceMatchData2:
            anyData2_ = false;
            if (static_cast<double>(data2) <= kDataAny) {
                matchData2_ = byteOf(roundEven(x256(data2)));
            } else {
                anyData2_ = true;
            }
            break;
        default:
            return;
    }
    updateMatch();
}

void Replacer::updateMatch() noexcept {
    const bool anyChannel = (match_ & kAnyChannel) != 0, anyStatus = (match_ & kAnyStatus) != 0;
    field_ = anyChannel || anyStatus || anyData1_ || anyData2_;
    matchMask_ = (anyChannel ? 0u : 0x0Fu) | (anyStatus ? 0u : 0xF0u) | (anyData1_ ? 0u : 0xFF00u) |
                 (anyData2_ ? 0u : 0xFF0000u);
    matchValue_ = packWord(matchStatus(), matchData1_, matchData2_) & matchMask_;
}

Replacer::DataMode Replacer::dataModeOf(float v) noexcept {
    if (v < kDataNew) return DataMode::New;
    if (v == kDataFromStatus) return DataMode::FromStatus;
    if (v == kDataFromOther) return DataMode::FromOther;
    return DataMode::Keep;
}

void Replacer::applyTarget(int index, const float* p) noexcept {
    const float v = p[index];
    switch (index) {
        case param::ReplaceNewChannel:
            newChannel_ = byteOf(roundEven(x256(v)));
            setChannel_ = v < kNewChannelBelow;
            break;
        case param::ReplaceNewStatus:
            newVoiceStatus_ = byteOf(16 * roundEven(x256(v)) + 128);
            newSystemStatus_ = byteOf(roundEven(x256(v)) + kSystemBase);
            statusMode_ = x256(v) <= kLastVoiceStatus           ? StatusMode::Voice
                          : static_cast<double>(v) < kStatusAny ? StatusMode::System
                                                                : StatusMode::Keep;
            break;
        case param::ReplaceNewData1:
            newData1_ = byteOf(roundEven(x256(v)));
            data1Mode_ = dataModeOf(v);
            break;
        case param::ReplaceNewData2:
            newData2_ = byteOf(roundEven(x256(v)));
            data2Mode_ = dataModeOf(v);
            break;
        default:
            break;
    }
}

// A data byte of the rewritten message: the new value, the status byte, the other data byte,
// or the byte as it was.
unsigned Replacer::dataByte(DataMode mode, unsigned newValue, unsigned status, unsigned own,
                            unsigned other) noexcept {
    switch (mode) {
        case DataMode::New:
            return newValue;
        case DataMode::FromStatus:
            return status;
        case DataMode::FromOther:
            return other;
        case DataMode::Keep:
            break;
    }
    return own;
}

MidiWord Replacer::rewritten(MidiWord w) const noexcept {
    const unsigned in0 = wordStatus(w), in1 = wordData1(w), in2 = wordData2(w);
    unsigned s = in0, d1 = 0, d2 = 0;
    if (setChannel_) s = ((s & 0xF0) + newChannel_) & 0xFF;
    if (statusMode_ == StatusMode::Voice) {
        s = ((s & 0x0F) + newVoiceStatus_) & 0xFF;
    } else if (statusMode_ == StatusMode::System) {
        s = newSystemStatus_;
    }
    d1 = dataByte(data1Mode_, newData1_, in0, in1, in2);
    d2 = dataByte(data2Mode_, newData2_, in0, in2, in1);
    return packWord(s, d1, d2);
}

// --- Filter ------------------------------------------------------------------------------------

// Channel entry 16 is ALL; status entry 3 is the control change, whose row also names a
// controller (entries beyond 127: ANY); entries past the voice statuses are system statuses.
FilterRow decodeFilterRow(float enable, float channel, float status, float cc) noexcept {
    FilterRow r;
    r.on = enable >= 0.5f;
    const int hn = roundEven(x256(channel)), tn = roundEven(x256(status));
    const int kn = roundEven(x256(cc));
    const double t = x256(status);
    r.cc = kn > 127 ? -1 : kn;
    if (t > kLastVoiceStatus) r.systemStatus = tn + kSystemBase;
    if (hn < 16) {
        r.status = roundEven(128.0 + 4096.0 * static_cast<double>(status) + x256(channel));
        if (tn == 3) {
            r.kind = FilterRow::Kind::StatusCc;
        } else if (t < kLastVoiceStatus + 1.0) {
            r.kind = FilterRow::Kind::Status;
        }
    } else if (hn == 16) {
        if (tn == 3) {
            r.kind = FilterRow::Kind::ControlClass;
        } else if (t < kLastVoiceStatus + 1.0) {
            r.kind = FilterRow::Kind::StatusClass;
            r.status = roundEven(128.0 + 4096.0 * static_cast<double>(status));
        }
    }
    return r;
}

void Filter::applyRows(const float* p) noexcept {
    active = 0;
    for (int row = 0; row < param::kFilterRows; ++row) {
        const FilterRow r = decodeFilterRow(p[param::filterRow(row, param::FilterEnable)],
                                            p[param::filterRow(row, param::FilterChannel)],
                                            p[param::filterRow(row, param::FilterStatus)],
                                            p[param::filterRow(row, param::FilterCc)]);
        if (r.on) rows[static_cast<std::size_t>(active++)] = r;
    }
}
