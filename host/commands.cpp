#include "commands.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "console.h"
#include "devices.h"
#include "exit_codes.h"
#include "frames.h"
#include "module_loader.h"
#include "module_path.h"
#include "quorvel/device.h"
#include "targets.h"
#include "text.h"
#include "wav_check.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using std::chrono::milliseconds;

// How long one pass of a session loop waits for the device before it looks at the keys and
// redraws: short while a person may press keys or watch, longer when nobody can (input at its
// end, nothing shown), where each pass only costs the machine a wake-up. Signals still end a
// session within one pass.
constexpr milliseconds kPassWait{30};
constexpr milliseconds kUnattendedPassWait{250};
// The same while stepping block by block for frames: short, so fast devices stay fast.
constexpr milliseconds kStepWait{2};
constexpr std::uint64_t kCaptureBlockBytes = kModuleBlockBytes;
constexpr std::uint64_t kCaptureHeaderBytes = kModuleHeaderBytes;
constexpr double kCaptureBlockSeconds = 0.25;

std::int64_t FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

// The checks and set-up that play and record share, in the order a user would fix them.
struct Session {
    Module module;
    FrameWriter frames;
    SignalPipe signals;
    std::unique_ptr<KeyReader> keys;
    std::unique_ptr<LiveView> view;
};

// The PNG and the frames folder: checked before anything is opened, created only later.
int CheckOutputFiles(const SessionOptions& options, Session& session) {
    TargetProblem problem;
    if (!options.png.empty() &&
        !CheckTargetFile(options.png, TargetKind::kPng, "PNG file", &problem)) {
        Error(problem.sentence);
        return problem.exitCode;
    }
    std::string error;
    if (!options.frames.empty() && !session.frames.Check(options.frames, &error)) {
        Error(error);
        return kExitFile;
    }
    return kExitOk;
}

// Every file the command writes is a file of its own, and none is a file it reads.
int CheckPathsDistinct(const std::vector<NamedPath>& paths) {
    TargetProblem problem;
    if (CheckDistinct(paths, &problem)) return kExitOk;
    Error(problem.sentence);
    return problem.exitCode;
}

int StartSession(const SessionOptions& options, const std::string& title, Session& session) {
    std::string error;
    if (!session.module.Load(options.modulePath, &error)) {
        Error(error);
        return kExitDevice;
    }
    session.view = MakeView(options.view, options.backColor, title, &error);
    if (!session.view) {
        Error(error);
        return options.view == ViewKind::kWindow ? kExitDevice : kExitUsage;
    }
    session.signals.Install();
    session.keys = std::make_unique<KeyReader>();
    return kExitOk;
}

milliseconds PassWait(const Session& session) {
    const bool attended = session.keys->fd() >= 0 || session.view->Shown();
    return attended ? kPassWait : kUnattendedPassWait;
}

std::vector<Key> NextKeys(Session& session, milliseconds wait, int* signal) {
    Events events = WaitForEvents(*session.keys, session.signals, wait);
    session.view->PollKeys(&events.keys);
    if (events.signal != 0) *signal = events.signal;
    return events.keys;
}

int FinishScreen(const SessionOptions& options, const Session& session) {
    if (!options.frames.empty()) {
        std::printf("Wrote %" PRIu64 " frame(s) to %s.\n", session.frames.count(),
                    Quoted(options.frames).c_str());
        if (session.frames.missed() != 0) {
            Warn(std::to_string(session.frames.missed()) +
                 " drawn block(s) got no frame: a sound device cannot be held between blocks "
                 "(the virtual devices, e.g. --output null, can).");
        }
    }
    if (options.png.empty()) return kExitOk;
    std::string error;
    if (!device::WriteScreenPng(options.png, &error)) {
        Error(error);
        return kExitFile;
    }
    std::printf("Wrote the screen to %s.\n", Quoted(options.png).c_str());
    return kExitOk;
}

// The default device as the services opened it.
std::string BackendDescription(const std::string& backend, const char* direction) {
    if (backend == "sdl") return std::string("the sound device's ") + direction;
    if (backend == "virtual") return std::string("the virtual ") + direction + " (no sound device)";
    return std::string("the default ") + direction + (backend.empty() ? "" : " (" + backend + ")");
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
    }
    return options.outputText;
}

