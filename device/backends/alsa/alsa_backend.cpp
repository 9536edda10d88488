// The output and input backends on ALSA. Each has a thread of its own that sleeps in poll on the
// pcm and on a bell Wake rings. Output: the buffer holds three quarters of a second and the pcm
// wakes the thread when a quarter second of it is free; each queued block is written as soon as
// the device has it, so a block's done message comes once the pcm holds its samples, long before
// it runs short. Input: the pcm hands over a quarter second at a time, passed straight to the
// device. The thread moves audio with the backend's lock held, never while it sleeps.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "backends/alsa/alsa_pcm.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

// The drain at close waits for the buffer to play out, and a little longer.
constexpr auto kDrainSlack = std::chrono::milliseconds(1000);

int MillisecondsUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// What both directions share: the pcm, the thread and its lock.
template <typename Base, typename Device>
class AlsaBackend : public Base {
  public:
    explicit AlsaBackend(std::string name) : name_(std::move(name)) {}
    AlsaBackend(const AlsaBackend&) = delete;
    AlsaBackend& operator=(const AlsaBackend&) = delete;

    bool Open(Device& device, const WAVEFORMATEX& format, std::string* error) override {
        const Direction direction =
            std::is_same_v<Base, OutputBackend> ? Direction::kOutput : Direction::kInput;
        if (!pcm_.Open(direction, name_, format, error)) return false;
        device_ = &device;
        frameBytes_ = format.nBlockAlign;
        rate_ = format.nSamplesPerSec;
        chunk_.resize(pcm_.bufferFrames() * frameBytes_);
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Wake() override { pcm_.Ring(); }

  protected:
    // Ends the thread; the derived destructor calls it first.
    void Quit() {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        pcm_.Ring();
        thread_.join();
    }

    // Locked: moves what can move now; sets how to sleep until there is more.
    virtual void Step(bool* watchPcm, int* timeoutMs) = 0;

    // Locked: a pcm error; false, with the device told of its loss, when it does not recover.
    bool Recovered(int error) {
        std::string problem;
        if (pcm_.Recover(error, &problem)) return true;
        lost_ = true;
        device_->Lost(problem);
        return false;
    }

    std::uint64_t Frames(Clock::duration span) const {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
        return us <= 0 ? 0 : static_cast<std::uint64_t>(us) * rate_ / 1000000;
    }

    AlsaPcm pcm_;
    const std::string name_;  // of the pcm; empty: "default"
    Device* device_ = nullptr;
    std::size_t frameBytes_ = 1;
    std::uint64_t rate_ = 0;
    std::mutex mutex_;
    // With the lock held.
    bool running_ = false;
    bool lost_ = false;
    std::vector<std::uint8_t> chunk_;

  private:
    void Run() {
        while (true) {
            bool watchPcm = false;
            int timeoutMs = -1;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (quit_) return;
                if (running_ && !lost_) Step(&watchPcm, &timeoutMs);
            }
            if (!pcm_.Wait(watchPcm, timeoutMs)) {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (!lost_) Recovered(-ENODEV);
            }
        }
    }

    bool quit_ = false;
    std::thread thread_;
};

