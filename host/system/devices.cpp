#include "system/devices.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/exit_codes.h"
#include "quorvel/device.hpp"
#include "cli/text.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;

constexpr const char* kVirtualBackend = "virtual";

bool Fail(DeviceProblem* problem, int exitCode, std::string sentence) {
    problem->exitCode = exitCode;
    problem->sentence = std::move(sentence);
    return false;
}

// The services append to a sink file; starting it empty makes it hold this run's bytes only.
bool StartEmpty(const std::string& path, DeviceProblem* problem) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return Fail(
            problem, kExitFile,
            "Cannot create the output file " + Quoted(path) + ": " + std::strerror(errno) + ".");
    }
    ::close(fd);
    return true;
}

// --fast runs the virtual device, which a sound device by name is not.
bool FailFastOnNamed(const std::string& name, DeviceProblem* problem) {
    return Fail(problem, kExitUsage,
                "--fast runs the virtual device, so it cannot be used with the sound device " +
                    Quoted(name) + ".");
}

// What the environment variable chose, so that --fast keeps its sink or source.
template <typename Settings, typename Parse>
Settings FromEnvironment(const char* name, Parse parse) {
    Settings settings;
    const char* text = std::getenv(name);
    if (text != nullptr && *text != '\0') {
        Settings parsed;
        if (parse(text, &parsed, nullptr)) settings = parsed;
    }
    return settings;
}

}  // namespace

bool ApplyOutput(const OutputDevice& choice, bool fast, DeviceProblem* problem) {
    device::OutputSettings settings;
    switch (choice.kind) {
        case OutputDevice::Kind::kDefault:
            // The services' own choice stands unless the run is to be fast.
            if (!fast) return true;
            settings = FromEnvironment<device::OutputSettings>("QUORVEL_OUTPUT",
                                                               device::ParseOutputSettings);
            settings.backend = kVirtualBackend;
            break;
        case OutputDevice::Kind::kNull:
            settings.backend = kVirtualBackend;
            break;
        case OutputDevice::Kind::kFast:
            settings.backend = kVirtualBackend;
            fast = true;
            break;
        case OutputDevice::Kind::kFile:
            if (!StartEmpty(choice.path, problem)) return false;
            settings.backend = kVirtualBackend;
            settings.sinkFile = choice.path;
            break;
        case OutputDevice::Kind::kNamed:
            if (fast) return FailFastOnNamed(choice.named.name, problem);
            settings.backend = choice.named.backend;
            settings.device = choice.named.name;
            break;
    }
    settings.pace = fast ? device::Pace::kFast : device::Pace::kRealTime;
    std::string error;
    if (!device::ConfigureOutput(settings, &error)) {
        return Fail(problem, choice.kind == OutputDevice::Kind::kFile ? kExitFile : kExitDevice,
                    error);
    }
    return true;
}

bool ApplyInput(const InputDevice& choice, bool fast, DeviceProblem* problem) {
    device::InputSettings settings;
    settings.backend = kVirtualBackend;
    if (choice.kind == InputDevice::Kind::kDefault) {
        if (!fast) return true;
        settings =
            FromEnvironment<device::InputSettings>("QUORVEL_INPUT", device::ParseInputSettings);
        settings.backend = kVirtualBackend;
    } else if (choice.kind == InputDevice::Kind::kNamed) {
        if (fast) return FailFastOnNamed(choice.named.name, problem);
        settings.backend = choice.named.backend;
        settings.device = choice.named.name;
    } else {
        settings.source = choice.source;
    }
    settings.pace = fast ? device::Pace::kFast : device::Pace::kRealTime;
    std::string error;
    if (!device::ConfigureInput(settings, &error)) {
        return Fail(problem, choice.kind == InputDevice::Kind::kFile ? kExitFile : kExitDevice,
                    error);
    }
    return true;
}

bool InputIsFast(const InputDevice& choice, bool fast) {
    if (fast || choice.kind != InputDevice::Kind::kDefault) return fast;
    return FromEnvironment<device::InputSettings>("QUORVEL_INPUT", device::ParseInputSettings)
               .pace == device::Pace::kFast;
}

bool OutputIsFast(const OutputDevice& choice, bool fast) {
    if (fast || choice.kind == OutputDevice::Kind::kFast) return true;
    if (choice.kind != OutputDevice::Kind::kDefault) return false;
    return FromEnvironment<device::OutputSettings>("QUORVEL_OUTPUT", device::ParseOutputSettings)
               .pace == device::Pace::kFast;
}

std::string FallbackReason(const std::string& notice) {
    std::string reason = notice.substr(0, notice.rfind(" The virtual device"));
    if (!reason.empty() && reason.back() == '.') reason.pop_back();
    return reason;
}

bool OutputPlaysPcm(std::uint16_t channels, std::uint32_t samplesPerSec, std::uint16_t blockAlign,
                    std::uint16_t bitsPerSample, std::string* problem) {
    *problem = device::PcmFormatProblem(channels, samplesPerSec, blockAlign, bitsPerSample);
    return problem->empty();
}

}  // namespace quorvel::host
