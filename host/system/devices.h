// Chooses the audio devices through the device services' host-side API.
#ifndef QUORVEL_HOST_DEVICES_H
#define QUORVEL_HOST_DEVICES_H

#include <cstdint>
#include <string>

#include "cli/option_values.h"

namespace quorvel::host {

struct DeviceProblem {
    int exitCode = 0;
    std::string sentence;
};

// Sets up the output device for devices opened afterwards. `fast` makes the device virtual and
// as fast as possible. file:PATH starts PATH empty, so it ends up holding exactly the bytes
// played. False, with the problem filled in, when the services refuse.
bool ApplyOutput(const OutputDevice& choice, bool fast, DeviceProblem* problem);
bool ApplyInput(const InputDevice& choice, bool fast, DeviceProblem* problem);
// Whether the input device ApplyInput sets up fills its buffers as fast as it can: with
// `fast`, or with the default device when the environment's settings ask for that pace.
bool InputIsFast(const InputDevice& choice, bool fast);
// The same for the output device ApplyOutput sets up: it plays as fast as it can.
bool OutputIsFast(const OutputDevice& choice, bool fast);

// Why the services fell back from the sound device, from their notice ("PulseAudio could not
// open ... (Connection refused). The virtual device plays instead."), as a phrase.
std::string FallbackReason(const std::string& notice);

// Asks the device services whether the output device plays PCM in this layout, so the rules
// stay the device's own. When it does not, `problem` gets their phrase about the value at
// fault ("9 channels, and the device plays at most 8").
bool OutputPlaysPcm(std::uint16_t channels, std::uint32_t samplesPerSec, std::uint16_t blockAlign,
                    std::uint16_t bitsPerSample, std::string* problem);

}  // namespace quorvel::host

#endif
