// Loading a shared library and finding a symbol in it (used by the hosts that load plug-ins).
#pragma once

#include <string>

namespace platform {

class Library {
public:
    Library() = default;
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Loads the library; on failure answers false and error() tells why.
    bool open(const std::string& path);
    void close() noexcept;
    void* symbol(const char* name) const noexcept;
    bool isOpen() const noexcept { return handle_ != nullptr; }
    const std::string& error() const noexcept { return error_; }

private:
    void* handle_ = nullptr;
    std::string error_;
};

// Keeps the module (the plug-in's shared library or DLL) that holds this code loaded until the
// process ends, for a thread of it that outlives the objects it worked for: a host may unload
// the module after closing them. Any thread.
void keepModuleLoaded() noexcept;

}  // namespace platform
