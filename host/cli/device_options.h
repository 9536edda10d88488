// What --output and --input take: the host's own words for the virtual device (null, fast,
// file:PATH; silence, tone:HZ, ramp, file:PATH), expanded from one table into the device
// services' settings text, or a sound device by the name the services list.
#ifndef QUORVEL_HOST_CLI_DEVICE_OPTIONS_H
#define QUORVEL_HOST_CLI_DEVICE_OPTIONS_H

#include <string>
#include <vector>

#include "QuorvelWaveForm.h"
#include "cli/problem.h"
#include "quorvel/device.hpp"

namespace quorvel::host {

// The services' backend name for their virtual device.
inline constexpr const char* kVirtualBackend = "virtual";

using quorvel::device::Direction;

// A sound device as the services list it.
struct ListedSoundDevice {
    std::string name;
    std::string backend;  // the backend that lists it
};

// The value of --output or --input.
struct DeviceOption {
    enum class Kind {
        kServicesDefault,  // "default": the services' own choice (a sound device, or their
                           // variables)
        kSilentRealTime,   // "null": the virtual output at the audio's own rate, no sound
        kSilentFast,       // "fast": the virtual output as fast as blocks come, no sound
        kSinkFile,         // "file:PATH": the virtual output, every byte played written to PATH
        kSource,           // "silence", "tone:HZ", "ramp": the virtual input's own sources
        kSourceFile,       // "file:PATH": the virtual input reading a file
        kSoundDevice,      // a sound device by its listed name
    };
    Kind kind = Kind::kServicesDefault;
    std::string text = "default";  // as given, for sentences
    std::string path;              // kSinkFile, kSourceFile
    ListedSoundDevice device;      // kSoundDevice
};

// Parses `text` for `direction`. A name that is none of the host's words is looked up in the
// services' list of sound devices (one round trip to the sound server). False, with a usage
// problem naming the value (for an unknown name, the ones that exist), otherwise.
bool ParseDeviceOption(Direction direction, const std::string& text, DeviceOption* option,
                       Problem* problem);

// The services' settings text for the option, the file at `path` standing for its own (a
// converted or reopened copy): "virtual,realtime,sink=/tmp/a.raw", "pulse,realtime,device=NAME".
// Empty when the services' own choice stands (the default, not fast).
std::string SettingsText(Direction direction, const DeviceOption& option, bool fast,
                         const std::string& path);

// The words the option takes besides a device name: "default, null, fast, file:PATH"; with
// `explained`, each with a word of help where it needs one.
std::string DeviceWords(Direction direction, bool explained = false);
// The same words as typed up to their value: "default", "null", "fast", "file:".
std::vector<std::string> DeviceWordList(Direction direction);

// The highest tone:HZ: quorvel always captures at QWF_CAPTURE_RATE, and a tone above half of it
// would come back as another (aliased). The services take tones up to QWD_MAX_TONE_HZ, for
// hosts that capture at higher rates.
constexpr double kMaxToneHz = QWF_CAPTURE_RATE / 2.0;
static_assert(kMaxToneHz <= QWD_MAX_TONE_HZ);

}  // namespace quorvel::host

#endif
