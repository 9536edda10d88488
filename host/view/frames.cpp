#include "view/frames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "quorvel/device.hpp"
#include "cli/text.h"

namespace quorvel::host {

namespace device = quorvel::device;

bool FrameWriter::Check(const std::string& directory, Problem* problem) {
    struct stat info {};
    std::string writable = directory;
    if (::stat(directory.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            return Fail(problem, kExitFile,
                        "The frames folder " + Quoted(directory) + " is a file, not a folder.");
        }
    } else {
        const std::size_t slash = directory.find_last_of('/', directory.find_last_not_of('/'));
        writable = slash == std::string::npos ? "." : directory.substr(0, slash + 1);
        if (::stat(writable.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return Fail(problem, kExitFile,
                        "Cannot create the frames folder " + Quoted(directory) + ": its parent " +
                            Quoted(writable) + " is not a folder that exists.");
        }
    }
    // Found now, not after the first block has been drawn.
    if (::access(writable.c_str(), W_OK | X_OK) != 0) {
        return Fail(
            problem, kExitFile,
            "Cannot write frames into " + Quoted(writable) + ": " + std::strerror(errno) + ".");
    }
    directory_ = directory;
    return true;
}

bool FrameWriter::Open(Problem* problem) {
    if (directory_.empty()) return true;
    struct stat info {};
    if (::stat(directory_.c_str(), &info) == 0) return true;
    if (::mkdir(directory_.c_str(), 0777) != 0) {
        return Fail(problem, kExitFile,
                    "Cannot create the frames folder " + Quoted(directory_) + ": " +
                        std::strerror(errno) + ".");
    }
    created_ = true;
    return true;
}

void FrameWriter::RemoveIfUnused() {
    if (created_ && count_ == 0) ::rmdir(directory_.c_str());
}

bool FrameWriter::Write(Problem* problem) {
    char name[32];
    std::snprintf(name, sizeof name, "/%05llu.png", static_cast<unsigned long long>(count_));
    if (std::string error; !device::WriteScreenPng(directory_ + name, &error)) {
        return Fail(problem, kExitFile, error);
    }
    ++count_;
    return true;
}

PlaybackStepper::~PlaybackStepper() {
    if (prepared_) device::SetOutputGate(-1);
}

void PlaybackStepper::Prepare() {
    prepared_ = true;
    const device::OutputStats stats = device::GetOutputStats();
    queuedBefore_ = stats.blocks_queued;
    doneAwaited_ = stats.done_messages;
    device::SetOutputGate(0);
}

// The module draws a block's trace as the block starts to sound: the first once the start has
// queued it, each next one in the done message of the block before it. Held at the gate, the
// device completes no block, so nothing else is drawn while the frame is saved.
StepState PlaybackStepper::Advance(std::chrono::milliseconds timeout, Problem* problem) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const device::OutputStats stats = device::GetOutputStats();
        // Counted once the handler has returned: the next block, if any, is drawn.
        const bool started = stats.blocks_queued > queuedBefore_;
        if (started && stats.done_messages >= doneAwaited_) break;
        if (std::chrono::steady_clock::now() >= deadline) return StepState::kRunning;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Idle means no block is queued: the last one has played and no other will be drawn.
    if (device::WaitOutputIdle(std::chrono::milliseconds(0))) return StepState::kFinished;
    if (!frames_.Write(problem)) return StepState::kFailed;
    ++doneAwaited_;
    device::SetOutputGate(1);
    return StepState::kRunning;
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

StepState CaptureStepper::Advance(std::chrono::milliseconds timeout, Problem* problem) {
    if (limit_ != 0 && blocksSeen_ >= limit_) return StepState::kFinished;
    // Counted once the module's handler has returned: the block is drawn (and written).
    if (!device::WaitInputData(blocksSeen_ + 1, timeout)) return StepState::kRunning;
    const std::uint64_t filled = device::GetInputStats().buffers_filled;
    if (filled <= blocksSeen_) return StepState::kRunning;
    if (!frames_.Write(problem)) return StepState::kFailed;
    frames_.AddMissed(filled - blocksSeen_ - 1);
    blocksSeen_ = filled;
    if (limit_ != 0 && blocksSeen_ >= limit_) return StepState::kFinished;
    device::SetInputGate(1);
    return StepState::kRunning;
}

}  // namespace quorvel::host
