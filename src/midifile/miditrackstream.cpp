#include "midifile/miditrackstream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "midifile/errors.h"

namespace midifile {

namespace {

constexpr std::size_t kMaxBlock = std::numeric_limits<std::uint16_t>::max();

const char* const kPastEnd = "Damaged track: event runs past the end of the chunk";
const char* const kLengthPastEnd = "Damaged track: data length runs past the end of the chunk";
const char* const kTimeOverflow = "Damaged track: time beyond the 32-bit range";
const char* const kChunkPastFile = "Damaged track: chunk runs past the end of the file";
const char* const kMetaTooLong = "Meta event longer than 65534 bytes";
const char* const kEscapeTooLong = "F7 escape longer than 65535 bytes";
const char* const kSysexTooLong = "SysEx longer than 16 MB (16777216 bytes)";

std::uint32_t blockHandle(const TMidiEvent& e) noexcept {
    std::uint32_t h;
    std::memcpy(&h, e.data, sizeof h);
    return h;
}

bool isEndOfTrack(const TMidiTrackStream& track, const TMidiEvent& e) noexcept {
    if (e.status != 0xFF || e.dataLength() == 0) return false;
    const std::uint8_t* block = track.eventBlock(e);
    return block && block[0] == 0x2F;
}

// Reads a variable-length quantity within [pos, end); the value must stay within int32.
std::uint32_t readQuantity(const std::uint8_t* p, std::size_t& pos, std::size_t end,
                           const char* overflow) {
    std::uint64_t value = 0;
    for (;;) {
        if (pos >= end) throw EMidiTrackStream(kPastEnd);
        const std::uint8_t b = p[pos++];
        value = (value << 7) | (b & 0x7F);
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            throw EMidiTrackStream(overflow);
        if (!(b & 0x80)) return static_cast<std::uint32_t>(value);
    }
}

// The byte at pos, which must lie before end.
std::uint8_t nextByte(const std::uint8_t* p, std::size_t& pos, std::size_t end) {
    if (pos >= end) throw EMidiTrackStream(kPastEnd);
    return p[pos++];
}

std::size_t quantitySize(std::uint32_t v) noexcept {
    std::size_t n = 1;
    while (v >>= 7) ++n;
    return n;
}

std::uint8_t* putQuantity(std::uint8_t* out, std::uint32_t v) noexcept {
    std::uint8_t tmp[5];
    int n = 0;
    do {
        tmp[n++] = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
    } while (v);
    while (n > 1) *out++ = static_cast<std::uint8_t>(tmp[--n] | 0x80);
    *out++ = tmp[0];
    return out;
}

// Where the encoder puts a track's bytes: a counter for measuring, a buffer for writing.
struct CountingSink {
    std::uint64_t count = 0;
    void byte(std::uint8_t) noexcept { ++count; }
    void quantity(std::uint32_t v) noexcept { count += quantitySize(v); }
    void bytes(const std::uint8_t*, std::size_t n) noexcept { count += n; }
};
struct BufferSink {
    std::uint8_t* out;
    void byte(std::uint8_t b) noexcept { *out++ = b; }
    void quantity(std::uint32_t v) noexcept { out = putQuantity(out, v); }
    void bytes(const std::uint8_t* p, std::size_t n) noexcept {
        if (n) std::memcpy(out, p, n);
        out += n;
    }
};

// The largest delta time a file can hold: four bytes of seven bits.
constexpr std::uint32_t kMaxDelta = 0x0FFFFFFF;

template <class Sink>
void encodeTrack(const TMidiTrackStream& track, Sink& sink) {
    std::int32_t previous = 0;
    std::uint8_t running = 0;
    for (std::int32_t i = 0; i < track.eventCount(); ++i) {
        const TMidiEvent& e = *track.event(i);
        // Records are in time order; a negative time is written at 0.
        const std::int32_t time = e.time();
        std::uint32_t delta = time > previous ? static_cast<std::uint32_t>(time - previous) : 0u;
        if (time > previous) previous = time;
        // A delta time has at most four bytes in a file: a longer gap is bridged by empty text
        // events, which every reader skips, and which end running status as any meta event.
        for (; delta > kMaxDelta; delta -= kMaxDelta) {
            sink.quantity(kMaxDelta);
            sink.byte(0xFF);
            sink.byte(0x01);
            sink.quantity(0);
            running = 0;
        }
        sink.quantity(delta);
        if (e.status < 0xF0) {
            // Running status only for a proper data byte: one with its top bit set (from a
            // damaged file) would read back as a status.
            if (e.status != running || e.data[0] >= 0x80) sink.byte(e.status);
            running = e.status;
            sink.byte(e.data[0]);
            if (channelDataBytes(e.status) == 2) sink.byte(e.data[1]);
            continue;
        }
        // After a system event the next channel message carries its status again.
        running = 0;
        sink.byte(e.status);
        const std::uint8_t* block = track.eventBlock(e);
        if (e.status == 0xFF) {
            const std::uint32_t n = e.dataLength() ? e.dataLength() - 1u : 0u;
            sink.byte(block ? block[0] : 0);
            sink.quantity(n);
            if (n) sink.bytes(block + 1, n);
        } else if (e.status == 0xF0 || e.status == 0xF7) {
            sink.quantity(e.dataLength());
            if (e.dataLength()) sink.bytes(block, e.dataLength());
        }
        // Other system statuses carry no data in a file: the status byte alone.
    }
}

}  // namespace

TMidiTrackStream::TMidiTrackStream(std::int32_t maxEvents)
    : TVirtualMemoryStream(maxEvents > 0 && maxEvents <= std::numeric_limits<std::int32_t>::max() /
                                                             kRecordSize
                               ? maxEvents * kRecordSize
                               : throw EVirtualMemory("Invalid maximum event count")) {}

TMidiEvent* TMidiTrackStream::event(std::int32_t index) const noexcept {
    return index >= 0 && index < count_ ? records() + index : nullptr;
}

const std::uint8_t* TMidiTrackStream::eventBlock(const TMidiEvent& e) const noexcept {
    if (!ownsBlock(e.status)) return nullptr;
    const std::uint32_t h = blockHandle(e);
    return h >= 1 && h <= blocks_.size() ? blocks_[h - 1].get() : nullptr;
}

TMidiEvent* TMidiTrackStream::pairedNote(const TMidiEvent& e) const noexcept {
    return e.pairedNote() ? event(static_cast<std::int32_t>(e.pairedNote() - 1)) : nullptr;
}

std::int32_t TMidiTrackStream::find(std::int32_t time, int mode) const noexcept {
    const TMidiEvent* r = records();
    std::int32_t lo = 0, hi = count_;  // first record with time >= `time`
    while (lo < hi) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        if (r[mid].time() < time) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == count_) return -1;
    if (r[lo].time() > time || mode == 0) return lo;
    hi = count_;  // last record with time == `time`
    std::int32_t last = lo;
    while (last + 1 < hi) {
        const std::int32_t mid = last + (hi - last) / 2;
        if (r[mid].time() == time) {
            last = mid;
        } else {
            hi = mid;
        }
    }
    return last;
}

