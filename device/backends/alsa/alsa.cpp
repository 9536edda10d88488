// The sound device through alsa-lib, for machines with no sound server: a plugin of its own
// (backends/plugin.h), so that a program the server serves never maps libasound. Each device
// opens one pcm, non-blocking, with a buffer of three quarters of a second woken a quarter second
// at a time, and has a thread that sleeps in poll on the pcm and on a bell Wake rings, and moves
// audio with the backend's lock held. Output: each queued block is written as soon as the device
// has it, so its done message comes once the pcm holds its samples, long before it runs short.
// Input: what the pcm captured goes straight to the device.
#include <alsa/asoundlib.h>
#include <mmsystem.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "backends/plugin.h"
#include "base/wave_format.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBufferMicroseconds = 750000;
constexpr unsigned kPeriodMicroseconds = 250000;
// ALSA's pulse plugin waits half a minute for a sound server that stopped answering; an open is
// given up after as long as the pulse backend waits.
constexpr auto kOpenLimit = std::chrono::seconds(2);
// The close waits for the buffer to play out, and a little longer.
constexpr auto kDrainSlack = std::chrono::milliseconds(1000);

// alsa-lib prints its own lines on standard error when a pcm fails to open; the backend says
// the same in one sentence.
void Silent(const char*, int, const char*, int, const char*, ...) {}
void QuietAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&Silent); });
}

snd_pcm_stream_t StreamOf(Direction direction) {
    return direction == Direction::kOutput ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
}

