// quorvel devices: the sound devices the device services can name, for each direction, as the
// sound server describes them, the default marked; and the values that are not sound devices.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "cli/exit_codes.h"
#include "quorvel/device.hpp"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;

void PrintDevices(const char* heading, device::Direction direction, const char* otherValues) {
    const std::vector<device::AudioDevice> devices = device::ListAudioDevices(direction);
    std::printf("%s\n", heading);
    if (devices.empty()) std::printf("  (no sound device answered)\n");
    std::size_t width = 0;
    for (const auto& found : devices) width = std::max(width, found.name.size());
    for (const auto& found : devices) {
        std::printf("%s %-*s  %s (%s)\n", found.isDefault ? "*" : " ", static_cast<int>(width),
                    found.name.c_str(), found.description.c_str(), found.backend.c_str());
    }
    std::printf("  also: %s\n", otherValues);
}

}  // namespace

int RunDevices() {
    PrintDevices("Output devices (--output NAME; * marks the default):", device::Direction::kOutput,
                 "default, null, fast, file:PATH");
    std::printf("\n");
    PrintDevices("Input devices (--input NAME; * marks the default):", device::Direction::kInput,
                 "default, silence, tone:HZ, ramp, file:PATH");
    return kExitOk;
}

}  // namespace quorvel::host
