// Opening files with an access and a sharing mode, and 64-bit positions. Windows honours the
// sharing mode (other openers are refused what it denies); POSIX systems have no mandatory
// sharing, so there it only documents intent.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

enum class FileAccess {
    Read,       // an existing file, reading only
    Write,      // an existing file, writing only, contents kept
    ReadWrite,  // an existing file, contents kept
    Create,     // created, or emptied when it exists; reading and writing
};

enum class FileShare { Compatible, Exclusive, DenyWrite, DenyRead, DenyNone };

// The stdio mode text for an access.
inline const char* stdioMode(FileAccess access) noexcept {
    switch (access) {
        case FileAccess::Write:
        case FileAccess::ReadWrite:
            return "r+b";
        case FileAccess::Create:
            return "w+b";
        case FileAccess::Read:
        default:
            return "rb";
    }
}

// Null when the file cannot be opened so. Only regular files open: a FIFO, a device or a
// folder is refused at once instead of holding the caller up.
std::FILE* openFile(const std::string& path, FileAccess access, FileShare share) noexcept;

// fseek/ftell with 64-bit offsets; origin is SEEK_SET, SEEK_CUR or SEEK_END.
bool seekFile(std::FILE* file, std::int64_t offset, int origin) noexcept;
std::int64_t tellFile(std::FILE* file) noexcept;

// Saving a file whole or not at all. The new contents go to a temporary file in the target's
// folder; commit() flushes it to the disk and renames it over the target. Until then, and
// whenever a step fails, the target stays as it was and the temporary file is removed.
// A target that exists must be a regular file the caller may write (links are followed: the
// file they lead to is replaced, the link stays); a folder, a FIFO or a device is refused
// without waiting on it. A new file gets the usual mode for new files, a replaced one keeps
// its mode. One thread uses an object at a time.
class FileSave {
public:
    FileSave() = default;
    ~FileSave();
    FileSave(const FileSave&) = delete;
    FileSave& operator=(const FileSave&) = delete;

    // Checks the target and creates the temporary file. False with the reason in error();
    // refused() tells a target that is not a regular file from other failures.
    bool open(const std::string& path);
    // The temporary file, open for writing (and reading); null before open().
    std::FILE* file() const noexcept { return file_; }
    // Flushes and closes the temporary file and puts it in the target's place. With `giveUp`
    // set by then (another thread stopped waiting for this save), the target is left alone.
    // False with the reason; the target is then as it was.
    bool commit(const std::atomic<bool>* giveUp = nullptr);

    const std::string& error() const noexcept { return error_; }
    bool refused() const noexcept { return refused_; }

private:
    void discard() noexcept;

    std::FILE* file_ = nullptr;
    std::string target_;
    std::string temp_;
    std::string error_;
    bool refused_ = false;
};

// Saves `contents` to `path` with a FileSave. False with the reason.
bool saveFile(const std::string& path, std::string_view contents, std::string& error);

}  // namespace platform
