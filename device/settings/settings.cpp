// The devices' settings for both directions: Configure, the text form of QUORVEL_OUTPUT /
// QUORVEL_INPUT, and the sinks that see every byte the devices play.
#include "settings/settings.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "backends/table.h"
#include "backends/virtual/source.h"
#include "base/internal.h"
#include "base/never_destroyed.h"

namespace quorvel::device::detail {
namespace {

constexpr std::size_t kMaxFifoFrames = 100000000;

struct SettingsState {
    std::mutex mutex;
    // Per direction: empty until configured or the variable is read.
    std::optional<DeviceChoice> choice[2];
};

SettingsState& State() {
    return NeverDestroyed<SettingsState>();
}

struct PlayedMemory {
    std::mutex mutex;
    std::vector<std::uint8_t> bytes;
    std::size_t taken = 0;  // bytes at the front already taken, dropped once they are half
};

PlayedMemory& Memory() {
    return NeverDestroyed<PlayedMemory>();
}

std::size_t IndexOf(Direction direction) {
    return direction == Direction::kOutput ? 0 : 1;
}

const char* NameOf(Direction direction) {
    return direction == Direction::kOutput ? "output" : "input";
}

bool Fail(std::string* error, std::string sentence) {
    if (error != nullptr) *error = std::move(sentence);
    return false;
}

// Appends every byte played to a file and/or keeps it for TakePlayedBytes. Shared by every
// device opened with the same settings.
class OutputSink final : public PlaybackTap {
  public:
    OutputSink(std::FILE* file, std::string path, bool memory)
        : file_(file), path_(std::move(path)), memory_(memory) {}
    ~OutputSink() {
        if (file_ != nullptr) std::fclose(file_);
    }

    void Played(const std::uint8_t* bytes, std::size_t count) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (file_ != nullptr && fileError_.empty()) {
            // Flushed at once so that a reader sees every byte whose block has been reported
            // done.
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
    // Empty until the file stops taking bytes; then why, in one sentence naming it.
    std::string FileError() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return fileError_;
    }

