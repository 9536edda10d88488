#include "commands/play_turn.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "cli/text.h"
#include "quorvel/device.hpp"
#include "system/devices.h"
#include "system/module_path.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using std::chrono::milliseconds;

// Audio decoded before the module's first read. The virtual output is held at its gate
// whenever decoding falls behind; a sound device cannot be, so it gets a longer start and is
// paused if the margin ever shrinks to kLowWaterSeconds, until it is back to kResumeSeconds.
constexpr double kVirtualMarginSeconds = 0.5;
constexpr double kSoundDeviceMarginSeconds = 3.0;
constexpr double kLowWaterSeconds = 1.0;
constexpr double kResumeSeconds = 2.0;

std::uint64_t BlocksFor(double seconds, const PlayFormat& format) {
    const double bytes = seconds * format.rate * format.blockAlign;
    return static_cast<std::uint64_t>(std::ceil(bytes / kModuleBlockBytes));
}

// Says which device plays, once it is open.
std::string OutputDescription(const PlayOptions& options) {
    using Kind = DeviceOption::Kind;
    switch (options.output.kind) {
        case Kind::kServicesDefault:
            if (options.fast) return "a fast virtual output";
            return BackendDescription(device::ActiveOutputBackend(), "output");
        case Kind::kSilentRealTime:
            return options.fast ? "a fast null output" : "the null output (no sound)";
        case Kind::kSilentFast:
            return "a fast virtual output";
        case Kind::kSinkFile:
            return Quoted(options.output.path) + (options.fast ? " (fast)" : " (real time)");
        case Kind::kSoundDevice:
            return "the sound device " + Quoted(options.output.device.name) + " (" +
                   options.output.device.backend + ")";
        case Kind::kSource:
        case Kind::kSourceFile:
            break;
    }
    return options.output.text;
}

}  // namespace

std::uint64_t Turn::TotalBlocks() const {
    if (!decoded_) return item_.wav.blocks;
    const std::int64_t frames = item_.facts.frames;
    if (decoded_->Done() || frames < 0) return decoded_->SampleBytes() / kModuleBlockBytes + 1;
    return static_cast<std::uint64_t>(frames) * format_.blockAlign / kModuleBlockBytes + 1;
}

milliseconds Turn::TimeBeforeLastBlock() const {
    const std::uint64_t total = TotalBlocks();
    const std::uint64_t played = device::GetOutputStats().blocks_played;
    if (played + 1 >= total) return milliseconds(0);
    const double bytes = static_cast<double>((total - played - 1) * kModuleBlockBytes);
    return milliseconds(static_cast<std::int64_t>(
        1000.0 * bytes / (static_cast<double>(format_.rate) * format_.blockAlign)));
}

