// The output side of the waveform device: the play queue and its pacing.
#ifndef QUORVEL_DEVICE_OUTPUT_DEVICE_H
#define QUORVEL_DEVICE_OUTPUT_DEVICE_H

#include <cstdint>
#include <memory>

#include "core/wave_device.h"

namespace quorvel::device::detail {

// What keeps the screen as drawn for each block not yet heard, for hosts that show what is heard
// (the host API's, over the screen's copies). The core says only where in its stream each block
// starts, under the device's lock; see OutputDevice::QueueLocked.
class StreamMarks {
  public:
    virtual ~StreamMarks() = default;
    // The screen as it is now belongs to the block whose first byte is `position` bytes into
    // the stream; one already kept for that block is replaced only when `replace` says so.
    virtual void Keep(std::uint64_t position, bool replace) = 0;
    // Keeps one only for a block beyond the newest kept.
    virtual void KeepIfNew(std::uint64_t position) = 0;
    virtual void Clear() = 0;
};
// While set, each output device keeps marks made by `make`; null (at start): none are kept.
void SetStreamMarksMaker(std::shared_ptr<StreamMarks> (*make)());

class OutputDevice final : public WaveDevice, public PlaybackDevice {
  public:
    OutputDevice(const WAVEFORMATEX& format, DWORD_PTR callback, DWORD_PTR instance,
                 std::shared_ptr<PlaybackTap> tap);

    MMRESULT SetPaused(bool paused);  // waveOutPause, waveOutRestart
    MMRESULT Reset();

    std::size_t ReadPlayback(std::uint8_t* out, std::size_t bytes) override;
    Supply Outlook() override;
    void NoteSilence(std::size_t frames, bool underrun) override;

    // The marks and where in the stream the byte heard now is; false when the screen as it is
    // should be shown instead: paused, lost, no marks kept, or all played and heard.
    bool Heard(std::shared_ptr<StreamMarks>* marks, std::uint64_t* position);

  private:
    void QueueLocked(WAVEHDR* header) override;
    void LostLocked() override;
    void DeliveringLocked(const Message& message) override;
    void DeliveredLocked(const Message& message) override;

    bool AwaitsBackendLocked(const Message& message) override;
    Clock::duration WaitLocked(std::uint64_t unheard, std::uint64_t taken) override;
    std::uint64_t TakenLocked() const override { return streamBytes_; }

    void MarkDoneLocked(WAVEHDR* header, bool played, std::uint64_t streamEnd = 0);
    void ForgetRequeueLocked(Message& message);
    Clock::duration DurationOf(std::uint64_t bytes) const;

    const std::shared_ptr<PlaybackTap> tap_;  // the sinks; null when none
    const unsigned bytesPerSecond_;
    bool paused_ = false;
    std::size_t playedOfHead_ = 0;  // bytes of queue_.front() played so far
    // Done messages of blocks played to their end, pending or being delivered.
    std::size_t requeuesAwaited_ = 0;
    std::uint64_t streamBytes_ = 0;       // taken by the backend since the open
    std::shared_ptr<StreamMarks> marks_;  // null while no host wants them
    // While a played block's done message is delivered: where the block after it starts, the
    // one whose trace its callback draws, and whether the callback queued a block.
    bool deliveringPlayed_ = false;
    std::uint64_t soundingFrom_ = 0;
    bool keptInCallback_ = false;
    // The heard and taken positions as last asked, and since when both have stood there.
    std::uint64_t lastHeard_ = 0;
    std::uint64_t lastTaken_ = 0;
    Clock::time_point heardMovedAt_{};
};

}  // namespace quorvel::device::detail

#endif