  private:
    std::mutex mutex_;
    std::FILE* const file_;  // may be null
    const std::string path_;
    const bool memory_;
    std::string fileError_;  // set once: after it the file gets no more bytes
};

// The settings checked and made ready: the sink file opened, the source loaded.
bool Choose(Direction direction, const Settings& settings, DeviceChoice* choice,
            std::string* error) {
    if (!IsKnownBackend(settings.backend)) {
        return Fail(error, std::string("Unknown ") + NameOf(direction) + " backend \"" +
                               settings.backend + "\" (expected " + BackendChoices() + ").");
    }
    DeviceChoice made{settings, nullptr, nullptr};
    if (direction == Direction::kOutput) {
        std::FILE* file = nullptr;
        if (!settings.sinkFile.empty()) {
            std::string reason;
            file = OpenForWriting(settings.sinkFile, O_APPEND, "ab", &reason);
            if (file == nullptr) {
                return Fail(error, "Cannot create the output sink file \"" + settings.sinkFile +
                                       "\": " + reason + ".");
            }
        }
        if (file != nullptr || settings.sinkMemory) {
            made.tap = std::make_shared<OutputSink>(file, settings.sinkFile, settings.sinkMemory);
        }
    } else {
        if (settings.fifoFrames > kMaxFifoFrames) {
            return Fail(error, "Input FIFO size " + std::to_string(settings.fifoFrames) +
                                   " is above the limit of " + std::to_string(kMaxFifoFrames) +
                                   " samples.");
        }
        auto source = std::make_shared<InputSource>();
        if (std::string sentence;
            !ParseInputSource(settings.source, true, source.get(), &sentence)) {
            return Fail(error, sentence);
        }
        made.source = std::move(source);
    }
    *choice = std::move(made);
    return true;
}

// The setting from `*begin` to the next comma, trimmed of spaces; *begin moves past the comma.
std::string NextToken(const std::string& text, std::size_t* begin) {
    std::size_t end = text.find(',', *begin);
    if (end == std::string::npos) end = text.size();
    std::string token = text.substr(*begin, end - *begin);
    *begin = end + 1;
    token.erase(0, token.find_first_not_of(' '));
    token.erase(token.find_last_not_of(' ') + 1);
    return token;
}

// A setting other than the backend and the device: false, with a sentence or none (unknown),
// when it is bad.
bool ParseToken(Direction direction, const std::string& token, Settings* parsed,
                std::string* sentence) {
    const bool output = direction == Direction::kOutput;
    if (token == "fast" || token == "realtime") {
        parsed->pace = token == "fast" ? Pace::kFast : Pace::kRealTime;
    } else if (output && token == "memory") {
        parsed->sinkMemory = true;
    } else if (output && token.rfind("sink=", 0) == 0) {
        parsed->sinkFile = token.substr(5);
        if (parsed->sinkFile.empty()) {
            *sentence = "The output setting \"sink=\" needs a file path.";
            return false;
        }
    } else if (!output && token.rfind("source=", 0) == 0) {
        parsed->source = token.substr(7);
        InputSource source;
        return ParseInputSource(parsed->source, false, &source, sentence);
    } else if (!output && token.rfind("fifo=", 0) == 0) {
        const std::string number = token.substr(5);
        const bool digits = !number.empty() && number.size() <= 9 &&
                            number.find_first_not_of("0123456789") == std::string::npos;
        const std::size_t frames = digits ? std::stoul(number) : 0;
        if (!digits || frames > kMaxFifoFrames) {
            *sentence = "Bad FIFO size \"" + number + "\" in input setting \"" + token +
                        "\" (expected a number of samples up to " + std::to_string(kMaxFifoFrames) +
                        ").";
            return false;
        }
        parsed->fifoFrames = frames;
    } else {
        return false;
    }
    return true;
}

}  // namespace

// "BACKEND,TOKEN,...": the backend first if at all, tokens trimmed of spaces, empty ones
// skipped, fast and realtime for both directions.
bool ParseSettings(Direction direction, const std::string& text, Settings* settings,
                   std::string* error) {
    const std::string kind = NameOf(direction);
    Settings parsed;
    bool first = true;
    for (std::size_t begin = 0; begin <= text.size();) {
        const std::string token = NextToken(text, &begin);
        if (token.empty()) continue;
        const bool isFirst = std::exchange(first, false);
        if (IsKnownBackend(token)) {
            if (!isFirst) {
                return Fail(
                    error, "The " + kind + " backend \"" + token + "\" must be the first setting.");
            }
            parsed.backend = token;
        } else if (token.rfind("device=", 0) == 0 && token.size() > 7) {
            parsed.device = token.substr(7);
            // An ALSA pcm name may hold commas (hw:0,0): what follows up to the next setting
            // is part of it.
            while (begin <= text.size()) {
                std::size_t next = begin;
                const std::string piece = NextToken(text, &next);
                Settings scratch;
                std::string ignored;
                if (piece.empty() || IsKnownBackend(piece) || piece.rfind("device=", 0) == 0 ||
                    ParseToken(direction, piece, &scratch, &ignored)) {
                    break;
                }
                parsed.device += "," + piece;
                begin = next;
            }
        } else if (std::string sentence; !ParseToken(direction, token, &parsed, &sentence)) {
            if (sentence.empty()) {
                sentence = "Unknown " + kind + " setting \"" + token + "\" (expected " +
                           BackendChoices() + " first, then fast, realtime, device=NAME" +
                           (direction == Direction::kOutput ? ", memory or sink=PATH"
                                                            : ", source=SOURCE or fifo=SAMPLES") +
                           ").";
            }
            return Fail(error, sentence);
        }
    }
    *settings = std::move(parsed);
    return true;
}

bool Configure(Direction direction, const Settings& settings, std::string* error) {
    DeviceChoice choice;
    if (!Choose(direction, settings, &choice, error)) return false;
    SettingsState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.choice[IndexOf(direction)] = std::move(choice);
    return true;
}

DeviceChoice ChoiceForNewDevice(Direction direction) {
    SettingsState& state = State();
    std::optional<DeviceChoice>& choice = state.choice[IndexOf(direction)];
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!choice) {
        // With nothing configured and no variable: the defaults, with the backend "default".
        choice.emplace();
        Choose(direction, Settings{}, &*choice, nullptr);
        choice->settings.backend = kDefaultBackendName;
        // A bad value must not stop a host from playing: it falls back to the defaults.
        const char* variable = direction == Direction::kOutput ? "QUORVEL_OUTPUT" : "QUORVEL_INPUT";
        const char* text = std::getenv(variable);
        if (text != nullptr && *text != '\0') {
            std::string error;
            Settings settings;
            DeviceChoice chosen;
            if (ParseSettings(direction, text, &settings, &error) &&
                Choose(direction, settings, &chosen, &error)) {
                choice = std::move(chosen);
            } else {
                std::fprintf(stderr, "QuorvelDevice: %s ignored, using the defaults: %s\n",
                             variable, error.c_str());
            }
        }
    }
    return *choice;
}

void ResetSettings() {
    {
        SettingsState& state = State();
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.choice[0] = state.choice[1] = std::nullopt;
    }
    PlayedMemory& memory = Memory();
    const std::lock_guard<std::mutex> lock(memory.mutex);
    memory.bytes.clear();
    memory.taken = 0;
}

std::string OutputSinkError() {
    std::shared_ptr<PlaybackTap> tap;
    {
        SettingsState& state = State();
        const std::lock_guard<std::mutex> lock(state.mutex);
        if (state.choice[0]) tap = state.choice[0]->tap;
    }
    return tap ? static_cast<OutputSink&>(*tap).FileError() : std::string();  // taps are sinks
}

std::size_t TakePlayedBytes(std::uint8_t* bytes, std::size_t capacity) {
    PlayedMemory& memory = Memory();
    const std::lock_guard<std::mutex> lock(memory.mutex);
    const std::size_t count = std::min(capacity, memory.bytes.size() - memory.taken);
    std::copy_n(memory.bytes.begin() + static_cast<std::ptrdiff_t>(memory.taken), count, bytes);
    memory.taken += count;
    if (memory.taken * 2 >= memory.bytes.size()) {
        memory.bytes.erase(memory.bytes.begin(),
                           memory.bytes.begin() + static_cast<std::ptrdiff_t>(memory.taken));
        memory.taken = 0;
    }
    return count;
}

}  // namespace quorvel::device::detail
