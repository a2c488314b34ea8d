// What the engine reaches outside itself: the host, the shared buses, the MIDI output device and
// the user. A front end implements the ports; the engine calls them on the processing thread
// only (but hostOutputEntry, asked once on the thread that makes the engine, and storageWanted,
// any thread), and never while holding a lock another thread can take.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/midiword.h"

// The host's transport as the log needs it, at the start of the processing call.
struct HostTime {
    double tempo = 0.0;
    int numerator = 0;
    int denominator = 0;
    double ppq = 0.0;       // the position in quarter notes, when hasPpq
    double barStart = 0.0;  // the quarter-note position of the current bar's start, when hasBar
    bool hasPpq = false;
    bool hasBar = false;
};

// The host's tempo and time signature alone, as a quiet block needs them: small enough to come
// back in registers. All zero when the host gives no time (zeros change nothing in the log).
struct HostMeter {
    double tempo = 0.0;
    std::int32_t numerator = 0;
    std::int32_t denominator = 0;
};

enum class EngineNotice { SoundStream, FeedbackLoop };

class EnginePorts {
public:
    virtual ~EnginePorts() = default;
    // One word for the host, produced at `frame` within the current processing call.
    virtual void hostOutput(MidiWord word, int frame) noexcept = 0;
    // The same as a plain function, which the engine calls once per message instead: a front
    // end may answer one that reaches its output without the virtual call. Asked once, when
    // the engine is made; the default goes through hostOutput.
    using HostOutputEntry = void (*)(EnginePorts& ports, MidiWord word, int frame) noexcept;
    virtual HostOutputEntry hostOutputEntry() noexcept {
        return [](EnginePorts& ports, MidiWord word, int frame) noexcept {
            ports.hostOutput(word, frame);
        };
    }
    // The host's tempo, time signature and position; false when the host gives none. Asked at
    // most once per processing call.
    virtual bool hostTime(HostTime& time) noexcept = 0;
    // Tempo and time signature alone, asked instead by a quiet block (which logs no line and so
    // needs no position); by default through hostTime.
    virtual HostMeter hostMeter() noexcept {
        HostTime t;
        if (!hostTime(t)) return {};
        return {t.tempo, t.numerator, t.denominator};
    }
    // Takes the waiting words of `bus` into `words` (at most `capacity`); answers how many, or
    // -1 when the bus carries a sound stream.
    virtual int busTake(int bus, MidiWord* words, int capacity) noexcept = 0;
    virtual void busWrite(int bus, MidiWord word) noexcept = 0;
    // Called only while "output midi?" is on.
    virtual void deviceOutput(MidiWord word) noexcept = 0;
    // A whole SysEx (F0 to F7) for the host, produced at `frame`, and for the MIDI output
    // device (only while "output midi?" is on). The bytes are valid during the call only. Only
    // an engine with SysEx enabled calls these; by default they drop the message.
    virtual void hostSysexOutput(const std::uint8_t* /*data*/, std::size_t /*size*/,
                                 int /*frame*/) noexcept {}
    virtual void deviceSysexOutput(const std::uint8_t* /*data*/, std::size_t /*size*/) noexcept {}
    // Something the user must be told; the port hands it on without waiting.
    virtual void notice(EngineNotice which) noexcept = 0;
    // Any thread, the processing thread included: the engine wants memory made or released for
    // a feature switched on or off. The port has MidiEngine::prepareStorage called soon on a
    // thread that may allocate and wait, without allocating or waiting itself.
    virtual void storageWanted() noexcept = 0;
};
