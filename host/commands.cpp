#include "commands.h"

#include <fcntl.h>
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
constexpr std::uint64_t kCaptureBlockBytes = 4000;
constexpr std::uint64_t kCaptureHeaderBytes = 44;
constexpr double kCaptureBlockSeconds = 0.25;

void Error(const std::string& sentence) {
    std::fprintf(stderr, "quorvel: %s\n", sentence.c_str());
}

void Warn(const std::string& sentence) {
    std::fprintf(stderr, "quorvel: warning: %s\n", sentence.c_str());
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

std::string BlockCount(std::uint64_t blocks) {
    return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::int64_t FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

// A file the command will write: it must not be a folder, and its folder must exist. Checked
// before the session so a long playback or recording does not end in a late failure.
bool CheckTarget(const std::string& path, const char* what, std::string* error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        *error = std::string("The ") + what + " " + Quoted(path) + " is a folder.";
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = std::string("Cannot write the ") + what + " " + Quoted(path) + ": its folder " +
                 Quoted(folder) + " does not exist.";
        return false;
    }
    return true;
}

// The checks and set-up that play and record share, in the order a user would fix them.
struct Session {
    Module module;
    FrameWriter frames;
    SignalPipe signals;
    std::unique_ptr<KeyReader> keys;
    std::unique_ptr<LiveView> view;
};

int CheckOutputFiles(const SessionOptions& options, Session& session) {
    std::string error;
    if (!options.png.empty() && !CheckTarget(options.png, "PNG file", &error)) {
        Error(error);
        return kExitFile;
    }
    if (!options.frames.empty() && !session.frames.Open(options.frames, &error)) {
        Error(error);
        return kExitFile;
    }
    return kExitOk;
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
        case WF_ERR_FILE: {
            // The module cannot say why; trying the same open here can.
            const int fd =
                ::open(options.file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
            if (fd < 0) {
                return "Cannot create " + Quoted(options.file) +
                       " for the recording: " + std::strerror(errno) + ".";
            }
            ::close(fd);
            return "The module could not create " + Quoted(options.file) + " for the recording.";
        }
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
    if (options.output.kind == OutputDevice::Kind::kFile &&
        SameFile(options.file, options.output.path)) {
        Error("The output file " + Quoted(options.output.path) + " is the file being played.");
        return kExitUsage;
    }
    for (const std::string& warning : report.warnings) Warn(warning);

    Session session;
    if (const int status = CheckOutputFiles(options, session); status != kExitOk) return status;
    DeviceProblem problem;
    if (!ApplyOutput(options.output, options.fast, &problem)) {
        Error(problem.sentence);
        return problem.exitCode;
    }
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
        if (quit || signal != 0) break;
        session.view->Update(PlayStatus(report, name, paused, true), toggled);
    }
    // A lost sound device returns its blocks without messages, which looks like the end.
    const bool lost = device::OutputDeviceLost();
    const device::OutputStats stats = device::GetOutputStats();
    session.view->Finish(PlayStatus(report, name, paused && !finished, false));
    // Unloading the module ends a playback still running (after q or a signal).
    session.module.Unload();
    stepper.reset();

    if (lost) {
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
    std::string error;
    if (toFile && !CheckTarget(options.file, "recording", &error)) {
        Error(error);
        return kExitFile;
    }
    Session session;
    if (const int status = CheckOutputFiles(options, session); status != kExitOk) return status;
    DeviceProblem problem;
    if (!ApplyInput(options.input, options.fast, &problem)) {
        Error(problem.sentence);
        return problem.exitCode;
    }
    // Noted before anything creates it, so a start that fails removes only a file it made.
    const bool existed = toFile && FileSize(options.file) >= 0;
    ModulePath path;
    if (toFile && !path.SetForWriting(options.file, &error)) {
        Error(error);
        return kExitFile;
    }
    const std::string title =
        toFile ? "quorvel record " + BaseName(options.file) : std::string("quorvel monitor");
    if (const int status = StartSession(options, title, session); status != kExitOk) {
        return status;
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
        // The module creates the file before it opens the device; a recording that never
        // started leaves no empty file behind (one that was there is already overwritten).
        if (toFile && !existed) ::unlink(options.file.c_str());
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
