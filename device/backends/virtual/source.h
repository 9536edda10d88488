// The virtual input device's sources: silence, a sine tone, a sample counter or a file's
// samples, checked (and a file loaded) once when settings choose them.
#ifndef QUORVEL_DEVICE_VIRTUAL_SOURCE_H
#define QUORVEL_DEVICE_VIRTUAL_SOURCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backends/backend.h"

namespace quorvel::device::detail {

struct InputSource {
    enum class Kind { kSilence, kTone, kRamp, kFile };
    Kind kind = Kind::kSilence;
    double frequency = 0.0;             // kTone
    std::string path;                   // kFile
    std::vector<std::int16_t> samples;  // kFile: never empty
};

// Parses "silence", "tone:HZ", "ramp" or "file:PATH" into *source; false, with a sentence
// naming the bad value in *error, otherwise. A file is read only when `load` is set.
bool ParseInputSource(const std::string& text, bool load, InputSource* source, std::string* error);

}  // namespace quorvel::device::detail

#endif
