// One MIDI track in memory: fixed-size event records sorted by time in a reserved memory
// stream, read from and written to a Standard MIDI File track chunk ("MTrk").
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "midifile/virtualmemorystream.h"

namespace midifile {

// The longest SysEx the reader takes, F0 to F7 over all its packets: a file may hold any
// length, but a message this long takes over an hour on a MIDI cable already.
inline constexpr std::size_t kMaxFileSysex = 16u << 20;

// One event record, 15 bytes without padding. Records sit unaligned in the track's memory, so
// the multi-byte fields are bytes (in the machine's order) behind accessors.
// Channel messages keep data bytes 1 and 2 in data[0..1] and data[2..3] as the caller passed
// them. Events of status 0xF0, 0xF7 and 0xFF own a data block instead: data holds its handle
// (see TMidiTrackStream::eventBlock) and dataLength its size. A meta event's block is the meta
// type followed by the event's data.
struct TMidiEvent {
    // Absolute time in ticks.
    std::int32_t time() const noexcept { return get<std::int32_t>(time_); }
    void setTime(std::int32_t v) noexcept { put(time_, v); }
    // Size of the owned block; 0 for other statuses.
    std::uint16_t dataLength() const noexcept { return get<std::uint16_t>(length_); }
    void setDataLength(std::uint16_t v) noexcept { put(length_, v); }
    // Index + 1 of the note-on/note-off partner, 0 for none.
    std::uint32_t pairedNote() const noexcept { return get<std::uint32_t>(paired_); }
    void setPairedNote(std::uint32_t v) noexcept { put(paired_, v); }

    std::uint8_t time_[4];
    std::uint8_t length_[2];
    std::uint8_t status;
    std::uint8_t data[4];
    std::uint8_t paired_[4];

private:
    template <class T, std::size_t N>
    static T get(const std::uint8_t (&bytes)[N]) noexcept {
        static_assert(sizeof(T) == N);
        T v;
        std::memcpy(&v, bytes, N);
        return v;
    }
    template <class T, std::size_t N>
    static void put(std::uint8_t (&bytes)[N], T v) noexcept {
        static_assert(sizeof(T) == N);
        std::memcpy(bytes, &v, N);
    }
};
static_assert(sizeof(TMidiEvent) == 15, "event records are 15 bytes");

// Number of data bytes that follow a channel status (0 for system statuses).
inline int channelDataBytes(std::uint8_t status) noexcept {
    switch (status >> 4) {
        case 0x8:
        case 0x9:
        case 0xA:
        case 0xB:
        case 0xE:
            return 2;
        case 0xC:
        case 0xD:
            return 1;
        default:
            return 0;
    }
}

inline bool ownsBlock(std::uint8_t status) noexcept {
    return status == 0xF0 || status == 0xF7 || status == 0xFF;
}

class TMidiTrackStream : public TVirtualMemoryStream {
public:
    static constexpr std::int32_t kRecordSize = 15;

    // An empty track with room for maxEvents records; it holds at most maxEvents - 1 events.
    explicit TMidiTrackStream(std::int32_t maxEvents);

    // Inserts, all at time 0, a meta event 0x21 without data, an empty track name and End of
    // Track, and makes the track-name event the name event.
    void initNewTrack();

    std::int32_t eventCount() const noexcept { return count_; }
    // The record at index, or null when the index is out of range. Valid until the next insert.
    TMidiEvent* event(std::int32_t index) const noexcept;
    // Mode 0: the first record at time; mode 1: the last. The first later record when none is
    // at time; -1 when every record is earlier.
    std::int32_t find(std::int32_t time, int mode) const noexcept;

    // Inserts after every record of the same time (End of Track stays last and moves with a
    // later event). input is the status followed by 4 data bytes. For statuses 0xF0, 0xF7 and
    // 0xFF the record takes a copy of the length bytes at block (a meta block begins with its
    // type, so its length is at least 1); for every other status length is ignored.
    TMidiEvent* insertEvent(std::int32_t time, const std::uint8_t input[5], std::uint16_t length,
                            const std::uint8_t* block = nullptr);
    // A meta event of the type with length bytes of data.
    TMidiEvent* insertMetaEvent(std::int32_t time, std::uint8_t type, std::uint16_t length,
                                const std::uint8_t* data);
    // A whole SysEx (F0 to F7, `size` bytes) at `time`: an F0 event with the bytes after F0,
    // and when they are more than one block holds, F7 continuation events with the rest, as
    // Standard MIDI Files divide long messages. Answers the first event.
    TMidiEvent* insertSysex(std::int32_t time, const std::uint8_t* data, std::size_t size);
    // Renames through the name event (which becomes a track-name event), or inserts one at 0.
    void setTrackName(const std::string& text);

    TMidiEvent* nameEvent() const noexcept { return event(nameIndex_); }
    // The block of a 0xF0, 0xF7 or 0xFF record (null when it has none).
    const std::uint8_t* eventBlock(const TMidiEvent& e) const noexcept;
    // The partner of a note-on or note-off after the last rebuild, or null.
    TMidiEvent* pairedNote(const TMidiEvent& e) const noexcept;

    // Reads one track chunk from the stream's position, replacing the track's contents. A SysEx
    // packet longer than a block holds becomes its own event with the first 65,535 bytes and F7
    // continuation events with the rest, as insertSysex divides a long message.
    void loadFromStream(TStream& source);
    // Writes the track as one chunk at the destination's position.
    void writeToStream(TStream& destination);

    std::uint8_t firstProgram = 0;
    std::uint8_t firstChannel = 0;
    bool modified = false;

private:
    struct Parsed;
    template <bool Fill>
    std::int32_t parse(const std::uint8_t* chunk, std::size_t length, bool& endOfTrack);
    template <bool Fill, class Add>
    void addDivided(TMidiEvent& e, const std::uint8_t* data, std::size_t length, int metaType,
                    Add& add);
    std::int32_t insertRecord(const TMidiEvent& record);
    std::uint32_t addBlock(const std::uint8_t* bytes, std::size_t length);
    // An End of Track meta event at `time`, its block added.
    TMidiEvent endOfTrackAt(std::uint32_t time);
    TMidiEvent* records() const noexcept { return reinterpret_cast<TMidiEvent*>(memory()); }
    void rebuildNotePairs() noexcept;

    std::int32_t count_ = 0;
    std::int32_t nameIndex_ = -1;
    // The owned data blocks; a record's handle h names blocks_[h - 1].
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
};

}  // namespace midifile
