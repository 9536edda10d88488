// record and monitor: the module captures 8000 Hz mono 16-bit blocks, into a file or only for
// the trace, until --seconds, a key or a signal; the file is complete however it ends.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "commands/commands.h"
#include "system/devices.h"
#include "cli/exit_codes.h"
#include "media/input_file.h"
#include "system/module_path.h"
#include "quorvel/device.hpp"
#include "session/session.h"
#include "cli/text.h"
#include "media/wav_check.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using std::chrono::milliseconds;

constexpr std::uint64_t kCaptureBlockBytes = kModuleBlockBytes;
constexpr std::uint64_t kCaptureHeaderBytes = kModuleHeaderBytes;
constexpr double kCaptureBlockSeconds = 0.25;

std::int64_t FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

std::string InputDescription(const RecordOptions& options) {
    if (options.input.kind == InputDevice::Kind::kNamed) {
        return "the sound device " + Quoted(options.input.named.name) + " (" +
               options.input.named.backend + ")";
    }
    if (options.input.kind != InputDevice::Kind::kDefault)
        return "the " + options.inputText + " input";
    if (options.fast) return "a fast virtual input";
    return BackendDescription(device::ActiveInputBackend(), "input");
}

std::string CaptureStartFailure(std::int32_t result, const RecordOptions& options);

constexpr const char* kSilenceHint = "; to watch the trace without sound, use --input silence.";

// The default input falls back on the virtual device's silence when no sound device opens; a
// user who asked for sound must not get a file of silence. The module opens the device once
// for the trace alone (no file is touched) and the services say whether they fell back.
bool SoundInputAnswers(const RecordOptions& options, Session& session, std::string* problem) {
    if (options.input.kind != InputDevice::Kind::kDefault || options.fast) return true;
    device::SetInputGate(0);
    const std::int32_t started = session.module.record(u"", options.traceColor, options.backColor);
    const std::string notice = device::InputFallbackNotice();
    session.module.recordStop();
    device::SetInputGate(-1);
    if (started == WF_DONE && notice.empty()) return true;
    *problem = started != WF_DONE
                   ? CaptureStartFailure(started, options)
                   : "No sound device could be used for recording: " + FallbackReason(notice) +
                         kSilenceHint;
    return false;
}

// Audio the input device dropped (its buffer overflowed while quorvel could not keep up: a
// stall, a stopped process): said once per loss, with where it falls in the recording, and
// again in the summary.
class LossWatch {
  public:
    void Check() {
        const device::InputStats stats = device::GetInputStats();
        const std::uint64_t kept = stats.framesCaptured - stats.framesDropped;
        if (stats.framesDropped > dropped_) {
            const std::uint64_t lost = stats.framesDropped - dropped_;
            total_ += lost;
            ++losses_;
            Warn(Describe(lost) + " of audio " + (lost == 1 ? "was" : "were") + " lost " +
                 Where(keptBefore_, kept) +
                 ": the input device's buffer overflowed while quorvel could not take it in.");
        }
        dropped_ = stats.framesDropped;
        keptBefore_ = kept;
    }
    // For the summary; empty when nothing was lost.
    std::string Summary() const {
        if (losses_ == 0) return {};
        return Describe(total_) + " lost in " + std::to_string(losses_) +
               (losses_ == 1 ? " place" : " places");
    }

  private:
    static std::string Describe(std::uint64_t samples) {
        return std::to_string(samples) + " samples (" +
               Seconds(static_cast<double>(samples) / kCaptureRate) + " s)";
    }
    // Between the samples kept at the last look and those kept now.
    static std::string Where(std::uint64_t from, std::uint64_t to) {
        const std::string first = Seconds(static_cast<double>(from) / kCaptureRate);
        const std::string last = Seconds(static_cast<double>(to) / kCaptureRate);
        return first == last ? "at " + first + " s into the capture"
                             : "between " + first + " s and " + last + " s into the capture";
    }
    static constexpr double kCaptureRate = 8000.0;
    std::uint64_t dropped_ = 0;
    std::uint64_t keptBefore_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t losses_ = 0;
};

std::string CaptureStartFailure(std::int32_t result, const RecordOptions& options) {
    const std::string input = "The input device (" + options.inputText + ")";
    switch (result) {
        case WF_ERR_OPEN:
            return input + " could not be opened for 8000 Hz mono 16-bit capture" + kSilenceHint;
        case WF_ERR_QUEUE:
            return input + " did not accept the capture buffer" + kSilenceHint;
        case WF_ERR_START:
            return input + " could not start capturing" + kSilenceHint;
        case WF_ERR_FILE:
            // The module cannot say why; the file system can.
            return "Cannot record into " + Quoted(options.file) + ": " +
                   WhyNotWritable(options.file) + ".";
        default:
            break;
    }
    return "The module gave the unexpected result " + std::to_string(result) +
           " when starting the capture.";
}

