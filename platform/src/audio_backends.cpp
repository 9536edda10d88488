// The table of audio backends: the sound device through SDL first (in builds with SDL), then
// the virtual device, which always opens.
#include "audio_backends.h"

#if QWF_WITH_SDL
#include "sdl_audio.h"
#endif

namespace quorvel::device {
namespace detail {

const std::vector<AudioBackendEntry>& AudioBackendTable() {
    static const std::vector<AudioBackendEntry> table = {
#if QWF_WITH_SDL
        {"sdl", &CreateSdlOutput, &MakeSdlInputFactory},
#endif
        {"virtual", &CreateVirtualOutput, &MakeVirtualInputFactory},
    };
    return table;
}

const AudioBackendEntry* FindAudioBackend(const std::string& name) {
    for (const AudioBackendEntry& entry : AudioBackendTable()) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

bool IsKnownAudioBackend(const std::string& name) {
    return name == kDefaultBackendName || FindAudioBackend(name) != nullptr;
}

std::vector<const AudioBackendEntry*> AudioBackendsToTry(const std::string& name) {
    std::vector<const AudioBackendEntry*> entries;
    if (name == kDefaultBackendName) {
        for (const AudioBackendEntry& entry : AudioBackendTable()) entries.push_back(&entry);
    } else if (const AudioBackendEntry* entry = FindAudioBackend(name)) {
        entries.push_back(entry);
    }
    return entries;
}

std::string AudioBackendChoices() {
    std::string text = kDefaultBackendName;
    const auto& table = AudioBackendTable();
    for (std::size_t i = 0; i < table.size(); ++i) {
        text += i + 1 == table.size() ? " or " : ", ";
        text += table[i].name;
    }
    return text;
}

}  // namespace detail

std::vector<std::string> AudioBackends() {
    std::vector<std::string> names;
    for (const detail::AudioBackendEntry& entry : detail::AudioBackendTable()) {
        names.emplace_back(entry.name);
    }
    return names;
}

}  // namespace quorvel::device
