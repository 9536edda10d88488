#include "system/module_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace quorvel::host {
std::string ProgramDirectory() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return {};
    const std::string program(buffer, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/'));
}

namespace {

template <typename Function>
bool Resolve(void* handle, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(::dlsym(handle, name));
    return *function != nullptr;
}

}  // namespace

std::vector<std::string> ModuleCandidates() {
    std::vector<std::string> candidates;
    const std::string directory = ProgramDirectory();
    if (!directory.empty()) {
        candidates.push_back(directory + "/" + kModuleSoname);
        candidates.push_back(directory + "/../" QUORVEL_INSTALL_LIBDIR "/" + kModuleSoname);
    }
    // No slash: the dynamic loader's own search (this program's RUNPATH, ld.so.cache).
    candidates.emplace_back(kModuleSoname);
    return candidates;
}

bool Module::LoadFrom(const std::string& path, std::string* error) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = ::dlerror();
        *error = reason != nullptr ? reason : "unknown error";
        return false;
    }
    path_ = path;
    return true;
}

bool Module::Load(const std::string& explicitPath, std::string* error) {
    Unload();
    std::string chosen = explicitPath;
    const char* fromEnvironment = std::getenv(kModuleEnvironment);
    if (chosen.empty() && fromEnvironment != nullptr) chosen = fromEnvironment;
    std::string reason;
    if (!chosen.empty()) {
        // A module asked for by name is the one used, or none: never a different one found.
        if (!LoadFrom(chosen, &reason)) {
            *error = "Cannot load the module \"" + chosen + "\": " + reason + ".";
            return false;
        }
    } else {
        std::string tried;
        for (const std::string& candidate : ModuleCandidates()) {
            if (LoadFrom(candidate, &reason)) break;
            tried += (tried.empty() ? "" : ", ") + candidate;
        }
        if (handle_ == nullptr) {
            *error = "Cannot find the module " + std::string(kModuleSoname) + " (tried " + tried +
                     "); give its path with --module or $" + kModuleEnvironment + ".";
            return false;
        }
    }
    const bool complete = Resolve(handle_, "PlayWavWaveForm", &play) &&
                          Resolve(handle_, "PlayWavWaveFormStop", &playStop) &&
                          Resolve(handle_, "WaveRecordWaveForm", &record) &&
                          Resolve(handle_, "WaveRecordWaveFormStop", &recordStop);
    if (!complete) {
        *error = "The module \"" + path_ + "\" does not export all four entry points.";
        Unload();
        return false;
    }
    return true;
}

void Module::Unload() {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = nullptr;
    play = nullptr;
    playStop = nullptr;
    record = nullptr;
    recordStop = nullptr;
    path_.clear();
}

}  // namespace quorvel::host
