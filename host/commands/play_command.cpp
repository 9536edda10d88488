// play: each file in turn through the module, as it is or decoded, with the live trace; space
// pauses, n skips to the next file, q quits.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <optional>

#include "commands/commands.h"
#include "media/decoded_wav.h"
#include "system/devices.h"
#include "cli/exit_codes.h"
#include "system/module_path.h"
#include "media/play_items.h"
#include "quorvel/device.hpp"
#include "session/session.h"
#include "cli/text.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using std::chrono::milliseconds;

// Standard input is stored whole before it plays; past this it is refused.
constexpr std::uint64_t kStandardInputLimit = std::uint64_t{2} << 30;
// Audio decoded before the module's first read. The virtual output is held at its gate
// whenever decoding falls behind; a sound device cannot be, so it gets a longer start and is
// paused if the margin ever shrinks to kLowWaterSeconds, until it is back to kResumeSeconds.
constexpr double kVirtualMarginSeconds = 0.5;
constexpr double kSoundDeviceMarginSeconds = 3.0;
constexpr double kLowWaterSeconds = 1.0;
constexpr double kResumeSeconds = 2.0;

enum class Ending { kPlayed, kSkipped, kQuit, kNotReached };

struct Outcome {
    Ending ending = Ending::kNotReached;
    std::uint64_t blocksPlayed = 0;
    std::uint64_t blocks = 0;
    double seconds = 0;  // of the whole file as played
    double bytesPerSecond = 0;
};

std::uint64_t BlocksFor(double seconds, const PlayFormat& format) {
    const double bytes = seconds * format.rate * format.blockAlign;
    return static_cast<std::uint64_t>(std::ceil(bytes / kModuleBlockBytes));
}

// Says which device plays, once it is open.
std::string OutputDescription(const PlayOptions& options) {
    switch (options.output.kind) {
        case OutputDevice::Kind::kDefault:
            if (options.fast) return "a fast virtual output";
            return BackendDescription(device::ActiveOutputBackend(), "output");
        case OutputDevice::Kind::kNull:
            return options.fast ? "a fast null output" : "the null output (no sound)";
        case OutputDevice::Kind::kFast:
            return "a fast virtual output";
        case OutputDevice::Kind::kFile:
            return Quoted(options.output.path) + (options.fast ? " (fast)" : " (real time)");
        case OutputDevice::Kind::kNamed:
            return "the sound device " + Quoted(options.output.named.name) + " (" +
                   options.output.named.backend + ")";
    }
    return options.outputText;
}

// One file's turn: decoding, the module's playback and the loop, and what it came to.
class Turn {
  public:
    Turn(const PlayOptions& options, Session& session, const PlayItem& item, std::size_t index,
         std::size_t count)
        : options_(options),
          session_(session),
          item_(item),
          format_(FormatOf(item)),
          position_(count > 1 ? "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] "
                              : std::string()),
          more_(count > 1) {}

    // An exit status; *outcome says how the file ended.
    int Play(Outcome* outcome);

  private:
    int Decode(bool first, bool* stopped);
    std::uint64_t TotalBlocks() const;
    double TotalSeconds() const {
        return static_cast<double>(TotalBlocks() * kModuleBlockBytes) /
               (static_cast<double>(format_.rate) * format_.blockAlign);
    }
    std::string Status(bool live) const;
    // How long the blocks not yet played before the last one take at the file's rate.
    std::chrono::milliseconds TimeBeforeLastBlock() const;
    void GuardDecoding();
    void SetPaused();
    void WarnOfDecoding();

    const PlayOptions& options_;
    Session& session_;
    const PlayItem& item_;
    const PlayFormat format_;
    const std::string position_;
    const bool more_;
    std::optional<DecodedWav> decoded_;
    bool userPaused_ = false;
    bool waitingForDecoder_ = false;
    bool devicePaused_ = false;
    bool warned_ = false;
};

std::uint64_t Turn::TotalBlocks() const {
    if (!decoded_) return item_.wav.blocks;
    const std::int64_t frames = item_.facts.frames;
    if (decoded_->Done() || frames < 0) return decoded_->SampleBytes() / kModuleBlockBytes + 1;
    return static_cast<std::uint64_t>(frames) * format_.blockAlign / kModuleBlockBytes + 1;
}

