#include "frames.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "quorvel/device.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;

// The blocks the module has queued since the last call; each was drawn just before. Empties the
// journal so it does not grow with the playback.
std::uint64_t TakeQueuedBlocks() {
    const std::vector<std::string> names = device::JournalNames();
    const auto queued = std::count(names.begin(), names.end(), "waveOutWrite");
    if (!names.empty()) device::ClearJournal();
    return static_cast<std::uint64_t>(queued);
}

}  // namespace

bool FrameWriter::Open(const std::string& directory, std::string* error) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            *error = "The frames folder \"" + directory + "\" is a file, not a folder.";
            return false;
        }
    } else if (::mkdir(directory.c_str(), 0777) != 0) {
        *error =
            "Cannot create the frames folder \"" + directory + "\": " + std::strerror(errno) + ".";
        return false;
    }
    directory_ = directory;
    return true;
}

bool FrameWriter::Write(std::string* error) {
    char name[32];
    std::snprintf(name, sizeof name, "/%05llu.png", static_cast<unsigned long long>(count_));
    if (!device::WriteScreenPng(directory_ + name, error)) return false;
    ++count_;
    return true;
}

PlaybackStepper::~PlaybackStepper() {
    if (!prepared_) return;
    device::SetOutputGate(-1);
    device::EnableJournal(false);
    device::ClearJournal();
}

void PlaybackStepper::Prepare() {
    prepared_ = true;
    device::EnableJournal(true);
    device::ClearJournal();
    device::SetOutputGate(0);
}

StepState PlaybackStepper::Advance(std::chrono::milliseconds timeout, std::string* error) {
    // The module draws a block just before it queues it; held at the gate, the device cannot
    // complete it, so nothing else is drawn while the frame is saved.
    const std::uint64_t queued = TakeQueuedBlocks();
    if (queued > 0) {
        if (!frames_.Write(error)) return StepState::kFailed;
        frames_.AddMissed(queued - 1);
        device::SetOutputGate(1);
        return StepState::kRunning;
    }
    // Idle means no block is queued: the last one has played and no other will be drawn.
    return device::WaitOutputIdle(timeout) ? StepState::kFinished : StepState::kRunning;
}

CaptureStepper::~CaptureStepper() {
    if (prepared_) device::SetInputGate(-1);
}

void CaptureStepper::Prepare() {
    prepared_ = true;
    device::SetInputGate(0);
}

void CaptureStepper::Start() {
    device::SetInputGate(1);
}

StepState CaptureStepper::Advance(std::chrono::milliseconds timeout, std::string* error) {
    if (limit_ != 0 && blocksSeen_ >= limit_) return StepState::kFinished;
    // Counted once the module's handler has returned: the block is drawn (and written).
    if (!device::WaitInputData(blocksSeen_ + 1, timeout)) return StepState::kRunning;
    const std::uint64_t filled = device::GetInputStats().buffersFilled;
    if (filled <= blocksSeen_) return StepState::kRunning;
    if (!frames_.Write(error)) return StepState::kFailed;
    frames_.AddMissed(filled - blocksSeen_ - 1);
    blocksSeen_ = filled;
    if (limit_ != 0 && blocksSeen_ >= limit_) return StepState::kFinished;
    device::SetInputGate(1);
    return StepState::kRunning;
}

}  // namespace quorvel::host
