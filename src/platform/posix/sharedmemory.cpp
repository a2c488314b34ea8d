// The block is a file named after the block and the user id, in the user's runtime directory:
// /run/user/UID where it exists, else $XDG_RUNTIME_DIR, each only when owned by the user with
// no access for others, so that no other user can create names there. Only where neither is
// usable does the block go to /dev/shm, where anybody can create names: a file found there
// that is not the user's own regular file of mode 0600 is refused, never opened or removed.
//
// One byte range of the file (far past its end, so it never touches the data) is the lock: an
// open-file-description lock, which the kernel drops when its holder's file closes, even when
// the holder is killed. Every participant holds a shared flock on the file while it is
// attached, and a lock on a byte of its own in a second range, so others can count who is
// still there. A participant that leaves under the lock and finds no other flock holder is the
// last and removes the file; one that attaches and finds no other holder starts the block from
// zero, whatever dead participants left in it. A newcomer that opened the file just before the
// last participant removed it sees, once it holds the lock, that the name no longer leads to
// its file and starts again. The block's memory is reserved when the file grows to its size,
// so a full file system fails the attach instead of killing the process at a later write.
//
// The user (or a program of the user) can still cut the file short while it is mapped; no
// system call forbids that for a file shared by name. A participant that finds the file
// shorter than the block while others hold it refuses it. For the blocks already mapped a
// SIGBUS handler stands guard: a fault inside a block maps private zeroed memory over the
// whole block, so the access completes and the process goes on without the buses (it says so
// once on standard error) instead of dying. Any other SIGBUS goes to the handler that was there
// before, or ends the process as it would have; the handler is put back when the last block is
// unmapped.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sharedmemory.h"

