// The per-user store as text files: key "Software\\Corvella" lives in
// $XDG_CONFIG_HOME/corvella/Software/Corvella.conf, one value per line:
//   NAME=dword:NUMBER     or     NAME=sz:TEXT
// with backslash escapes for '\\', '=' and line breaks. Every change rewrites the file through
// a temporary file and a rename, under an advisory lock, so readers never see half a file.
// Only a regular file of at most 1 MB is read; anything else in its place (a FIFO, a device, a
// huge file) is reported once and read as missing, so the defaults apply and nothing blocks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/notice.h"
#include "platform/settings.h"
#include "platform/settingsfile.h"

namespace platform {

namespace {

using Entry = SettingsEntry;
using Values = SettingsValues;

std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.config";
}

std::string keyPath(const std::string& key) {
    // Keep the path inside the store whatever the key holds: both slashes part it, and empty,
    // "." and ".." parts are left out. (Every new instance reads its options through here.)
    std::string path = configHome() + "/corvella/";
    const std::size_t base = path.size();
    std::size_t start = 0;
    for (std::size_t i = 0; i <= key.size(); ++i) {
        if (i < key.size() && key[i] != '/' && key[i] != '\\') continue;
        const std::string_view part(key.data() + start, i - start);
        start = i + 1;
        if (part.empty() || part == "." || part == "..") continue;
        if (path.size() > base) path += '/';
        path += part;
    }
    if (path.size() == base) path += "root";
    return path + ".conf";
}

bool makeDirs(const std::string& file) {
    for (std::size_t p = 1; (p = file.find('/', p)) != std::string::npos; ++p) {
        const std::string dir = file.substr(0, p);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

constexpr std::size_t kMaxFileSize = 1 << 20;

enum class Load { Done, Missing, Refused };

// Tells the user, once per file and process, why a settings file was passed over.
void noticeRefused(const std::string& path, const std::string& why) {
    static std::mutex mutex;
    static std::set<std::string> told;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!told.insert(path).second) return;
    }
    const std::string text =
        "The settings file " + path + " " + why + "; it is not read and the defaults apply.";
    showNotice(text.c_str(), "Corvella", NoticeKind::Warning);
}

// What a file was when it was read: a rewrite (a new file renamed into place) or a change in
// place gives another identity.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

FileIdentity identityOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// The last file read, parsed: every instance a host makes reads the same options, and one
// stat that finds the file unchanged replaces opening, reading and parsing it again.
class LastRead {
public:
    // Any thread.
    bool find(const std::string& path, Values& values) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (path != path_ || !(identityOf(st) == identity_)) return false;
        values = values_;
        return true;
    }
    // Any thread.
    void keep(const std::string& path, const struct stat& st, const Values& values) {
        std::lock_guard<std::mutex> lock(mutex_);
        path_ = path;
        identity_ = identityOf(st);
        values_ = values;
    }

private:
    std::mutex mutex_;
    std::string path_;
    FileIdentity identity_;
    Values values_;
};

LastRead& lastRead() {
    static LastRead kept;
    return kept;
}

// Reads the key's file. Opening never blocks (O_NONBLOCK: a FIFO without a writer opens at
// once) and only a regular file, or a link to one, of at most kMaxFileSize is read.
Load load(const std::string& path, Values& values) {
    if (lastRead().find(path, values)) return Load::Done;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Load::Missing;
        noticeRefused(path, std::string("cannot be opened (") + std::strerror(errno) + ")");
        return Load::Refused;
    }
    struct stat st {};
    std::string text;
    const char* why = nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "is not a regular file";
    } else if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
        why = "is larger than 1 MB";
    } else {
        // The size is checked again while reading: the file may grow meanwhile.
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                why = "cannot be read";
                break;
            }
            if (n == 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.size() > kMaxFileSize) {
                why = "is larger than 1 MB";
                break;
            }
        }
    }
    ::close(fd);
    if (why) {
        noticeRefused(path, why);
        return Load::Refused;
    }
    values = parseSettings(text);
    lastRead().keep(path, st, values);
    return Load::Done;
}

bool save(const std::string& path, const Values& values) {
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) return false;
        out << formatSettings(values);
        out.flush();
        if (!out) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    ::chmod(tmp.c_str(), 0600);
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Holds an advisory lock on the key for a read-modify-write.
class KeyLock {
public:
    explicit KeyLock(const std::string& path) {
        fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~KeyLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

class FileStore : public SettingsStore {
public:
    bool openKey(const std::string& key, bool create) override {
        const std::string path = keyPath(key);
        if (::access(path.c_str(), R_OK) == 0) return true;
        if (!create || !makeDirs(path)) return false;
        KeyLock lock(path);
        if (!lock.held()) return false;
        Values values;
        switch (load(path, values)) {
            case Load::Done:
                return true;
            case Load::Refused:
                return false;
            case Load::Missing:
                break;
        }
        return save(path, values);
    }

    std::optional<std::uint32_t> readDword(const std::string& key,
                                           const std::string& name) override {
        Values values;
        if (load(keyPath(key), values) != Load::Done) return std::nullopt;
        auto it = values.find(name);
        if (it == values.end() || it->second.isText) return std::nullopt;
        return it->second.number;
    }

    // One read of the key's file for all of them.
    void readDwords(const std::string& key, const char* const* names, std::size_t count,
                    std::optional<std::uint32_t>* out) override {
        Values values;
        const bool loaded = load(keyPath(key), values) == Load::Done;
        for (std::size_t i = 0; i < count; ++i) {
            out[i].reset();
            if (!loaded) continue;
            auto it = values.find(names[i]);
            if (it != values.end() && !it->second.isText) out[i] = it->second.number;
        }
    }

    std::optional<std::string> readString(const std::string& key,
                                          const std::string& name) override {
        Values values;
        if (load(keyPath(key), values) != Load::Done) return std::nullopt;
        auto it = values.find(name);
        if (it == values.end() || !it->second.isText) return std::nullopt;
        return it->second.text;
    }

    bool writeDword(const std::string& key, const std::string& name, std::uint32_t value) override {
        Entry e;
        e.number = value;
        return write(key, name, e);
    }

    bool writeString(const std::string& key, const std::string& name,
                     const std::string& value) override {
        Entry e;
        e.isText = true;
        e.text = value;
        return write(key, name, e);
    }

private:
    static bool write(const std::string& key, const std::string& name, const Entry& e) {
        const std::string path = keyPath(key);
        if (!makeDirs(path)) return false;
        KeyLock lock(path);
        if (!lock.held()) return false;
        Values values;
        // What could not be read is not replaced.
        if (load(path, values) == Load::Refused) return false;
        values[name] = e;
        return save(path, values);
    }
};

}  // namespace

SettingsStore& systemSettings() {
    static FileStore store;
    return store;
}

}  // namespace platform
