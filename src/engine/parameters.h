// The 68 host parameters as one table of data: the engine, the editor and the tests read it.
#pragma once

#include <array>
#include <cstdint>

constexpr int kNumParams = 68;

// How the 0..1 value is read back.
enum class Encoding : std::uint8_t {
    Switch,      // 0.0 off, 1.0 on, tested against 0.5
    OneShot,     // fires when set above 0.5
    Choice,      // entry n stored as n/256, read back as Round(v x 256)
    BusNumber,   // entry n stored as n/256, read back as Trunc(v x 256)
    Slider,      // position / maximum
    FilterType,  // 1.0, 0.8, 0.3, 0.0
    Stored,      // kept and reported, drives nothing
};

// What setParameter does once the engine is ready.
enum class ApplyStep : std::uint8_t {
    None,
    SelectOutputDevice,
    SelectInputDevice,
    ReplaceStage,
    ClearLog,
    Logging,
    DelayAmount,
    DelayOutput,
    FilterType,
    ReplaceMatch,
    ReplaceTarget,
    OpenInputDevice,
    OpenOutputDevice,
    ReceiveBus,
    SendBus,
    SaveLog,
    Knob,
};

struct ParameterInfo {
    const char* name;  // reported to the host, exact to the blank
    Encoding encoding;
    float defaultValue;
    ApplyStep apply;
    // A switch that is on at exactly 0.5 too (most switches need more than 0.5).
    bool onAtHalf = false;
};

// Indexed by parameter number 0..67.
extern const std::array<ParameterInfo, kNumParams> kParameters;

// Names answered for indices that are not parameters.
inline constexpr const char* kParamName68 = "copy midi";
inline constexpr const char* kParamNameReserved = "reserved";

// Parameter numbers the code refers to by name.
namespace param {
constexpr int OutputDevice = 0, SendToHost = 1, Replace = 2, ClearLog = 3, Log = 4, DelayAmount = 7,
              DelayOutput = 8, InputDevice = 9, FilterType = 10,
              FilterRow1 = 11,  // rows at 11, 15, 19, 23, 27: enable, channel, status, cc
    ReplaceMatchChannel = 31, ReplaceMatchStatus = 32, ReplaceMatchData1 = 33,
              ReplaceMatchData2 = 34, ReplaceNewChannel = 35, ReplaceNewStatus = 36,
              ReplaceNewData1 = 37, ReplaceNewData2 = 38, InputMidi = 39, OutputMidi = 40,
              RecvBus = 41, SendBus = 42, GetFromBus = 43, PutToBus = 44, LogMeta = 45,
              SaveLog = 46, ReceiveFromHost = 49, KnobValue1 = 50, KnobChannel1 = 56,
              KnobMessage1 = 62;
// The filter's five rows of four parameters each (enable, channel, status, cc) from FilterRow1,
// and the knobs' six values, channels and messages.
constexpr int kFilterRows = 5, kFilterRowSize = 4, kKnobs = 6;
constexpr int FilterRowsEnd = FilterRow1 + kFilterRows * kFilterRowSize;
enum FilterField { FilterEnable = 0, FilterChannel = 1, FilterStatus = 2, FilterCc = 3 };
constexpr int filterRow(int row, FilterField field) noexcept {
    return FilterRow1 + kFilterRowSize * row + field;
}
// The field of a filter row parameter.
constexpr FilterField filterFieldOf(int index) noexcept {
    return static_cast<FilterField>((index - FilterRow1) % kFilterRowSize);
}
}  // namespace param

// --- Reading values back: every threshold of the encodings lives here ---------------------------

// A switch or one-shot by its row's rule.
bool switchOn(int index, float v) noexcept;
// "clear log!" holds the log shut while it reads 0.5 or more.
inline bool clearHeld(float v) noexcept {
    return v >= 0.5f;
}
// The delay slider: frames 0..32767.
int delayFrames(float v) noexcept;

// The filter type's four choices.
enum class FilterMode : std::uint8_t { AllowAll, AllowOnly, BlockOnly, BlockAll };
FilterMode filterModeOf(float v) noexcept;

// The replace pattern's choice lists: entries past the last voice status are system statuses,
// entries past the channels or data values are ANY (match) or NO CHANGE and the byte
// references (target).
namespace replacecode {
constexpr double kLastVoiceStatus = 6.0;       // entry 6 (pitch wheel), read as v x 256
constexpr double kChannelAny = 0.0586;         // match channel above this: ANY
constexpr double kStatusAny = 0.0898;          // match status above this: ANY; target: NO CHANGE
constexpr double kDataAny = 0.4961;            // match data above this: ANY
constexpr float kNewChannelBelow = 0.0625f;    // target channel below this sets the channel
constexpr float kDataNew = 0.5f;               // target data below this sets the byte
constexpr float kDataFromStatus = 0.5f;        // exactly this: the status byte
constexpr float kDataFromOther = 0.50390625f;  // exactly this: the other data byte
constexpr int kSystemBase = 233;               // system entry n is status n + 233
}  // namespace replacecode

// A knob's MIDI word from its value, channel and message entries (packed, see midiword.h).
std::uint32_t knobWordOf(float value, float channel, float message) noexcept;