// snd_pcm_open on a thread of its own, given up after kOpenLimit (-ETIMEDOUT); a pcm that
// opens after that is closed by that thread.
int OpenWithLimit(snd_pcm_t** pcm, const std::string& name, Direction direction) {
    QuietAlsa();
    struct Pending {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool abandoned = false;
        snd_pcm_t* pcm = nullptr;
        int result = 0;
    };
    const auto pending = std::make_shared<Pending>();
    try {
        std::thread([pending, name, direction] {
            snd_pcm_t* opened = nullptr;
            const int result =
                snd_pcm_open(&opened, name.c_str(), StreamOf(direction), SND_PCM_NONBLOCK);
            const std::lock_guard<std::mutex> lock(pending->mutex);
            if (pending->abandoned) {
                if (result == 0) snd_pcm_close(opened);
                return;
            }
            pending->pcm = opened;
            pending->result = result;
            pending->done = true;
            pending->finished.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return -EAGAIN;
    }
    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->finished.wait_for(lock, kOpenLimit, [&] { return pending->done; })) {
        pending->abandoned = true;
        return -ETIMEDOUT;
    }
    *pcm = pending->pcm;
    return pending->result;
}

snd_pcm_format_t SampleFormat(unsigned bits) {
    switch (bits) {
        case 8:
            return SND_PCM_FORMAT_U8;
        case 16:
            return SND_PCM_FORMAT_S16_LE;
        case 24:
            return SND_PCM_FORMAT_S24_3LE;
        case 32:
            return SND_PCM_FORMAT_S32_LE;
        default:
            return SND_PCM_FORMAT_UNKNOWN;
    }
}

// What both directions share: the pcm, the bell, the thread and its lock.
template <typename Base, typename Device>
class AlsaBackend : public Base {
  public:
    static constexpr Direction kDirection =
        std::is_same_v<Base, OutputBackend> ? Direction::kOutput : Direction::kInput;

    explicit AlsaBackend(const std::string& name) : name_(name.empty() ? "default" : name) {}
    ~AlsaBackend() override {
        if (pcm_ != nullptr) snd_pcm_close(pcm_);
        if (bell_ >= 0) close(bell_);
    }
    AlsaBackend(const AlsaBackend&) = delete;
    AlsaBackend& operator=(const AlsaBackend&) = delete;

    // Opens the pcm in exactly `format`: a pcm that needs conversion for it says which value
    // it refused (a plug pcm, such as "default" or plughw:, converts).
    bool Open(Device& device, const WAVEFORMATEX& format, std::string* error) override {
        const bool output = kDirection == Direction::kOutput;
        const std::string pcm = "ALSA pcm \"" + name_ + "\"";
        int result = OpenWithLimit(&pcm_, name_, kDirection);
        if (result < 0) {
            pcm_ = nullptr;
            *error =
                "Cannot open the " + pcm + (output ? " for output (" : " for capture (") +
                (result == -ETIMEDOUT ? "it did not answer within 2 s" : snd_strerror(result)) +
                ").";
            return false;
        }
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_hw_params_any(pcm_, hw);
        const std::string refuses = "The " + pcm + (output ? " cannot play " : " cannot capture ");
        if (snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(pcm_, hw, SampleFormat(format.wBitsPerSample)) < 0) {
            *error = refuses + std::to_string(format.wBitsPerSample) + "-bit samples.";
            return false;
        }
        if (snd_pcm_hw_params_set_channels(pcm_, hw, format.nChannels) < 0) {
            *error = refuses + std::to_string(format.nChannels) + " channels.";
            return false;
        }
        if (snd_pcm_hw_params_set_rate(pcm_, hw, format.nSamplesPerSec, 0) < 0) {
            *error = refuses + "at " + std::to_string(format.nSamplesPerSec) + " Hz.";
            return false;
        }
        unsigned buffer = kBufferMicroseconds;
        unsigned period = kPeriodMicroseconds;
        snd_pcm_hw_params_set_buffer_time_near(pcm_, hw, &buffer, nullptr);
        snd_pcm_hw_params_set_period_time_near(pcm_, hw, &period, nullptr);
        snd_pcm_uframes_t periodFrames = 0;
        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        // Output starts once the buffer is full, or when the device has nothing more for now.
        if ((result = snd_pcm_hw_params(pcm_, hw)) < 0 ||
            (result = snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames_)) < 0 ||
            (result = snd_pcm_hw_params_get_period_size(hw, &periodFrames, nullptr)) < 0 ||
            (result = snd_pcm_sw_params_current(pcm_, sw)) < 0 ||
            (result = snd_pcm_sw_params_set_avail_min(pcm_, sw, periodFrames)) < 0 ||
            (result = snd_pcm_sw_params_set_start_threshold(pcm_, sw, bufferFrames_)) < 0 ||
            (result = snd_pcm_sw_params(pcm_, sw)) < 0 ||
            (bell_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0) {
            *error = "Cannot set up the " + pcm + " for " + FormatForPeople(format) + " (" +
                     snd_strerror(result) + ").";
            return false;
        }
        canPause_ = snd_pcm_hw_params_can_pause(hw) != 0;
        device_ = &device;
        frameBytes_ = format.nBlockAlign;
        rate_ = format.nSamplesPerSec;
        chunk_.resize(bufferFrames_ * frameBytes_);
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Wake() override { eventfd_write(bell_, 1); }

  protected:
    // Ends the thread; the derived destructor calls it first.
    void Quit() {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        Wake();
        thread_.join();
    }

    // Locked: moves what can move now; says how to sleep until there is more.
    virtual void Step(bool* watchPcm, int* timeoutMs) = 0;

    // Locked: recovers from an underrun, overrun or suspend; any other error is the device's
    // loss (a USB card unplugged, the pulse plugin's server gone): false.
    bool Recovered(int error) {
        if ((error == -EPIPE || error == -ESTRPIPE || error == -EINTR) &&
            snd_pcm_recover(pcm_, error, 1) == 0) {
            return true;
        }
        lost_ = true;
        device_->Lost("the ALSA pcm \"" + name_ + "\" went away (" + snd_strerror(error) + ")");
        return false;
    }

    std::uint64_t Frames(Clock::duration span) const {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
        return us <= 0 ? 0 : static_cast<std::uint64_t>(us) * rate_ / 1000000;
    }
    Clock::duration Duration(std::size_t frames) const {
        return std::chrono::microseconds(frames * 1000000 / rate_);
    }

    const std::string name_;
    snd_pcm_t* pcm_ = nullptr;
    snd_pcm_uframes_t bufferFrames_ = 0;
    bool canPause_ = false;
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
        std::vector<pollfd> fds;
        while (true) {
            bool watchPcm = false;
            int timeoutMs = -1;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (quit_) return;
                if (running_ && !lost_) Step(&watchPcm, &timeoutMs);
            }
            const int count = watchPcm ? snd_pcm_poll_descriptors_count(pcm_) : 0;
            fds.assign(1 + static_cast<std::size_t>(std::max(count, 0)), {bell_, POLLIN, 0});
            if (count > 0) snd_pcm_poll_descriptors(pcm_, &fds[1], static_cast<unsigned>(count));
            if (poll(fds.data(), fds.size(), timeoutMs) < 0) continue;
            eventfd_t rung = 0;
            if (fds[0].revents != 0) eventfd_read(bell_, &rung);
            unsigned short events = 0;
            if (count > 0) {
                snd_pcm_poll_descriptors_revents(pcm_, &fds[1], static_cast<unsigned>(count),
                                                 &events);
            }
            if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
                snd_pcm_state(pcm_) == SND_PCM_STATE_DISCONNECTED) {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (!lost_) Recovered(-ENODEV);
            }
        }
    }

    int bell_ = -1;  // an eventfd
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
        const Clock::time_point now = paused_ ? pausedAt_ : Clock::now();
        return dryAt_ > now ? Frames(dryAt_ - now) * frameBytes_ : 0;
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
            if (room == 0) {
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

class AlsaInput final : public AlsaBackend<InputBackend, CaptureDevice> {
  public:
    using AlsaBackend::AlsaBackend;
    ~AlsaInput() override { Quit(); }

    void Start() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (lost_) return;
            snd_pcm_prepare(pcm_);
            snd_pcm_start(pcm_);
            running_ = true;
            lastRead_ = Clock::now();
        }
        Wake();
    }

    // Once the lock is ours no capture is being handed over, and none until the next Start.
    void Stop() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        if (!lost_) snd_pcm_drop(pcm_);
    }

  private:
    void Step(bool* watchPcm, int* /*timeoutMs*/) override {
        *watchPcm = true;
        while (true) {
            const snd_pcm_sframes_t ready =
                snd_pcm_readi(pcm_, chunk_.data(), chunk_.size() / frameBytes_);
            if (ready == -EAGAIN) return;
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

std::unique_ptr<OutputBackend> CreateAlsaOutput(const BackendRequest& request) {
    return std::make_unique<AlsaOutput>(request.device);
}

std::unique_ptr<InputBackend> CreateAlsaInput(const BackendRequest& request) {
    return std::make_unique<AlsaInput>(request.device);
}

// The pcms as aplay -L and arecord -L list them: by their hint's NAME, with its DESC (lines
// joined), for the direction of its IOID (none: both); "default" is the one opened unnamed.
std::vector<NamedDevice> ListAlsaDevices(Direction direction) {
    QuietAlsa();
    std::vector<NamedDevice> devices;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) return devices;
    const std::string unwanted = direction == Direction::kOutput ? "Input" : "Output";
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        char* io = snd_device_name_get_hint(*hint, "IOID");
        if (name != nullptr && (io == nullptr || io != unwanted)) {
            std::string text = description != nullptr ? description : name;
            for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n'))
                text.replace(at, 1, ", ");
            devices.push_back({name, text, std::string(name) == "default"});
        }
        free(name);
        free(description);
        free(io);
    }
    snd_device_name_free_hint(hints);
    return devices;
}

// Any pcm name alsa-lib can open, listed or not (hw:0,0, plughw:1, an asoundrc's own pcms).
bool AlsaOpensDevice(Direction direction, const std::string& name) {
    snd_pcm_t* pcm = nullptr;
    if (OpenWithLimit(&pcm, name, direction) < 0) return false;
    snd_pcm_close(pcm);
    return true;
}

}  // namespace
}  // namespace quorvel::device::detail

extern "C" __attribute__((visibility("default"))) const quorvel::device::detail::BackendPlugin*
quorvel_device_alsa_plugin() {
    namespace qd = quorvel::device::detail;
    static const qd::BackendPlugin plugin{&qd::CreateAlsaOutput, &qd::CreateAlsaInput,
                                          &qd::ListAlsaDevices, &qd::AlsaOpensDevice};
    return &plugin;
}
