// One PNG of the screen for every block the module draws, in real time and in fast mode alike.
// The virtual devices are stepped through their gates one block at a time, so no block is drawn
// before the previous one has been saved. A sound device has no gate and cannot be held: there a
// block drawn while the previous frame is being saved gets no frame of its own, and is counted.
#ifndef QUORVEL_HOST_FRAMES_H
#define QUORVEL_HOST_FRAMES_H

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/problem.h"

namespace quorvel::host {

// Writes the screen as DIR/00000.png, DIR/00001.png, ...
class FrameWriter {
  public:
    // Checks that the folder is one this user can write, or can be created (its parent must
    // exist); creates nothing.
    bool Check(const std::string& directory, Problem* problem);
    // Creates the checked folder when it is missing; true at once when there is none.
    bool Open(Problem* problem);
    // Removes the folder again when Open created it and no frame was written.
    void RemoveIfUnused();
    bool Write(Problem* problem);
    std::uint64_t count() const { return count_; }
    // Blocks drawn that got no frame of their own.
    std::uint64_t missed() const { return missed_; }
    void AddMissed(std::uint64_t blocks) { missed_ += blocks; }

  private:
    std::string directory_;
    bool created_ = false;
    std::uint64_t count_ = 0;
    std::uint64_t missed_ = 0;
};

enum class StepState { kRunning, kFinished, kFailed };

// Playback: the output device completes a block only when let through its gate, and its count
// of done messages handled shows when the module has drawn the block that sounds next.
class PlaybackStepper {
  public:
    explicit PlaybackStepper(FrameWriter& frames) : frames_(frames) {}
    PlaybackStepper(const PlaybackStepper&) = delete;
    PlaybackStepper& operator=(const PlaybackStepper&) = delete;
    ~PlaybackStepper();

    // Before PlayWavWaveForm.
    void Prepare();
    // Saves the frame of a block drawn since the last call and lets the device play it out;
    // otherwise waits up to `timeout`. kFinished once playback has run out.
    StepState Advance(std::chrono::milliseconds timeout, Problem* problem);

  private:
    FrameWriter& frames_;
    std::uint64_t queuedBefore_ = 0;  // blocks queued before this playback
    std::uint64_t doneAwaited_ = 0;   // done messages handled once the next block is drawn
    bool prepared_ = false;
};

// Capture: the input device fills a buffer only when let through its gate, and the module has
// drawn a block once the device reports its data message handled.
class CaptureStepper {
  public:
    // `limit`: blocks to capture, 0 for no limit.
    CaptureStepper(FrameWriter& frames, std::uint64_t limit) : frames_(frames), limit_(limit) {}
    CaptureStepper(const CaptureStepper&) = delete;
    CaptureStepper& operator=(const CaptureStepper&) = delete;
    ~CaptureStepper();

    // Before WaveRecordWaveForm (and after the device statistics were reset).
    void Prepare();
    // After a successful WaveRecordWaveForm.
    void Start();
    // kFinished once `limit` blocks have been saved.
    StepState Advance(std::chrono::milliseconds timeout, Problem* problem);

  private:
    FrameWriter& frames_;
    const std::uint64_t limit_;
    std::uint64_t blocksSeen_ = 0;
    bool prepared_ = false;
};

}  // namespace quorvel::host

#endif
