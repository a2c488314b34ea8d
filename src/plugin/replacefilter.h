// The two stages that change the stream: the replacer rewrites messages that match a pattern,
// the filter passes or removes messages by five rows. Both read the parameter values directly
// (an array of the 68 current values) and work on the packed word in place.
#pragma once

#include <cstdint>

#include "plugin/midiword.h"

class Replacer {
public:
    // Apply steps: parameters 31..34 (match) and 35..38 (target).
    void applyMatch(int index, const float* p) noexcept;
    void applyTarget(int index, const float* p) noexcept;

    // Rewrites the word when it matches the pattern.
    void replace(MidiWord& w, const float* p) const noexcept;
    bool matches(MidiWord w) const noexcept { return matchTest_(*this, w); }

    std::uint8_t matchStatus() const noexcept { return matchStatus_; }
    bool usesFieldTest() const noexcept { return matchTest_ == &fieldMatch; }

private:
    using MatchTest = bool (*)(const Replacer&, MidiWord) noexcept;
    static bool exactMatch(const Replacer& r, MidiWord w) noexcept;
    static bool fieldMatch(const Replacer& r, MidiWord w) noexcept;

    std::uint8_t matchStatus_ = 0, matchData1_ = 0, matchData2_ = 0;
    bool anyChannel_ = false, anyStatus_ = false, anyData1_ = false, anyData2_ = false;
    std::uint8_t newChannel_ = 0, newVoiceStatus_ = 128, newSystemStatus_ = 233;
    std::uint8_t newData1_ = 0, newData2_ = 0;
    MatchTest matchTest_ = &exactMatch;
};

// The filter stage: sets the word to 0 when the filter type and rows remove it.
void filterMessage(MidiWord& w, const float* p) noexcept;

// The row test of one filter row (1..5) on status byte s and data1 d1.
bool filterRowMatches(int row, unsigned s, unsigned d1, const float* p) noexcept;
