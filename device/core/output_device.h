// The output side of the waveform device: the play queue and its pacing.
#ifndef QUORVEL_DEVICE_OUTPUT_DEVICE_H
#define QUORVEL_DEVICE_OUTPUT_DEVICE_H

#include <memory>

#include "core/wave_device.h"
#include "screen/drawn_states.h"

namespace quorvel::device::detail {

class OutputDevice final : public WaveDevice, public PlaybackDevice {
  public:
    OutputDevice(const WAVEFORMATEX& format, DWORD_PTR callback, DWORD_PTR instance,
                 std::shared_ptr<OutputSink> sink);

    MMRESULT SetPaused(bool paused, JournalLine& call);  // waveOutPause, waveOutRestart
    MMRESULT Reset(JournalLine& call);

    std::size_t ReadPlayback(std::uint8_t* out, std::size_t bytes) override;
    Supply Outlook() override;
    void NoteSilence(std::size_t frames, bool underrun) override;

    // Copies the screen as drawn for the block heard now into *image; false when the screen as
    // it is should be shown instead: paused, lost, nothing kept, or all played and heard.
    bool PresentedScreen(ScreenImage* image);

  private:
    void QueueLocked(WAVEHDR* header) override;
    void LostLocked() override;
    void DeliveringLocked(const Message& message) override;
    void DeliveredLocked(const Message& message) override;

    void MarkDoneLocked(WAVEHDR* header, bool played, std::uint64_t streamEnd = 0);
    void HoldEarlyDoneLocked(const WAVEHDR& header);
    bool ReleaseHeldLocked();
    void ForgetRequeueLocked(Message& message);

    const std::shared_ptr<OutputSink> sink_;
    const unsigned bytesPerSecond_;
    bool paused_ = false;
    std::size_t playedOfHead_ = 0;  // bytes of queue_.front() played so far
    // Done messages of blocks played to their end, pending or being delivered.
    std::size_t requeuesAwaited_ = 0;
    Clock::time_point lastPlayedDone_{};  // when the last one for a played block was delivered
    std::uint64_t streamBytes_ = 0;       // taken by the backend since the open
    DrawnStates drawn_;                   // the screen drawn for each block not yet heard
    // While a played block's done message is delivered: where the block after it starts, the
    // one whose trace its callback draws, and whether the callback queued a block.
    bool deliveringPlayed_ = false;
    std::uint64_t soundingFrom_ = 0;
    bool keptInCallback_ = false;
};

}  // namespace quorvel::device::detail

#endif