// `live`: the keys are still read, so the line says what they do.
std::string PlayStatus(const WavReport& report, const std::string& name, bool paused, bool live) {
    const device::OutputStats stats = device::GetOutputStats();
    const double bytesPerSecond =
        static_cast<double>(report.format.samplesPerSec) * report.format.blockAlign;
    const double elapsed = static_cast<double>(stats.bytesPlayed) / bytesPerSecond;
    return std::string(paused ? "Paused " : "Playing ") + name + "  " + Seconds(elapsed) + " / " +
           Seconds(report.PlaySeconds()) + " s  " + std::to_string(stats.blocksPlayed) + "/" +
           std::to_string(report.blocks) + " blocks" +
           (live ? std::string("  (space: ") + (paused ? "resume" : "pause") + ", q: quit)" : "");
}

std::string InputDescription(const RecordOptions& options) {
    if (options.input.kind != InputDevice::Kind::kDefault)
        return "the " + options.inputText + " input";
    if (options.fast) return "a fast virtual input";
    return BackendDescription(device::ActiveInputBackend(), "input");
}

std::string CaptureStartFailure(std::int32_t result, const RecordOptions& options) {
    const std::string input = "The input device (" + options.inputText + ")";
    switch (result) {
        case WF_ERR_OPEN:
            return input + " could not be opened for 8000 Hz mono 16-bit capture.";
        case WF_ERR_QUEUE:
            return input + " did not accept the capture buffer.";
        case WF_ERR_START:
            return input + " could not start capturing.";
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

void PrintFormatFields(const WavReport& report) {
    const ModuleFormat& format = report.format;
    std::printf("Channels          %u\n", static_cast<unsigned>(format.channels));
    std::printf("Sample rate       %" PRIu32 " Hz\n", format.samplesPerSec);
    std::printf("Bytes per second  %" PRIu32 "\n", format.avgBytesPerSec);
    std::printf("Block align       %u\n", static_cast<unsigned>(format.blockAlign));
    std::printf("Bits per sample   %u\n", static_cast<unsigned>(format.bitsPerSample));
}

}  // namespace

int RunInfo(const std::string& file) {
    const WavReport report = InspectWav(file);
    if (report.formatRead) {
        std::printf("File              %s, %" PRIu64 " bytes\n", file.c_str(), report.fileBytes);
        std::printf("Format            %s\n", FormatTagName(report.formatTag).c_str());
        PrintFormatFields(report);
        if (report.hasDataChunk) {
            std::printf("Data chunk        %" PRIu64 " bytes, samples from byte %" PRIu64 "\n",
                        report.dataBytes, report.dataOffset);
        } else {
            std::printf("Data chunk        none\n");
        }
    }
    if (!report.Playable()) {
        std::fflush(stdout);
        Error(report.problem);
        return kExitFile;
    }
    std::printf("Module plays      %" PRIu64 " bytes from byte 44 in %" PRIu64
                " block(s) of 4000 bytes, %s s\n",
                report.playedBytes, report.blocks, Seconds(report.PlaySeconds()).c_str());
    for (const std::string& warning : report.warnings)
        std::printf("Warning: %s\n", warning.c_str());
    return kExitOk;
}

int RunPlay(const PlayOptions& options) {
    const WavReport report = InspectWav(options.file);
    if (!report.Playable()) {
        Error(report.problem);
        return kExitFile;
    }
    const bool toFile = options.output.kind == OutputDevice::Kind::kFile;
    if (const int status =
            CheckPathsDistinct({{"the file being played", options.file},
                                {"the output file", toFile ? options.output.path : ""},
                                {"the frames folder", options.frames, true},
                                {"the PNG file", options.png}});
        status != kExitOk) {
        return status;
    }
    TargetProblem target;
    if (toFile &&
        !CheckTargetFile(options.output.path, TargetKind::kOutputFile, "output file", &target)) {
        Error(target.sentence);
        return target.exitCode;
    }
    Session session;
    if (const int status = CheckOutputFiles(options, session); status != kExitOk) return status;
    for (const std::string& warning : report.warnings) Warn(warning);

    ModulePath path;
    std::string error;
    if (!path.SetForReading(options.file, &error)) {
        Error(error);
        return kExitFile;
    }
    const std::string name = BaseName(options.file);
    if (const int status = StartSession(options, "quorvel play " + name, session);
        status != kExitOk) {
        return status;
    }
    // Only now, with every check passed, is anything opened for writing.
    DeviceProblem problem;
    if (!ApplyOutput(options.output, options.fast, &problem)) {
        Error(problem.sentence);
        return problem.exitCode;
    }
    if (!session.frames.Open(&error)) {
        Error(error);
        return kExitFile;
    }

    device::ResetStats();
    std::optional<PlaybackStepper> stepper;
    if (!options.frames.empty()) {
        stepper.emplace(session.frames);
        stepper->Prepare();
    }
    session.module.play(path.c_str(), options.traceColor, options.backColor);
    // The module reports nothing: a device that would not open shows only in the statistics.
    if (device::GetOutputStats().opened == 0) {
        Error("The output device (" + options.outputText + ") could not be opened for " +
              std::to_string(report.format.samplesPerSec) + " Hz, " +
              std::to_string(report.format.channels) + " channel(s), " +
              std::to_string(report.format.bitsPerSample) + "-bit playback.");
        return kExitDevice;
    }

    // The device is open now, so the services can say which one it is.
    const std::string notice = device::OutputFallbackNotice();
    if (!notice.empty()) std::printf("%s\n", notice.c_str());
    std::printf("Playing %s (%u ch, %" PRIu32 " Hz, %u-bit): %" PRIu64 " blocks, %s s, on %s.\n",
                Quoted(options.file).c_str(), static_cast<unsigned>(report.format.channels),
                report.format.samplesPerSec, static_cast<unsigned>(report.format.bitsPerSample),
                report.blocks, Seconds(report.PlaySeconds()).c_str(),
                OutputDescription(options).c_str());
    std::fflush(stdout);

    int exitStatus = kExitOk;
    bool paused = false;
    bool finished = false;
    int signal = 0;
    while (true) {
        if (stepper) {
            const StepState state = stepper->Advance(kStepWait, &error);
            if (state == StepState::kFailed) {
                Error(error);
                exitStatus = kExitFile;
                break;
            }
            finished = state == StepState::kFinished;
        } else {
            finished = device::WaitOutputIdle(PassWait(session));
        }
        if (finished) break;
        bool quit = false;
        bool toggled = false;
        for (const Key key : NextKeys(session, milliseconds(0), &signal)) {
            if (key == Key::kSpace) {
                session.module.playStop();
                paused = !paused;
                toggled = true;
            } else if (key == Key::kQuit) {
                quit = true;
            }
        }
        // A sink that stopped taking bytes ends the playback: what follows would be lost.
        if (quit || signal != 0 || !device::OutputSinkError().empty()) break;
        session.view->Update(PlayStatus(report, name, paused, true), toggled);
    }
    // A lost sound device returns its blocks without messages, which looks like the end.
    const bool lost = device::OutputDeviceLost();
    const device::OutputStats stats = device::GetOutputStats();
    session.view->Finish(PlayStatus(report, name, paused && !finished, false));
    // Unloading the module ends a playback still running (after q or a signal).
    session.module.Unload();
    stepper.reset();

    const std::string sinkError = device::OutputSinkError();
    if (!sinkError.empty()) {
        Error(sinkError);
        exitStatus = kExitFile;
    } else if (lost) {
        Error("The sound device went away after " + std::to_string(stats.blocksPlayed) + " of " +
              std::to_string(report.blocks) + " blocks of " + Quoted(options.file) + ".");
        exitStatus = kExitDevice;
    } else if (finished) {
        std::printf("Played %s (%s s) of %s.\n", BlockCount(stats.blocksPlayed).c_str(),
                    Seconds(report.PlaySeconds()).c_str(), Quoted(options.file).c_str());
    } else {
        std::printf("Stopped after %" PRIu64 " of %s.\n", stats.blocksPlayed,
                    BlockCount(report.blocks).c_str());
    }
    const int screenStatus = FinishScreen(options, session);
    return exitStatus != kExitOk ? exitStatus : screenStatus;
}

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
    DeviceProblem problem;
    if (!ApplyInput(options.input, options.fast, &problem)) {
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
    ModulePath path;
    if (toFile && !path.SetForWriting(options.file, &error)) {
        Error(error);
        session.frames.RemoveIfUnused();
        return kExitFile;
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
    if (stepper) stepper->Start();
    const std::string notice = device::InputFallbackNotice();
    if (!notice.empty()) std::printf("%s\n", notice.c_str());
    std::string start = toFile ? "Recording into " + Quoted(options.file) : "Showing the capture";
    start += " from " + InputDescription(options) + " at 8000 Hz, mono, 16-bit";
    if (limit != 0)
        start += " for " + Seconds(static_cast<double>(limit) * kCaptureBlockSeconds) + " s";
    std::printf("%s.\n", start.c_str());
    std::fflush(stdout);

    int exitStatus = kExitOk;
    int signal = 0;
    while (true) {
        bool reached = false;
        if (stepper) {
            const StepState state = stepper->Advance(kStepWait, &error);
            if (state == StepState::kFailed) {
                Error(error);
                exitStatus = kExitFile;
                break;
            }
            reached = state == StepState::kFinished;
        } else if (limit != 0) {
            reached = device::WaitInputData(limit, PassWait(session));
        }
        if (reached) break;
        bool stop = false;
        const milliseconds wait = (stepper || limit != 0) ? milliseconds(0) : PassWait(session);
        for (const Key key : NextKeys(session, wait, &signal)) {
            stop = stop || key == Key::kQuit || key == Key::kEnter;
        }
        if (stop || signal != 0 || device::InputDeviceLost()) break;
        session.view->Update(CaptureStatus(options, limit, true), false);
    }
    const bool lost = device::InputDeviceLost();
    // Every way out of the loop comes here, so the file's header is always completed.
    const std::int32_t blocks = session.module.recordStop();
    if (toFile) TrimToWholeBlocks(options.file);
    device::SetInputGate(-1);
    session.view->Finish(CaptureStatus(options, limit, false));
    session.module.Unload();
    stepper.reset();

    const double seconds = static_cast<double>(blocks) * kCaptureBlockSeconds;
    if (lost) {
        Error("The sound device went away after " + std::to_string(blocks) +
              " blocks; what was captured before is complete.");
        exitStatus = kExitDevice;
    }
    if (!toFile) {
        std::printf("Showed %s (%s s).\n", BlockCount(static_cast<std::uint64_t>(blocks)).c_str(),
                    Seconds(seconds).c_str());
    } else {
        const std::int64_t size = FileSize(options.file);
        const std::uint64_t expected =
            kCaptureHeaderBytes + static_cast<std::uint64_t>(blocks) * kCaptureBlockBytes;
        std::printf("Recorded %s (%s s) into %s, %" PRId64 " bytes.\n",
                    BlockCount(static_cast<std::uint64_t>(blocks)).c_str(),
                    Seconds(seconds).c_str(), Quoted(options.file).c_str(), size);
        if (size < 0 || static_cast<std::uint64_t>(size) < expected) {
            const std::int64_t kept =
                size > static_cast<std::int64_t>(kCaptureHeaderBytes)
                    ? (size - static_cast<std::int64_t>(kCaptureHeaderBytes)) /
                          static_cast<std::int64_t>(kCaptureBlockBytes)
                    : 0;
            Error("Only " + std::to_string(kept) + " of the " + std::to_string(blocks) +
                  " blocks reached " + Quoted(options.file) +
                  "; the disk may be full or a file-size limit reached.");
            exitStatus = kExitFile;
        }
    }
    const int screenStatus = FinishScreen(options, session);
    return exitStatus != kExitOk ? exitStatus : screenStatus;
}

}  // namespace quorvel::host
