// Chooses the audio devices through the device services' host-side API.
#ifndef QUORVEL_HOST_DEVICES_H
#define QUORVEL_HOST_DEVICES_H

#include <string>

#include "option_values.h"

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

}  // namespace quorvel::host

#endif
