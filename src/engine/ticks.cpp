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

std::int32_t TickRate::ticks(std::int64_t samples) const noexcept {
    const double x = factor_ * static_cast<double>(samples);
    const double a = std::fabs(x);
    // Double carries about 16 digits; a margin of 1e-12 relative covers its error many times.
    const double toHalf = std::fabs(a - std::floor(a) - 0.5);
    if (!(a < 1e15) || toHalf < 1e-12 * a + 1e-12) return exact(tempo_, rate_, samples);
    const double r = std::nearbyint(x);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(r)));
}
