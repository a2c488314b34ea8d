#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>

#include "platform/file.h"
#include "platform/fileos.h"

namespace platform {

namespace {

int shareFlag(FileShare share) noexcept {
    switch (share) {
        case FileShare::Exclusive:
            return _SH_DENYRW;
        case FileShare::DenyWrite:
            return _SH_DENYWR;
        case FileShare::DenyRead:
            return _SH_DENYRD;
        case FileShare::Compatible:
        case FileShare::DenyNone:
        default:
            return _SH_DENYNO;
    }
}

// The system's text for an error code, without its line break.
std::string errorText(DWORD code) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

// Whether the path names a file on a disk (not a folder, a pipe or a device such as NUL or
// COM1) that opens with `access`; a pipe or device is opened only to ask, which never waits.
// `code` tells why not.
bool isDiskFile(const std::string& path, DWORD access, DWORD& code) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        code = ERROR_DIRECTORY;
        return false;
    }
    HANDLE h =
        CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        return false;
    }
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    CloseHandle(h);
    code = disk ? ERROR_SUCCESS : ERROR_BAD_FILE_TYPE;
    return disk;
}

}  // namespace

// Only files on a disk open: a pipe or a device is refused at once.
std::FILE* openFile(const std::string& path, FileAccess access, FileShare share) noexcept {
    DWORD code = ERROR_SUCCESS;
    if (!isDiskFile(path, 0, code) &&
        !(access == FileAccess::Create &&
          (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)))
        return nullptr;
    return _fsopen(path.c_str(), stdioMode(access), shareFlag(share));
}

bool seekFile(std::FILE* file, std::int64_t offset, int origin) noexcept {
    return _fseeki64(file, offset, origin) == 0;
}

std::int64_t tellFile(std::FILE* file) noexcept {
    return _ftelli64(file);
}

namespace fileos {

bool checkTarget(const std::string& path, Target& target, std::string& error) {
    target = Target{};
    target.path = path;
    DWORD code = ERROR_SUCCESS;
    if (isDiskFile(path, GENERIC_WRITE, code)) {
        target.exists = true;
        return true;
    }
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;  // a new file
    target.refused = code == ERROR_DIRECTORY || code == ERROR_BAD_FILE_TYPE;
    error = target.refused ? "not a regular file" : errorText(code);
    return false;
}

std::string temporaryName(const std::string& target, unsigned serial) {
    return target + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial) +
           ".tmp";
}

std::FILE* createExclusive(const std::string& path, const Target& /*target*/, bool& taken,
                           std::string& error) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        taken = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        error = errorText(code);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    std::FILE* file = fd >= 0 ? _fdopen(fd, "w+b") : nullptr;
    if (!file) {
        error = "the temporary file could not be opened";
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(h);
        }
        DeleteFileA(path.c_str());
    }
    return file;
}

bool syncFile(std::FILE* file) noexcept {
    return _commit(_fileno(file)) == 0;
}

bool replaceFile(const std::string& from, const std::string& to, std::string& error) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = errorText(GetLastError());
    return false;
}

void removeFile(const std::string& path) noexcept {
    DeleteFileA(path.c_str());
}

}  // namespace fileos

}  // namespace platform
