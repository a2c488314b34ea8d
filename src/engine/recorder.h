// The recording of the MIDI log. While logging, the chain (any thread, under the chain lock)
// appends each message and each tempo or time-signature change to a journal that was sized at
// construction, so recording never allocates. Saving takes a snapshot of the journal and builds
// the Standard MIDI File from it away from the processing thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/midiword.h"

namespace midifile {
class TMidiData;
}

struct RecordedEvent {
    enum Kind : std::uint8_t { Message, Tempo, TimeSignature };
    std::int32_t tick;
    Kind kind;
    std::uint8_t bytes[4];  // the message's status, data1, data2; or the meta event's data
};

class Recorder {
public:
    // A saved track holds at most 99,999 events; three of them are the track's own (the 0x21
    // meta event, the name and End of Track).
    static constexpr std::size_t kCapacity = 99'996;
    static constexpr int kPpqn = 192;

    Recorder() : events_(std::make_unique<RecordedEvent[]>(kCapacity)) {}

    // Inserts after every event of the same tick. A full recording stops: the event is
    // dropped and counted.
    void insert(const RecordedEvent& e) noexcept;
    void reset() noexcept {
        count_ = 0;
        dropped_ = 0;
    }
    std::size_t size() const noexcept { return count_; }
    std::size_t dropped() const noexcept { return dropped_; }
    const RecordedEvent& operator[](std::size_t i) const noexcept { return events_[i]; }
    std::vector<RecordedEvent> snapshot() const { return {events_.get(), events_.get() + count_}; }

    // Fills `data` as a new format-1 file at 192 ticks per quarter note with one track named
    // `trackName` holding the events. Throws the MIDI file library's exceptions.
    static void build(midifile::TMidiData& data, const std::vector<RecordedEvent>& events,
                      const std::string& trackName);

private:
    std::unique_ptr<RecordedEvent[]> events_;
    std::size_t count_ = 0;
    std::size_t dropped_ = 0;
};

// The file name the editor proposes for "Save log": the host's product string in lower case,
// cut to 6 characters ("corvella" when the host gives none), "_", hour, minute and second
// without leading zeros, ".mid".
std::string proposedLogFileName(const std::string& hostProduct, int hour, int minute, int second);
