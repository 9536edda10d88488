// Hands the device services the devices --output and --input chose, as their settings text.
#ifndef QUORVEL_HOST_SYSTEM_DEVICES_H
#define QUORVEL_HOST_SYSTEM_DEVICES_H

#include <cstdint>
#include <string>

#include "cli/device_options.h"
#include "cli/problem.h"

namespace quorvel::host {

// Sets up the output device for devices opened afterwards. `fast` makes the device virtual and
// as fast as possible. file:PATH starts PATH empty, so it ends up holding exactly the bytes
// played. The default without `fast` leaves the services' own choice (their QUORVEL_OUTPUT).
bool ApplyOutput(const DeviceOption& option, bool fast, Problem* problem);
// The same for the input; `sourceFile` is the file the services read for file:PATH (the
// given one, or its converted copy).
bool ApplyInput(const DeviceOption& option, bool fast, const std::string& sourceFile,
                Problem* problem);
// Whether the device Apply* sets up moves audio as fast as it can. The services' own choice
// counts as real time: its pace is theirs to know.
bool OutputIsFast(const DeviceOption& option, bool fast);

// Why the services fell back from the sound device, from their notice ("PulseAudio could not
// open ... (Connection refused). The virtual device plays instead."), as a phrase.
std::string FallbackReason(const std::string& notice);

// Why the output device does not play PCM in this layout, as the services' phrase about the
// value at fault ("9 channels, and the device plays at most 8"); empty when it does.
std::string PcmRefusal(std::uint16_t channels, std::uint32_t samplesPerSec,
                       std::uint16_t blockAlign, std::uint16_t bitsPerSample);

}  // namespace quorvel::host

#endif
