// quorvel devices: the sound devices the device services can name, for each direction, as the
// sound server describes them, the default marked; and the values that are not sound devices.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/device_options.h"
#include "commands/commands.h"
#include "cli/problem.h"
#include "quorvel/device.hpp"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;

void PrintDevices(const char* heading, device::Direction direction) {
    const std::vector<device::AudioDevice> devices = device::ListAudioDevices(direction);
    std::printf("%s\n", heading);
    if (devices.empty()) std::printf("  (no sound device answered)\n");
    std::size_t width = 0;
    for (const auto& found : devices) width = std::max(width, found.name.size());
    for (const auto& found : devices) {
        std::printf("%s %-*s  %s (%s)\n", found.isDefault ? "*" : " ", static_cast<int>(width),
                    found.name.c_str(), found.description.c_str(), found.backend.c_str());
    }
    std::printf("  also: %s\n", DeviceWords(direction).c_str());
}

// For completion: one value a line, the sound devices' names, then the other words.
void PrintNames(device::Direction direction) {
    for (const auto& found : device::ListAudioDevices(direction)) {
        std::printf("%s\n", found.name.c_str());
    }
    for (const std::string& word : DeviceWordList(direction)) std::printf("%s\n", word.c_str());
}

}  // namespace

int RunDevices(const std::string& namesOf) {
    if (namesOf == "output" || namesOf == "input") {
        PrintNames(namesOf == "output" ? device::Direction::kOutput : device::Direction::kInput);
        return kExitOk;
    }
    PrintDevices("Output devices (--output NAME; * marks the default):",
                 device::Direction::kOutput);
    std::printf("\n");
    PrintDevices("Input devices (--input NAME; * marks the default):", device::Direction::kInput);
    return kExitOk;
}

}  // namespace quorvel::host
