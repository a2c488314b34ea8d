#include <share.h>
#include <windows.h>

#include "platform/file.h"

namespace platform {

std::FILE* openFile(const std::string& path, FileAccess access, FileShare share) noexcept {
    int flag = _SH_DENYNO;
    switch (share) {
        case FileShare::Exclusive:
            flag = _SH_DENYRW;
            break;
        case FileShare::DenyWrite:
            flag = _SH_DENYWR;
            break;
        case FileShare::DenyRead:
            flag = _SH_DENYRD;
            break;
        case FileShare::Compatible:
        case FileShare::DenyNone:
            flag = _SH_DENYNO;
            break;
    }
    return _fsopen(path.c_str(), stdioMode(access), flag);
}

bool seekFile(std::FILE* file, std::int64_t offset, int origin) noexcept {
    return _fseeki64(file, offset, origin) == 0;
}

std::int64_t tellFile(std::FILE* file) noexcept {
    return _ftelli64(file);
}

}  // namespace platform