std::string CaptureStatus(const RecordOptions& options, std::uint64_t limit, bool live) {
    const std::uint64_t blocks = device::GetInputStats().buffersFilled;
    std::string status =
        options.file.empty() ? "Monitoring" : "Recording " + BaseName(options.file);
    status += "  " + Seconds(static_cast<double>(blocks) * kCaptureBlockSeconds);
    if (limit != 0) status += " / " + Seconds(static_cast<double>(limit) * kCaptureBlockSeconds);
    status += " s  " + std::to_string(blocks) + " blocks";
    if (!options.file.empty()) {
        status +=
            "  " + std::to_string(std::max<std::int64_t>(0, FileSize(options.file))) + " bytes";
    }
    return live ? status + "  (Enter or q: stop)" : status;
}

// A file-size limit too small for the header and one block would make the start fail after
// the module has replaced the file; found before anything is touched.
bool CheckRoomForRecording(const std::string& path, TargetProblem* problem) {
    constexpr std::uint64_t kSmallestRecording = kCaptureHeaderBytes + kCaptureBlockBytes;
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= kSmallestRecording) {
        return true;
    }
    problem->exitCode = kExitFile;
    problem->sentence = "Cannot record into " + Quoted(path) +
                        ": the file-size limit (ulimit -f) of " + std::to_string(limit.rlim_cur) +
                        " bytes leaves no room for one block (" +
                        std::to_string(kSmallestRecording) + " bytes with the header).";
    return false;
}

// A write cut short by a full disk or a file-size limit leaves part of a block after the last
// whole one; the file is cut back to the whole blocks its header describes.
void TrimToWholeBlocks(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    std::uint8_t dataSize[4];
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        ::pread(fd, dataSize, sizeof dataSize, kCaptureHeaderBytes - 4) == 4) {
        const std::uint64_t whole =
            kCaptureHeaderBytes + (std::uint64_t{dataSize[0]} | std::uint64_t{dataSize[1]} << 8 |
                                   std::uint64_t{dataSize[2]} << 16 |
                                   std::uint64_t{dataSize[3]} << 24);
        if (static_cast<std::uint64_t>(info.st_size) > whole) {
            [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(whole));
        }
    }
    ::close(fd);
}

// The recording, for leaving without the module (a signal while a device call hangs). The
// module rewrites the header after every block, so the file is whole up to its last block but
// for a block being written at that moment, which is cut off.
char recordingPath[4096];
struct stat recordingBefore {};  // st_ino 0: there was no file

bool SameFileState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

std::string CompleteRecordingNow() {
    if (recordingPath[0] == '\0') return {};
    struct stat info {};
    // The module touches the file only once the device has opened.
    if (::stat(recordingPath, &info) != 0) return {};
    if (recordingBefore.st_ino != 0 && SameFileState(info, recordingBefore)) {
        return Quoted(recordingPath) + " was left as it was";
    }
    TrimToWholeBlocks(recordingPath);
    if (::stat(recordingPath, &info) != 0) return {};
    const std::uint64_t blocks =
        static_cast<std::uint64_t>(info.st_size) > kCaptureHeaderBytes
            ? (static_cast<std::uint64_t>(info.st_size) - kCaptureHeaderBytes) / kCaptureBlockBytes
            : 0;
    return "the recording " + Quoted(recordingPath) + " is complete with " + BlockCount(blocks);
}

// What the summary says of the file once the capture has ended; an exit status.
int ReportRecording(const RecordOptions& options, std::int32_t blocks, const std::string& loss) {
    const double seconds = static_cast<double>(blocks) * kCaptureBlockSeconds;
    const std::string lossNote = loss.empty() ? std::string() : "; " + loss;
    if (options.file.empty()) {
        std::fprintf(stderr, "Showed %s (%s s)%s.\n",
                     BlockCount(static_cast<std::uint64_t>(blocks)).c_str(),
                     Seconds(seconds).c_str(), lossNote.c_str());
        return kExitOk;
    }
    const std::int64_t size = FileSize(options.file);
    const std::uint64_t expected =
        kCaptureHeaderBytes + static_cast<std::uint64_t>(blocks) * kCaptureBlockBytes;
    std::fprintf(stderr, "Recorded %s (%s s) into %s, %" PRId64 " bytes%s.\n",
                 BlockCount(static_cast<std::uint64_t>(blocks)).c_str(), Seconds(seconds).c_str(),
                 Quoted(options.file).c_str(), size, lossNote.c_str());
    if (size >= 0 && static_cast<std::uint64_t>(size) >= expected) return kExitOk;
    const std::int64_t kept = size > static_cast<std::int64_t>(kCaptureHeaderBytes)
                                  ? (size - static_cast<std::int64_t>(kCaptureHeaderBytes)) /
                                        static_cast<std::int64_t>(kCaptureBlockBytes)
                                  : 0;
    Error("Only " + std::to_string(kept) + " of the " + std::to_string(blocks) +
          " blocks reached " + Quoted(options.file) +
          "; the disk may be full or a file-size limit reached.");
    return kExitFile;
}

}  // namespace

