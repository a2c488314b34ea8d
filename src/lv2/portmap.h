// How the plug-in's control ports carry the parameters: port n is parameter n. Lists travel as
// their entry number, which the parameter stores as n/256; every other parameter as its 0..1
// value. The Turtle generator and the plug-in both read this mapping.
#pragma once

#include "engine/midiword.h"
#include "engine/parameters.h"

namespace lv2port {

enum class Kind {
    Toggle,       // switches and one-shots: 0 or 1
    Entry,        // a list's entry number 0..255 (lists, device and bus numbers)
    Enumeration,  // the filter type: one of its four stored values
    Value,        // a slider or stored value 0..1
};

inline Kind kindOf(int parameter) noexcept {
    switch (kParameters[static_cast<std::size_t>(parameter)].encoding) {
        case Encoding::Switch:
        case Encoding::OneShot:
            return Kind::Toggle;
        case Encoding::Choice:
        case Encoding::BusNumber:
            return Kind::Entry;
        case Encoding::FilterType:
            return Kind::Enumeration;
        default:
            return Kind::Value;
    }
}

// The parameter's value for a port reading; readings out of range are clamped.
inline float parameterValue(int parameter, float port) noexcept {
    if (!(port >= 0.0f)) return 0.0f;  // also NaN
    if (kindOf(parameter) == Kind::Entry) {
        const float entry =
            port > 255.0f ? 255.0f : static_cast<float>(static_cast<int>(port + 0.5f));
        return entry / 256.0f;
    }
    return port > 1.0f ? 1.0f : port;
}

// The port reading for a parameter's value (its default in the Turtle).
inline float portValue(int parameter, float value) noexcept {
    if (kindOf(parameter) == Kind::Entry) return static_cast<float>(choiceOf(value));
    return value;
}

}  // namespace lv2port
