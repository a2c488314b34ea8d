// The operating system's steps of a platform::FileSave, in posix|win32/file.cpp.
#pragma once

#include <cstdio>
#include <string>

namespace platform::fileos {

struct Target {
    std::string path;      // the file to replace, links followed
    bool exists = false;   // false: a new file is made
    unsigned mode = 0;     // the existing file's permission bits
    bool refused = false;  // it exists but is no regular file
};

// Checks `path` as a save target without waiting on it. False with the reason.
bool checkTarget(const std::string& path, Target& target, std::string& error);
// A name for a temporary file beside the target, told apart from others by this process and
// `serial`.
std::string temporaryName(const std::string& target, unsigned serial);
// Creates `path`, which must not exist yet, and opens it for writing and reading, with the
// target's mode when the target exists. Null with `taken` set when the name exists already,
// else with the reason.
std::FILE* createExclusive(const std::string& path, const Target& target, bool& taken,
                           std::string& error);
// Hands what the system buffered of the file to the disk.
bool syncFile(std::FILE* file) noexcept;
// Renames `from` over `to`, replacing it. False with the reason.
bool replaceFile(const std::string& from, const std::string& to, std::string& error);
// Removes a file; quietly does nothing when it cannot.
void removeFile(const std::string& path) noexcept;

}  // namespace platform::fileos
