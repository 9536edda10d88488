// record and monitor: the module captures blocks in the capture format, into a file or only
// for the trace, until --seconds, a key or a signal; the file is complete however it ends.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "cli/option_values.h"
#include "cli/problem.h"
#include "cli/text.h"
#include "commands/commands.h"
#include "commands/loss_watch.h"
#include "commands/recording_file.h"
#include "media/input_file.h"
#include "quorvel/device.hpp"
#include "session/session.h"
#include "system/devices.h"
#include "system/module_path.h"
#include "system/targets.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using std::chrono::milliseconds;
using Kind = DeviceOption::Kind;

std::string InputDescription(const RecordOptions& options) {
    if (options.input.kind == Kind::kSoundDevice) {
        return "the sound device " + Quoted(options.input.device.name) + " (" +
               options.input.device.backend + ")";
    }
    if (options.input.kind != Kind::kServicesDefault) return "the " + options.input.text + " input";
    if (options.fast) return "a fast virtual input";
    return BackendDescription(device::ActiveInputBackend(), "input");
}

std::string CaptureStartFailure(std::int32_t result, const RecordOptions& options);

constexpr const char* kSilenceHint = "; to watch the trace without sound, use --input silence.";

// The default input falls back on the virtual device's silence when no sound device opens; a
// user who asked for sound must not get a file of silence. The module opens the device once
// for the trace alone (no file is touched) and the services say whether they fell back.
bool SoundInputAnswers(const RecordOptions& options, Session& session, Problem* problem) {
    if (options.input.kind != Kind::kServicesDefault || options.fast) return true;
    device::SetInputGate(0);
    const std::int32_t started = session.module.record(u"", options.traceColor, options.backColor);
    const std::string notice = device::InputFallbackNotice();
    session.module.recordStop();
    device::SetInputGate(-1);
    if (started == WF_DONE && notice.empty()) return true;
    return Fail(problem, kExitDevice,
                started != WF_DONE ? CaptureStartFailure(started, options)
                                   : "No sound device could be used for recording: " +
                                         FallbackReason(notice) + kSilenceHint);
}

std::string CaptureStartFailure(std::int32_t result, const RecordOptions& options) {
    const std::string input = "The input device (" + options.input.text + ")";
    switch (result) {
        case WF_ERR_OPEN:
            return input + " could not be opened for " + CaptureFormatText() + " capture" +
                   kSilenceHint;
        case WF_ERR_QUEUE:
            return input + " did not accept the capture buffer" + kSilenceHint;
        case WF_ERR_START:
            return input + " could not start capturing" + kSilenceHint;
        case WF_ERR_FILE:
            // The module cannot say why; the file system can.
            return "Cannot record into " + RecordingName(options) + ": " +
                   WhyNotWritable(options.file) + ".";
        default:
            break;
    }
    return "The module gave the unexpected result " + std::to_string(result) +
           " when starting the capture.";
}

std::string CaptureStatus(const RecordOptions& options, std::uint64_t limit, bool live) {
    const std::uint64_t blocks = device::GetInputStats().buffers_filled;
    std::string status = options.file.empty()       ? "Monitoring"
                         : options.toStandardOutput ? std::string("Recording to standard output")
                                                    : "Recording " + BaseName(options.file);
    status += "  " + Seconds(static_cast<double>(blocks) * kCaptureBlockSeconds);
    if (limit != 0) status += " / " + Seconds(static_cast<double>(limit) * kCaptureBlockSeconds);
    status += " s  " + std::to_string(blocks) + " blocks";
    if (!options.file.empty() && !options.toStandardOutput) {
        status +=
            "  " + std::to_string(std::max<std::int64_t>(0, FileSize(options.file))) + " bytes";
    }
    return live ? status + "  (Enter or q: stop)" : status;
}

int Record(const RecordOptions& options);