namespace platform {

namespace {

// Byte ranges of the lock and of the participants' own bytes, past any block's end.
constexpr off_t kLockByte = off_t{1} << 40;
constexpr off_t kFirstHolderByte = kLockByte + 1;
constexpr off_t kHolderBytes = 65536;
constexpr unsigned kLockTimeoutMs = 2000;

// "NAME.UID", with anything but letters, digits, '.', '-' and '_' replaced.
std::string fileName(const std::string& name) {
    std::string out;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out += plain ? c : '_';
    }
    return out + "." + std::to_string(::geteuid());
}

// A directory only this user can create names in.
bool privateDirectory(const char* path, bool followLinks) {
    struct stat st {};
    const int r = followLinks ? ::stat(path, &st) : ::lstat(path, &st);
    return r == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// The directory the block lives in; the same for every process of the user wherever it can
// be, whatever its environment.
std::string blockDirectory() {
    const std::string runUser = "/run/user/" + std::to_string(::geteuid());
    if (privateDirectory(runUser.c_str(), false)) return runUser;
    const char* xdg = ::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/' && privateDirectory(xdg, true)) return xdg;
    return "/dev/shm";
}

std::string describeMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool setLock(int fd, short type, off_t start, off_t length) noexcept {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Locks held by other open files in [start, start + length): each query finds one, then both
// sides of it are searched.
int countOthers(int fd, off_t start, off_t length) noexcept {
    if (length <= 0) return 0;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
    const off_t end = start + length;
    const off_t foundEnd = fl.l_len == 0 ? end : std::min(end, fl.l_start + fl.l_len);
    const off_t foundStart = std::max(start, fl.l_start);
    return 1 + countOthers(fd, start, foundStart - start) +
           countOthers(fd, foundEnd, end - foundEnd);
}

// --- The guard against a block's file cut short -------------------------------------------------

// A mapped block the SIGBUS handler knows: start 0 is a free entry.
struct Guarded {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> size{0};
    std::atomic<bool> cut{false};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
                  std::atomic<std::size_t>::is_always_lock_free,
              "the signal handler reads these");

// Blocks beyond this many mapped at once in one process go unguarded.
constexpr std::size_t kGuardedBlocks = 512;
Guarded guarded[kGuardedBlocks];
// Taken to add and remove entries, never by the handler.
std::mutex guardMutex;
std::size_t guardedCount = 0;        // guardMutex
struct sigaction previousBusAction;  // guardMutex; read by the handler while installed

constexpr char kCutNotice[] =
    "Vstbus error: the buses' shared block was cut short by another program; this process goes "
    "on without the buses\n";

void onBusError(int signal, siginfo_t* info, void* context) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (info->si_code > 0) {
        for (Guarded& g : guarded) {
            const std::uintptr_t start = g.start.load(std::memory_order_acquire);
            const std::size_t size = g.size.load(std::memory_order_acquire);
            if (start == 0 || at - start >= size) continue;
            // Private zeroed pages take the whole block's place: this access and every later
            // one completes, and this participant goes on alone.
            void* p = ::mmap(reinterpret_cast<void*>(start), size, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (p == MAP_FAILED) break;
            if (!g.cut.exchange(true)) {
                const ssize_t ignored = ::write(STDERR_FILENO, kCutNotice, sizeof kCutNotice - 1);
                (void)ignored;
            }
            return;
        }
    }
    // Not a block's: what would have happened without this handler.
    const struct sigaction& previous = previousBusAction;
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler == SIG_IGN && info->si_code <= 0) return;
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // The default action: it ends the process once this handler returns.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

// Guards a block just mapped; null when the table is full (the block goes unguarded).
Guarded* guardBlock(void* start, std::size_t size) noexcept {
    std::lock_guard<std::mutex> lock(guardMutex);
    for (Guarded& g : guarded) {
        if (g.start.load(std::memory_order_relaxed) != 0) continue;
        if (guardedCount == 0) {
            struct sigaction action {};
            action.sa_sigaction = onBusError;
            action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
            ::sigemptyset(&action.sa_mask);
            if (::sigaction(SIGBUS, &action, &previousBusAction) != 0) return nullptr;
        }
        ++guardedCount;
        g.size.store(size, std::memory_order_relaxed);
        g.cut.store(false, std::memory_order_relaxed);
        g.start.store(reinterpret_cast<std::uintptr_t>(start), std::memory_order_release);
        return &g;
    }
    return nullptr;
}

// Before the block is unmapped. The last one puts the previous handler back, unless another
// was installed since (which may pass faults on to this one).
void unguardBlock(Guarded* g) noexcept {
    if (!g) return;
    std::lock_guard<std::mutex> lock(guardMutex);
    g->start.store(0, std::memory_order_release);
    if (--guardedCount != 0) return;
    struct sigaction current {};
    if (::sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
        current.sa_sigaction == onBusError)
        ::sigaction(SIGBUS, &previousBusAction, nullptr);
}

// --- The block ----------------------------------------------------------------------------------

class PosixBlock : public SharedBlock {
public:
    PosixBlock(const SharedBlockNames& names, std::size_t size)
        : path_(blockDirectory() + "/" + fileName(names.block)), size_(size) {}

    ~PosixBlock() override {
        unlock();
        if (fd_ >= 0) {
            lock(kLockTimeoutMs);  // a lock that timed out leaves all the same
            leave();               // closing the file releases the lock
        }
    }

    SharedMemoryError open(std::string& detail) noexcept {
        try {
            for (int attempt = 0; attempt < 16; ++attempt) {
                bool again = false;
                const SharedMemoryError error = attach(detail, again);
                if (!again) return error;
            }
            detail = path_ + " kept being replaced while this process opened it";
        } catch (...) {
        }
        return SharedMemoryError::CreateFailed;
    }

    unsigned char* data() noexcept override { return base_; }
    std::size_t size() const noexcept override { return size_; }

    // Polls rather than waits, so that the timeout stays a last guard without a signal.
    SharedLockResult lock(unsigned timeoutMs) noexcept override {
        if (fd_ < 0) return SharedLockResult::CreateFailed;
        if (held_) return SharedLockResult::Locked;
        timespec start{}, now{};
        ::clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            if (setLock(fd_, F_WRLCK, kLockByte, 1)) {
                held_ = true;
                return SharedLockResult::Locked;
            }
            if (errno != EAGAIN && errno != EACCES) return SharedLockResult::WaitFailed;
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const long long waited =
                (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
            if (waited >= timeoutMs) return SharedLockResult::TimedOut;
            const timespec pause{0, 1000000L};
            ::nanosleep(&pause, nullptr);
        }
    }

    void unlock() noexcept override {
        if (!held_) return;
        held_ = false;
        setLock(fd_, F_UNLCK, kLockByte, 1);
    }

    int holders() const noexcept override {
        if (fd_ < 0) return -1;
        return (holderByte_ >= 0 ? 1 : 0) + extraCount_.load(std::memory_order_relaxed) +
               countOthers(fd_, kFirstHolderByte, kHolderBytes);
    }

    // A byte of its own beside the block's: the locks of one open file never conflict with
    // each other, so the bytes this file holds already are skipped by hand.
    int addHolder() noexcept override {
        if (fd_ < 0) return -1;
        try {
            if (extra_.empty()) extra_.resize(static_cast<std::size_t>(kHolderBytes));
            for (off_t b = kFirstHolderByte; b < kFirstHolderByte + kHolderBytes; ++b) {
                if (b == holderByte_ || extra_[static_cast<std::size_t>(b - kFirstHolderByte)])
                    continue;
                if (setLock(fd_, F_WRLCK, b, 1)) {
                    extra_[static_cast<std::size_t>(b - kFirstHolderByte)] = true;
                    extraCount_.fetch_add(1, std::memory_order_relaxed);
                    return static_cast<int>(b - kFirstHolderByte);
                }
                if (errno != EAGAIN && errno != EACCES) break;
            }
        } catch (...) {
        }
        return -1;
    }

    void removeHolder(int token) noexcept override {
        if (token < 0 || token >= kHolderBytes || fd_ < 0 || extra_.empty() ||
            !extra_[static_cast<std::size_t>(token)])
            return;
        setLock(fd_, F_UNLCK, kFirstHolderByte + token, 1);
        extra_[static_cast<std::size_t>(token)] = false;
        extraCount_.fetch_sub(1, std::memory_order_relaxed);
    }

    bool cutOff() const noexcept override {
        return guard_ && guard_->cut.load(std::memory_order_relaxed);
    }

private:
    // One try at opening, checking, locking and mapping the file; `again` when the file was
    // removed meanwhile and the caller should start over.
    SharedMemoryError attach(std::string& detail, bool& again) {
        bool created = false;
        fd_ = ::open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0 && errno == ENOENT) {
            fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            created = fd_ >= 0;
            if (fd_ < 0 && errno == EEXIST) {
                again = true;
                return SharedMemoryError::CreateFailed;
            }
        }
        if (fd_ < 0) {
            const int e = errno;
            detail = e == ELOOP ? path_ + " is a symbolic link" : pathAndError(e);
            return SharedMemoryError::CreateFailed;
        }
        // Whatever another user may have put under this name is not ours to use.
        struct stat st {};
        if (created) ::fchmod(fd_, 0600);
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & 077) != 0) {
            detail = path_ + (!S_ISREG(st.st_mode) ? " is not a regular file"
                              : st.st_uid != ::geteuid()
                                  ? " belongs to user " + std::to_string(st.st_uid)
                                  : " has mode " + describeMode(st.st_mode) + ", not 0600");
            closeFile();
            return SharedMemoryError::CreateFailed;
        }
        const SharedLockResult r = lock(kLockTimeoutMs);
        if (r != SharedLockResult::Locked && r != SharedLockResult::TimedOut) {
            const int e = errno;
            detail = path_ + " cannot be locked: " + errorText(e);
            closeFile();
            return SharedMemoryError::CreateFailed;
        }
        struct stat named {};
        if (::lstat(path_.c_str(), &named) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino) {
            closeFile();
            again = true;
            return SharedMemoryError::CreateFailed;
        }
        const SharedMemoryError error = mapBlock(detail);
        if (error != SharedMemoryError::None) leave();
        unlock();
        return error;
    }

