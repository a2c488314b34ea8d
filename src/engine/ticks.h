// Sample frames to ticks of the recording, 192 per quarter note.
#pragma once

#include <cstdint>

// The decimal factor 0.016667 (not exactly 1/60) is part of the conversion: saved files place
// events exactly where it puts them. The low 32 bits of the rounded result are the tick.
// Computed in double; where double and the exact extended-precision product could round
// differently (within a hair of a half), the extended formula decides, so the result is the
// same bit for bit.
class TickRate {
public:
    void set(double tempo, float sampleRate) noexcept;
    std::int32_t ticks(std::int64_t samples) const noexcept;
    double tempo() const noexcept { return tempo_; }

    // The extended-precision formula itself.
    static std::int32_t exact(double tempo, float sampleRate, std::int64_t samples) noexcept;

private:
    double tempo_ = 120.0;
    float rate_ = 44100.0f;
    double factor_ = 120.0 * 192 * 0.016667 / 44100.0;
};
