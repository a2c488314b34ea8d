#include "platform/file.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/fileos.h"

namespace platform {

namespace {

// A new file beside the target, under a name no other save uses.
std::FILE* createTemporary(const fileos::Target& target, std::string& tempPath,
                           std::string& error) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = fileos::temporaryName(target.path, serial.fetch_add(1));
        bool taken = false;
        if (std::FILE* file = fileos::createExclusive(path, target, taken, error)) {
            tempPath = path;
            return file;
        }
        if (!taken) return nullptr;
    }
    error = "no free temporary file name";
    return nullptr;
}

}  // namespace

FileSave::~FileSave() {
    discard();
}

void FileSave::discard() noexcept {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) fileos::removeFile(temp_);
    temp_.clear();
}

bool FileSave::open(const std::string& path) {
    discard();
    error_.clear();
    refused_ = false;
    if (path.empty()) {
        error_ = "no file name";
        return false;
    }
    fileos::Target target;
    if (!fileos::checkTarget(path, target, error_)) {
        refused_ = target.refused;
        return false;
    }
    target_ = target.path;
    file_ = createTemporary(target, temp_, error_);
    return file_ != nullptr;
}

bool FileSave::commit(const std::atomic<bool>* giveUp) {
    if (!file_) {
        if (error_.empty()) error_ = "no file open";
        return false;
    }
    errno = 0;
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_) && fileos::syncFile(file_);
    if (std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    if (!ok) {
        error_ = "the file could not be written";
        if (errno != 0) error_ += std::string(": ") + std::strerror(errno);
    } else if (giveUp && giveUp->load()) {
        error_ = "the save was given up";
        ok = false;
    } else if (fileos::replaceFile(temp_, target_, error_)) {
        temp_.clear();
        return true;
    } else {
        ok = false;
    }
    discard();
    return ok;
}

bool saveFile(const std::string& path, std::string_view contents, std::string& error) {
    FileSave out;
    bool ok = out.open(path) &&
              std::fwrite(contents.data(), 1, contents.size(), out.file()) == contents.size();
    ok = ok && out.commit();
    if (!ok) error = out.error().empty() ? "the file could not be written" : out.error();
    return ok;
}

}  // namespace platform
