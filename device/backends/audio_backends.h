// The one table of audio backends, in the order "default" tries them, and what each offers for
// output and input.
#ifndef QUORVEL_DEVICE_AUDIO_BACKENDS_H
#define QUORVEL_DEVICE_AUDIO_BACKENDS_H

#include <memory>
#include <string>
#include <vector>

#include "backends/input_backend.h"
#include "backends/output_backend.h"
#include "quorvel/device.h"

namespace quorvel::device::detail {

// The setting that means "the first backend of the table whose device opens".
inline const std::string kDefaultBackendName = "default";

struct AudioBackendEntry {
    const char* name;
    // An output backend, not yet started.
    std::unique_ptr<OutputBackend> (*createOutput)(Pace pace);
    // Makes the input devices of these settings; null, with a sentence in *error, when the
    // settings do not suit this backend.
    std::shared_ptr<const InputBackendFactory> (*inputFactory)(const InputSettings& settings,
                                                               std::string* error);
};

const std::vector<AudioBackendEntry>& AudioBackendTable();

// The entry named `name`; null for "default" and unknown names.
const AudioBackendEntry* FindAudioBackend(const std::string& name);

// A table name or "default".
bool IsKnownAudioBackend(const std::string& name);

// The entries a setting opens, in the order to try them: the whole table for "default", the one
// named otherwise, none for an unknown name.
std::vector<const AudioBackendEntry*> AudioBackendsToTry(const std::string& name);

// "default, sdl or virtual", for sentences about a bad name.
std::string AudioBackendChoices();

}  // namespace quorvel::device::detail

#endif
