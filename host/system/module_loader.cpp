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

std::string Module::LoadFrom(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = ::dlerror();
        return reason != nullptr ? reason : "unknown error";
    }
    path_ = path;
    return {};
}

bool Module::Load(const std::string& explicitPath, Problem* problem) {
    Unload();
    std::string chosen = explicitPath;
    const char* fromEnvironment = std::getenv(kModuleEnvironment);
    if (chosen.empty() && fromEnvironment != nullptr) chosen = fromEnvironment;
    if (!chosen.empty()) {
        // A module asked for by name is the one used, or none: never a different one found.
        if (const std::string reason = LoadFrom(chosen); !reason.empty()) {
            return Fail(problem, kExitDevice,
                        "Cannot load the module \"" + chosen + "\": " + reason + ".");
        }
    } else {
        std::string tried;
        for (const std::string& candidate : ModuleCandidates()) {
            if (LoadFrom(candidate).empty()) break;
            tried += (tried.empty() ? "" : ", ") + candidate;
        }
        if (handle_ == nullptr) {
            return Fail(problem, kExitDevice,
                        "Cannot find the module " + std::string(kModuleSoname) + " (tried " +
                            tried + "); give its path with --module or $" + kModuleEnvironment +
                            ".");
        }
    }
    const bool complete = Resolve(handle_, "PlayWavWaveForm", &play) &&
                          Resolve(handle_, "PlayWavWaveFormStop", &playStop) &&
                          Resolve(handle_, "WaveRecordWaveForm", &record) &&
                          Resolve(handle_, "WaveRecordWaveFormStop", &recordStop);
    if (!complete) {
        const std::string sentence =
            "The module \"" + path_ + "\" does not export all four entry points.";
        Unload();
        return Fail(problem, kExitDevice, sentence);
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