milliseconds Turn::TimeBeforeLastBlock() const {
    const std::uint64_t total = TotalBlocks();
    const std::uint64_t played = device::GetOutputStats().blocksPlayed;
    if (played + 1 >= total) return milliseconds(0);
    const double bytes = static_cast<double>((total - played - 1) * kModuleBlockBytes);
    return milliseconds(static_cast<std::int64_t>(
        1000.0 * bytes / (static_cast<double>(format_.rate) * format_.blockAlign)));
}

std::string Turn::Status(bool live) const {
    const device::OutputStats stats = device::GetOutputStats();
    const double elapsed = static_cast<double>(stats.bytesPlayed) /
                           (static_cast<double>(format_.rate) * format_.blockAlign);
    const bool unknownLength = decoded_ && !decoded_->Done() && item_.facts.frames < 0;
    std::string status =
        position_ + (userPaused_ ? "Paused " : "Playing ") + item_.label + "  " + Seconds(elapsed) +
        " / " + (unknownLength ? std::string("?") : Seconds(TotalSeconds())) + " s  " +
        std::to_string(stats.blocksPlayed) + "/" +
        (unknownLength ? std::string("?") : std::to_string(TotalBlocks())) + " blocks";
    if (decoded_ && !decoded_->Done()) {
        const double progress = decoded_->Progress();
        status += progress >= 0 ? "  decoded " + std::to_string(std::lround(progress * 100)) + "%"
                                : "  decoded " + Seconds(decoded_->DecodedSeconds()) + " s";
    }
    if (waitingForDecoder_) status += "  (waiting for the decoder)";
    if (live) {
        status += std::string("  (space: ") + (userPaused_ ? "resume" : "pause") +
                  (more_ ? ", n: next" : "") + ", q: quit)";
    }
    return status;
}

// The module's pause is one toggle for both reasons to hold the sound.
void Turn::SetPaused() {
    const bool wanted = userPaused_ || waitingForDecoder_;
    if (wanted == devicePaused_) return;
    session_.module.playStop();
    devicePaused_ = wanted;
}

// A sound device has no gate: when decoding falls behind, playback pauses until it is ahead.
void Turn::GuardDecoding() {
    if (!decoded_ || device::ActiveOutputBackend() == "virtual") return;
    const std::uint64_t queued = device::GetOutputStats().blocksQueued;
    const std::uint64_t readable = decoded_->ReadableBlocks();
    const std::uint64_t ahead = readable > queued ? readable - queued : 0;
    if (decoded_->Done()) {
        waitingForDecoder_ = false;
    } else if (!waitingForDecoder_ && ahead < BlocksFor(kLowWaterSeconds, format_)) {
        waitingForDecoder_ = true;
    } else if (waitingForDecoder_ && ahead >= BlocksFor(kResumeSeconds, format_)) {
        waitingForDecoder_ = false;
    }
    SetPaused();
}

void Turn::WarnOfDecoding() {
    if (!decoded_ || !decoded_->Done() || warned_) return;
    warned_ = true;
    const std::string failure = decoded_->Failure(item_.name);
    if (decoded_->StoreFailed()) {
        // Not a warning: the turn ends with it as an error.
    } else if (!failure.empty()) {
        Warn(failure);
    } else if (decoded_->ShortOfHeader()) {
        Warn(item_.name + " ends after " + Seconds(decoded_->DecodedSeconds()) + " s of the " +
             Seconds(static_cast<double>(item_.facts.frames) / item_.facts.rate) +
             " s its header announces; it may be cut short, and plays up to there.");
    }
}

