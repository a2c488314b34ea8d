#include "plugin/replacefilter.h"

namespace {
double x256(float v) noexcept {
    return static_cast<double>(v) * 256.0;
}
std::uint8_t byteOf(int v) noexcept {
    return static_cast<std::uint8_t>(v & 0xFF);
}
}  // namespace

// --- Replacer ----------------------------------------------------------------------------------

void Replacer::applyMatch(int index, const float* p) noexcept {
    const float channel = p[31], status = p[32], data1 = p[33], data2 = p[34];
    switch (index) {
        case 31:
            // Ignored while the match status is a system status or ANY.
            if (x256(status) > 6.0) break;
            anyChannel_ = false;
            if (static_cast<double>(channel) <= 0.0586) {
                matchStatus_ = byteOf((matchStatus_ & 0xF0) + roundEven(x256(channel)));
            } else {
                anyChannel_ = true;
            }
            break;
        case 32:
            anyStatus_ = false;
            if (static_cast<double>(status) > 0.0898) {
                anyStatus_ = true;
            } else if (x256(status) <= 6.0) {
                matchStatus_ = byteOf(roundEven(static_cast<double>(status) * 4096.0) +
                                      (matchStatus_ & 0x0F) + 128);
            } else {
                matchStatus_ = byteOf(roundEven(x256(status)) + 233);
            }
            break;
        case 33:
            anyData1_ = false;
            if (static_cast<double>(data1) <= 0.4961) {
                matchData1_ = byteOf(roundEven(x256(data1)));
            } else {
                anyData1_ = true;
            }
            break;
        case 34:
            anyData2_ = false;
            if (static_cast<double>(data2) <= 0.4961) {
                matchData2_ = byteOf(roundEven(x256(data2)));
            } else {
                anyData2_ = true;
            }
            break;
        default:
            return;
    }
    matchTest_ = (anyChannel_ || anyStatus_ || anyData1_ || anyData2_) ? &fieldMatch : &exactMatch;
}

void Replacer::applyTarget(int index, const float* p) noexcept {
    switch (index) {
        case 35:
            newChannel_ = byteOf(roundEven(x256(p[35])));
            break;
        case 36:
            newVoiceStatus_ = byteOf(16 * roundEven(x256(p[36])) + 128);
            newSystemStatus_ = byteOf(roundEven(x256(p[36])) + 233);
            break;
        case 37:
            newData1_ = byteOf(roundEven(x256(p[37])));
            break;
        case 38:
            newData2_ = byteOf(roundEven(x256(p[38])));
            break;
        default:
            break;
    }
}

bool Replacer::exactMatch(const Replacer& r, MidiWord w) noexcept {
    return (w & 0xFFFFFFu) == packWord(r.matchStatus_, r.matchData1_, r.matchData2_);
}

bool Replacer::fieldMatch(const Replacer& r, MidiWord w) noexcept {
    const unsigned s = wordStatus(w);
    bool ok = r.anyChannel_ || (s & 0x0F) == (r.matchStatus_ & 0x0Fu);
    if (!r.anyStatus_) ok = ok && (s & 0xF0) == (r.matchStatus_ & 0xF0u);
    if (!r.anyData1_) ok = ok && wordData1(w) == r.matchData1_;
    if (!r.anyData2_) ok = ok && wordData2(w) == r.matchData2_;
    return ok;
}

void Replacer::replace(MidiWord& w, const float* p) const noexcept {
    const unsigned in0 = wordStatus(w), in1 = wordData1(w), in2 = wordData2(w);
    if (!matches(w)) return;
    unsigned s = in0, d1 = in1, d2 = in2;
    if (p[35] < 0.0625f) s = ((s & 0xF0) + newChannel_) & 0xFF;
    if (x256(p[36]) <= 6.0) {
        s = ((s & 0x0F) + newVoiceStatus_) & 0xFF;
    } else if (static_cast<double>(p[36]) < 0.0898) {
        s = newSystemStatus_;
    }
    if (p[37] < 0.5f) {
        d1 = newData1_;
    } else if (p[37] == 0.5f) {
        d1 = in0;
    } else if (p[37] == 0.50390625f) {
        d1 = in2;
    }
    if (p[38] < 0.5f) {
        d2 = newData2_;
    } else if (p[38] == 0.5f) {
        d2 = in0;
    } else if (p[38] == 0.50390625f) {
        d2 = in1;
    }
    w = packWord(s, d1, d2);
}

// --- Filter ------------------------------------------------------------------------------------

bool filterRowMatches(int row, unsigned s, unsigned d1, const float* p) noexcept {
    const int b = 7 + 4 * row;
    const float e = p[b], h = p[b + 1], t = p[b + 2], k = p[b + 3];
    if (e < 0.5f) return false;
    const int hn = roundEven(x256(h)), tn = roundEven(x256(t)), kn = roundEven(x256(k));
    const bool systemRow = x256(t) > 6.0;
    if (systemRow && s == static_cast<unsigned>(tn + 233)) return true;
    if (hn < 16) {
        const int expected = roundEven(128.0 + 4096.0 * static_cast<double>(t) + x256(h));
        if (tn == 3) {
            return static_cast<int>(s) == expected && (kn > 127 || static_cast<int>(d1) == kn);
        }
        if (x256(t) < 7.0) return static_cast<int>(s) == expected;
    }
    if (hn != 16) return false;
    const unsigned sc = s & 0xF0;
    if (tn == 3) return sc == 176 && (kn > 127 || static_cast<int>(d1) == kn);
    if (x256(t) >= 7.0) return false;
    return static_cast<int>(sc) == roundEven(128.0 + 4096.0 * static_cast<double>(t));
}

void filterMessage(MidiWord& w, const float* p) noexcept {
    const float type = p[10];
    if (static_cast<double>(type) < 0.21) {
        w = 0;
        return;
    }
    const bool allowOnly = type >= 0.5f;
    const unsigned s = wordStatus(w), d1 = wordData1(w);
    for (int row = 1; row <= 5; ++row) {
        if (filterRowMatches(row, s, d1, p)) {
            if (!allowOnly) w = 0;
            return;
        }
    }
    if (allowOnly) w = 0;
}