    // Under the lock: joins the holders, makes the file the block's size with its memory
    // reserved, and maps it.
    SharedMemoryError mapBlock(std::string& detail) {
        struct stat st {};
        const bool alone = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
        if (alone) {
            // Nobody else holds the block: what is in it was left by participants that ended
            // without leaving, so it starts from zero.
            if (::fstat(fd_, &st) != 0 || (st.st_size != 0 && ::ftruncate(fd_, 0) != 0)) {
                detail = pathAndError(errno);
                return SharedMemoryError::CreateFailed;
            }
        }
        if (::flock(fd_, LOCK_SH | LOCK_NB) != 0 || ::fstat(fd_, &st) != 0) {
            detail = pathAndError(errno);
            return SharedMemoryError::CreateFailed;
        }
        // Others hold a block they made whole: shorter now, it was cut short under them, and
        // what it held is gone. It is not used again; the next one to attach after they all
        // left starts afresh.
        if (!alone && static_cast<std::size_t>(st.st_size) < size_) {
            detail = path_ + " is " + std::to_string(st.st_size) + " bytes, not " +
                     std::to_string(size_) + ": another program cut it short while in use";
            return SharedMemoryError::ViewFailed;
        }
        if (static_cast<std::size_t>(st.st_size) < size_) {
            const int e = ::posix_fallocate(fd_, 0, static_cast<off_t>(size_));
            if (e != 0) {
                detail = "no room for the " + std::to_string(size_) + " bytes of " + path_ + ": " +
                         errorText(e);
                return SharedMemoryError::CreateFailed;
            }
        }
        void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) {
            detail = pathAndError(errno);
            return SharedMemoryError::ViewFailed;
        }
        base_ = static_cast<unsigned char*>(p);
        guard_ = guardBlock(p, size_);
        for (off_t b = kFirstHolderByte; b < kFirstHolderByte + kHolderBytes; ++b) {
            if (setLock(fd_, F_WRLCK, b, 1)) {
                holderByte_ = b;
                break;
            }
            if (errno != EAGAIN && errno != EACCES) break;
        }
        return SharedMemoryError::None;
    }

    // Under the lock: unmaps, removes the file when no other participant holds it, and closes
    // it (which drops this participant's locks).
    void leave() noexcept {
        unguardBlock(guard_);
        guard_ = nullptr;
        if (base_) ::munmap(base_, size_);
        base_ = nullptr;
        if (fd_ < 0) return;
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) ::unlink(path_.c_str());
        closeFile();
    }

    void closeFile() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        held_ = false;
        holderByte_ = -1;
        extra_ = {};
        extraCount_.store(0, std::memory_order_relaxed);
    }

    // "PATH: what the system says of `error`" (errno read by the caller, before any allocation).
    std::string pathAndError(int error) const { return path_ + ": " + errorText(error); }

    static std::string errorText(int error) {
        char buffer[128];
        return ::strerror_r(error, buffer, sizeof buffer);
    }

    std::string path_;
    std::size_t size_;
    int fd_ = -1;
    bool held_ = false;
    off_t holderByte_ = -1;
    // Which holder bytes addHolder took, one flag a byte: a lookup per byte, so adding the
    // n-th holder costs no n-long search at each byte before it.
    std::vector<bool> extra_;
    std::atomic<int> extraCount_{0};
    unsigned char* base_ = nullptr;
    Guarded* guard_ = nullptr;
};

class PosixSharedMemory : public SharedMemoryService {
public:
    std::unique_ptr<SharedBlock> open(const SharedBlockNames& names, std::size_t size,
                                      SharedMemoryError& error,
                                      std::string& detail) noexcept override {
        try {
            auto block = std::make_unique<PosixBlock>(names, size);
            error = block->open(detail);
            if (error != SharedMemoryError::None) return nullptr;
            return block;
        } catch (...) {
            error = SharedMemoryError::CreateFailed;
            return nullptr;
        }
    }
};

}  // namespace

SharedMemoryService& systemSharedMemory() noexcept {
    static PosixSharedMemory service;
    return service;
}

}  // namespace platform
