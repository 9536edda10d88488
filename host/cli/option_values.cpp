#include "cli/option_values.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "quorvel/device.hpp"

namespace quorvel::host {
namespace {

constexpr double kBlocksPerSecond = 4.0;  // 2000 samples at 8000 Hz
constexpr double kMaxToneHz = 4000.0;     // half the capture rate

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const int lower = std::tolower(static_cast<unsigned char>(c));
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
    return -1;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The sound device the services list under `name`; else false, with a sentence that starts
// with `refusal` and names the devices there are.
bool FindSoundDevice(quorvel::device::Direction direction, const std::string& name,
                     const std::string& refusal, NamedDevice* found, std::string* error) {
    const std::vector<quorvel::device::AudioDevice> devices =
        quorvel::device::ListAudioDevices(direction);
    std::string names;
    for (const auto& device : devices) {
        if (device.name == name) {
            *found = NamedDevice{device.name, device.backend};
            return true;
        }
        names += (names.empty() ? "" : ", ") + device.name;
    }
    *error = refusal + (devices.empty() ? "; no sound device answered to list its own."
                                        : ", or a sound device: " + names +
                                              "; quorvel devices describes them.");
    return false;
}

}  // namespace

bool ParseColor(const std::string& text, std::uint32_t* colorref) {
    const std::string digits = (!text.empty() && text[0] == '#') ? text.substr(1) : text;
    if (digits.size() != 6) return false;
    std::uint32_t rgb = 0;
    for (const char c : digits) {
        const int value = HexDigit(c);
        if (value < 0) return false;
        rgb = (rgb << 4) | static_cast<std::uint32_t>(value);
    }
    const std::uint32_t red = (rgb >> 16) & 0xFF;
    const std::uint32_t green = (rgb >> 8) & 0xFF;
    const std::uint32_t blue = rgb & 0xFF;
    *colorref = red | (green << 8) | (blue << 16);
    return true;
}

bool ParseOutputDevice(const std::string& text, OutputDevice* device, std::string* error) {
    OutputDevice parsed;
    if (text == "default") {
        parsed.kind = OutputDevice::Kind::kDefault;
    } else if (text == "null") {
        parsed.kind = OutputDevice::Kind::kNull;
    } else if (text == "fast") {
        parsed.kind = OutputDevice::Kind::kFast;
    } else if (StartsWith(text, "file:") && text.size() > 5) {
        parsed.kind = OutputDevice::Kind::kFile;
        parsed.path = text.substr(5);
    } else {
        const std::string refusal =
            "\"" + text + "\" is not an output device; use default, null, fast, file:PATH";
        if (!FindSoundDevice(quorvel::device::Direction::kOutput, text, refusal, &parsed.named,
                             error)) {
            return false;
        }
        parsed.kind = OutputDevice::Kind::kNamed;
    }
    *device = parsed;
    return true;
}

bool ParseInputDevice(const std::string& text, InputDevice* device, std::string* error) {
    InputDevice parsed;
    parsed.source = text;
    if (text == "default") {
        parsed.kind = InputDevice::Kind::kDefault;
    } else if (text == "silence") {
        parsed.kind = InputDevice::Kind::kSilence;
    } else if (text == "ramp") {
        parsed.kind = InputDevice::Kind::kRamp;
    } else if (StartsWith(text, "tone:")) {
        const std::string number = text.substr(5);
        char* end = nullptr;
        const double hz = std::strtod(number.c_str(), &end);
        // strtod would skip leading blanks; the device services do not.
        if (number.empty() || std::isspace(static_cast<unsigned char>(number[0])) != 0 ||
            end == nullptr || *end != '\0' || !std::isfinite(hz) || hz <= 0 || hz > kMaxToneHz) {
            *error =
                "\"" + text + "\" is not a tone; use tone:HZ with HZ above 0 and at most 4000.";
            return false;
        }
        parsed.kind = InputDevice::Kind::kTone;
    } else if (StartsWith(text, "file:") && text.size() > 5) {
        parsed.kind = InputDevice::Kind::kFile;
        parsed.path = text.substr(5);
    } else {
        const std::string refusal = "\"" + text +
                                    "\" is not an input device; use default, silence, tone:HZ, "
                                    "ramp, file:PATH";
        if (!FindSoundDevice(quorvel::device::Direction::kInput, text, refusal, &parsed.named,
                             error)) {
            return false;
        }
        parsed.kind = InputDevice::Kind::kNamed;
    }
    *device = parsed;
    return true;
}

std::uint64_t BlocksForSeconds(double seconds) {
    const double blocks = std::ceil(seconds * kBlocksPerSecond - 1e-9);
    return blocks < 1 ? 1 : static_cast<std::uint64_t>(blocks);
}

}  // namespace quorvel::host
