// The settings the per-message path reads, decoded from the parameters' values.
#pragma once

#include <array>
#include <cstdint>

#include "engine/parameters.h"
#include "engine/replacefilter.h"

// Every parameter the per-message path reads, decoded into plain values.
struct EngineSettings {
    Filter filter;
    Replacer replacer;
    bool replaceOn = false;
    bool sendToHost = true;
    bool putToBus = false;
    bool getFromBus = false;
    bool deviceOut = false;
    int sendBus = 0;
    int receiveBus = 0;
    bool logOn = false;
    bool logMeta = true;
    bool clearHeld = false;
    unsigned logEpoch = 0;  // counts switch-ons of "log?": each restarts the sample clock
    int delayFrames = 0;
    bool delayOut = false;
    // Counts changes of what decides a note's way (replace, filter, delay): a note-off whose
    // note-on left under another count follows that note-on (see Router::chain).
    unsigned routeGeneration = 0;
    // Bit n: the filter removes note-offs of channel n + 1 (the filter decides on a note-off by
    // its status alone).
    std::uint16_t noteOffsBlocked = 0;
};

// Turns parameter values into settings (the engine's is the processing thread's).
class SettingsDecoder {
public:
    SettingsDecoder() noexcept;
    // Stores and decodes one value; values decoded one after another in the order they were
    // set give the settings that order means.
    void apply(int index, float value) noexcept;
    // Parameters 31 and 32 at once from their match state (Replacer::foldMatch).
    void applyMatchState(std::uint32_t state) noexcept;
    const EngineSettings& settings() const noexcept { return settings_; }

private:
    struct Defaults {};
    explicit SettingsDecoder(Defaults) noexcept;

    std::array<float, kNumParams> values_{};
    EngineSettings settings_;
};
