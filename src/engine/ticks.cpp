#include "engine/ticks.h"

#include <cmath>

void TickRate::set(double tempo, float sampleRate) noexcept {
    tempo_ = tempo;
    rate_ = sampleRate;
    factor_ = tempo * 192.0 * 0.016667 / static_cast<double>(sampleRate);
}

std::int32_t TickRate::exact(double tempo, float sampleRate, std::int64_t samples) noexcept {
    const long double ticks = static_cast<long double>(tempo) * 192 *
                              static_cast<long double>(samples) * 0.016667L /
                              static_cast<long double>(sampleRate);
    const long double r = std::nearbyint(ticks);
    if (!(std::fabs(r) < 9.2e18L)) return 0;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(r)));
}
