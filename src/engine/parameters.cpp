#include "engine/parameters.h"

#include "engine/midiword.h"

// Name, encoding, default and apply step of each parameter, index 0..67.
const std::array<ParameterInfo, kNumParams> kParameters{{
    {"output device", Encoding::Choice, 0.0f, ApplyStep::SelectOutputDevice},      // 0
    {"send to host?", Encoding::Switch, 1.0f, ApplyStep::None},                    // 1
    {"replace", Encoding::Switch, 0.0f, ApplyStep::ReplaceStage},                  // 2
    {"clear log!", Encoding::OneShot, 0.0f, ApplyStep::ClearLog},                  // 3
    {"log?", Encoding::Switch, 0.0f, ApplyStep::Logging},                          // 4
    {"get from buff num", Encoding::Stored, 0.0f, ApplyStep::None},                // 5
    {"put to buff num", Encoding::Stored, 0.0f, ApplyStep::None},                  // 6
    {"delay amount", Encoding::Slider, 0.0234375f, ApplyStep::DelayAmount},        // 7
    {"delay output?", Encoding::Switch, 0.0f, ApplyStep::DelayOutput, true},       // 8
    {"input device", Encoding::Choice, 0.0f, ApplyStep::SelectInputDevice},        // 9
    {"filter: type", Encoding::FilterType, 1.0f, ApplyStep::FilterType},           // 10
    {"filter: enable", Encoding::Switch, 0.0f, ApplyStep::None},                   // 11
    {"filter: channel", Encoding::Choice, 0.0f, ApplyStep::None},                  // 12
    {"filter: status", Encoding::Choice, 0.0f, ApplyStep::None},                   // 13
    {"filter: cc", Encoding::Choice, 0.0f, ApplyStep::None},                       // 14
    {"filter: enable", Encoding::Switch, 0.0f, ApplyStep::None},                   // 15
    {"filter: channel", Encoding::Choice, 0.0f, ApplyStep::None},                  // 16
    {"filter: status", Encoding::Choice, 0.0f, ApplyStep::None},                   // 17
    {"filter: cc", Encoding::Choice, 0.0f, ApplyStep::None},                       // 18
    {"filter: enable", Encoding::Switch, 0.0f, ApplyStep::None},                   // 19
    {"filter: channel", Encoding::Choice, 0.0f, ApplyStep::None},                  // 20
    {"filter: status", Encoding::Choice, 0.0f, ApplyStep::None},                   // 21
    {"filter: cc", Encoding::Choice, 0.0f, ApplyStep::None},                       // 22
    {"filter: enable", Encoding::Switch, 0.0f, ApplyStep::None},                   // 23
    {"filter: channel", Encoding::Choice, 0.0f, ApplyStep::None},                  // 24
    {"filter: status", Encoding::Choice, 0.0f, ApplyStep::None},                   // 25
    {"filter: cc", Encoding::Choice, 0.0f, ApplyStep::None},                       // 26
    {"filter: enable", Encoding::Switch, 0.0f, ApplyStep::None},                   // 27
    {"filter: channel", Encoding::Choice, 0.0f, ApplyStep::None},                  // 28
    {"filter: status", Encoding::Choice, 0.0f, ApplyStep::None},                   // 29
    {"filter: cc", Encoding::Choice, 0.0f, ApplyStep::None},                       // 30
    {"replace: byte1 channel", Encoding::Choice, 0.0f, ApplyStep::ReplaceMatch},   // 31
    {"replace: byte1 status", Encoding::Choice, 0.0f, ApplyStep::ReplaceMatch},    // 32
    {"replace: byte2 ", Encoding::Choice, 0.0f, ApplyStep::ReplaceMatch},          // 33
    {"replace: byte3", Encoding::Choice, 0.0f, ApplyStep::ReplaceMatch},           // 34
    {"replace: byte1 channel", Encoding::Choice, 0.0f, ApplyStep::ReplaceTarget},  // 35
    {"replace: byte1 status", Encoding::Choice, 0.0f, ApplyStep::ReplaceTarget},   // 36
    {"replace: byte2 ", Encoding::Choice, 0.0f, ApplyStep::ReplaceTarget},         // 37
    {"replace: byte3", Encoding::Choice, 0.0f, ApplyStep::ReplaceTarget},          // 38
    {"input midi?", Encoding::Switch, 0.0f, ApplyStep::OpenInputDevice},           // 39
    {"output midi?", Encoding::Switch, 0.0f, ApplyStep::OpenOutputDevice},         // 40
    {"recv bus num", Encoding::BusNumber, 0.0f, ApplyStep::ReceiveBus},            // 41
    {"send bus num", Encoding::BusNumber, 0.0f, ApplyStep::SendBus},               // 42
    {"get from bus?", Encoding::Switch, 0.0f, ApplyStep::ReceiveBus},              // 43
    {"put to bus?", Encoding::Switch, 0.0f, ApplyStep::SendBus},                   // 44
    {"log meta?", Encoding::Switch, 1.0f, ApplyStep::None, true},                  // 45
    {"save log!", Encoding::OneShot, 1.0f, ApplyStep::SaveLog},                    // 46
    {"write to buffer?", Encoding::Stored, 0.0f, ApplyStep::None},                 // 47
    {"read from buffer?", Encoding::Stored, 0.0f, ApplyStep::None},                // 48
    {"receive from host?", Encoding::Switch, 1.0f, ApplyStep::None, true},         // 49
    {"cc knob 1 value", Encoding::Slider, 0.0f, ApplyStep::Knob},                  // 50
    {"cc knob 2 value", Encoding::Slider, 0.0f, ApplyStep::Knob},                  // 51
    {"cc knob 3 value", Encoding::Slider, 0.0f, ApplyStep::Knob},                  // 52
    {"cc knob 4 value", Encoding::Slider, 0.0f, ApplyStep::Knob},                  // 53
    {"cc knob 5 value", Encoding::Slider, 0.0f, ApplyStep::Knob},                  // 54
    {"cc knob 6 value", Encoding::Slider, 0.0f, ApplyStep::Knob},                  // 55
    {"cc knob 1 channel", Encoding::Choice, 0.0f, ApplyStep::None},                // 56
    {"cc knob 2 channel", Encoding::Choice, 0.0f, ApplyStep::None},                // 57
    {"cc knob 3 channel", Encoding::Choice, 0.0f, ApplyStep::None},                // 58
    {"cc knob 4 channel", Encoding::Choice, 0.0f, ApplyStep::None},                // 59
    {"cc knob 5 channel", Encoding::Choice, 0.0f, ApplyStep::None},                // 60
    {"cc knob 6 channel", Encoding::Choice, 0.0f, ApplyStep::None},                // 61
    {"cc knob 1 message", Encoding::Choice, 0.0f, ApplyStep::None},                // 62
    {"cc knob 2 message", Encoding::Choice, 0.0f, ApplyStep::None},                // 63
    {"cc knob 3 message", Encoding::Choice, 0.0f, ApplyStep::None},                // 64
    {"cc knob 4 message", Encoding::Choice, 0.0f, ApplyStep::None},                // 65
    {"cc knob 5 message", Encoding::Choice, 0.0f, ApplyStep::None},                // 66
    {"cc knob 6 message", Encoding::Choice, 0.0f, ApplyStep::None},                // 67
}};

