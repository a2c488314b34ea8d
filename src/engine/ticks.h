// Sample frames to ticks of the recording, 192 per quarter note.
#pragma once

#include <cmath>
#include <cstdint>

// The decimal factor 0.016667 (not exactly 1/60) is part of the conversion: saved files place
// events exactly where it puts them. The low 32 bits of the rounded result are the tick.
// Computed in double; where double and the exact extended-precision product could round
// differently (within a hair of a half), the extended formula decides, so the result is the
// same bit for bit.
class TickRate {
public:
    void set(double tempo, float sampleRate) noexcept;
    // Inline: the log converts once per message.
    std::int32_t ticks(std::int64_t samples) const noexcept {
        const double x = factor_ * static_cast<double>(samples);
        const double a = std::fabs(x);
        // Beyond this the rounding below is not to whole numbers; such counts take the extended
        // formula anyway.
        if (!(a < 1e15)) [[unlikely]]
            return exact(tempo_, rate_, samples);
        const double r = roundWhole(x);
        // The distance of the fraction from a half: |x - r| is the fraction or its complement,
        // exact wherever the test below is close. Double carries about 16 digits; a margin of
        // 1e-12 relative covers its error many times.
        const double toHalf = std::fabs(0.5 - std::fabs(x - r));
        if (toHalf < 1e-12 * a + 1e-12) [[unlikely]]
            return exact(tempo_, rate_, samples);
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(r)));
    }
    double tempo() const noexcept { return tempo_; }

    // The extended-precision formula itself.
    static std::int32_t exact(double tempo, float sampleRate, std::int64_t samples) noexcept;

private:
    // std::nearbyint for |x| < 1e15, in the current rounding mode. With SSE arithmetic, adding
    // and taking away 1.5 * 2^52 rounds to a whole number without a library call; x87's
    // extended precision would not, so there the library rounds.
    static double roundWhole(double x) noexcept {
#if defined(__SSE2_MATH__) || defined(_M_X64)
        constexpr double kShift = 6755399441055744.0;
        // Without fast-math options the compiler keeps both steps.
        return (x + kShift) - kShift;
#else
        return std::nearbyint(x);
#endif
    }

    double tempo_ = 120.0;
    float rate_ = 44100.0f;
    double factor_ = 120.0 * 192 * 0.016667 / 44100.0;
};
