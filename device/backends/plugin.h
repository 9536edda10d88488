// A backend whose library is loaded only when the table reaches it is a plugin of its own
// (lib<Name>.so, beside the services' library): ALSA and the libraries it brings then cost a
// program nothing while the sound server's own client serves it.
#ifndef QUORVEL_DEVICE_PLUGIN_H
#define QUORVEL_DEVICE_PLUGIN_H

#include <memory>
#include <string>
#include <vector>

#include "backends/backend.h"

namespace quorvel::device::detail {

// What a plugin offers: the functions of its line in the backend table. The ALSA backend's
// plugin, libQuorvelDeviceAlsa.so, exports one name to give it:
// `const BackendPlugin* quorvel_device_alsa_plugin(void)`.
struct BackendPlugin {
    std::unique_ptr<OutputBackend> (*createOutput)(const BackendRequest& request);
    std::unique_ptr<InputBackend> (*createInput)(const BackendRequest& request);
    std::vector<NamedDevice> (*listDevices)(Direction direction);
    bool (*opensDevice)(Direction direction, const std::string& name);
};

}  // namespace quorvel::device::detail

#endif
