// Playback through alsa-lib: each queued block is written as soon as the device has it, so the
// pcm never runs short while the block before it sounds.
#include "backends/alsa/alsa_backend.h"

namespace quorvel::device::detail::alsa {

namespace {

class AlsaOutput final : public AlsaBackend<OutputBackend, PlaybackDevice> {
  public:
    using AlsaBackend::AlsaBackend;
    // Plays out what the pcm holds, then closes.
    ~AlsaOutput() override {
        Quit();
        if (device_ == nullptr) return;
        if (!lost_) {
            if (paused_ && snd_pcm_pause(pcm_, 0) == 0) dryAt_ += Clock::now() - pausedAt_;
            StartHeld();
            // A drain, without blocking, looked at until it ends or the limit passes.
            const Clock::time_point limit = Clock::now() + Duration(bufferFrames_) + kDrainSlack;
            if (snd_pcm_drain(pcm_) == -EAGAIN) {
                while (snd_pcm_state(pcm_) == SND_PCM_STATE_DRAINING && Clock::now() < limit) {
                    snd_pcm_wait(pcm_, 50);
                }
            }
            snd_pcm_drop(pcm_);
        }
        EndSilence();
    }

    void Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            running_ = true;
        }
        Wake();
    }

    void Stop() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }

    std::uint64_t UnheardBytes() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        // A sound server's plugin reports its sink's latency only after its first timing
        // report: asked here too, the position never goes back after a done message went out.
        snd_pcm_sframes_t held = 0;
        if (!paused_ && !lost_ && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING &&
            snd_pcm_delay(pcm_, &held) == 0 && held > 0) {
            dryAt_ = std::max(dryAt_, Clock::now() + Duration(static_cast<std::size_t>(held)));
        }
        const Clock::time_point now = paused_ ? pausedAt_ : Clock::now();
        // Frames written before the pcm started are all still to be heard.
        return (waiting_ + (dryAt_ > now ? Frames(dryAt_ - now) : 0)) * frameBytes_;
    }

    // Skipping or quitting mid-file stops the sound now, not three quarters of a second later.
    void Discard() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (lost_) return;
            snd_pcm_drop(pcm_);
            snd_pcm_prepare(pcm_);
            paused_ = false;
            dryAt_ = Clock::now();
            waiting_ = 0;
        }
        Wake();
    }

  private:
    void Step(bool* watchPcm, int* timeoutMs) override {
        const PlaybackDevice::Supply supply = device_->Outlook();
        if (supply == PlaybackDevice::Supply::kPaused) {
            if (!paused_ && canPause_ && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING &&
                snd_pcm_pause(pcm_, 1) == 0) {
                paused_ = true;
                pausedAt_ = Clock::now();
                BeginSilence(pausedAt_, false);
            }
            if (paused_) return;  // woken when resumed
        } else if (paused_) {
            paused_ = false;
            if (snd_pcm_pause(pcm_, 0) < 0 && !Recovered(-EPIPE)) return;
            EndSilence();
            dryAt_ += Clock::now() - pausedAt_;
        }
        while (true) {
            const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
            if (room < 0) {
                if (room == -EPIPE) BeginSilence(dryAt_, PlaybackDevice::AudioExpected(supply));
                if (!Recovered(static_cast<int>(room))) return;
                waiting_ = 0;
                continue;
            }
            // While the pcm holds more than a period, less than a period is not written: each
            // write makes a sound server's plugin ask the server for its timing again and again.
            if (room == 0 || (static_cast<snd_pcm_uframes_t>(room) < periodFrames_ &&
                              snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING)) {
                *watchPcm = true;
                return;
            }
            const std::size_t wanted =
                std::min(static_cast<std::size_t>(room) * frameBytes_, chunk_.size());
            const std::size_t moved = device_->ReadPlayback(chunk_.data(), wanted);
            if (moved > 0 && !Write(moved / frameBytes_)) return;
            if (moved < wanted) break;
        }
        // The device has nothing more for now: start what the pcm holds, and look again when
        // it should have played out. Then the pcm stops, to start afresh with the next block (a
        // sound server's stream would skip what came late), and the silence counts from then.
        if (supply != PlaybackDevice::Supply::kPaused) StartHeld();
        snd_pcm_sframes_t held = 0;
        if (Clock::now() >= dryAt_ && !std::exchange(delayAsked_, true) &&
            snd_pcm_delay(pcm_, &held) == 0 && held > 0) {
            dryAt_ = Clock::now() + Duration(static_cast<std::size_t>(held));  // the sink's own
        }
        if (Clock::now() < dryAt_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(dryAt_ - Clock::now());
            *timeoutMs = static_cast<int>(left.count()) + 1;
            return;
        }
        BeginSilence(dryAt_, PlaybackDevice::AudioExpected(supply));
        if (snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
            snd_pcm_drop(pcm_);
            snd_pcm_prepare(pcm_);
        }
        waiting_ = 0;
    }

    // Locked: writes `frames` of the chunk; false once the pcm is lost.
    bool Write(std::size_t frames) {
        const std::uint8_t* data = chunk_.data();
        while (frames > 0) {
            const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, data, frames);
            if (written == -EAGAIN) {
                snd_pcm_wait(pcm_, 100);
                continue;
            }
            if (written < 0) {
                // It ran dry while the device still had audio for it: an underrun.
                if (written == -EPIPE) BeginSilence(dryAt_, true);
                if (!Recovered(static_cast<int>(written))) return false;
                waiting_ = 0;
                continue;
            }
            data += static_cast<std::size_t>(written) * frameBytes_;
            frames -= static_cast<std::size_t>(written);
            NoteHeld(static_cast<std::size_t>(written));
        }
        return true;
    }

    // Locked: starts a pcm holding less than its start threshold.
    void StartHeld() {
        if (waiting_ == 0 || snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) return;
        snd_pcm_start(pcm_);
        NoteHeld(0);
    }

    // Locked: `frames` more were written. What the pcm holds plays out by what was written
    // since it started (a sound server's plugin reports too little before its first timing
    // report), or by the pcm's own delay where that is more.
    void NoteHeld(std::size_t frames) {
        const Clock::time_point now = Clock::now();
        if (snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING) {
            waiting_ += frames;
            return;
        }
        EndSilence();
        delayAsked_ = false;
        dryAt_ = std::max(dryAt_, now) + Duration(std::exchange(waiting_, 0) + frames);
        snd_pcm_sframes_t held = 0;
        if (snd_pcm_delay(pcm_, &held) == 0 && held > 0) {
            dryAt_ = std::max(dryAt_, now + Duration(static_cast<std::size_t>(held)));
        }
    }

    // The pcm plays silence from `since` on: an underrun, or idle.
    void BeginSilence(Clock::time_point since, bool underrun) {
        if (silentSince_ != Clock::time_point{}) return;
        silentSince_ = std::min(since, Clock::now());
        silenceIsUnderrun_ = underrun;
    }
    // The pcm sounds again: the silence is counted by its length.
    void EndSilence() {
        if (silentSince_ == Clock::time_point{}) return;
        const Clock::duration silent =
            Clock::now() - std::exchange(silentSince_, Clock::time_point{});
        device_->NoteSilence(static_cast<std::size_t>(Frames(silent)), silenceIsUnderrun_);
    }

    bool paused_ = false;
    Clock::time_point pausedAt_{};
    Clock::time_point dryAt_ = Clock::now();  // when what was written has played out
    std::size_t waiting_ = 0;                 // frames written before the pcm started
    bool delayAsked_ = false;                 // once played out by dryAt_, the pcm's delay
    Clock::time_point silentSince_{};
    bool silenceIsUnderrun_ = false;
};

}  // namespace

std::unique_ptr<OutputBackend> CreateAlsaOutput(const BackendRequest& request) {
    return std::make_unique<AlsaOutput>(request.device);
}

}  // namespace quorvel::device::detail::alsa
