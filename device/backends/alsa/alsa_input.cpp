// Capture through alsa-lib: what the pcm captured goes straight to the device.
#include "backends/alsa/alsa_backend.h"

namespace quorvel::device::detail::alsa {

namespace {

class AlsaInput final : public AlsaBackend<InputBackend, CaptureDevice> {
  public:
    using AlsaBackend::AlsaBackend;
    ~AlsaInput() override { Quit(); }

    void Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (lost_) return;
            // Opened prepared; preparing again would make the pulse plugin connect its stream
            // to the server anew.
            if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) snd_pcm_prepare(pcm_);
            snd_pcm_start(pcm_);
            running_ = true;
            lastRead_ = Clock::now();
        }
        Ring();
    }

    // Capture reads the pcm whatever the device's queue holds (what no buffer takes waits in
    // the device's FIFO), so a queued buffer or an opened gate needs no wake-up of this thread.
    void Wake() override {}

    // Once the lock is ours no capture is being handed over, and none until the next Start.
    void Stop() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        if (!lost_) snd_pcm_drop(pcm_);
    }

  private:
    void Step(bool* watchPcm, int* timeoutMs) override {
        while (true) {
            const snd_pcm_sframes_t ready =
                snd_pcm_readi(pcm_, chunk_.data(), chunk_.size() / frameBytes_);
            if (ready == -EAGAIN) {
                *watchPcm = !std::exchange(pcmWokeIdle_, false);
                if (!*watchPcm) {
                    // A pcm that wakes its reader with nothing to read would keep this thread
                    // spinning: it is looked at again when its next period should be in.
                    const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
                    const std::size_t missing =
                        avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) < periodFrames_
                            ? periodFrames_ - static_cast<std::size_t>(avail)
                            : periodFrames_ / 8;
                    *timeoutMs =
                        static_cast<int>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(Duration(missing))
                                .count()) +
                        1;
                }
                return;
            }
            if (ready == -EPIPE) {
                // An overrun: what came beyond the buffer while nobody read was lost.
                const std::uint64_t missed = Frames(Clock::now() - lastRead_);
                device_->NoteOverrun(
                    static_cast<std::size_t>(missed > bufferFrames_ ? missed - bufferFrames_ : 0));
            }
            if (ready < 0) {
                if (!Recovered(static_cast<int>(ready))) return;
                snd_pcm_start(pcm_);
            } else {
                device_->WriteCapture(chunk_.data(), static_cast<std::size_t>(ready) * frameBytes_);
            }
            lastRead_ = Clock::now();
        }
    }

    Clock::time_point lastRead_{};
};

}  // namespace

std::unique_ptr<InputBackend> CreateAlsaInput(const BackendRequest& request) {
    return std::make_unique<AlsaInput>(request.device);
}

}  // namespace quorvel::device::detail::alsa
