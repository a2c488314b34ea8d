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

// Steps that only reconfigure the message chain (no device, host or chain run of their own):
// they change together with the value, under one hold of the chain lock.
constexpr bool changesChainOnly(ApplyStep step) noexcept {
    switch (step) {
        case ApplyStep::SelectOutputDevice:
        case ApplyStep::SelectInputDevice:
        case ApplyStep::OpenInputDevice:
        case ApplyStep::OpenOutputDevice:
        case ApplyStep::Logging:  // asks the host for its time first
        case ApplyStep::Knob:     // runs the chain and sends to the device itself
        case ApplyStep::SaveLog:  // hands the save to the worker
            return false;
        default:
            return true;
    }
}

struct ParameterInfo {
    const char* name;  // reported to the host, exact to the blank
    Encoding encoding;
    float defaultValue;
    ApplyStep apply;
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
}  // namespace param
