#include "system/devices.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/text.h"
#include "quorvel/device.hpp"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using Kind = DeviceOption::Kind;

// The settings text splits at commas and trims blanks, so a path holding either travels as
// the descriptor opened on it, /proc/self/fd/N, which the services open during the call.
bool FitsSettingsText(const std::string& text) {
    return !text.empty() && text.find(',') == std::string::npos && text.front() != ' ' &&
           text.back() != ' ';
}

class OpenedFile {
  public:
    OpenedFile() = default;
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    ~OpenedFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Open(const std::string& path, int flags) {
        fd_ = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
        return fd_ >= 0;
    }
    // How the settings name the file: its own path, or the descriptor's.
    std::string SettingsPath(const std::string& path) const {
        return fd_ >= 0 && !FitsSettingsText(path) ? "/proc/self/fd/" + std::to_string(fd_) : path;
    }

  private:
    int fd_ = -1;
};

// --fast runs the virtual device, which a sound device by name is not.
// A sound device by name: not with --fast, which runs the virtual device, and not one whose
// name the settings text cannot carry.
bool CheckSoundDevice(const DeviceOption& option, bool fast, Problem* problem) {
    if (option.kind != Kind::kSoundDevice) return true;
    const std::string name = Quoted(option.device.name);
    if (fast) {
        return Fail(problem, kExitUsage,
                    "--fast runs the virtual device, so it cannot be used with the sound device " +
                        name + ".");
    }
    if (!FitsSettingsText(option.device.name)) {
        return Fail(problem, kExitDevice,
                    "The sound device " + name +
                        " cannot be chosen: the device services' settings cannot carry a name "
                        "with a comma or with blanks at its ends.");
    }
    return true;
}

// --fast with the services' default device keeps what they chose for the virtual device (its
// source, sink or FIFO, from their variable) and only makes it fast.
template <typename Settings>
bool FastInForce(Settings settings, bool (*configure)(const Settings&, std::string*),
                 std::string* error, bool* done) {
    *done = std::strcmp(settings.backend, kVirtualBackend) == 0;
    settings.pace = QWD_PACE_FAST;
    return !*done || configure(settings, error);
}

bool Configure(Direction direction, const DeviceOption& option, bool fast, const std::string& text,
               int failureStatus, Problem* problem) {
    std::string error;
    bool done = false;
    if (option.kind == Kind::kServicesDefault && fast) {
        const bool configured = direction == Direction::kOutput
                                    ? FastInForce(device::OutputSettingsInForce(),
                                                  device::ConfigureOutput, &error, &done)
                                    : FastInForce(device::InputSettingsInForce(),
                                                  device::ConfigureInput, &error, &done);
        if (!configured) return Fail(problem, failureStatus, error);
    }
    if (done || text.empty()) return true;
    const qwd_result result = direction == Direction::kOutput
                                  ? qwd_configure_output_text(text.c_str())
                                  : qwd_configure_input_text(text.c_str());
    if (result == QWD_OK) return true;
    return Fail(problem, failureStatus, qwd_last_error());
}

}  // namespace

bool ApplyOutput(const DeviceOption& option, bool fast, Problem* problem) {
    if (!CheckSoundDevice(option, fast, problem)) return false;
    OpenedFile sink;
    // The services append to a sink file; starting it empty makes it hold this run's bytes only.
    if (option.kind == Kind::kSinkFile && !sink.Open(option.path, O_WRONLY | O_CREAT | O_TRUNC)) {
        return Fail(problem, kExitFile,
                    "Cannot create the output file " + Quoted(option.path) + ": " +
                        std::strerror(errno) + ".");
    }
    return Configure(Direction::kOutput, option, fast,
                     SettingsText(Direction::kOutput, option, fast, sink.SettingsPath(option.path)),
                     option.kind == Kind::kSinkFile ? kExitFile : kExitDevice, problem);
}

bool ApplyInput(const DeviceOption& option, bool fast, const std::string& sourceFile,
                Problem* problem) {
    if (!CheckSoundDevice(option, fast, problem)) return false;
    OpenedFile source;
    // One that does not open is left for the services to refuse in their own words.
    if (option.kind == Kind::kSourceFile && !FitsSettingsText(sourceFile)) {
        source.Open(sourceFile, O_RDONLY);
    }
    return Configure(Direction::kInput, option, fast,
                     SettingsText(Direction::kInput, option, fast, source.SettingsPath(sourceFile)),
                     option.kind == Kind::kSourceFile ? kExitFile : kExitDevice, problem);
}

bool OutputIsFast(const DeviceOption& option, bool fast) {
    if (fast || option.kind == Kind::kSilentFast) return true;
    if (option.kind != Kind::kServicesDefault) return false;
    // The services' variable may ask for the fast pace itself.
    return device::OutputSettingsInForce().pace == QWD_PACE_FAST;
}

std::string FallbackReason(const std::string& notice) {
    std::string reason = notice.substr(0, notice.rfind(" The virtual device"));
    if (!reason.empty() && reason.back() == '.') reason.pop_back();
    return reason;
}

std::string PcmRefusal(std::uint16_t channels, std::uint32_t samplesPerSec,
                       std::uint16_t blockAlign, std::uint16_t bitsPerSample) {
    return device::PcmFormatProblem(channels, samplesPerSec, blockAlign, bitsPerSample);
}

}  // namespace quorvel::host
