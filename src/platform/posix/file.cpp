#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/file.h"
#include "platform/fileos.h"

namespace platform {

namespace {

int openFlags(FileAccess access) noexcept {
    switch (access) {
        case FileAccess::Write:
        case FileAccess::ReadWrite:
            return O_RDWR;
        case FileAccess::Create:
            return O_RDWR | O_CREAT | O_TRUNC;
        case FileAccess::Read:
        default:
            return O_RDONLY;
    }
}

}  // namespace

// O_NONBLOCK keeps the open of a FIFO from waiting for its other end; once the descriptor is
// known to be a regular file, it goes back to ordinary blocking I/O.
std::FILE* openFile(const std::string& path, FileAccess access, FileShare /*share*/) noexcept {
    const int fd =
        ::open(path.c_str(), openFlags(access) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, stdioMode(access));
    if (!file) ::close(fd);
    return file;
}

bool seekFile(std::FILE* file, std::int64_t offset, int origin) noexcept {
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

std::int64_t tellFile(std::FILE* file) noexcept {
    return static_cast<std::int64_t>(ftello(file));
}

namespace fileos {

namespace {

std::string errorText(int code) {
    return std::strerror(code);
}

// The folder part of a path, with its slash ("" for the current folder).
std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A link to a file not there yet leads to where the file is to be made, as opening the link
// for writing would make it; links to links are followed too.
std::string linkedPath(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char to[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), to, sizeof to);
        if (n <= 0 || n >= static_cast<ssize_t>(sizeof to)) break;
        path = to[0] == '/' ? std::string(to, static_cast<std::size_t>(n))
                            : folderOf(path) + std::string(to, static_cast<std::size_t>(n));
    }
    return path;
}

}  // namespace

// Opened for writing without blocking: a regular file opens and shows that it may be written;
// a FIFO without a reader answers ENXIO, with one it opens and fstat tells; a folder answers
// EISDIR. Nothing is written or truncated.
bool checkTarget(const std::string& path, Target& target, std::string& error) {
    target = Target{};
    target.path = path;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        if (code == ENOENT) {  // a new file
            target.path = linkedPath(path);
            return true;
        }
        target.refused = code == ENXIO || code == EISDIR;
        error = target.refused ? "not a regular file" : errorText(code);
        return false;
    }
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    const int code = errno;
    ::close(fd);
    if (!statted) {
        error = errorText(code);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        target.refused = true;
        error = "not a regular file";
        return false;
    }
    target.exists = true;
    target.mode = static_cast<unsigned>(st.st_mode & 07777);
    // Through a link, the file it leads to is replaced and the link stays.
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        target.path = real;
        std::free(real);
    }
    return true;
}

// Hidden, so file choosers do not show it; cut so that it stays within the usual 255-byte limit.
std::string temporaryName(const std::string& target, unsigned serial) {
    const std::string folder = folderOf(target);
    return folder + "." + target.substr(folder.size(), 200) + "." + std::to_string(::getpid()) +
           "-" + std::to_string(serial) + ".tmp";
}

std::FILE* createExclusive(const std::string& path, const Target& target, bool& taken,
                           std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        taken = errno == EEXIST;
        error = errorText(errno);
        return nullptr;
    }
    if (target.exists) ::fchmod(fd, static_cast<mode_t>(target.mode));
    std::FILE* file = ::fdopen(fd, "w+b");
    if (!file) {
        error = errorText(errno);
        ::close(fd);
        ::unlink(path.c_str());
    }
    return file;
}

bool syncFile(std::FILE* file) noexcept {
    return ::fsync(::fileno(file)) == 0;
}

// The rename is made lasting too, by syncing the folder (where the system lets a folder be
// opened so; a failure there does not undo the save).
bool replaceFile(const std::string& from, const std::string& to, std::string& error) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        error = errorText(errno);
        return false;
    }
    const std::string folder = folderOf(to);
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

void removeFile(const std::string& path) noexcept {
    ::unlink(path.c_str());
}

}  // namespace fileos

}  // namespace platform
