#include "engine/router.h"

MidiWord Router::route(MidiWord word, MidiWord flags, int frame) noexcept {
    if (s_.replaceOn) s_.replacer.replace(word);
    s_.filter.apply(word);
    if (word == 0) return 0;
    if (s_.delayOut) {
        delay_.insert(word | flags, frame);
    } else {
        emit(word | flags, frame);
    }
    return word;
}

// A note-off whose routing changed since its note-on goes the way that note-on went: on its
// channel and note, removed when it was removed or when the filter removed this note-off then
// and still does now, and never ahead of it while it waits in the delay line. A note-on that
// left as some other message leaves its note-off to run as any other message.
MidiWord Router::followNoteOn(MidiWord word, MidiWord flags, int frame, std::size_t note) noexcept {
    const MidiWord state = notes_[note].out;
    notes_[note].out = 0;
    const MidiWord sent = state & kWordBits;
    if (sent == 0) return 0;
    if ((sent & 0xF0) != 0x90 || wordData2(sent) == 0) return route(word, flags, frame);
    // The note-off keeps its own kind and velocity.
    MidiWord off = (word & 0xFF00F0u) | (sent & 0x7F0Fu);
    if (state & kOffBlocked) {
        MidiWord now = off;
        s_.filter.apply(now);
        if (now == 0) return 0;
    }
    off |= flags;
    if (state & kDelayed) {
        delay_.place();  // the note-on's time is known once it has its slot
        const std::int64_t due = delay_.noteDue(note);
        if (due < 0) return 0;  // the full line dropped it
        const std::int64_t wait = due - delay_.now();
        if (wait >= 0) {
            // Behind its note-on, which still waits (even when delayed output is off now: then
            // both go unsent as the line passes them).
            long distance = static_cast<long>(wait) + 1;
            if (s_.delayOut && delay_.distance(frame) > distance) distance = delay_.distance(frame);
            if (distance > DelayLine::kSlots - 1) distance = DelayLine::kSlots - 1;
            delay_.insertAt(off, static_cast<int>(distance));
            return off & kWordBits;
        }
        if (s_.delayOut) {
            delay_.insert(off, frame);
            return off & kWordBits;
        }
    }
    emit(off, frame);
    return off & kWordBits;
}