std::string Turn::Status(bool live) const {
    const device::OutputStats stats = device::GetOutputStats();
    const double elapsed = static_cast<double>(stats.bytes_played) /
                           (static_cast<double>(format_.rate) * format_.blockAlign);
    const bool unknownLength = decoded_ && !decoded_->Done() && item_.facts.frames < 0;
    std::string status =
        position_ + (userPaused_ ? "Paused " : "Playing ") + item_.label + "  " + Seconds(elapsed) +
        " / " + (unknownLength ? std::string("?") : Seconds(TotalSeconds())) + " s  " +
        std::to_string(stats.blocks_played) + "/" +
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
    const std::uint64_t queued = device::GetOutputStats().blocks_queued;
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
bool Turn::Decode(bool first, bool* stopped, Problem* problem) {
    std::unique_ptr<SoundFile> source = OpenForDecoding(item_, problem);
    decoded_.emplace();
    if (!source || !decoded_->Create(std::move(source), problem)) return false;
    Say("%s%s: %s.\n", position_.c_str(), item_.label.c_str(), ConversionNote(item_.facts).c_str());
    const bool soundDevice = options_.output.kind == DeviceOption::Kind::kServicesDefault &&
                             !options_.fast && device::ActiveOutputBackend() != "virtual";
    if (!first) {
        decoded_->Start(true);
        const double margin = soundDevice ? kSoundDeviceMarginSeconds : kVirtualMarginSeconds;
        decoded_->WaitForBlocks(BlocksFor(margin, format_) + 2, milliseconds(10'000));
        return true;
    }
    decoded_->Start(false);
    SessionPass pass;
    pass.advance = [&](milliseconds wait, milliseconds* eventWait, Problem*) {
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
    Problem unused;
    *stopped = RunSessionLoop(session_, pass, &unused) != LoopEnd::kFinished;
    decoded_->Stop();
    WarnOfDecoding();
    return true;
}

bool Turn::Play(Outcome* outcome, Problem* problem) {
    const bool decodeFirst = options_.fast || !options_.frames.empty();
    outcome->bytesPerSecond = static_cast<double>(format_.rate) * format_.blockAlign;
    // A later file may have been removed or rewritten while the ones before it played.
    if (!StillAsChecked(item_, problem)) return false;
    device::ResetStats();
    if (item_.decode) {
        bool stopped = false;
        if (!Decode(decodeFirst, &stopped, problem)) return false;
        if (stopped) {
            outcome->ending = Ending::kQuit;
            return true;
        }
        // Decoded first, a file that could not be stored whole is not played at all.
        if (decodeFirst && decoded_->StoreFailed()) {
            return Fail(problem, kExitFile, decoded_->Failure(item_.name));
        }
    }
    ModulePath path;
    if (!path.SetForReading(decoded_ ? decoded_->ModulePathText() : item_.path, problem)) {
        return false;
    }
    std::optional<PlaybackStepper> stepper;
    if (!options_.frames.empty()) {
        stepper.emplace(session_.frames);
        stepper->Prepare();
    }
    session_.module.play(path.c_str(), options_.traceColor, options_.backColor);
    // The module reports nothing: a device that would not open shows only in the statistics.
    if (device::GetOutputStats().opened == 0) {
        return Fail(problem, kExitDevice,
                    "The output device (" + options_.output.text + ") could not be opened for " +
                        std::to_string(format_.rate) + " Hz, " + std::to_string(format_.channels) +
                        " channel(s), " + std::to_string(format_.bits) +
                        "-bit playback; to watch the trace without sound, use --output null.");
    }
    // The services fell back on the virtual device: a user who asked for sound hears none, so
    // the playback ends before a block is heard.
    const std::string notice = device::OutputFallbackNotice();
    if (!notice.empty()) {
        session_.module.playStop();
        return Fail(problem, kExitDevice,
                    "No sound device could play " + item_.name + ": " + FallbackReason(notice) +
                        "; to watch the trace without sound, use --output null.");
    }
    const bool lengthKnown = !decoded_ || decoded_->Done() || item_.facts.frames >= 0;
    Say("%sPlaying %s (%d ch, %" PRIu32 " Hz, %d-bit): %s blocks, %s s, on %s.\n",
        position_.c_str(), item_.name.c_str(), format_.channels, format_.rate, format_.bits,
        lengthKnown ? std::to_string(TotalBlocks()).c_str() : "?",
        lengthKnown ? Seconds(TotalSeconds()).c_str() : "?", OutputDescription(options_).c_str());

    Ending stoppedBy = Ending::kQuit;
    SessionPass pass;
    // A sink that stopped taking bytes ends the playback: what follows would be lost.
    const auto sinkFailed = [](Problem* failure) {
        const std::string error = device::OutputSinkError();
        if (error.empty()) return false;
        Fail(failure, kExitFile, error);
        return true;
    };
    const bool fastOutput = OutputIsFast(options_.output, options_.fast);
    pass.advance = [&](milliseconds wait, milliseconds* eventWait, Problem* failure) {
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
    const LoopEnd end = RunSessionLoop(session_, pass, problem);
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

    outcome->blocksPlayed = stats.blocks_played;
    outcome->blocks = TotalBlocks();
    outcome->seconds = TotalSeconds();
    if (end == LoopEnd::kFailed) return false;
    if (lost) {
        return Fail(problem, kExitDevice,
                    "The sound device went away after " + std::to_string(stats.blocks_played) +
                        " of " + std::to_string(outcome->blocks) + " blocks of " + item_.name +
                        ".");
    }
    // Decoding that could not be stored left the rest of the file unplayed.
    if (end == LoopEnd::kFinished && decoded_ && decoded_->StoreFailed()) {
        return Fail(problem, kExitFile, decoded_->Failure(item_.name));
    }
    if (end == LoopEnd::kFinished) {
        outcome->ending = Ending::kPlayed;
        Say("Played %s (%s s) of %s.\n", BlockCount(stats.blocks_played).c_str(),
            Seconds(outcome->seconds).c_str(), item_.name.c_str());
    } else {
        outcome->ending = end == LoopEnd::kSignal ? Ending::kQuit : stoppedBy;
        Say("%s after %" PRIu64 " of %s.\n",
            outcome->ending == Ending::kSkipped ? "Skipped" : "Stopped", stats.blocks_played,
            BlockCount(outcome->blocks).c_str());
    }
    return true;
}

}  // namespace quorvel::host