class AlsaOutput final : public AlsaBackend<OutputBackend, PlaybackDevice> {
  public:
    using AlsaBackend::AlsaBackend;
    // Plays out what the pcm holds (the last blocks were done once written), then closes.
    ~AlsaOutput() override {
        Quit();
        if (device_ == nullptr) return;
        snd_pcm_t* const pcm = pcm_.get();
        if (!lost_ && paused_) snd_pcm_pause(pcm, 0);
        snd_pcm_sframes_t held = 0;
        if (!lost_ && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED &&
            snd_pcm_delay(pcm, &held) == 0 && held > 0) {
            snd_pcm_start(pcm);
        }
        const Clock::time_point deadline =
            Clock::now() + std::chrono::microseconds(pcm_.bufferFrames() * 1000000 / rate_) +
            kDrainSlack;
        while (!lost_ && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING &&
               snd_pcm_delay(pcm, &held) == 0 && held > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(held * 1000000 / rate_ / 2 + 1000));
        }
        snd_pcm_drop(pcm);
        EndSilence();
    }

    void Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            running_ = true;
        }
        pcm_.Ring();
    }

    void Stop() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }

    std::uint64_t UnheardBytes() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        snd_pcm_sframes_t held = 0;
        if (lost_ || snd_pcm_delay(pcm_.get(), &held) < 0 || held < 0) return 0;
        return static_cast<std::uint64_t>(held) * frameBytes_;
    }

    // Skipping or quitting mid-file stops the sound now, not three quarters of a second later.
    void Discard() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (lost_) return;
            snd_pcm_drop(pcm_.get());
            snd_pcm_prepare(pcm_.get());
            paused_ = false;
            dryAt_ = Clock::now();
            waiting_ = 0;
        }
        pcm_.Ring();
    }

  private:
    void Step(bool* watchPcm, int* timeoutMs) override {
        snd_pcm_t* const pcm = pcm_.get();
        const PlaybackDevice::Supply supply = device_->Outlook();
        if (supply == PlaybackDevice::Supply::kPaused) {
            if (!paused_ && pcm_.canPause() && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING &&
                snd_pcm_pause(pcm, 1) == 0) {
                paused_ = true;
                pausedAt_ = Clock::now();
                BeginSilence(pausedAt_, false);
            }
            if (paused_) return;  // woken when resumed
        } else if (paused_) {
            paused_ = false;
            if (snd_pcm_pause(pcm, 0) < 0 && !Recovered(-EPIPE)) return;
            EndSilence();
            dryAt_ += Clock::now() - pausedAt_;
        }
        while (true) {
            const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm);
            if (room < 0) {
                if (room == -EPIPE) BeginSilence(dryAt_, PlaybackDevice::AudioExpected(supply));
                if (!Recovered(static_cast<int>(room))) return;
                waiting_ = 0;
                continue;
            }
            if (room == 0) {
                *watchPcm = true;
                return;
            }
            const std::size_t wanted = static_cast<std::size_t>(room) * frameBytes_;
            const std::size_t moved =
                device_->ReadPlayback(chunk_.data(), std::min(wanted, chunk_.size()));
            if (moved > 0 && !Write(moved / frameBytes_)) return;
            if (moved < std::min(wanted, chunk_.size())) break;
        }
        // The device has nothing more for now: start what the pcm holds, and look again when
        // it should have played out. Then the pcm stops, to start afresh with the next block
        // (a sound server's stream would otherwise skip what came late), and the silence counts
        // from then on.
        if (supply != PlaybackDevice::Supply::kPaused && waiting_ > 0 &&
            snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) {
            snd_pcm_start(pcm);
            NoteHeld(0);
        }
        if (Clock::now() < dryAt_) {
            *timeoutMs = MillisecondsUntil(dryAt_);
            return;
        }
        BeginSilence(dryAt_, PlaybackDevice::AudioExpected(supply));
        if (snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING) {
            snd_pcm_drop(pcm);
            snd_pcm_prepare(pcm);
        }
        waiting_ = 0;
    }

    // Locked: `frames` more were written; when what the pcm holds will have played out, by
    // what was written since it started (a sound server's plugin reports too little before its
    // first timing report), or by the pcm's own delay where that is more.
    void NoteHeld(std::size_t frames) {
        const Clock::time_point now = Clock::now();
        if (snd_pcm_state(pcm_.get()) != SND_PCM_STATE_RUNNING) {
            waiting_ += frames;
            return;
        }
        EndSilence();
        dryAt_ = std::max(dryAt_, now) + Duration(waiting_ + frames);
        waiting_ = 0;
        snd_pcm_sframes_t held = 0;
        if (snd_pcm_delay(pcm_.get(), &held) == 0 && held > 0) {
            dryAt_ = std::max(dryAt_, now + Duration(static_cast<std::size_t>(held)));
        }
    }
    Clock::duration Duration(std::size_t frames) const {
        return std::chrono::microseconds(frames * 1000000 / rate_);
    }

    // Locked: writes `frames` of the chunk; false once the pcm is lost.
    bool Write(std::size_t frames) {
        const std::uint8_t* data = chunk_.data();
        while (frames > 0) {
            const snd_pcm_sframes_t written = snd_pcm_writei(pcm_.get(), data, frames);
            if (written == -EAGAIN) {
                snd_pcm_wait(pcm_.get(), 100);
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
    Clock::time_point dryAt_ = Clock::now();  // when what was written has played out
    std::size_t waiting_ = 0;                 // frames written before the pcm started
    Clock::time_point pausedAt_{};
    Clock::time_point silentSince_{};
    bool silenceIsUnderrun_ = false;
};

class AlsaInput final : public AlsaBackend<InputBackend, CaptureDevice> {
  public:
    using AlsaBackend::AlsaBackend;
    ~AlsaInput() override { Quit(); }

    void Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (lost_) return;
            snd_pcm_prepare(pcm_.get());
            snd_pcm_start(pcm_.get());
            running_ = true;
            lastRead_ = Clock::now();
        }
        pcm_.Ring();
    }

    // Once the lock is ours no capture is being handed over, and none until the next Start.
    void Stop() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        if (!lost_) snd_pcm_drop(pcm_.get());
    }

  private:
    void Step(bool* watchPcm, int* /*timeoutMs*/) override {
        while (true) {
            const snd_pcm_sframes_t ready =
                snd_pcm_readi(pcm_.get(), chunk_.data(), chunk_.size() / frameBytes_);
            if (ready == -EAGAIN) break;
            if (ready < 0) {
                // An overrun: what the pcm could not hold beyond its buffer is lost.
                if (ready == -EPIPE) {
                    const std::uint64_t missed = Frames(Clock::now() - lastRead_);
                    device_->NoteOverrun(
                        missed > pcm_.bufferFrames()
                            ? static_cast<std::size_t>(missed - pcm_.bufferFrames())
                            : 0);
                }
                if (!Recovered(static_cast<int>(ready))) return;
                snd_pcm_start(pcm_.get());
                lastRead_ = Clock::now();
                continue;
            }
            lastRead_ = Clock::now();
            device_->WriteCapture(chunk_.data(), static_cast<std::size_t>(ready) * frameBytes_);
        }
        *watchPcm = true;
    }

    Clock::time_point lastRead_{};
};

}  // namespace

std::unique_ptr<OutputBackend> CreateAlsaOutput(const BackendRequest& request) {
    return std::make_unique<AlsaOutput>(request.device);
}

std::unique_ptr<InputBackend> CreateAlsaInput(const BackendRequest& request) {
    return std::make_unique<AlsaInput>(request.device);
}

}  // namespace quorvel::device::detail
