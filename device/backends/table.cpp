// The table of audio backends: the sound device through PulseAudio's own client first, then
// through ALSA (each in builds with it), then the virtual device, which always opens; the null
// device (the virtual one, fast and silent) only when named.
#include "backends/table.h"

namespace quorvel::device {
namespace detail {

std::unique_ptr<OutputBackend> CreatePulseOutput(const BackendRequest& request);
std::unique_ptr<InputBackend> CreatePulseInput(const BackendRequest& request);
std::vector<NamedDevice> ListPulseDevices(Direction direction);
std::unique_ptr<OutputBackend> CreateAlsaOutput(const BackendRequest& request);
std::unique_ptr<InputBackend> CreateAlsaInput(const BackendRequest& request);
std::vector<NamedDevice> ListAlsaDevices(Direction direction);
bool AlsaOpensDevice(Direction direction, const std::string& name);
std::unique_ptr<OutputBackend> CreateVirtualOutput(const BackendRequest& request);
std::unique_ptr<InputBackend> CreateVirtualInput(const BackendRequest& request);
std::unique_ptr<OutputBackend> CreateNullOutput(const BackendRequest& request);
std::unique_ptr<InputBackend> CreateNullInput(const BackendRequest& request);

const std::vector<BackendEntry>& BackendTable() {
    static const std::vector<BackendEntry> table = {
    // name, output, input, named devices, opens unlisted names, sound device
#if QWF_WITH_PULSE
        // Its requests for audio come on the server's grid (every 20 ms or so), not the blocks';
        // as a sound device's, its done messages wait for the position to say each block is heard.
        {"pulse", &CreatePulseOutput, &CreatePulseInput, &ListPulseDevices, nullptr, true},
#endif
#if QWF_WITH_ALSA
        // For machines with no sound server.
        {"alsa", &CreateAlsaOutput, &CreateAlsaInput, &ListAlsaDevices, &AlsaOpensDevice, true},
#endif
        {"virtual", &CreateVirtualOutput, &CreateVirtualInput, nullptr, nullptr, false},
        {"null", &CreateNullOutput, &CreateNullInput, nullptr, nullptr, false},
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
        if (!entry.Serves(direction) || (namedDevice && entry.listDevices == nullptr)) continue;
        if (name == entry.name) return {&entry};
        if (name == kDefaultBackendName) entries.push_back(&entry);
    }
    return entries;
}

std::unique_ptr<Backend> OpenBackend(const BackendEntry& entry, const BackendRequest& request,
                                     PlaybackDevice& device, const WAVEFORMATEX& format,
                                     std::string* problem) {
    std::unique_ptr<OutputBackend> backend = entry.createOutput(request);
    if (!backend->Open(device, format, problem)) backend.reset();
    return backend;
}

std::unique_ptr<Backend> OpenBackend(const BackendEntry& entry, const BackendRequest& request,
                                     CaptureDevice& device, const WAVEFORMATEX& format,
                                     std::string* problem) {
    std::unique_ptr<InputBackend> backend = entry.createInput(request);
    if (!backend->Open(device, format, problem)) backend.reset();
    return backend;
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
