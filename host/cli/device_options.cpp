#include "cli/device_options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "cli/text.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using Kind = DeviceOption::Kind;

// The host's words for the virtual device and what each stands for in the services' settings.
struct DeviceWord {
    Direction direction;
    const char* word;       // as typed; ending in ':' when a value follows
    const char* shown;      // in help and lists
    const char* explained;  // in --help
    Kind kind;
    const char* setting;  // after the backend and pace, the value following; null: none
    bool alwaysFast;
};

constexpr DeviceWord kDeviceWords[] = {
    {Direction::kOutput, "default", "default", "default", Kind::kServicesDefault, nullptr, false},
    {Direction::kOutput, "null", "null", "null (no sound)", Kind::kSilentRealTime, nullptr, false},
    {Direction::kOutput, "fast", "fast", "fast (no sound, at once)", Kind::kSilentFast, nullptr,
     true},
    {Direction::kOutput, "file:", "file:PATH", "file:PATH (gets the bytes played)", Kind::kSinkFile,
     "sink=", false},
    {Direction::kInput, "default", "default", "default", Kind::kServicesDefault, nullptr, false},
    {Direction::kInput, "silence", "silence", "silence", Kind::kSource, "source=silence", false},
    {Direction::kInput, "tone:", "tone:HZ", "tone:HZ", Kind::kSource, "source=tone:", false},
    {Direction::kInput, "ramp", "ramp", "ramp", Kind::kSource, "source=ramp", false},
    {Direction::kInput, "file:", "file:PATH", "file:PATH (a WAV file's samples)", Kind::kSourceFile,
     "source=file:", false},
};

// The entry `text` is one of: a word, or a prefix with a value after it.
const DeviceWord* Lookup(Direction direction, const std::string& text, std::string* value) {
    for (const DeviceWord& entry : kDeviceWords) {
        if (entry.direction != direction) continue;
        const std::string word = entry.word;
        if (word.back() != ':') {
            if (text == word) return &entry;
        } else if (text.rfind(word, 0) == 0 && (text.size() > word.size() || word == "tone:")) {
            *value = text.substr(word.size());
            return &entry;
        }
    }
    return nullptr;
}

const DeviceWord& EntryFor(Direction direction, Kind kind, const std::string& text) {
    std::string unused;
    if (const DeviceWord* entry = Lookup(direction, text, &unused)) return *entry;
    for (const DeviceWord& entry : kDeviceWords) {
        if (entry.direction == direction && entry.kind == kind) return entry;
    }
    return kDeviceWords[0];
}

// "HZ" of tone:HZ, as the services read it (they skip no blanks).
bool IsToneHz(const std::string& number) {
    char* end = nullptr;
    const double hz = std::strtod(number.c_str(), &end);
    return !number.empty() && std::isspace(static_cast<unsigned char>(number[0])) == 0 &&
           end != nullptr && *end == '\0' && std::isfinite(hz) && hz > 0 && hz <= kMaxToneHz;
}

// The sound device the services list under `name`; else a problem that starts with `refusal`
// and names the devices there are.
bool FindSoundDevice(Direction direction, const std::string& name, const std::string& refusal,
                     ListedSoundDevice* found, Problem* problem) {
    const std::vector<device::AudioDevice> devices = device::ListAudioDevices(direction);
    std::string names;
    for (const auto& listed : devices) {
        if (listed.name == name) {
            *found = ListedSoundDevice{listed.name, listed.backend};
            return true;
        }
        names += (names.empty() ? "" : ", ") + listed.name;
    }
    // ALSA opens pcms no hint lists (hw:0,0, plughw:1, an asoundrc's own).
    if (const std::string backend = device::AudioDeviceOpener(direction, name); !backend.empty()) {
        *found = ListedSoundDevice{name, backend};
        return true;
    }
    return Fail(problem, kExitUsage,
                refusal + (devices.empty() ? "; no sound device answered to list its own."
                                           : ", or a sound device: " + names +
                                                 "; quorvel devices describes them."));
}

}  // namespace

std::string DeviceWords(Direction direction, bool explained) {
    std::string words;
    for (const DeviceWord& entry : kDeviceWords) {
        if (entry.direction != direction) continue;
        words +=
            (words.empty() ? "" : ", ") + std::string(explained ? entry.explained : entry.shown);
    }
    return words;
}

std::vector<std::string> DeviceWordList(Direction direction) {
    std::vector<std::string> words;
    for (const DeviceWord& entry : kDeviceWords) {
        if (entry.direction == direction) words.emplace_back(entry.word);
    }
    return words;
}

bool ParseDeviceOption(Direction direction, const std::string& text, DeviceOption* option,
                       Problem* problem) {
    DeviceOption parsed;
    parsed.text = text;
    std::string value;
    if (const DeviceWord* entry = Lookup(direction, text, &value)) {
        if (std::string(entry->word) == "tone:" && !IsToneHz(value)) {
            return Fail(problem, kExitUsage,
                        "\"" + text + "\" is not a tone; use tone:HZ with HZ above 0 and at most " +
                            std::to_string(static_cast<int>(kMaxToneHz)) + ".");
        }
        parsed.kind = entry->kind;
        if (parsed.kind == Kind::kSinkFile || parsed.kind == Kind::kSourceFile) parsed.path = value;
    } else {
        const bool output = direction == Direction::kOutput;
        const std::string refusal = "\"" + text + "\" is not an " + (output ? "output" : "input") +
                                    " device; use " + DeviceWords(direction);
        if (!FindSoundDevice(direction, text, refusal, &parsed.device, problem)) return false;
        parsed.kind = Kind::kSoundDevice;
    }
    *option = parsed;
    return true;
}

std::string SettingsText(Direction direction, const DeviceOption& option, bool fast,
                         const std::string& path) {
    if (option.kind == Kind::kSoundDevice) {
        return option.device.backend + ",realtime,device=" + option.device.name;
    }
    const DeviceWord& entry = EntryFor(direction, option.kind, option.text);
    if (option.kind == Kind::kServicesDefault && !fast) return {};
    std::string text =
        std::string(kVirtualBackend) + (fast || entry.alwaysFast ? ",fast" : ",realtime");
    if (entry.setting != nullptr) {
        std::string value;
        Lookup(direction, option.text, &value);
        const bool file = option.kind == Kind::kSinkFile || option.kind == Kind::kSourceFile;
        text += "," + std::string(entry.setting) + (file ? path : value);
    }
    return text;
}

}  // namespace quorvel::host
