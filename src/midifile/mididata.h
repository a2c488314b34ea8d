// A whole MIDI file in memory: the header's fields and the tracks. Reads Standard MIDI Files
// and RIFF MIDI files (form "RMID", the Standard MIDI File in its "data" chunk); writes
// Standard MIDI Files.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midifile/miditrackstream.h"
#include "midifile/stream.h"

namespace midifile {

class TMidiData {
public:
    static constexpr std::int32_t kTrackEvents = 100000;

    TMidiData();
    ~TMidiData();
    TMidiData(const TMidiData&) = delete;
    TMidiData& operator=(const TMidiData&) = delete;

    // False clears; true loads FileName, or makes a new empty file when FileName is empty.
    bool active() const noexcept { return active_; }
    void setActive(bool value);

    // The division as a number; setting a different value marks the data modified.
    int ppqn() const noexcept { return header16(4); }
    void setPpqn(int value);
    int format() const noexcept { return header16(0); }
    void setFormat(int value);
    // The track count as the header holds it.
    int headerTrackCount() const noexcept { return header16(2); }

    int trackCount() const noexcept { return static_cast<int>(tracks_.size()); }
    // The track at index, or null.
    TMidiTrackStream* track(int index) const noexcept;

    // Appends a new track (0x21 meta, empty name, End of Track). With an argument above 0 on
    // an empty list a first track is added before it; answers whether that happened.
    bool addTrack(int a);

    void clear();
    void newFile();
    // Loads FileName (RIFF when its extension is .RMI or .RIFF); on failure the data is cleared
    // and the failure passed on. After a RIFF load the extension becomes .MID.
    void load();
    // Writes FileName as a Standard MIDI File, replacing any file of that name whole or not at
    // all (platform::FileSave): when it fails, a file that was there stays as it was. A
    // FileName that names a folder, a FIFO or a device is refused. With `giveUp` set before
    // the new file is complete, the save ends without replacing anything.
    void save(const std::atomic<bool>* giveUp = nullptr);

    // The same with the file already open: the stream stands at the "MThd" header.
    void loadFrom(TStream& source);
    void saveTo(TStream& destination);

    std::string fileName;
    bool modified() const noexcept { return modified_; }
    bool fromRiff() const noexcept { return fromRiff_; }
    const std::vector<std::uint8_t>& extraHeader() const noexcept { return extraHeader_; }

private:
    int header16(int at) const noexcept { return header_[at] << 8 | header_[at + 1]; }
    void setHeader16(int at, int value) noexcept;
    void clearModified() noexcept;
    void readAll(TStream& source);
    void writeAll(TStream& destination);

    std::vector<std::unique_ptr<TMidiTrackStream>> tracks_;
    std::vector<std::uint8_t> extraHeader_;
    bool modified_ = false;
    bool active_ = false;
    std::uint8_t header_[6] = {0, 1, 0, 0, 0, 180};  // format, track count, division; big-endian
    bool fromRiff_ = false;
};

// Replaces the extension of the last path component (or appends one when it has none).
std::string replaceExtension(const std::string& path, const std::string& extension);

}  // namespace midifile
