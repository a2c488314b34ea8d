#include "midifile/riffstream.h"

#include <algorithm>

#include "midifile/errors.h"

namespace midifile {

namespace {

std::uint32_t le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

constexpr std::uint32_t kRiff = riffCode("RIFF");
constexpr std::uint32_t kList = riffCode("LIST");

}  // namespace

std::uint32_t riffCode(const std::string& s) {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < 4 && i < s.size(); ++i)
        code |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[i])) << (8 * i);
    return code;
}

std::string riffCodeText(std::uint32_t code) {
    std::string s(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    return s;
}

TRiffChunkInfo::TRiffChunkInfo(const std::string& chunkName) : name(chunkName) {
    if (!name.empty() && name.size() != 4)
        throw Exception("RIFF Chunk ID must be four characters long");
    if (name == "LIST" || name == "RIFF") {
        info.type = riffCode(name);
    } else if (name.size() == 4) {
        info.id = riffCode(name);
    }
}

std::uint32_t TRiffStream::openFlags(std::uint16_t mode) noexcept {
    if (mode == FileMode::Create) return kRiffCreateFlag;
    return static_cast<std::uint32_t>(mode & 0x03) | static_cast<std::uint32_t>(mode & 0x70);
}

TRiffStream::TRiffStream(const std::string& fileName, std::uint16_t mode)
    : file_(std::make_unique<TFileStream>(fileName, mode)) {}

TRiffStream::TRiffStream(std::unique_ptr<TStream> stream) : file_(std::move(stream)) {}

TRiffStream::~TRiffStream() = default;

bool TRiffStream::findChunk(RiffChunk& found, const RiffChunk& wanted, std::uint32_t flags) {
    const std::int64_t start = file_->position();
    if (start < 0) return false;
    std::uint64_t end;
    if (!chunks_.empty()) {
        const RiffChunk& parent = chunks_.back()->info;
        end = std::uint64_t{parent.dataOffset} + parent.size;
    } else {
        const std::int64_t fileSize = file_->size();
        if (fileSize < 0) return false;
        end = static_cast<std::uint64_t>(fileSize);
    }
    // Offsets are 32-bit in this layout; every step moves at least 8 bytes forward.
    end = std::min<std::uint64_t>(end, 0xFFFFFFFFu);
    std::uint64_t pos = static_cast<std::uint64_t>(start);
    while (pos + 8 <= end) {
        std::uint8_t head[12];
        if (file_->seek(static_cast<std::int64_t>(pos), SeekOrigin::Begin) < 0 ||
            file_->read(head, 8) != 8)
            return false;
        RiffChunk c;
        c.id = le32(head);
        c.size = le32(head + 4);
        c.dataOffset = static_cast<std::uint32_t>(pos + 8);
        const bool container = c.id == kRiff || c.id == kList;
        if (container) {
            if (pos + 12 > end || file_->read(head + 8, 4) != 4) return false;
            c.type = le32(head + 8);
        }
        bool match = false;
        if (flags & RiffFind::Chunk) {
            match = c.id == wanted.id;
        } else if (flags & RiffFind::Riff) {
            match = c.id == kRiff && (wanted.type == 0 || c.type == wanted.type);
        } else if (flags & RiffFind::List) {
            match = c.id == kList && (wanted.type == 0 || c.type == wanted.type);
        } else {
            match = true;
        }
        if (match) {
            if (file_->seek(c.dataOffset + (container ? 4 : 0), SeekOrigin::Begin) < 0)
                return false;
            found = c;
            return true;
        }
        pos += 8 + std::uint64_t{c.size} + (c.size & 1);
    }
    return false;
}

void TRiffStream::descend(const std::string& chunkName, std::uint32_t searchFlags) {
    auto chunk = std::make_unique<TRiffChunkInfo>(chunkName);
    RiffChunk found;
    if (!findChunk(found, chunk->info, searchFlags))
        throw Exception("Unable to descend into " + chunkName);
    chunk->info = found;
    // A container is known by its form or list type, any other chunk by its identifier.
    const bool container = found.id == kRiff || found.id == kList;
    chunk->name = riffCodeText(container ? found.type : found.id);
    chunks_.push_back(std::move(chunk));
}

std::int64_t TRiffStream::read(void* buffer, std::int64_t count) {
    const std::int64_t n = file_->read(buffer, count);
    return n < 0 ? 0 : n;
}

std::int64_t TRiffStream::write(const void* buffer, std::int64_t count) {
    const std::int64_t n = file_->write(buffer, count);
    return n < 0 ? 0 : n;
}

std::int64_t TRiffStream::seek(std::int64_t offset, SeekOrigin origin) {
    return file_->seek(offset, origin);
}

}  // namespace midifile
