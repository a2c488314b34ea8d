// The recording of the MIDI log: each logged message and each tempo or time-signature change,
// in a journal sized at construction, so recording never allocates. The engine owns it behind
// a lock: the processing thread moves its staged events in only when it gets the lock at the
// first try, and readers take a snapshot under it. Saving builds the Standard MIDI File from
// a snapshot, away from the processing thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/midiword.h"

namespace midifile {
class TMidiData;
}

struct RecordedEvent {
    enum Kind : std::uint8_t { Message, Tempo, TimeSignature, SysEx };
    std::int32_t tick;
    Kind kind;
    // The message's status, data1, data2; or the meta event's data; or, for a SysEx, where its
    // bytes begin in the recording's SysEx store (32 bits in the machine's order).
    std::uint8_t bytes[4];
};

// The recording as saved: the events, and the SysEx store their SysEx events point into (each
// message there is its size, 32 bits in the machine's order, then its bytes from F0 to F7).
struct RecordingSnapshot {
    std::vector<RecordedEvent> events;
    std::vector<std::uint8_t> sysex;
};

// Where a SysEx event's bytes begin in the store.
inline std::uint32_t sysexOffset(const RecordedEvent& e) noexcept {
    std::uint32_t at;
    std::memcpy(&at, e.bytes, sizeof at);
    return at;
}
inline void setSysexOffset(RecordedEvent& e, std::uint32_t at) noexcept {
    std::memcpy(e.bytes, &at, sizeof at);
}

class Recorder {
public:
    // A saved track holds at most 99,999 events; three of them are the track's own (the 0x21
    // meta event, the name and End of Track).
    static constexpr std::size_t kCapacity = 99'996;
    static constexpr int kPpqn = 192;

    // With its own journal, or (withJournal false) none until one is set.
    explicit Recorder(bool withJournal = true)
        : own_(withJournal ? std::make_unique<RecordedEvent[]>(kCapacity) : nullptr),
          events_(own_.get()) {}
    // Events go into `journal` (kCapacity events, the caller's) from now on, or nowhere when
    // null (every insert is dropped and counted). Only while the recording is empty.
    void setJournal(RecordedEvent* journal) noexcept { events_ = journal; }
    bool hasJournal() const noexcept { return events_ != nullptr; }

    // Inserts after every event of the same tick. A full recording stops: the event is
    // dropped and counted.
    void insert(const RecordedEvent& e) noexcept;
    // Gives the recording a SysEx store of `capacity` bytes (before recording starts; without
    // one every SysEx is dropped and counted).
    void enableSysex(std::size_t capacity);
    // Copies a whole SysEx into the store and inserts its event at `tick`. A full recording or
    // a full store drops the whole message and counts it.
    void insertSysex(std::int32_t tick, const std::uint8_t* data, std::size_t size) noexcept;
    void reset() noexcept {
        count_ = 0;
        dropped_ = 0;
        sysexUsed_ = 0;
        extraPackets_ = 0;
    }
    std::size_t size() const noexcept { return count_; }
    std::size_t dropped() const noexcept { return dropped_; }
    const RecordedEvent& operator[](std::size_t i) const noexcept { return events_[i]; }
    std::vector<RecordedEvent> snapshot() const { return {events_, events_ + count_}; }
    RecordingSnapshot fullSnapshot() const {
        return {snapshot(), {sysex_.get(), sysex_.get() + sysexUsed_}};
    }

    // Fills `data` as a new format-1 file at 192 ticks per quarter note with one track named
    // `trackName` holding the events. Throws the MIDI file library's exceptions.
    static void build(midifile::TMidiData& data, const std::vector<RecordedEvent>& events,
                      const std::string& trackName);
    // The same with SysEx events, whose bytes come from the snapshot's store. A SysEx longer
    // than a track event's block is written as its first packet (F0) and continuation packets
    // (F7), as Standard MIDI Files divide long messages.
    static void build(midifile::TMidiData& data, const RecordingSnapshot& recording,
                      const std::string& trackName);

private:
    std::unique_ptr<RecordedEvent[]> own_;
    RecordedEvent* events_;
    std::size_t count_ = 0;
    std::size_t dropped_ = 0;
    std::unique_ptr<std::uint8_t[]> sysex_;
    std::size_t sysexCapacity_ = 0;
    std::size_t sysexUsed_ = 0;
    std::size_t extraPackets_ = 0;  // track events beyond the first that long SysEx take
};

// The file name the editor proposes for "Save log": the host's product string in lower case,
// cut to 6 characters ("corvella" when the host gives none), "_", hour, minute and second
// without leading zeros, ".mid".
std::string proposedLogFileName(const std::string& hostProduct, int hour, int minute, int second);
