#include <dlfcn.h>

#include "platform/library.h"

namespace platform {

Library::~Library() {
    close();
}

bool Library::open(const std::string& path) {
    close();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* e = dlerror();
        error_ = e ? e : "unknown error";
        return false;
    }
    return true;
}

void Library::close() noexcept {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

void* Library::symbol(const char* name) const noexcept {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

// Another reference to the module, opened RTLD_NODELETE: the system then never unmaps it.
void keepModuleLoaded() noexcept {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&keepModuleLoaded), &info) == 0 || !info.dli_fname) return;
    dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace platform