// Decodes the file ahead of the module: all of it first when the output runs as fast as it
// can or is stepped for frames, otherwise a margin and the rest while it plays.
int Turn::Decode(bool first, bool* stopped) {
    std::string problem;
    std::unique_ptr<SoundFile> source = OpenForDecoding(item_, &problem);
    decoded_.emplace();
    if (!source || !decoded_->Create(std::move(source), &problem)) {
        Error(problem);
        return kExitFile;
    }
    std::fprintf(stderr, "%s%s: %s.\n", position_.c_str(), item_.label.c_str(),
                 ConversionNote(item_.facts).c_str());
    const bool soundDevice = options_.output.kind == OutputDevice::Kind::kDefault &&
                             !options_.fast && device::ActiveOutputBackend() != "virtual";
    if (!first) {
        decoded_->Start(true);
        const double margin = soundDevice ? kSoundDeviceMarginSeconds : kVirtualMarginSeconds;
        decoded_->WaitForBlocks(BlocksFor(margin, format_) + 2, milliseconds(10'000));
        return kExitOk;
    }
    decoded_->Start(false);
    SessionPass pass;
    pass.advance = [&](milliseconds wait, milliseconds* eventWait, std::string*) {
        *eventWait = milliseconds(0);
        decoded_->WaitForBlocks(UINT64_MAX, std::min(wait, kDeviceWaitLimit));
        return decoded_->Done() ? PassState::kFinished : PassState::kRunning;
    };
    pass.onKey = [](Key key) {
        return key == Key::kQuit || key == Key::kNext ? KeyAction::kStop : KeyAction::kNone;
    };
    pass.status = [&](bool) {
        const double progress = decoded_->Progress();
        return position_ + "Decoding " + item_.label + "  " +
               (progress >= 0 ? std::to_string(std::lround(progress * 100)) + "%"
                              : Seconds(decoded_->DecodedSeconds()) + " s");
    };
    std::string unused;
    *stopped = RunSessionLoop(session_, pass, &unused) != LoopEnd::kFinished;
    decoded_->Stop();
    WarnOfDecoding();
    return kExitOk;
}

int Turn::Play(Outcome* outcome) {
    const bool decodeFirst = options_.fast || !options_.frames.empty();
    outcome->bytesPerSecond = static_cast<double>(format_.rate) * format_.blockAlign;
    // A later file may have been removed or rewritten while the ones before it played.
    if (std::string problem; !StillAsChecked(item_, &problem)) {
        Error(problem);
        return kExitFile;
    }
    device::ResetStats();
    if (item_.decode) {
        bool stopped = false;
        if (const int status = Decode(decodeFirst, &stopped); status != kExitOk) return status;
        if (stopped) {
            outcome->ending = Ending::kQuit;
            return kExitOk;
        }
        // Decoded first, a file that could not be stored whole is not played at all.
        if (decodeFirst && decoded_->StoreFailed()) {
            Error(decoded_->Failure(item_.name));
            return kExitFile;
        }
    }
    ModulePath path;
    std::string error;
    if (!path.SetForReading(decoded_ ? decoded_->ModulePathText() : item_.path, &error)) {
        Error(error);
        return kExitFile;
    }
    std::optional<PlaybackStepper> stepper;
    if (!options_.frames.empty()) {
        stepper.emplace(session_.frames);
        stepper->Prepare();
    }
    session_.module.play(path.c_str(), options_.traceColor, options_.backColor);
    // The module reports nothing: a device that would not open shows only in the statistics.
    if (device::GetOutputStats().opened == 0) {
        Error("The output device (" + options_.outputText + ") could not be opened for " +
              std::to_string(format_.rate) + " Hz, " + std::to_string(format_.channels) +
              " channel(s), " + std::to_string(format_.bits) +
              "-bit playback; to watch the trace without sound, use --output null.");
        return kExitDevice;
    }
    // The services fell back on the virtual device: a user who asked for sound hears none, so
    // the playback ends before a block is heard.
    const std::string notice = device::OutputFallbackNotice();
    if (!notice.empty()) {
        session_.module.playStop();
        Error("No sound device could play " + item_.name + ": " + FallbackReason(notice) +
              "; to watch the trace without sound, use --output null.");
        return kExitDevice;
    }
    const bool lengthKnown = !decoded_ || decoded_->Done() || item_.facts.frames >= 0;
    std::fprintf(stderr, "%sPlaying %s (%d ch, %" PRIu32 " Hz, %d-bit): %s blocks, %s s, on %s.\n",
                 position_.c_str(), item_.name.c_str(), format_.channels, format_.rate,
                 format_.bits, lengthKnown ? std::to_string(TotalBlocks()).c_str() : "?",
                 lengthKnown ? Seconds(TotalSeconds()).c_str() : "?",
                 OutputDescription(options_).c_str());

    Ending stoppedBy = Ending::kQuit;
    SessionPass pass;
    // A sink that stopped taking bytes ends the playback: what follows would be lost.
    const auto sinkFailed = [](std::string* failure) {
        *failure = device::OutputSinkError();
        return !failure->empty();
    };
    const bool fastOutput = OutputIsFast(options_.output, options_.fast);
    pass.advance = [&](milliseconds wait, milliseconds* eventWait, std::string* failure) {
        *eventWait = milliseconds(0);
        GuardDecoding();
        if (!stepper && !fastOutput && wait > kDeviceWaitLimit && (!decoded_ || decoded_->Done())) {
            // Unattended in real time, until the last block is due, the pass waits for signals,
            // which end that wait at once, instead of waking for the device four times a
            // second; only the last block is waited for on the device, so the end is not
            // missed. A device that fell idle early (lost, or the file cut short) ends it too.
            const milliseconds beforeLast = TimeBeforeLastBlock();
            if (beforeLast >= kDeviceWaitLimit) {
                if (sinkFailed(failure)) return PassState::kFailed;
                if (device::WaitOutputIdle(milliseconds(0))) return PassState::kFinished;
                *eventWait = std::min(wait, beforeLast);
                return PassState::kRunning;
            }
        }
        if (!stepper) {
            const bool idle = device::WaitOutputIdle(std::min(wait, kDeviceWaitLimit));
            if (sinkFailed(failure)) return PassState::kFailed;
            return idle ? PassState::kFinished : PassState::kRunning;
        }
        const StepState state = stepper->Advance(kStepWait, failure);
        if (state == StepState::kFailed) return PassState::kFailed;
        if (sinkFailed(failure)) return PassState::kFailed;
        return state == StepState::kFinished ? PassState::kFinished : PassState::kRunning;
    };
    pass.onKey = [&](Key key) {
        if (key == Key::kSpace) {
            userPaused_ = !userPaused_;
            SetPaused();
            return KeyAction::kRedraw;
        }
        if (key == Key::kQuit || key == Key::kNext) {
            stoppedBy = key == Key::kQuit ? Ending::kQuit : Ending::kSkipped;
            return KeyAction::kStop;
        }
        return KeyAction::kNone;
    };
    pass.status = [&](bool live) { return Status(live); };
    const LoopEnd end = RunSessionLoop(session_, pass, &error);
    // A lost sound device returns its blocks without messages, which looks like the end.
    const bool lost = device::OutputDeviceLost();
    if (decoded_) decoded_->Stop();
    // The next file's playback starts from a device that is still.
    if (end != LoopEnd::kFinished && !devicePaused_) session_.module.playStop();
    const device::OutputStats stats = device::GetOutputStats();
    userPaused_ = userPaused_ && end != LoopEnd::kFinished;
    session_.view->Finish(Status(false));
    stepper.reset();
    WarnOfDecoding();

    outcome->blocksPlayed = stats.blocksPlayed;
    outcome->blocks = TotalBlocks();
    outcome->seconds = TotalSeconds();
    if (end == LoopEnd::kFailed) {
        Error(error);
        return kExitFile;
    }
    if (lost) {
        Error("The sound device went away after " + std::to_string(stats.blocksPlayed) + " of " +
              std::to_string(outcome->blocks) + " blocks of " + item_.name + ".");
        return kExitDevice;
    }
    // Decoding that could not be stored left the rest of the file unplayed.
    if (end == LoopEnd::kFinished && decoded_ && decoded_->StoreFailed()) {
        Error(decoded_->Failure(item_.name));
        return kExitFile;
    }
    if (end == LoopEnd::kFinished) {
        outcome->ending = Ending::kPlayed;
        std::fprintf(stderr, "Played %s (%s s) of %s.\n", BlockCount(stats.blocksPlayed).c_str(),
                     Seconds(outcome->seconds).c_str(), item_.name.c_str());
    } else {
        outcome->ending = end == LoopEnd::kSignal ? Ending::kQuit : stoppedBy;
        std::fprintf(stderr, "%s after %" PRIu64 " of %s.\n",
                     outcome->ending == Ending::kSkipped ? "Skipped" : "Stopped",
                     stats.blocksPlayed, BlockCount(outcome->blocks).c_str());
    }
    return kExitOk;
}

void PrintSummary(const std::vector<PlayItem>& items, const std::vector<Outcome>& outcomes) {
    std::size_t played = 0;
    for (const Outcome& outcome : outcomes) played += outcome.ending == Ending::kPlayed ? 1 : 0;
    std::fprintf(stderr, "Played %zu of %zu files:\n", played, items.size());
    std::size_t width = 0;
    for (const PlayItem& item : items) width = std::max(width, item.label.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Outcome& outcome = outcomes[i];
        const double heard = static_cast<double>(outcome.blocksPlayed * kModuleBlockBytes) /
                             std::max(1.0, outcome.bytesPerSecond);
        std::string what;
        switch (outcome.ending) {
            case Ending::kPlayed:
                what = "played, " + Seconds(outcome.seconds) + " s";
                break;
            case Ending::kSkipped:
                what = "skipped after " + Seconds(heard) + " of " + Seconds(outcome.seconds) + " s";
                break;
            case Ending::kQuit:
                what = "stopped after " + Seconds(heard) + " of " + Seconds(outcome.seconds) + " s";
                break;
            case Ending::kNotReached:
                what = "not played";
                break;
        }
        std::fprintf(stderr, "  %zu. %-*s  %s\n", i + 1, static_cast<int>(width),
                     items[i].label.c_str(), what.c_str());
    }
}

// Standard input as a path the same-file check can compare, when it is a file that could be
// written; a pipe or terminal cannot be.
NamedPath StandardInputPath() {
    struct stat info {};
    const bool file = ::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode);
    return {"the file being played", file ? "/dev/stdin" : "", false, "(standard input)"};
}

}  // namespace

