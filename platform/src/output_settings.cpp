// Output settings: ConfigureOutput, the QUORVEL_OUTPUT text form, and the sinks that see every
// byte the devices play.
#include "output_settings.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "audio_backends.h"

namespace quorvel::device {
namespace detail {
namespace {

struct SettingsState {
    std::mutex mutex;
    bool chosen = false;  // ConfigureOutput was called or QUORVEL_OUTPUT was read
    OutputChoice choice;
};

// Never destroyed: device threads may still use it while the process exits.
SettingsState& Settings() {
    static auto* const state = new SettingsState;
    return *state;
}

struct PlayedMemory {
    std::mutex mutex;
    std::vector<std::uint8_t> bytes;
};

PlayedMemory& Memory() {
    static auto* const memory = new PlayedMemory;
    return *memory;
}

bool Fail(std::string* error, std::string sentence) {
    if (error != nullptr) *error = std::move(sentence);
    return false;
}

// What a device opened with nothing configured and no QUORVEL_OUTPUT uses.
OutputChoice UnconfiguredChoice() {
    OutputChoice choice;
    choice.settings.backend = kDefaultBackendName;
    return choice;
}

bool Choose(const OutputSettings& settings, OutputChoice* choice, std::string* error) {
    if (!IsKnownAudioBackend(settings.backend)) {
        return Fail(error, "Unknown output backend \"" + settings.backend + "\" (expected " +
                               AudioBackendChoices() + ").");
    }
    std::FILE* file = nullptr;
    if (!settings.sinkFile.empty()) {
        file = std::fopen(settings.sinkFile.c_str(), "ab");
        if (file == nullptr) {
            return Fail(error, "Cannot create the output sink file \"" + settings.sinkFile +
                                   "\": " + std::generic_category().message(errno) + ".");
        }
    }
    std::shared_ptr<OutputSink> sink;
    if (file != nullptr || settings.sinkMemory) {
        sink = std::make_shared<OutputSink>(file, settings.sinkFile, settings.sinkMemory);
    }
    *choice = OutputChoice{settings, std::move(sink)};
    return true;
}

}  // namespace

OutputSink::~OutputSink() {
    if (file_ != nullptr) std::fclose(file_);
}

void OutputSink::Write(const std::uint8_t* bytes, std::size_t count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr && fileError_.empty()) {
        // Flushed at once so that a reader sees every byte whose block has been reported done.
        errno = 0;
        if (std::fwrite(bytes, 1, count, file_) != count || std::fflush(file_) != 0) {
            // A short write sets no errno of its own.
            const int cause = errno != 0 ? errno : EIO;
            fileError_ = "Cannot write to the output sink file \"" + path_ +
                         "\": " + std::generic_category().message(cause) + ".";
        }
    }
    if (memory_) {
        PlayedMemory& memory = Memory();
        const std::lock_guard<std::mutex> memoryLock(memory.mutex);
        memory.bytes.insert(memory.bytes.end(), bytes, bytes + count);
    }
}

std::string OutputSink::FileError() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fileError_;
}

OutputChoice OutputForNewDevice() {
    SettingsState& state = Settings();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.chosen) {
        state.chosen = true;
        state.choice = UnconfiguredChoice();
        // A bad value must not stop a host from playing: it falls back to the defaults.
        const char* text = std::getenv("QUORVEL_OUTPUT");
        if (text != nullptr) {
            OutputSettings settings;
            std::string error;
            if (!ParseOutputSettings(text, &settings, &error) ||
                !Choose(settings, &state.choice, &error)) {
                std::fprintf(stderr, "QuorvelDevice: QUORVEL_OUTPUT ignored: %s\n", error.c_str());
                state.choice = UnconfiguredChoice();
            }
        }
    }
    return state.choice;
}

void ResetOutputSettings() {
    {
        SettingsState& state = Settings();
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.chosen = false;
        state.choice = OutputChoice{};
    }
    PlayedMemory& memory = Memory();
    const std::lock_guard<std::mutex> lock(memory.mutex);
    memory.bytes.clear();
}

}  // namespace detail

bool ConfigureOutput(const OutputSettings& settings, std::string* error) {
    detail::OutputChoice choice;
    if (!detail::Choose(settings, &choice, error)) return false;
    detail::SettingsState& state = detail::Settings();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.chosen = true;
    state.choice = std::move(choice);
    return true;
}

bool ParseOutputSettings(const std::string& text, OutputSettings* settings, std::string* error) {
    if (settings == nullptr) return detail::Fail(error, "No settings to parse into were given.");
    OutputSettings parsed;
    std::size_t start = 0;
    bool first = true;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string token = text.substr(start, end - start);
        start = end + 1;
        if (token.empty()) continue;
        const bool wasFirst = std::exchange(first, false);
        if (token == "fast") {
            parsed.pace = Pace::kFast;
        } else if (token == "realtime") {
            parsed.pace = Pace::kRealTime;
        } else if (token == "memory") {
            parsed.sinkMemory = true;
        } else if (token.rfind("sink=", 0) == 0) {
            parsed.sinkFile = token.substr(5);
            if (parsed.sinkFile.empty()) {
                return detail::Fail(error, "The output setting \"sink=\" needs a file path.");
            }
        } else if (wasFirst && detail::IsKnownAudioBackend(token)) {
            parsed.backend = token;
        } else {
            return detail::Fail(error, "Unknown output setting \"" + token + "\" (expected " +
                                           detail::AudioBackendChoices() +
                                           " first, then fast, realtime, memory or sink=PATH).");
        }
    }
    *settings = std::move(parsed);
    return true;
}

std::string OutputSinkError() {
    std::shared_ptr<detail::OutputSink> sink;
    {
        detail::SettingsState& state = detail::Settings();
        const std::lock_guard<std::mutex> lock(state.mutex);
        sink = state.choice.sink;
    }
    return sink ? sink->FileError() : std::string();
}

std::vector<std::uint8_t> TakePlayedBytes() {
    detail::PlayedMemory& memory = detail::Memory();
    const std::lock_guard<std::mutex> lock(memory.mutex);
    return std::exchange(memory.bytes, {});
}

}  // namespace quorvel::device
