// A stream over a RIFF file: descends into a RIFF form and into chunks inside the current
// chunk, and reads, writes and seeks in the file. The layout is the published one: a
// four-character identifier, a 32-bit little-endian size, the contents padded to an even
// length; RIFF and LIST chunks begin with their form or list type.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midifile/stream.h"

namespace midifile {

// Search modes of descend.
namespace RiffFind {
inline constexpr std::uint32_t None = 0;      // the chunk at the current position
inline constexpr std::uint32_t Chunk = 0x10;  // a chunk with the given identifier
inline constexpr std::uint32_t Riff = 0x20;   // a RIFF chunk (of the given form type, if any)
inline constexpr std::uint32_t List = 0x40;   // a LIST chunk (of the given list type, if any)
}  // namespace RiffFind

// Open flags of the RIFF file layer that FileMode values map to.
inline constexpr std::uint32_t kRiffCreateFlag = 0x1000;

// A four-character code, first character in the lowest byte.
constexpr std::uint32_t riffCode(const char (&s)[5]) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3])) << 24;
}
std::uint32_t riffCode(const std::string& s);
std::string riffCodeText(std::uint32_t code);

// The chunk record of the RIFF file layer.
struct RiffChunk {
    std::uint32_t id = 0;
    std::uint32_t size = 0;
    std::uint32_t type = 0;        // form or list type
    std::uint32_t dataOffset = 0;  // file offset of the contents (of the form type, for RIFF/LIST)
    std::uint32_t flags = 0;
};

// One chunk the stream has descended into, or a description of one to look for.
class TRiffChunkInfo {
public:
    // Raises Exception "RIFF Chunk ID must be four characters long" unless the name is empty or
    // four characters long. "RIFF" and "LIST" set the type, other names the identifier.
    explicit TRiffChunkInfo(const std::string& name);

    std::string name;
    RiffChunk info;
};

class TRiffStream : public TStream {
public:
    // Opens the file with a FileMode: Create creates or empties it ("Unable to create %s"),
    // other modes open an existing file ("Unable to open %s").
    TRiffStream(const std::string& fileName, std::uint16_t mode);
    // Works over a stream it takes over (a file or memory).
    explicit TRiffStream(std::unique_ptr<TStream> stream);
    ~TRiffStream() override;

    // Finds the named chunk inside the current chunk (or in the file at the top level) and
    // makes it the current one; raises Exception "Unable to descend into NAME" when it is not
    // there. Reading then starts at its contents (after the type of RIFF and LIST).
    void descend(const std::string& chunkName, std::uint32_t searchFlags);

    std::int64_t read(void* buffer, std::int64_t count) override;
    std::int64_t write(const void* buffer, std::int64_t count) override;
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;

    const std::vector<std::unique_ptr<TRiffChunkInfo>>& chunks() const noexcept { return chunks_; }

    // The RIFF file layer's open flags for a FileMode.
    static std::uint32_t openFlags(std::uint16_t mode) noexcept;

private:
    bool findChunk(RiffChunk& found, const RiffChunk& wanted, std::uint32_t flags);

    std::unique_ptr<TStream> file_;
    std::vector<std::unique_ptr<TRiffChunkInfo>> chunks_;
};

// The RIFF stream the MIDI data component opens.
class TRiffFileStream : public TRiffStream {
public:
    using TRiffStream::TRiffStream;
};

}  // namespace midifile
