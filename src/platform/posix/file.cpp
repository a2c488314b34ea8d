#include <sys/types.h>

#include "platform/file.h"

namespace platform {

std::FILE* openFile(const std::string& path, FileAccess access, FileShare /*share*/) noexcept {
    return std::fopen(path.c_str(), stdioMode(access));
}

bool seekFile(std::FILE* file, std::int64_t offset, int origin) noexcept {
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

std::int64_t tellFile(std::FILE* file) noexcept {
    return static_cast<std::int64_t>(ftello(file));
}

}  // namespace platform
