// The values quorvel's options take: colours, output and input devices, recording length.
#ifndef QUORVEL_HOST_OPTION_VALUES_H
#define QUORVEL_HOST_OPTION_VALUES_H

#include <cstdint>
#include <string>

namespace quorvel::host {

constexpr const char* kDefaultTraceColor = "#33FF33";  // a phosphor green
constexpr const char* kDefaultBackColor = "#000000";

// "#RRGGBB" (the '#' may be left out, since an unquoted '#' starts a shell comment) into a
// COLORREF, 0x00BBGGRR. False for anything else.
bool ParseColor(const std::string& text, std::uint32_t* colorref);

// A sound device chosen by the name the device services list.
struct NamedDevice {
    std::string name;
    std::string backend;  // the backend that lists it
};

struct OutputDevice {
    enum class Kind { kDefault, kNull, kFast, kFile, kNamed };
    Kind kind = Kind::kDefault;
    std::string path;  // kFile: where the played bytes go
    NamedDevice named;
};

// "default", "null", "fast", "file:PATH" or the name of a sound device the services list. False,
// with a sentence naming the value in *error (for an unknown name, the ones that exist).
bool ParseOutputDevice(const std::string& text, OutputDevice* device, std::string* error);

struct InputDevice {
    enum class Kind { kDefault, kSilence, kTone, kRamp, kFile, kNamed };
    Kind kind = Kind::kDefault;
    std::string source;  // the device services' source text: "silence", "tone:440", ...
    std::string path;    // kFile
    NamedDevice named;
};

// "default", "silence", "tone:HZ", "ramp", "file:PATH" or a listed sound device's name.
bool ParseInputDevice(const std::string& text, InputDevice* device, std::string* error);

// The whole capture blocks (a quarter second each) that cover `seconds`; at least one.
std::uint64_t BlocksForSeconds(double seconds);

}  // namespace quorvel::host

#endif
