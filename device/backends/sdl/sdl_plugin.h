// The SDL backend is a plugin of its own (libQuorvelDeviceSdl.so, beside the services' library),
// loaded the first time the table reaches it: SDL and the twenty-odd libraries it needs then
// cost a program nothing while the sound server's own client serves it.
#ifndef QUORVEL_DEVICE_SDL_PLUGIN_H
#define QUORVEL_DEVICE_SDL_PLUGIN_H

#include <memory>
#include <vector>

#include "backends/backend.h"

namespace quorvel::device::detail {

// What the plugin offers: the functions of its line in the backend table.
struct SdlPlugin {
    std::unique_ptr<OutputBackend> (*createOutput)(const BackendRequest& request);
    std::unique_ptr<InputBackend> (*createInput)(const BackendRequest& request);
    std::vector<NamedDevice> (*listDevices)(Direction direction);
};

constexpr const char* kSdlPluginFile = "libQuorvelDeviceSdl.so";
// The one name the plugin exports: `const SdlPlugin* quorvel_device_sdl_plugin(void)`.
constexpr const char* kSdlPluginEntry = "quorvel_device_sdl_plugin";

}  // namespace quorvel::device::detail

#endif
