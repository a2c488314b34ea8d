// The two stages that change the stream: the replacer rewrites messages that match a pattern,
// the filter passes or removes messages by five rows. Each is decoded from the parameter values
// once, when a value changes; the per-message work reads only the decoded integers.
#pragma once

#include <array>
#include <cstdint>

#include "engine/midiword.h"
#include "engine/parameters.h"

class Replacer {
public:
    // Decoding: match parameters 31..34 and target parameters 35..38 from the array of current
    // values. A match step depends on the state earlier steps left, so steps run in the order
    // the values were set.
    void applyMatch(int index, const float* p) noexcept;
    void applyTarget(int index, const float* p) noexcept;

    // The part of the match state that depends on the order of changes: match byte 0 and the
    // flags of parameters 31 and 32 (a channel set while the status is a system status or ANY
    // is ignored; a system status overwrites the channel bits), packed into one number.
    // foldMatch is one step of 31 or 32 on it, a pure function: threads that set parameters
    // fold their changes into a shared copy in the order they make them, and the processing
    // thread applies the result with setMatchState.
    static std::uint32_t foldMatch(std::uint32_t state, int index, float v) noexcept;
    std::uint32_t matchState() const noexcept { return match_; }
    void setMatchState(std::uint32_t state) noexcept;

    // Rewrites the word when it matches the pattern.
    void replace(MidiWord& w) const noexcept {
        if (matches(w)) w = rewritten(w);
    }
    // The fields that are not ANY must equal the pattern's.
    bool matches(MidiWord w) const noexcept { return (w & matchMask_) == matchValue_; }

    std::uint8_t matchStatus() const noexcept { return static_cast<std::uint8_t>(match_); }
    bool usesFieldTest() const noexcept { return field_; }

private:
    enum class StatusMode : std::uint8_t { Voice, System, Keep };
    enum class DataMode : std::uint8_t { New, FromStatus, FromOther, Keep };
    // By value: a word passed by address to a call out of line would live in memory on the
    // per-message path even when nothing is replaced.
    MidiWord rewritten(MidiWord w) const noexcept;
    static DataMode dataModeOf(float v) noexcept;
    static unsigned dataByte(DataMode mode, unsigned newValue, unsigned status, unsigned own,
                             unsigned other) noexcept;

    void updateMatch() noexcept;

    // matchState(): byte 0 in bits 0..7, then the flags below.
    static constexpr std::uint32_t kAnyChannel = 1u << 8, kAnyStatus = 1u << 9,
                                   kChannelIgnored = 1u << 10;
    std::uint32_t match_ = 0;
    std::uint8_t matchData1_ = 0, matchData2_ = 0;
    bool anyData1_ = false, anyData2_ = false;
    bool field_ = false;
    MidiWord matchMask_ = 0xFFFFFFu, matchValue_ = 0;
    bool setChannel_ = true;
    StatusMode statusMode_ = StatusMode::Voice;
    DataMode data1Mode_ = DataMode::New, data2Mode_ = DataMode::New;
    std::uint8_t newChannel_ = 0, newVoiceStatus_ = 128, newSystemStatus_ = 233;
    std::uint8_t newData1_ = 0, newData2_ = 0;
};

// One filter row decoded: which statuses (and controller) it names.
struct FilterRow {
    enum class Kind : std::uint8_t { None, Status, StatusCc, StatusClass, ControlClass };
    bool on = false;
    Kind kind = Kind::None;
    int systemStatus = -1;  // a system row's status, or -1
    int status = 0;         // the full status (Status, StatusCc) or its high nibble
    int cc = -1;            // the controller, or -1 for ANY
    bool matches(unsigned s, unsigned d1) const noexcept {
        if (static_cast<int>(s) == systemStatus) return true;
        switch (kind) {
            case Kind::Status:
                return static_cast<int>(s) == status;
            case Kind::StatusCc:
                return static_cast<int>(s) == status && (cc < 0 || static_cast<int>(d1) == cc);
            case Kind::StatusClass:
                return static_cast<int>(s & 0xF0) == status;
            case Kind::ControlClass:
                return (s & 0xF0) == 0xB0 && (cc < 0 || static_cast<int>(d1) == cc);
            case Kind::None:
                break;
        }
        return false;
    }
};

// The filter: its type and the rows that are switched on.
struct Filter {
    FilterMode mode = FilterMode::AllowAll;
    std::array<FilterRow, 5> rows{};
    int active = 0;  // rows_[0..active) are the rows switched on

    // Decoding (the thread that sets parameters): the type or one row from the current values.
    void applyType(float type) noexcept { mode = filterModeOf(type); }
    void applyRows(const float* p) noexcept;

    // Sets the word to 0 when the type and rows remove it.
    void apply(MidiWord& w) const noexcept {
        if (mode == FilterMode::AllowAll) return;
        if (mode == FilterMode::BlockAll) {
            w = 0;
            return;
        }
        const bool hit = anyRowMatches(w);
        if (hit != (mode == FilterMode::AllowOnly)) w = 0;
    }
    bool anyRowMatches(MidiWord w) const noexcept {
        const unsigned s = wordStatus(w), d1 = wordData1(w);
        for (int i = 0; i < active; ++i)
            if (rows[static_cast<std::size_t>(i)].matches(s, d1)) return true;
        return false;
    }
};

// Row `row` (1..5) decoded from its enable, channel, status and cc values.
FilterRow decodeFilterRow(float enable, float channel, float status, float cc) noexcept;