// `record -`, as arecord's: a pipe or a regular file that standard output is. The module opens
// it again by its /proc name and, where it cannot seek, streams the header and every block.
int RecordToStandardOutput(const RecordOptions& options) {
    struct stat info {};
    if (::isatty(STDOUT_FILENO)) {
        return Report({kExitUsage,
                       "Standard output is a terminal, which a WAV stream would fill with bytes; "
                       "redirect record - to a file or a pipe."});
    }
    if (::fstat(STDOUT_FILENO, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISREG(info.st_mode))) {
        return Report({kExitFile,
                       "Cannot record to standard output: it is neither a pipe nor a regular "
                       "file."});
    }
    RecordOptions stream = options;
    stream.file = "/proc/self/fd/" + std::to_string(STDOUT_FILENO);
    stream.toStandardOutput = true;
    return Record(stream);
}

}  // namespace

int RunRecord(const RecordOptions& options) {
    if (options.file == "-") return RecordToStandardOutput(options);
    return Record(options);
}

namespace {

int Record(const RecordOptions& options) {
    const bool toFile = !options.file.empty();
    const bool toStream = options.toStandardOutput;
    const bool fromFile = options.input.kind == Kind::kSourceFile;
    Problem problem;
    if (!CheckDistinct({{"the input file", fromFile ? options.input.path : ""},
                        {"the recording", options.file},
                        {"the frames folder", options.frames, true},
                        {"the PNG file", options.png}},
                       &problem)) {
        return Report(problem);
    }
    if (toFile && !toStream &&
        (!CheckTargetFile(options.file, TargetKind::kRecording, "recording", &problem) ||
         !CheckRoomForRecording(options.file, &problem))) {
        return Report(problem);
    }
    Session session;
    if (!CheckOutputFiles(options, session, &problem)) return Report(problem);
    if (toFile && !toStream && RememberRecording(options.file)) {
        session.signals.SetTimeoutAction(&CompleteRecordingNow);
    }
    // A file in another format than the capture's is converted first.
    TempFile convertedInput;
    std::string sourceFile;
    std::string inputNote;
    if (fromFile &&
        !PrepareInputFile(options.input.path, &convertedInput, &sourceFile, &inputNote, &problem)) {
        return Report(problem);
    }
    if (!ApplyInput(options.input, options.fast, sourceFile, &problem)) return Report(problem);
    const std::string title =
        toFile ? "quorvel record " + (toStream ? std::string("-") : BaseName(options.file))
               : std::string("quorvel monitor");
    if (!StartSession(options, title, session, true, &problem)) return Report(problem);
    if (!session.frames.Open(&problem)) return Report(problem);
    // Noted before anything creates it, so a start that fails removes only a file it made.
    struct stat before {};
    // Standard output is there before the run and is never removed.
    const bool existed = toStream || (toFile && ::stat(options.file.c_str(), &before) == 0);
    if (existed && !toStream) RememberRecordingState(before);
    ModulePath path;
    if (toFile && !path.SetForWriting(options.file, &problem)) {
        session.frames.RemoveIfUnused();
        return Report(problem);
    }

    if (!SoundInputAnswers(options, session, &problem)) {
        session.frames.RemoveIfUnused();
        return Report(problem);
    }
    const std::uint64_t limit = options.seconds > 0 ? BlocksForSeconds(options.seconds) : 0;
    device::ResetStats();
    std::optional<CaptureStepper> stepper;
    if (!options.frames.empty()) {
        stepper.emplace(session.frames, limit);
        stepper->Prepare();
    } else {
        // The device fills exactly the blocks asked for, in real time and in fast mode alike.
        device::SetInputGate(limit != 0 ? static_cast<long>(limit) : -1);
    }
    const std::int32_t started =
        session.module.record(toFile ? path.c_str() : u"", options.traceColor, options.backColor);
    if (started != WF_DONE) {
        session.module.recordStop();
        device::SetInputGate(-1);
        // The module opens the device and queues its buffer before it touches the file, so a
        // device that fails leaves a file that was there as it was; one that this run created
        // is removed (the file itself, never a link to it).
        if (toFile && !existed) RemoveCreatedFile(options.file);
        session.frames.RemoveIfUnused();
        return Report({started == WF_ERR_FILE ? kExitFile : kExitDevice,
                       CaptureStartFailure(started, options)});
    }
    // The sound device answered the probe but not this open: nothing of it is kept.
    if (const std::string notice = device::InputFallbackNotice(); !notice.empty()) {
        session.module.recordStop();
        device::SetInputGate(-1);
        if (toFile && !existed) RemoveCreatedFile(options.file);
        session.frames.RemoveIfUnused();
        return Report({kExitDevice, "No sound device could be used for recording: " +
                                        FallbackReason(notice) + kSilenceHint});
    }
    if (stepper) stepper->Start();
    if (!inputNote.empty()) Say("%s\n", inputNote.c_str());
    std::string start = toFile ? "Recording into " + RecordingName(options) : "Showing the capture";
    start += " from " + InputDescription(options) + " at " + CaptureFormatText(", ");
    if (limit != 0)
        start += " for " + Seconds(static_cast<double>(limit) * kCaptureBlockSeconds) + " s";
    Say("%s.\n", start.c_str());

    SessionPass pass;
    pass.advance = [&](milliseconds wait, milliseconds* eventWait, Problem* failure) {
        if (stepper) {
            *eventWait = milliseconds(0);
            const StepState state = stepper->Advance(kStepWait, failure);
            if (state == StepState::kFailed) return PassState::kFailed;
            return state == StepState::kFinished ? PassState::kFinished : PassState::kRunning;
        }
        if (limit == 0) return PassState::kRunning;
        // In real time, until the last block is due, the pass waits for keys and signals,
        // which end that wait at once; only the last block is waited for on the device, so
        // the end is not missed. Fast devices are always waited for on the device.
        const std::uint64_t handled = device::GetInputStats().data_messages;
        if (handled >= limit) return PassState::kFinished;
        const milliseconds beforeLast(static_cast<std::int64_t>(
            static_cast<double>(limit - handled - 1) * kCaptureBlockSeconds * 1000.0));
        if (!options.fast && beforeLast >= kDeviceWaitLimit) {
            *eventWait = std::min(wait, beforeLast);
            return PassState::kRunning;
        }
        *eventWait = milliseconds(0);
        return device::WaitInputData(limit, std::min(wait, kDeviceWaitLimit)) ? PassState::kFinished
                                                                              : PassState::kRunning;
    };
    pass.onKey = [](Key key) {
        return key == Key::kQuit || key == Key::kEnter ? KeyAction::kStop : KeyAction::kNone;
    };
    LossWatch losses;
    pass.status = [&](bool live) {
        losses.Check();
        return CaptureStatus(options, limit, live);
    };
    pass.gone = [] { return device::InputDeviceLost(); };
    const LoopEnd end = RunSessionLoop(session, pass, &problem);
    int exitStatus = kExitOk;
    if (end == LoopEnd::kFailed) exitStatus = Report(problem);
    const bool lost = device::InputDeviceLost();
    // Every way out of the loop comes here, so the file's header is always completed.
    const std::int32_t blocks = session.module.recordStop();
    if (toFile) TrimToWholeBlocks(options.file);
    device::SetInputGate(-1);
    session.view->Finish(CaptureStatus(options, limit, false));
    session.module.Unload();
    stepper.reset();

    if (lost) {
        exitStatus =
            Report({kExitDevice, "The sound device went away after " + std::to_string(blocks) +
                                     " blocks; what was captured before is complete."});
    }
    losses.Check(true);
    if (!ReportRecording(options, blocks, losses.Summary(), &problem)) {
        const int fileStatus = Report(problem);
        if (exitStatus == kExitOk) exitStatus = fileStatus;
    }
    if (!FinishScreen(options, session, &problem)) {
        const int screenStatus = Report(problem);
        if (exitStatus == kExitOk) exitStatus = screenStatus;
    }
    return exitStatus;
}

}  // namespace
}  // namespace quorvel::host