std::uint32_t TMidiTrackStream::addBlock(const std::uint8_t* bytes, std::size_t length) {
    if (length == 0) return 0;
    auto block = std::make_unique<std::uint8_t[]>(length);
    std::memcpy(block.get(), bytes, length);
    blocks_.push_back(std::move(block));
    return static_cast<std::uint32_t>(blocks_.size());
}

std::int32_t TMidiTrackStream::insertRecord(const TMidiEvent& record) {
    // Room for two more records first, so a failure changes nothing.
    const std::int64_t need = (static_cast<std::int64_t>(count_) + 2) * kRecordSize;
    if (need > capacity()) throw EVirtualMemory("Size exceeds capacity");
    if (streamSize() < need) setSize(static_cast<std::int32_t>(need));

    TMidiEvent* r = records();
    std::int32_t target = 0;
    if (count_ > 0) {
        TMidiEvent& last = r[count_ - 1];
        if (isEndOfTrack(*this, last) && last.time() < record.time()) last.setTime(record.time());
        const std::int32_t i = find(record.time(), 1);
        if (i < 0) throw EMidiTrackStream("System error inserting event");
        target = (r[i].time() == record.time() && i != count_ - 1) ? i + 1 : i;
    }
    const std::int32_t oldCount = count_;
    std::memmove(r + target + 1, r + target,
                 static_cast<std::size_t>(count_ - target) * sizeof(TMidiEvent));
    r[target] = record;
    ++count_;
    if (nameIndex_ >= target) ++nameIndex_;
    if (target < oldCount - 1) rebuildNotePairs();
    modified = true;
    return target;
}

