// Where each message goes: replace, filter, then the delay line or the outputs (host, send
// bus, device), with the note routes that send a note-off the way its note-on went. The
// per-message path is inline, so a front end's loop over its events calls only the ports.
// The processing thread's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/delaystage.h"
#include "engine/midiword.h"
#include "engine/ports.h"
#include "engine/settingsdecoder.h"
#include "engine/zeroedarray.h"

class Router {
public:
    Router(EnginePorts& ports, DelayStage& delay)
        : ports_(ports), hostOutput_(ports.hostOutputEntry()), delay_(delay) {}

    const EngineSettings& settings() const noexcept { return s_; }
    void apply(const EngineSettings& settings) noexcept { s_ = settings; }
    // Bus reading stops at once (the bus carries a sound stream).
    void stopBusReading() noexcept { s_.getFromBus = false; }

    // A word (with the engine's flags in bits 24..31) after the log: replace, filter, then the
    // delay line or the outputs. Answers the word as it left (0 when removed).
    MidiWord chain(MidiWord word, int frame) noexcept;
    // Host, send bus, device, in that order.
    void emit(MidiWord word, int frame) noexcept;
    // A whole SysEx to the host and the device, as their switches say.
    void sendSysex(const std::uint8_t* data, std::size_t size, int frame) noexcept {
        if (s_.sendToHost) ports_.hostSysexOutput(data, size, frame);
        if (s_.deviceOut) ports_.deviceSysexOutput(data, size);
    }

private:
    // How a sounding note's note-on left: the routing generation then, and the word after
    // replace and filter (0 when removed) with the bits below.
    struct NoteRoute {
        unsigned generation;
        MidiWord out;
    };
    static constexpr MidiWord kSounding = 1u << 24;    // a note-on ran and no note-off yet
    static constexpr MidiWord kDelayed = 1u << 25;     // it went into the delay line
    static constexpr MidiWord kOffBlocked = 1u << 26;  // the filter then removed its note-off
    static std::size_t noteIndex(MidiWord w) noexcept {
        return (w & 0x0Fu) << 7 | (w >> 8 & 0x7Fu);
    }

    MidiWord route(MidiWord word, MidiWord flags, int frame) noexcept;
    void noteLeft(NoteRoute& note, MidiWord word) noexcept;
    MidiWord followNoteOn(MidiWord word, MidiWord flags, int frame, std::size_t note) noexcept;

    EnginePorts& ports_;
    const EnginePorts::HostOutputEntry hostOutput_;
    DelayStage& delay_;
    EngineSettings s_;
    // By input channel and note (the time a delayed note-on leaves is the delay's); all zero,
    // no note sounding, until notes pass.
    ZeroedArray<NoteRoute, 16 * 128> notes_;
};

inline MidiWord Router::chain(MidiWord word, int frame) noexcept {
    const MidiWord flags = word & ~kWordBits;
    word &= kWordBits;
    // A note-on (status 0x90..0x9F, velocity above 0) notes how it leaves. A note-off (or a
    // note-on at velocity 0) whose note-on left under the same routing settings runs as any
    // other message; after a change it follows its note-on instead (followNoteOn).
    NoteRoute* note = nullptr;
    if ((word & 0xE0) == 0x80) {
        note = &notes_[noteIndex(word)];
        if ((word & 0x10) == 0 || word < 0x10000) {
            if (note->generation != s_.routeGeneration && (note->out & kSounding)) [[unlikely]]
                return followNoteOn(word, flags, frame, noteIndex(word));
            note->out = 0;
            note = nullptr;
        }
    }
    if (s_.replaceOn) s_.replacer.replace(word);
    s_.filter.apply(word);
    if (word == 0) {
        if (note) *note = {s_.routeGeneration, kSounding};
        return 0;
    }
    if (s_.delayOut) {
        if (note) {
            delay_.insertNote(word | flags, frame, static_cast<std::size_t>(note - notes_.data()));
            noteLeft(*note, word);
        } else {
            delay_.insert(word | flags, frame);
        }
        return word;
    }
    if (note) noteLeft(*note, word);
    emit(word | flags, frame);
    return word;
}

// A note-on left as `word`, into the delay line when that is on.
inline void Router::noteLeft(NoteRoute& note, MidiWord word) noexcept {
    MidiWord state = word | kSounding;
    if (s_.noteOffsBlocked >> (word & 0x0F) & 1) state |= kOffBlocked;
    if (s_.delayOut) state |= kDelayed;
    note = {s_.routeGeneration, state};
}

// A word this instance took from its receive bus does not go back onto that same bus: a loop
// through one bus comes back once, not forever.
inline void Router::emit(MidiWord word, int frame) noexcept {
    const MidiWord w = word & kWordBits;
    if (s_.sendToHost) hostOutput_(ports_, w, frame);
    if (s_.putToBus && !((word & kFromBusFlag) && s_.sendBus == s_.receiveBus))
        ports_.busWrite(s_.sendBus, w);
    if (s_.deviceOut) ports_.deviceOutput(w);
}
