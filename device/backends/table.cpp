// The table of audio backends: the sound device through PulseAudio's own client first, then
// through SDL (each in builds with it), then the virtual device, which always opens; the null
// device only when named.
#include "backends/table.h"

namespace quorvel::device {
namespace detail {

std::unique_ptr<Backend> CreatePulseBackend(const BackendRequest& request);
std::unique_ptr<Backend> CreateSdlBackend(const BackendRequest& request);
std::unique_ptr<Backend> CreateVirtualBackend(const BackendRequest& request);
std::unique_ptr<Backend> CreateNullBackend(const BackendRequest& request);
std::vector<NamedDevice> ListPulseDevices(Direction direction);
std::vector<NamedDevice> ListSdlDevices(Direction direction);

const std::vector<BackendEntry>& BackendTable() {
    static const std::vector<BackendEntry> table = {
    // name, output, input, sound device, waits for the requeue, create, list devices
#if QWF_WITH_PULSE
        // Its requests for audio come on the server's grid (every 20 ms or so), so its done
        // messages are kept at the blocks' pace as a sound card's; with three quarters of a
        // second held ahead the short hold never starves it, nor does an ordinary thread.
        {"pulse", true, true, true, false, &CreatePulseBackend, &ListPulseDevices},
#endif
#if QWF_WITH_SDL
        {"sdl", true, true, true, true, &CreateSdlBackend, &ListSdlDevices},
#endif
        {"virtual", true, true, false, false, &CreateVirtualBackend, nullptr},
        {"null", true, true, false, false, &CreateNullBackend, nullptr},
    };
    return table;
}

bool IsKnownBackend(const std::string& name) {
    if (name == kDefaultBackendName) return true;
    for (const BackendEntry& entry : BackendTable()) {
        if (name == entry.name) return true;
    }
    return false;
}

std::vector<const BackendEntry*> BackendsToTry(const std::string& name, Direction direction,
                                               bool namedDevice) {
    std::vector<const BackendEntry*> entries;
    for (const BackendEntry& entry : BackendTable()) {
        const bool serves = direction == Direction::kOutput ? entry.output : entry.input;
        if (!serves || (namedDevice && entry.listDevices == nullptr)) continue;
        if (name == entry.name) return {&entry};
        if (name == kDefaultBackendName) entries.push_back(&entry);
    }
    return entries;
}

std::string BackendChoices() {
    std::string text = kDefaultBackendName;
    const auto& table = BackendTable();
    for (std::size_t i = 0; i < table.size(); ++i) {
        text += i + 1 == table.size() ? " or " : ", ";
        text += table[i].name;
    }
    return text;
}

}  // namespace detail
}  // namespace quorvel::device
