// The SDL backend's line in the table, served by its plugin: loaded beside this library the
// first time it is needed, and kept for the life of the process (device threads may outlive
// main). A plugin that cannot be loaded is a backend that cannot open, so the table goes on.
#include <dlfcn.h>

#include <mutex>
#include <string>

#include "backends/sdl/sdl_plugin.h"

namespace quorvel::device::detail {
namespace {

struct LoadedPlugin {
    const SdlPlugin* plugin = nullptr;
    std::string problem;  // why it could not be loaded
};

std::string FolderOfThisLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FolderOfThisLibrary), &info) == 0 ||
        info.dli_fname == nullptr) {
        return ".";
    }
    const std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

const LoadedPlugin& Plugin() {
    static LoadedPlugin loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string path = FolderOfThisLibrary() + "/" + kSdlPluginFile;
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* reason = dlerror();
            loaded.problem = reason != nullptr ? reason : path + " could not be loaded";
            return;
        }
        using Entry = const SdlPlugin* (*)();
        const auto entry = reinterpret_cast<Entry>(dlsym(library, kSdlPluginEntry));
        if (entry == nullptr || entry() == nullptr) {
            loaded.problem = path + " does not offer " + kSdlPluginEntry;
            return;
        }
        loaded.plugin = entry();
    });
    return loaded;
}

// What stands for SDL when its plugin is missing: it never opens, and says why.
template <typename Base, typename Device>
class Unavailable final : public Base {
  public:
    bool Open(Device& /*device*/, const WAVEFORMATEX& /*format*/, std::string* error) override {
        *error = "The SDL sound backend could not be loaded (" + Plugin().problem + ").";
        return false;
    }
    void Start() override {}
    void Stop() override {}
};

}  // namespace

std::unique_ptr<OutputBackend> CreateSdlOutput(const BackendRequest& request) {
    const SdlPlugin* plugin = Plugin().plugin;
    if (plugin == nullptr) return std::make_unique<Unavailable<OutputBackend, PlaybackDevice>>();
    return plugin->createOutput(request);
}

std::unique_ptr<InputBackend> CreateSdlInput(const BackendRequest& request) {
    const SdlPlugin* plugin = Plugin().plugin;
    if (plugin == nullptr) return std::make_unique<Unavailable<InputBackend, CaptureDevice>>();
    return plugin->createInput(request);
}

std::vector<NamedDevice> ListSdlDevices(Direction direction) {
    const SdlPlugin* plugin = Plugin().plugin;
    return plugin == nullptr ? std::vector<NamedDevice>{} : plugin->listDevices(direction);
}

}  // namespace quorvel::device::detail