TMidiEvent* TMidiTrackStream::insertEvent(std::int32_t time, const std::uint8_t input[5],
                                          std::uint16_t length, const std::uint8_t* block) {
    TMidiEvent record{};
    record.setTime(time);
    record.status = input[0];
    if (record.status < 0x80) throw EMidiTrackStream("Not a status byte");
    std::unique_ptr<std::uint8_t[]> owned;
    if (ownsBlock(record.status)) {
        if (record.status == 0xFF && length == 0)
            throw EMidiTrackStream("A meta event needs its type byte");
        if (length > 0 && !block) throw EMidiTrackStream("Missing event data");
        record.setDataLength(length);
        // The block joins the track only once the record has a place.
        const std::uint32_t handle = static_cast<std::uint32_t>(blocks_.size() + 1);
        if (length > 0) std::memcpy(record.data, &handle, sizeof handle);
        const std::size_t blocksBefore = blocks_.size();
        if (length > 0) addBlock(block, length);
        try {
            return records() + insertRecord(record);
        } catch (...) {
            blocks_.resize(blocksBefore);
            throw;
        }
    }
    std::memcpy(record.data, input + 1, 4);
    return records() + insertRecord(record);
}

TMidiEvent* TMidiTrackStream::insertSysex(std::int32_t time, const std::uint8_t* data,
                                          std::size_t size) {
    if (!data || size < 2 || data[0] != 0xF0) throw EMidiTrackStream("Error in Sysex");
    std::uint8_t status[5] = {0xF0, 0, 0, 0, 0};
    std::int32_t first = -1;
    for (std::size_t at = 1; at < size;) {
        const std::size_t n = std::min(size - at, kMaxBlock);
        const TMidiEvent* e = insertEvent(time, status, static_cast<std::uint16_t>(n), data + at);
        if (first < 0) first = static_cast<std::int32_t>(e - records());
        status[0] = 0xF7;
        at += n;
    }
    return event(first);
}

TMidiEvent* TMidiTrackStream::insertMetaEvent(std::int32_t time, std::uint8_t type,
                                              std::uint16_t length, const std::uint8_t* data) {
    if (length >= kMaxBlock) throw EMidiTrackStream("Meta event data too long");
    std::vector<std::uint8_t> block(static_cast<std::size_t>(length) + 1);
    block[0] = type;
    if (length > 0) std::memcpy(block.data() + 1, data, length);
    const std::uint8_t input[5] = {0xFF, 0, 0, 0, 0};
    return insertEvent(time, input, static_cast<std::uint16_t>(length + 1), block.data());
}

void TMidiTrackStream::initNewTrack() {
    insertMetaEvent(0, 0x2F, 0, nullptr);
    insertMetaEvent(0, 0x21, 0, nullptr);
    nameIndex_ = static_cast<std::int32_t>(insertMetaEvent(0, 0x03, 0, nullptr) - records());
}

void TMidiTrackStream::setTrackName(const std::string& text) {
    if (text.size() >= kMaxBlock) throw EMidiTrackStream("Track name too long");
    TMidiEvent* e = nameEvent();
    if (!e) {
        nameIndex_ = static_cast<std::int32_t>(
            insertMetaEvent(0, 0x03, static_cast<std::uint16_t>(text.size()),
                            reinterpret_cast<const std::uint8_t*>(text.data())) -
            records());
        return;
    }
    auto block = std::make_unique<std::uint8_t[]>(text.size() + 1);
    block[0] = 0x03;
    std::memcpy(block.get() + 1, text.data(), text.size());
    const std::uint32_t h = blockHandle(*e);
    if (h >= 1 && h <= blocks_.size()) {
        blocks_[h - 1] = std::move(block);
    } else {
        blocks_.push_back(std::move(block));
        const auto handle = static_cast<std::uint32_t>(blocks_.size());
        std::memcpy(e->data, &handle, sizeof handle);
    }
    e->setDataLength(static_cast<std::uint16_t>(text.size() + 1));
    modified = true;
}

