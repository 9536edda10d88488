// The lines of the backend table served by plugins: each plugin is loaded beside this library
// the first time it is needed, and kept for the life of the process (device threads may outlive
// main). A plugin that cannot be loaded is a backend that cannot open, so the table goes on.
#include <dlfcn.h>

#include <string>

#include "backends/plugin.h"

namespace quorvel::device::detail {
namespace {

struct LoadedPlugin {
    const BackendPlugin* plugin = nullptr;
    std::string problem;  // why it could not be loaded
};

LoadedPlugin Load(const char* file, const char* entryName) {
    Dl_info info{};
    std::string path = std::string("./") + file;
    if (dladdr(reinterpret_cast<void*>(&Load), &info) != 0 && info.dli_fname != nullptr) {
        const std::string self = info.dli_fname;
        const std::size_t slash = self.rfind('/');
        if (slash != std::string::npos) path = self.substr(0, slash + 1) + file;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        return {nullptr, reason != nullptr ? reason : path + " could not be loaded"};
    }
    const auto entry = reinterpret_cast<const BackendPlugin* (*)()>(dlsym(library, entryName));
    const BackendPlugin* plugin = entry != nullptr ? entry() : nullptr;
    return {plugin, plugin != nullptr ? "" : path + " does not offer " + entryName};
}

const LoadedPlugin& Alsa() {
    static const LoadedPlugin loaded =
        Load("libQuorvelDeviceAlsa.so", "quorvel_device_alsa_plugin");
    return loaded;
}

// What stands for a plugin that is missing: it never opens, and says why.
template <typename Base, typename Device>
class Unavailable final : public Base {
  public:
    explicit Unavailable(std::string problem) : problem_(std::move(problem)) {}
    bool Open(Device& /*device*/, const WAVEFORMATEX& /*format*/, std::string* error) override {
        *error = "The ALSA sound backend could not be loaded (" + problem_ + ").";
        return false;
    }
    void Start() override {}
    void Stop() override {}

  private:
    std::string problem_;
};

}  // namespace

std::unique_ptr<OutputBackend> CreateAlsaOutput(const BackendRequest& request) {
    const LoadedPlugin& alsa = Alsa();
    if (alsa.plugin == nullptr) {
        return std::make_unique<Unavailable<OutputBackend, PlaybackDevice>>(alsa.problem);
    }
    return alsa.plugin->createOutput(request);
}

std::unique_ptr<InputBackend> CreateAlsaInput(const BackendRequest& request) {
    const LoadedPlugin& alsa = Alsa();
    if (alsa.plugin == nullptr) {
        return std::make_unique<Unavailable<InputBackend, CaptureDevice>>(alsa.problem);
    }
    return alsa.plugin->createInput(request);
}

std::vector<NamedDevice> ListAlsaDevices(Direction direction) {
    const BackendPlugin* plugin = Alsa().plugin;
    return plugin == nullptr ? std::vector<NamedDevice>{} : plugin->listDevices(direction);
}

bool AlsaOpensDevice(Direction direction, const std::string& name) {
    const BackendPlugin* plugin = Alsa().plugin;
    return plugin != nullptr && plugin->opensDevice(direction, name);
}

}  // namespace quorvel::device::detail