int RunPlay(const PlayOptions& options) {
    std::vector<PlayItem> items;
    TempFile standardInput;
    for (const std::string& file : options.files) {
        PlayItem item;
        item.file = file;
        item.path = file;
        item.name = Quoted(file);
        item.label = BaseName(file);
        if (file == kStandardInputName) {
            if (standardInput.fd() >= 0) {
                Error("Standard input (\"-\") can hold only one of the files to play.");
                return kExitUsage;
            }
            std::string problem;
            if (!StoreStandardInput(&standardInput, kStandardInputLimit, &problem)) {
                Error(problem);
                return kExitFile;
            }
            item.path = standardInput.alias();
            item.name = "the file on standard input";
            item.label = "standard input";
        }
        items.push_back(item);
    }
    // Every file is checked before any plays or anything is written.
    for (PlayItem& item : items) {
        std::string problem;
        if (!PreparePlayItem(options.asIs, &item, &problem)) {
            Error(problem);
            return kExitFile;
        }
    }
    const bool toFile = options.output.kind == OutputDevice::Kind::kFile;
    const std::vector<NamedPath> outputs = {{"the output file", toFile ? options.output.path : ""},
                                            {"the frames folder", options.frames, true},
                                            {"the PNG file", options.png}};
    if (const int status = CheckPathsDistinct(outputs); status != kExitOk) return status;
    // A file may be played more than once, but none may be written.
    for (const PlayItem& item : items) {
        // Standard input is the file it was redirected from, which no output may overwrite.
        std::vector<NamedPath> paths = {{"the file being played", item.file}};
        if (item.file == kStandardInputName) paths.front() = StandardInputPath();
        paths.insert(paths.end(), outputs.begin(), outputs.end());
        if (const int status = CheckPathsDistinct(paths); status != kExitOk) return status;
    }
    TargetProblem target;
    if (toFile &&
        !CheckTargetFile(options.output.path, TargetKind::kOutputFile, "output file", &target)) {
        Error(target.sentence);
        return target.exitCode;
    }
    Session session;
    if (const int status = CheckOutputFiles(options, session); status != kExitOk) return status;
    for (const PlayItem& item : items) {
        if (item.decode) continue;
        for (const std::string& warning : item.wav.warnings) Warn(warning);
    }

    const std::string title = items.size() == 1
                                  ? "quorvel play " + items.front().label
                                  : "quorvel play (" + std::to_string(items.size()) + " files)";
    const bool keysFromStandardInput = standardInput.fd() < 0;
    if (const int status = StartSession(options, title, session, keysFromStandardInput);
        status != kExitOk) {
        return status;
    }
    if (!keysFromStandardInput) {
        std::fprintf(stderr, "Keys are not read: standard input holds the file (Ctrl-C stops).\n");
    }
    // Only now, with every check passed, is anything opened for writing.
    DeviceProblem problem;
    if (!ApplyOutput(options.output, options.fast, &problem)) {
        Error(problem.sentence);
        return problem.exitCode;
    }
    std::string error;
    if (!session.frames.Open(&error)) {
        Error(error);
        return kExitFile;
    }

    std::vector<Outcome> outcomes(items.size());
    int exitStatus = kExitOk;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Turn turn(options, session, items[i], i, items.size());
        exitStatus = turn.Play(&outcomes[i]);
        if (exitStatus != kExitOk || outcomes[i].ending == Ending::kQuit) break;
    }
    // Unloading the module ends a playback still running (after q or a signal).
    session.module.Unload();
    if (items.size() > 1) PrintSummary(items, outcomes);
    const int screenStatus = FinishScreen(options, session);
    return exitStatus != kExitOk ? exitStatus : screenStatus;
}

}  // namespace quorvel::host
