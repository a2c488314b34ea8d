#include "engine/recorder.h"

#include <cctype>
#include <cstring>

#include "midifile/mididata.h"

void Recorder::insert(const RecordedEvent& e) noexcept {
    if (count_ + extraPackets_ == kCapacity || !events_) {
        ++dropped_;
        return;
    }
    // Events come in time order almost always; walk back over the later ones.
    std::size_t at = count_;
    while (at > 0 && events_[at - 1].tick > e.tick) {
        events_[at] = events_[at - 1];
        --at;
    }
    events_[at] = e;
    ++count_;
}

void Recorder::enableSysex(std::size_t capacity) {
    sysex_ = std::make_unique<std::uint8_t[]>(capacity);
    sysexCapacity_ = capacity;
    sysexUsed_ = 0;
}

void Recorder::insertSysex(std::int32_t tick, const std::uint8_t* data, std::size_t size) noexcept {
    // A long SysEx takes a track event per 65,535 bytes: the saved track must hold them all.
    const std::size_t packets = (size - 1 + 0xFFFE) / 0xFFFF;
    if (count_ + extraPackets_ + packets > kCapacity || !events_ ||
        sysexCapacity_ - sysexUsed_ < size + 4) {
        ++dropped_;
        return;
    }
    extraPackets_ += packets - 1;
    const auto length = static_cast<std::uint32_t>(size);
    std::memcpy(sysex_.get() + sysexUsed_, &length, 4);
    std::memcpy(sysex_.get() + sysexUsed_ + 4, data, size);
    RecordedEvent e{tick, RecordedEvent::SysEx, {}};
    setSysexOffset(e, static_cast<std::uint32_t>(sysexUsed_));
    sysexUsed_ += 4 + size;
    insert(e);
}

namespace {
// A SysEx from the snapshot's store; an entry that is not whole (a damaged snapshot) is left
// out.
void insertSysexEvent(midifile::TMidiTrackStream& track, std::int32_t tick,
                      const std::vector<std::uint8_t>& store, std::uint32_t at) {
    std::uint32_t length;
    if (static_cast<std::size_t>(at) + 4 > store.size()) return;
    std::memcpy(&length, store.data() + at, 4);
    if (length < 2 || store.size() - at - 4 < length) return;
    track.insertSysex(tick, store.data() + at + 4, length);
}
}  // namespace

namespace {
// Data bytes a system common message carries after its status.
int systemDataBytes(unsigned status) noexcept {
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 1;
        case 0xF2:
            return 2;
        default:
            return 0;
    }
}
}  // namespace

void Recorder::build(midifile::TMidiData& data, const std::vector<RecordedEvent>& events,
                     const std::string& trackName) {
    build(data, RecordingSnapshot{events, {}}, trackName);
}

void Recorder::build(midifile::TMidiData& data, const RecordingSnapshot& recording,
                     const std::string& trackName) {
    const std::vector<RecordedEvent>& events = recording.events;
    data.newFile();
    data.setPpqn(kPpqn);
    data.addTrack(0);
    midifile::TMidiTrackStream& track = *data.track(0);
    for (const RecordedEvent& e : events) {
        switch (e.kind) {
            case RecordedEvent::Tempo:
                track.insertMetaEvent(e.tick, 0x51, 3, e.bytes);
                break;
            case RecordedEvent::TimeSignature:
                track.insertMetaEvent(e.tick, 0x58, 4, e.bytes);
                break;
            case RecordedEvent::SysEx:
                insertSysexEvent(track, e.tick, recording.sysex, sysexOffset(e));
                break;
            case RecordedEvent::Message: {
                const unsigned s = e.bytes[0];
                std::uint8_t input[5] = {e.bytes[0], e.bytes[1], e.bytes[2], 0, 0};
                if (s >= 0x80 && s < 0xF0) {
                    track.insertEvent(e.tick, input, 0);
                } else if (s < 0x80 || s == 0xF0 || s == 0xF7 || s == 0xFF ||
                           systemDataBytes(s) > 0) {
                    // Messages that cannot stand alone in a track (a sysex or meta status, data
                    // bytes a reader would take for a delta time, or no status byte at all)
                    // travel as a sysex escape: F7, length, the message's bytes.
                    const std::uint8_t bytes[3] = {e.bytes[0], e.bytes[1], e.bytes[2]};
                    std::uint8_t escape[5] = {0xF7, 0, 0, 0, 0};
                    const int length = s < 0x80 ? 3 : 1 + systemDataBytes(s);
                    track.insertEvent(e.tick, escape, static_cast<std::uint16_t>(length), bytes);
                } else {
                    // Single-byte system messages (clock, start, stop, active sensing, ...) are
                    // written as the status byte alone, which readers take as that message.
                    track.insertEvent(e.tick, input, 0);
                }
                break;
            }
        }
    }
    track.setTrackName(trackName);
}

std::string proposedLogFileName(const std::string& hostProduct, int hour, int minute, int second) {
    std::string prefix;
    for (char c : hostProduct) {
        if (prefix.size() == 6) break;
        prefix += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (prefix.empty()) prefix = "corvella";
    return prefix + "_" + std::to_string(hour) + std::to_string(minute) + std::to_string(second) +
           ".mid";
}
