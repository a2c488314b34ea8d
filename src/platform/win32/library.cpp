#include <windows.h>

#include "platform/library.h"

namespace platform {

Library::~Library() {
    close();
}

bool Library::open(const std::string& path) {
    close();
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (!handle_) {
        error_ = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

void Library::close() noexcept {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

void* Library::symbol(const char* name) const noexcept {
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name))
                   : nullptr;
}

// Pinned: the DLL then stays loaded whatever FreeLibrary calls follow.
void keepModuleLoaded() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&keepModuleLoaded), &module);
}

}  // namespace platform
