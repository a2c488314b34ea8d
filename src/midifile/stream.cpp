#include "midifile/stream.h"

#include "midifile/errors.h"
#include "platform/file.h"

namespace midifile {

std::int64_t TStream::size() {
    const std::int64_t here = seek(0, SeekOrigin::Current);
    const std::int64_t end = seek(0, SeekOrigin::End);
    seek(here, SeekOrigin::Begin);
    return end;
}

void TStream::readBuffer(void* buffer, std::int64_t count) {
    if (count > 0 && read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::writeBuffer(const void* buffer, std::int64_t count) {
    if (count > 0 && write(buffer, count) != count) throw Exception("Stream write error");
}

namespace {

platform::FileAccess accessOf(std::uint16_t mode) {
    if (mode == FileMode::Create) return platform::FileAccess::Create;
    switch (mode & 0x0F) {
        case FileMode::OpenWrite:
            return platform::FileAccess::Write;
        case FileMode::OpenReadWrite:
            return platform::FileAccess::ReadWrite;
        default:
            return platform::FileAccess::Read;
    }
}

platform::FileShare shareOf(std::uint16_t mode) {
    if (mode == FileMode::Create) return platform::FileShare::Compatible;
    switch (mode & 0xF0) {
        case FileMode::ShareExclusive:
            return platform::FileShare::Exclusive;
        case FileMode::ShareDenyWrite:
            return platform::FileShare::DenyWrite;
        case FileMode::ShareDenyRead:
            return platform::FileShare::DenyRead;
        case FileMode::ShareDenyNone:
            return platform::FileShare::DenyNone;
        default:
            return platform::FileShare::Compatible;
    }
}

}  // namespace

TFileStream::TFileStream(const std::string& fileName, std::uint16_t mode) {
    file_ = platform::openFile(fileName, accessOf(mode), shareOf(mode));
    if (!file_) {
        if (mode == FileMode::Create) throw EFileCreate("Unable to create " + fileName);
        throw EFileOpen("Unable to open " + fileName);
    }
}

TFileStream::~TFileStream() {
    if (owned_) std::fclose(file_);
}

void TFileStream::switchTo(LastOp op) {
    // A stdio stream needs a positioning call between reading and writing.
    if (last_ != LastOp::None && last_ != op) std::fseek(file_, 0, SEEK_CUR);
    last_ = op;
}

std::int64_t TFileStream::read(void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    switchTo(LastOp::Read);
    return static_cast<std::int64_t>(std::fread(buffer, 1, static_cast<std::size_t>(count), file_));
}

std::int64_t TFileStream::write(const void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    switchTo(LastOp::Write);
    return static_cast<std::int64_t>(
        std::fwrite(buffer, 1, static_cast<std::size_t>(count), file_));
}

std::int64_t TFileStream::seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    if (!(origin == SeekOrigin::Current && offset == 0)) {
        if (!platform::seekFile(file_, offset, whence)) return -1;
        last_ = LastOp::None;
    }
    return platform::tellFile(file_);
}

}  // namespace midifile