int RunRecord(const RecordOptions& options) {
    const bool toFile = !options.file.empty();
    if (const int status = CheckPathsDistinct(
            {{"the input file",
              options.input.kind == InputDevice::Kind::kFile ? options.input.path : ""},
             {"the recording", options.file},
             {"the frames folder", options.frames, true},
             {"the PNG file", options.png}});
        status != kExitOk) {
        return status;
    }
    TargetProblem target;
    if (toFile && (!CheckTargetFile(options.file, TargetKind::kRecording, "recording", &target) ||
                   !CheckRoomForRecording(options.file, &target))) {
        Error(target.sentence);
        return target.exitCode;
    }
    Session session;
    if (const int status = CheckOutputFiles(options, session); status != kExitOk) return status;
    if (toFile && options.file.size() < sizeof recordingPath) {
        options.file.copy(recordingPath, options.file.size());
        session.signals.SetTimeoutAction(&CompleteRecordingNow);
    }
    // A file in another format than the capture's is converted first.
    InputDevice input = options.input;
    TempFile convertedInput;
    std::string inputNote;
    if (input.kind == InputDevice::Kind::kFile) {
        std::string problem;
        if (!PrepareInputFile(input.path, &convertedInput, &input.source, &inputNote, &problem)) {
            Error(problem);
            return kExitFile;
        }
    }
    DeviceProblem problem;
    if (!ApplyInput(input, options.fast, &problem)) {
        Error(problem.sentence);
        return problem.exitCode;
    }
    const std::string title =
        toFile ? "quorvel record " + BaseName(options.file) : std::string("quorvel monitor");
    if (const int status = StartSession(options, title, session); status != kExitOk) {
        return status;
    }
    std::string error;
    if (!session.frames.Open(&error)) {
        Error(error);
        return kExitFile;
    }
    // Noted before anything creates it, so a start that fails removes only a file it made.
    struct stat before {};
    const bool existed = toFile && ::stat(options.file.c_str(), &before) == 0;
    if (existed) recordingBefore = before;
    ModulePath path;
    if (toFile && !path.SetForWriting(options.file, &error)) {
        Error(error);
        session.frames.RemoveIfUnused();
        return kExitFile;
    }

    if (std::string noSound; !SoundInputAnswers(options, session, &noSound)) {
        session.frames.RemoveIfUnused();
        Error(noSound);
        return kExitDevice;
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
        Error(CaptureStartFailure(started, options));
        return started == WF_ERR_FILE ? kExitFile : kExitDevice;
    }
    // The sound device answered the probe but not this open: nothing of it is kept.
    if (const std::string notice = device::InputFallbackNotice(); !notice.empty()) {
        session.module.recordStop();
        device::SetInputGate(-1);
        if (toFile && !existed) RemoveCreatedFile(options.file);
        session.frames.RemoveIfUnused();
        Error("No sound device could be used for recording: " + FallbackReason(notice) +
              kSilenceHint);
        return kExitDevice;
    }
    if (stepper) stepper->Start();
    if (!inputNote.empty()) std::fprintf(stderr, "%s\n", inputNote.c_str());
    std::string start = toFile ? "Recording into " + Quoted(options.file) : "Showing the capture";
    start += " from " + InputDescription(options) + " at 8000 Hz, mono, 16-bit";
    if (limit != 0)
        start += " for " + Seconds(static_cast<double>(limit) * kCaptureBlockSeconds) + " s";
    std::fprintf(stderr, "%s.\n", start.c_str());

    const bool fastInput = InputIsFast(options.input, options.fast);
    SessionPass pass;
    pass.advance = [&](milliseconds wait, milliseconds* eventWait, std::string* failure) {
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
        const std::uint64_t handled = device::GetInputStats().dataMessages;
        if (handled >= limit) return PassState::kFinished;
        const milliseconds beforeLast(static_cast<std::int64_t>(
            static_cast<double>(limit - handled - 1) * kCaptureBlockSeconds * 1000.0));
        if (!fastInput && beforeLast >= kDeviceWaitLimit) {
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
    const LoopEnd end = RunSessionLoop(session, pass, &error);
    int exitStatus = kExitOk;
    if (end == LoopEnd::kFailed) {
        Error(error);
        exitStatus = kExitFile;
    }
    const bool lost = device::InputDeviceLost();
    // Every way out of the loop comes here, so the file's header is always completed.
    const std::int32_t blocks = session.module.recordStop();
    if (toFile) TrimToWholeBlocks(options.file);
    device::SetInputGate(-1);
    session.view->Finish(CaptureStatus(options, limit, false));
    session.module.Unload();
    stepper.reset();

    if (lost) {
        Error("The sound device went away after " + std::to_string(blocks) +
              " blocks; what was captured before is complete.");
        exitStatus = kExitDevice;
    }
    losses.Check();
    const int fileStatus = ReportRecording(options, blocks, losses.Summary());
    if (exitStatus == kExitOk) exitStatus = fileStatus;
    const int screenStatus = FinishScreen(options, session);
    return exitStatus != kExitOk ? exitStatus : screenStatus;
}

}  // namespace quorvel::host