bool switchOn(int index, float v) noexcept {
    return kParameters[static_cast<std::size_t>(index)].onAtHalf ? v >= 0.5f : v > 0.5f;
}

int delayFrames(float v) noexcept {
    return roundEven(static_cast<double>(v) * 32767.0);
}

// Stored as 1.0, 0.8, 0.3, 0.0; host values between them fall to the nearest rule below.
FilterMode filterModeOf(float v) noexcept {
    const double d = static_cast<double>(v);
    if (d >= 0.8901) return FilterMode::AllowAll;
    if (d < 0.21) return FilterMode::BlockAll;
    return v >= 0.5f ? FilterMode::AllowOnly : FilterMode::BlockOnly;
}

// Message entries: 0..127 a controller number, 128 program change, 129 channel aftertouch,
// beyond that the pitch wheel.
std::uint32_t knobWordOf(float value, float channelEntry, float message) noexcept {
    const double v = value;
    const int channel = choiceOf(channelEntry);
    if (message < 0.5f) {
        return packWord(static_cast<unsigned>(channel + 176),
                        static_cast<unsigned>(choiceOf(message)),
                        static_cast<unsigned>(roundEven(v * 127.0)));
    }
    if (message == 0.5f)
        return packWord(static_cast<unsigned>(channel + 192),
                        static_cast<unsigned>(roundEven(v * 127.0)), 0);
    if (message == 0.50390625f)
        return packWord(static_cast<unsigned>(channel + 208),
                        static_cast<unsigned>(roundEven(v * 127.0)), 0);
    // Pitch wheel: data2 holds bits 8..14 of the bend value and data1 bits 1..7, so both stay
    // valid data bytes and data2 x 128 + data1 is the 14-bit bend.
    const int bend = roundEven(v * 32767.0);
    return packWord(static_cast<unsigned>(channel + 224), static_cast<unsigned>((bend >> 1) & 0x7F),
                    static_cast<unsigned>(bend >> 8));
}
