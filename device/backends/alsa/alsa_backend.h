// The sound device through alsa-lib, for machines with no sound server: a plugin of its own
// (backends/plugin.h), so that a program the server serves never maps libasound. Each device
// opens one pcm, non-blocking, with a buffer of half a second woken a quarter second at a time,
// and has a thread that sleeps in poll on the pcm and on a bell, and moves audio with the
// backend's lock held. Output: each queued block is written as soon as the device has it, and the
// position tells the device when its end is heard. Input: what the pcm captured goes straight to
// the device.
#ifndef QUORVEL_DEVICE_BACKENDS_ALSA_ALSA_BACKEND_H
#define QUORVEL_DEVICE_BACKENDS_ALSA_ALSA_BACKEND_H

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

namespace quorvel::device::detail::alsa {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBufferMicroseconds = 500000;
constexpr unsigned kPeriodMicroseconds = 250000;
// ALSA's pulse plugin waits half a minute for a sound server that stopped answering; an open is
// given up after as long as the pulse backend waits.
constexpr auto kOpenLimit = std::chrono::seconds(2);
// The close waits for the buffer to play out, and a little longer.
constexpr auto kDrainSlack = std::chrono::milliseconds(1000);

// alsa-lib's own lines on standard error are silenced: the backend says the same in one sentence.
void QuietAlsa();
snd_pcm_stream_t StreamOf(Direction direction);
// snd_pcm_open on a thread of its own, given up after kOpenLimit (-ETIMEDOUT).
int OpenWithLimit(snd_pcm_t** pcm, const std::string& name, Direction direction);
snd_pcm_format_t SampleFormat(unsigned bits);

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
        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        // Output starts once the buffer is full, or when the device has nothing more for now.
        if ((result = snd_pcm_hw_params(pcm_, hw)) < 0 ||
            (result = snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames_)) < 0 ||
            (result = snd_pcm_hw_params_get_period_size(hw, &periodFrames_, nullptr)) < 0 ||
            (result = snd_pcm_sw_params_current(pcm_, sw)) < 0 ||
            (result = snd_pcm_sw_params_set_avail_min(pcm_, sw, periodFrames_)) < 0 ||
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

    void Wake() override { Ring(); }

  protected:
    // Wakes the thread to look at the pcm and the device again.
    void Ring() { eventfd_write(bell_, 1); }

    // Ends the thread; the derived destructor calls it first.
    void Quit() {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        Ring();
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
    snd_pcm_uframes_t periodFrames_ = 0;
    bool canPause_ = false;
    Device* device_ = nullptr;
    std::size_t frameBytes_ = 1;
    std::uint64_t rate_ = 0;
    std::mutex mutex_;
    // With the lock held.
    bool running_ = false;
    bool lost_ = false;
    // The last poll woke for the pcm, but the pcm had nothing ready (the pulse plugin keeps its
    // descriptor readable until it is next read from).
    bool pcmWokeIdle_ = false;
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
            const bool pcmWoke =
                count > 0 && std::any_of(fds.begin() + 1, fds.end(),
                                         [](const pollfd& fd) { return fd.revents != 0; });
            const std::lock_guard<std::mutex> lock(mutex_);
            pcmWokeIdle_ = pcmWoke && events == 0;
            if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0 && !lost_ &&
                snd_pcm_state(pcm_) == SND_PCM_STATE_DISCONNECTED) {
                Recovered(-ENODEV);
            }
        }
    }

    int bell_ = -1;  // an eventfd
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace quorvel::device::detail::alsa

#endif
