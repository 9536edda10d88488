#include "system/shared_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>

namespace quorvel::host {

LoadedLibrary LoadLibrary(const std::vector<std::string>& candidates, std::string* reason) {
    std::string lastReason;
    bool reasonOfAFile = false;
    for (const std::string& path : candidates) {
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) return LoadedLibrary{handle, path};
        const char* words = ::dlerror();
        // A candidate that is not there says less than one that is there and fails to load.
        const bool isFile =
            path.find('/') != std::string::npos && ::access(path.c_str(), F_OK) == 0;
        if (isFile || !reasonOfAFile) {
            lastReason = words != nullptr ? words : "unknown error";
            reasonOfAFile = reasonOfAFile || isFile;
        }
    }
    if (reason != nullptr) *reason = lastReason;
    return {};
}

void UnloadLibrary(void* handle) {
    if (handle != nullptr) ::dlclose(handle);
}

void* FindSymbolAddress(void* handle, const char* name) {
    return handle != nullptr ? ::dlsym(handle, name) : nullptr;
}

std::string LoadedFile(void* handle) {
    struct link_map* map = nullptr;
    if (handle == nullptr || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return {};
    }
    char resolved[PATH_MAX];
    return ::realpath(map->l_name, resolved) != nullptr ? resolved : map->l_name;
}

std::string ProgramDirectory() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return {};
    const std::string program(buffer, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/'));
}

}  // namespace quorvel::host
