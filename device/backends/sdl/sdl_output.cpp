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

#include "core/internal.h"
#include "backends/sdl/sdl_audio.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Far below the sound server's own buffer (a chunk or more), far above a requeue's time.
constexpr auto kRequeueWait = std::chrono::milliseconds(6);

class SdlOutput final : public Backend {
  public:
    SdlOutput() = default;
    ~SdlOutput() override {
        if (device_ == 0) return;
        SdlOutput::Stop();
        // The watch first: once the device is closed SDL reports it stopped.
        watch_.Stop();
        CloseSdlDevice(device_);
    }
    SdlOutput(const SdlOutput&) = delete;
    SdlOutput& operator=(const SdlOutput&) = delete;

    bool Open(BackendDevice& device, const WAVEFORMATEX& format, std::string* error) override {
        std::string problem;
        feed_ = &device;
        SDL_AudioSpec wanted = SdlSpecFor(format);
        wanted.callback = &SdlOutput::Pull;
        wanted.userdata = this;
        if (StartSdlAudio(&problem)) device_ = OpenSdlDevice(false, wanted, &problem);
        if (device_ == 0) {
            *error = "SDL could not open a sound device for " + FormatForPeople(format) +
                     " output (" + problem + ").";
            return false;
        }
        silence_ = format.wBitsPerSample == 8 ? 0x80 : 0;
        frameBytes_ = format.nBlockAlign;
        watch_.Start(device_, [this] {
            feed_->Lost(
                "SDL reports that the output sound device stopped (its sound server or "
                "card went away)");
        });
        return true;
    }

    void Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = false;
        }
        SDL_PauseAudioDevice(device_, 0);
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
        // SDL holds the device's lock while its callback runs: once paused, no pull is running.
        SDL_PauseAudioDevice(device_, 1);
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
        }
        std::size_t played = feed_->Transfer(stream, length);
        if (played == length) return;
        BackendDevice::Supply supply = feed_->Outlook();
        const Clock::time_point deadline = Clock::now() + kRequeueWait;
        while (played < length && BackendDevice::AudioExpected(supply)) {
            if (supply == BackendDevice::Supply::kRequeueDue && !WaitForWake(deadline)) break;
            played += feed_->Transfer(stream + played, length - played);
            supply = feed_->Outlook();
        }
        if (played == length) return;
        std::memset(stream + played, silence_, length - played);
        feed_->NoteSilence((length - played) / frameBytes_, BackendDevice::AudioExpected(supply));
    }

    // False once the deadline has passed or the backend is stopping.
    bool WaitForWake(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool woken =
            wakeup_.wait_until(lock, deadline, [this] { return woken_ || stopping_; });
        woken_ = false;
        return woken && !stopping_;
    }

    BackendDevice* feed_ = nullptr;
    SDL_AudioDeviceID device_ = 0;
    std::uint8_t silence_ = 0;
    std::size_t frameBytes_ = 1;
    bool raised_ = false;  // only SDL's thread uses it
    SdlDeviceWatch watch_;

    std::mutex mutex_;
    std::condition_variable wakeup_;
    bool woken_ = false;
    bool stopping_ = false;
};

}  // namespace

std::unique_ptr<Backend> CreateSdlOutput() {
    return std::make_unique<SdlOutput>();
}

}  // namespace quorvel::device::detail
