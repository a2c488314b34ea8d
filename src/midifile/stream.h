// The stream interface the library reads and writes through, and a stream over a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace midifile {

enum class SeekOrigin { Begin = 0, Current = 1, End = 2 };

// File modes: an access part combined with a sharing part, or Create alone.
namespace FileMode {
inline constexpr std::uint16_t Create = 0xFFFF;
inline constexpr std::uint16_t OpenRead = 0x0000;
inline constexpr std::uint16_t OpenWrite = 0x0001;
inline constexpr std::uint16_t OpenReadWrite = 0x0002;
inline constexpr std::uint16_t ShareExclusive = 0x0010;
inline constexpr std::uint16_t ShareDenyWrite = 0x0020;
inline constexpr std::uint16_t ShareDenyRead = 0x0030;
inline constexpr std::uint16_t ShareDenyNone = 0x0040;
}  // namespace FileMode

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads up to count bytes; answers how many were read (0 at the end or on error).
    virtual std::int64_t read(void* buffer, std::int64_t count) = 0;
    // Writes count bytes; answers how many were written.
    virtual std::int64_t write(const void* buffer, std::int64_t count) = 0;
    // Answers the new position, or -1 when the seek failed.
    virtual std::int64_t seek(std::int64_t offset, SeekOrigin origin) = 0;

    std::int64_t position() { return seek(0, SeekOrigin::Current); }
    std::int64_t size();

    // Reads exactly count bytes or raises EReadError "Stream read error".
    void readBuffer(void* buffer, std::int64_t count);
    // Writes exactly count bytes or raises Exception "Stream write error".
    void writeBuffer(const void* buffer, std::int64_t count);
};

// A file opened with a FileMode; "Unable to create %s" / "Unable to open %s" when it cannot be.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, std::uint16_t mode);
    // A file opened elsewhere; the stream uses it but does not close it.
    explicit TFileStream(std::FILE* file) noexcept : file_(file), owned_(false) {}
    ~TFileStream() override;

    std::int64_t read(void* buffer, std::int64_t count) override;
    std::int64_t write(const void* buffer, std::int64_t count) override;
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;

private:
    enum class LastOp { None, Read, Write };
    void switchTo(LastOp op);

    std::FILE* file_ = nullptr;
    bool owned_ = true;
    LastOp last_ = LastOp::None;
};

}  // namespace midifile
