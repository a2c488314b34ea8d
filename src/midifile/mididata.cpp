#include "midifile/mididata.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "midifile/errors.h"
#include "midifile/riffstream.h"
#include "platform/file.h"

namespace midifile {

namespace {

std::string upperExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace

std::string replaceExtension(const std::string& path, const std::string& extension) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + extension;
    return path.substr(0, dot) + extension;
}

TMidiData::TMidiData() = default;

TMidiData::~TMidiData() {
    clear();
}

void TMidiData::setHeader16(int at, int value) noexcept {
    header_[at] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    header_[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

void TMidiData::setActive(bool value) {
    if (value == active_) return;
    if (!value) {
        clear();
    } else if (!fileName.empty()) {
        load();
    } else {
        newFile();
    }
}

void TMidiData::setPpqn(int value) {
    if (value == ppqn()) return;
    setHeader16(4, value);
    modified_ = true;
}

void TMidiData::setFormat(int value) {
    if (value == format()) return;
    setHeader16(0, value);
    modified_ = true;
}

TMidiTrackStream* TMidiData::track(int index) const noexcept {
    return index >= 0 && index < trackCount() ? tracks_[static_cast<std::size_t>(index)].get()
                                              : nullptr;
}

bool TMidiData::addTrack(int a) {
    bool addedFirst = false;
    if (a > 0 && tracks_.empty()) {
        addTrack(0);
        addedFirst = true;
    }
    if (tracks_.size() >= 0xFFFF) throw EMidiData("A MIDI file holds at most 65535 tracks");
    auto t = std::make_unique<TMidiTrackStream>(kTrackEvents);
    t->initNewTrack();
    tracks_.push_back(std::move(t));
    setHeader16(2, trackCount());
    modified_ = true;
    return addedFirst;
}

void TMidiData::clearModified() noexcept {
    modified_ = false;
    for (auto& t : tracks_) t->modified = false;
}

void TMidiData::clear() {
    extraHeader_.clear();
    clearModified();
    tracks_.clear();
    const std::uint8_t defaults[6] = {0, 1, 0, 0, 0, 180};
    std::memcpy(header_, defaults, sizeof header_);
    active_ = false;
}

void TMidiData::newFile() {
    clear();
    fileName.clear();
    active_ = true;
}

void TMidiData::readAll(TStream& source) {
    char id[4];
    source.readBuffer(id, 4);
    if (std::memcmp(id, "MThd", 4) != 0) throw EMidiData("Invalid MIDI file ID");
    std::uint8_t len[4];
    source.readBuffer(len, 4);
    const std::uint32_t n = (std::uint32_t{len[0]} << 24) | (std::uint32_t{len[1]} << 16) |
                            (std::uint32_t{len[2]} << 8) | len[3];
    if (n <= 5 || n > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
        throw EMidiData("Invalid MIDI header size");
    source.readBuffer(header_, 6);
    // Extra header bytes are read as the source delivers them, never sized by n alone.
    std::size_t remaining = n - 6;
    while (remaining > 0) {
        const std::size_t step = std::min<std::size_t>(remaining, 1 << 16);
        const std::size_t at = extraHeader_.size();
        extraHeader_.resize(at + step);
        source.readBuffer(extraHeader_.data() + at, static_cast<std::int64_t>(step));
        remaining -= step;
    }
    const int count = headerTrackCount();
    for (int i = 0; i < count; ++i) {
        try {
            auto t = std::make_unique<TMidiTrackStream>(kTrackEvents);
            t->loadFromStream(source);  // a failing track is freed with t
            tracks_.push_back(std::move(t));
        } catch (const EMemoryExhausted& e) {
            // Every track is a reservation of its own; thousands of them can use up the
            // memory maps a process may hold long before memory itself runs out.
            throw EMemoryExhausted("Too many tracks for this machine's memory maps: track " +
                                   std::to_string(i + 1) + " of " + std::to_string(count) +
                                   " failed (" + e.what() + ")");
        }
    }
    active_ = true;
}

void TMidiData::loadFrom(TStream& source) {
    clear();
    fromRiff_ = false;
    try {
        readAll(source);
    } catch (...) {
        clear();
        throw;
    }
    clearModified();
}

void TMidiData::load() {
    clear();
    const std::string ext = upperExtension(fileName);
    const bool riff = ext == ".RMI" || ext == ".RIFF";
    const std::uint16_t mode = FileMode::OpenRead | FileMode::ShareDenyWrite;
    if (riff) {
        TRiffFileStream stream(fileName, mode);
        stream.descend("RMID", RiffFind::Riff);
        stream.descend("data", RiffFind::Chunk);
        loadFrom(stream);
        fromRiff_ = true;
        fileName = replaceExtension(fileName, ".MID");
    } else {
        TFileStream stream(fileName, mode);
        loadFrom(stream);
    }
}

void TMidiData::writeAll(TStream& destination) {
    const std::uint32_t length = static_cast<std::uint32_t>(6 + extraHeader_.size());
    std::uint8_t head[14] = {'M', 'T', 'h', 'd'};
    head[4] = static_cast<std::uint8_t>(length >> 24);
    head[5] = static_cast<std::uint8_t>(length >> 16);
    head[6] = static_cast<std::uint8_t>(length >> 8);
    head[7] = static_cast<std::uint8_t>(length);
    std::memcpy(head + 8, header_, 6);
    destination.writeBuffer(head, sizeof head);
    destination.writeBuffer(extraHeader_.data(), static_cast<std::int64_t>(extraHeader_.size()));
    for (auto& t : tracks_) t->writeToStream(destination);
}

void TMidiData::saveTo(TStream& destination) {
    writeAll(destination);
    clearModified();
}

void TMidiData::save(const std::atomic<bool>* giveUp) {
    platform::FileSave out;
    if (!out.open(fileName)) {
        throw EFileCreate("Unable to create " + fileName +
                          (out.refused() ? ": " + out.error() : std::string()));
    }
    TFileStream stream(out.file());
    writeAll(stream);
    if (!out.commit(giveUp)) throw Exception("Stream write error: " + out.error());
    clearModified();
}

}  // namespace midifile