void TMidiTrackStream::rebuildNotePairs() noexcept {
    // Up to five pending note-ons per note number; the channel is not considered.
    constexpr int kDepth = 5;
    std::int32_t pending[128][kDepth];
    int depth[128] = {};
    TMidiEvent* r = records();
    for (std::int32_t i = 0; i < count_; ++i) r[i].setPairedNote(0);
    for (std::int32_t i = 0; i < count_; ++i) {
        const std::uint8_t kind = r[i].status >> 4;
        const std::uint8_t note = r[i].data[0];
        if ((kind != 0x8 && kind != 0x9) || note >= 128) continue;
        if (kind == 0x9 && r[i].data[1] != 0) {
            if (depth[note] < kDepth) pending[note][depth[note]++] = i;
        } else if (depth[note] > 0) {
            const std::int32_t on = pending[note][--depth[note]];
            r[on].setPairedNote(static_cast<std::uint32_t>(i + 1));
            r[i].setPairedNote(static_cast<std::uint32_t>(on + 1));
        }
    }
}

// Gives e the bytes of a SysEx packet, escape or meta event (`metaType` -1 for none). One
// longer than a block is divided as the writer divides long messages: the packet's own event
// with the first bytes, then F7 continuation events at the same time. Adds every event but the
// last, which stays in e. The counting pass only sizes them.
template <bool Fill, class Add>
void TMidiTrackStream::addDivided(TMidiEvent& e, const std::uint8_t* data, std::size_t length,
                                  int metaType, Add& add) {
    const bool meta = metaType >= 0;
    std::size_t left = length;
    do {
        const std::size_t piece = std::min(left, kMaxBlock);
        const std::size_t blockSize = piece + (meta ? 1 : 0);
        e.setDataLength(static_cast<std::uint16_t>(blockSize));
        if (Fill && blockSize > 0) {
            auto block = std::make_unique<std::uint8_t[]>(blockSize);
            if (meta) block[0] = static_cast<std::uint8_t>(metaType);
            std::memcpy(block.get() + (meta ? 1 : 0), data, piece);
            blocks_.push_back(std::move(block));
            const auto handle = static_cast<std::uint32_t>(blocks_.size());
            std::memcpy(e.data, &handle, sizeof handle);
        }
        data += piece;
        left -= piece;
        if (left > 0) {
            add(e);
            e.status = 0xF7;
        }
    } while (left > 0);
}

