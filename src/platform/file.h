// Opening files with an access and a sharing mode, and 64-bit positions. Windows honours the
// sharing mode (other openers are refused what it denies); POSIX systems have no mandatory
// sharing, so there it only documents intent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

// Null when the file cannot be opened so.
std::FILE* openFile(const std::string& path, FileAccess access, FileShare share) noexcept;

// fseek/ftell with 64-bit offsets; origin is SEEK_SET, SEEK_CUR or SEEK_END.
bool seekFile(std::FILE* file, std::int64_t offset, int origin) noexcept;
std::int64_t tellFile(std::FILE* file) noexcept;

}  // namespace platform
