// The output backend on SDL: the sound device pulls chunks of audio on SDL's thread, and each
// chunk is filled from the device's queue.
//
// The module keeps one block in flight: when a block's last byte is pulled part-way through a
// chunk, the next block only exists once the done message has reached the module's callback
// (on the device's message thread) and the callback has queued it, well under a millisecond
// later. So instead of padding the rest of the chunk with silence at once, the pull waits a
// bounded time for that requeue. Only what is still missing then becomes silence, counted as an
// underrun; silence while paused or idle (before the first block, after the last) is counted
// apart. The module's callback is never called from SDL's thread.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "base/internal.h"
#include "backends/sdl/sdl_audio.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Far below the sound server's own buffer (a chunk or more), far above a requeue's time.
constexpr auto kRequeueWait = std::chrono::milliseconds(6);

class SdlOutput final : public OutputBackend {
  public:
    explicit SdlOutput(std::string name) : name_(std::move(name)) {}
    ~SdlOutput() override {
        if (device_.opened()) SdlOutput::Stop();
    }

    bool Open(PlaybackDevice& device, const WAVEFORMATEX& format, std::string* error) override {
        feed_ = &device;
        silence_ = format.wBitsPerSample == 8 ? 0x80 : 0;
        frameBytes_ = format.nBlockAlign;
        bytesPerSecond_ = format.nSamplesPerSec * format.nBlockAlign;
        return device_.Open(false, name_, format, &SdlOutput::Pull, this, device, error);
    }

    void Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = false;
        }
        device_.Pause(false);
    }

    void Wake() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        wakeup_.notify_one();
    }

    void Stop() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;  // ends a pull's wait at once
        }
        wakeup_.notify_one();
        device_.Pause(true);  // once paused, no pull is running
    }

    // SDL tells nothing of the sound server's latency. A pulled chunk is heard after what the
    // server still held, which on PulseAudio measures about a third of a chunk (85 ms from a
    // pull of 63 ms to the sound at 8000 Hz); it plays out from the pull on.
    std::uint64_t UnheardBytes() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto since =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - lastPull_);
        const std::uint64_t playedSince =
            static_cast<std::uint64_t>(since.count()) * bytesPerSecond_ / 1000000;
        const std::uint64_t atPull = pullBytes_ + pullBytes_ / 3;
        return playedSince < atPull ? atPull - playedSince : 0;
    }

  private:
    static void SDLCALL Pull(void* self, Uint8* stream, int length) {
        static_cast<SdlOutput*>(self)->Fill(stream, static_cast<std::size_t>(length));
    }

    // On SDL's thread.
    void Fill(std::uint8_t* stream, std::size_t length) {
        // SDL can only raise its thread within the ordinary class here; with little buffered
        // ahead, a pull delayed by other work is a gap.
        if (!raised_) {
            RunAheadOfOrdinaryWork();
            raised_ = true;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            woken_ = false;  // from here on a wake means something new
            lastPull_ = Clock::now();
            pullBytes_ = length;
        }
        std::size_t played = feed_->ReadPlayback(stream, length);
        if (played == length) return;
        PlaybackDevice::Supply supply = feed_->Outlook();
        const Clock::time_point deadline = Clock::now() + kRequeueWait;
        while (played < length && PlaybackDevice::AudioExpected(supply)) {
            if (supply == PlaybackDevice::Supply::kRequeueDue && !WaitForWake(deadline)) break;
            played += feed_->ReadPlayback(stream + played, length - played);
            supply = feed_->Outlook();
        }
        if (played == length) return;
        std::memset(stream + played, silence_, length - played);
        feed_->NoteSilence((length - played) / frameBytes_, PlaybackDevice::AudioExpected(supply));
    }

    // False once the deadline has passed or the backend is stopping.
    bool WaitForWake(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool woken =
            wakeup_.wait_until(lock, deadline, [this] { return woken_ || stopping_; });
        woken_ = false;
        return woken && !stopping_;
    }

    PlaybackDevice* feed_ = nullptr;
    std::uint8_t silence_ = 0;
    std::size_t frameBytes_ = 1;
    bool raised_ = false;     // only SDL's thread uses it
    const std::string name_;  // of the device to open; empty: the default one

    std::mutex mutex_;
    std::condition_variable wakeup_;
    bool woken_ = false;
    bool stopping_ = false;
    std::uint64_t bytesPerSecond_ = 0;
    Clock::time_point lastPull_{};
    std::uint64_t pullBytes_ = 0;  // of the latest pull; 0 before the first
    SdlDevice device_;             // last: closed first
};

}  // namespace

std::unique_ptr<OutputBackend> CreateSdlOutput(const BackendRequest& request) {
    return std::make_unique<SdlOutput>(request.device);
}

}  // namespace quorvel::device::detail