// One pass over a track chunk. The counting pass (Fill false) checks everything and counts the
// events; the filling pass writes the records into memory already sized for them.
template <bool Fill>
std::int32_t TMidiTrackStream::parse(const std::uint8_t* p, std::size_t end, bool& endOfTrack) {
    std::size_t pos = 0;
    std::uint32_t time = 0;
    std::uint8_t running = 0;
    bool sysexOpen = false;
    std::size_t sysexBytes = 0;  // of the open SysEx so far, F0 included
    bool seenProgram = false, seenChannel = false;
    std::int32_t n = 0;
    TMidiEvent* out = Fill ? records() : nullptr;
    const auto add = [&](const TMidiEvent& e) {
        if (Fill) out[n] = e;
        if (n == std::numeric_limits<std::int32_t>::max())
            throw EVirtualMemory("Size exceeds capacity");
        ++n;
    };
    endOfTrack = false;
    while (pos < end) {
        time += readQuantity(p, pos, end, kTimeOverflow);
        if (time > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
            throw EMidiTrackStream(kTimeOverflow);
        if (pos >= end) throw EMidiTrackStream(kPastEnd);
        std::uint8_t b = p[pos++];
        if (sysexOpen && b != 0xF7) throw EMidiTrackStream("Error in Sysex");
        TMidiEvent e{};
        e.setTime(static_cast<std::int32_t>(time));
        if (b >= 0x80) {
            e.status = b;
            if (b < 0xF0) {
                running = b;
                b = nextByte(p, pos, end);
            }
        } else {
            if (!running) throw EMidiTrackStream("Error in Running Status");
            e.status = running;
        }
        if (e.status < 0xF0) {
            e.data[0] = b;
            if (channelDataBytes(e.status) == 2) e.data[1] = nextByte(p, pos, end);
            if (!Fill) {
                if (!seenChannel) firstChannel = e.status & 0x0F;
                if (!seenProgram && (e.status >> 4) == 0xC) firstProgram = e.data[0];
                seenChannel = true;
                seenProgram = seenProgram || (e.status >> 4) == 0xC;
            }
        } else if (e.status == 0xF0 || e.status == 0xF7 || e.status == 0xFF) {
            const bool meta = e.status == 0xFF;
            const std::uint8_t type = meta ? nextByte(p, pos, end) : std::uint8_t{0};
            const std::size_t length = readQuantity(p, pos, end, kLengthPastEnd);
            if (length > end - pos) throw EMidiTrackStream(kLengthPastEnd);
            if (meta) {
                if (length + 1 > kMaxBlock) throw EMidiTrackStream(kMetaTooLong);
                if (type == 0x2F) endOfTrack = true;
                if (Fill && (type == 0x03 || (type == 0x01 && nameIndex_ < 0))) nameIndex_ = n;
            } else if (e.status == 0xF0 || sysexOpen) {
                sysexBytes = (e.status == 0xF0 ? 1 : sysexBytes) + length;
                if (sysexBytes > kMaxFileSysex) throw EMidiTrackStream(kSysexTooLong);
                sysexOpen = length == 0 || p[pos + length - 1] != 0xF7;
            } else if (length > kMaxBlock) {
                // An F7 block while no sysex is open is an escape: a complete message of its own
                // (a song position or time code, for instance) that opens nothing, and cannot be
                // divided.
                throw EMidiTrackStream(kEscapeTooLong);
            }
            addDivided<Fill>(e, p + pos, length, meta ? type : -1, add);
            pos += length;
        }
        add(e);
    }
    // A sysex still unfinished where the chunk ends never got its F7: the End of Track that
    // would follow it could not be read back.
    if (sysexOpen) throw EMidiTrackStream("Error in Sysex");
    if (Fill && !endOfTrack) out[n] = endOfTrackAt(time);
    return n;
}

TMidiEvent TMidiTrackStream::endOfTrackAt(std::uint32_t time) {
    TMidiEvent e{};
    e.setTime(static_cast<std::int32_t>(time));
    e.status = 0xFF;
    e.setDataLength(1);
    const std::uint8_t type = 0x2F;
    const std::uint32_t handle = addBlock(&type, 1);
    std::memcpy(e.data, &handle, sizeof handle);
    return e;
}

void TMidiTrackStream::loadFromStream(TStream& source) {
    std::uint8_t head[8];
    source.readBuffer(head, 4);
    if (std::memcmp(head, "MTrk", 4) != 0) throw EMidiTrackStream("Invalid track start ID");
    source.readBuffer(head + 4, 4);
    const std::uint32_t length = (std::uint32_t{head[4]} << 24) | (std::uint32_t{head[5]} << 16) |
                                 (std::uint32_t{head[6]} << 8) | head[7];

    // The buffer grows only as the source delivers bytes, so a chunk length that the file
    // does not back costs nothing.
    std::vector<std::uint8_t> chunk;
    constexpr std::size_t kStep = 1 << 16;
    std::size_t got = 0;
    while (got < length) {
        const std::size_t want = std::min<std::size_t>(length - got, std::max(kStep, got));
        chunk.resize(got + want);
        const auto n = source.read(chunk.data() + got, static_cast<std::int64_t>(want));
        if (n <= 0) throw EMidiTrackStream(kChunkPastFile);
        got += static_cast<std::size_t>(n);
    }

    count_ = 0;
    nameIndex_ = -1;
    blocks_.clear();
    bool endOfTrack = false;
    const std::int32_t counted = parse<false>(chunk.data(), length, endOfTrack);
    const std::int64_t records = static_cast<std::int64_t>(counted) + (endOfTrack ? 0 : 1);
    if (records * kRecordSize > capacity()) throw EVirtualMemory("Size exceeds capacity");
    setSize(static_cast<std::int32_t>(records * kRecordSize));
    parse<true>(chunk.data(), length, endOfTrack);
    count_ = static_cast<std::int32_t>(records);
    seek(static_cast<std::int64_t>(count_) * kRecordSize, SeekOrigin::Begin);
    rebuildNotePairs();
}

void TMidiTrackStream::writeToStream(TStream& destination) {
    // Measure first, so the chunk length goes out before the data.
    CountingSink counter;
    encodeTrack(*this, counter);
    const std::uint64_t size = counter.count;
    if (size > std::numeric_limits<std::uint32_t>::max())
        throw EMidiTrackStream("Track too large for a track chunk");

    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 8);
    std::memcpy(buffer.data(), "MTrk", 4);
    for (int i = 0; i < 4; ++i) buffer[4 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    BufferSink writer{buffer.data() + 8};
    encodeTrack(*this, writer);
    destination.writeBuffer(buffer.data(), static_cast<std::int64_t>(buffer.size()));
    seek(static_cast<std::int64_t>(count_) * kRecordSize, SeekOrigin::Begin);
}

}  // namespace midifile
