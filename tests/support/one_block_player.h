// A player that plays samples through the waveform output as the module does, for the tests
// that play through a sound server. Header only.
#ifndef QWF_TESTS_SUPPORT_ONE_BLOCK_PLAYER_H
#define QWF_TESTS_SUPPORT_ONE_BLOCK_PLAYER_H

#include <gtest/gtest.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

#include "quorvel/device.hpp"
#include "support/sound_samples.h"

namespace qwf::sound {

constexpr UINT kHeaderSize = sizeof(WAVEHDR);
inline const WAVEFORMATEX kMono16{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};

// Plays samples the way the module does, one block in flight: the done message's handler
// unprepares the block, fills it with the next samples and queues it again. A handler may be
// told to take its time over one block.
class OneBlockPlayer {
  public:
    explicit OneBlockPlayer(Samples samples) : samples_(std::move(samples)) {}

    MMRESULT Open(const WAVEFORMATEX& format = kMono16) {
        return waveOutOpen(&device_, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&Callback),
                           reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }

    void Start() {
        Fill();
        ASSERT_EQ(waveOutPrepareHeader(device_, &header_, kHeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device_, &header_, kHeaderSize), MMSYSERR_NOERROR);
    }

    // True once the last block's done message has been handled: its callback has returned, as a
    // host waits for with qwd_wait_output_idle. A reset while a callback still runs is a reset
    // mid-way (that callback could queue the next block), which drops what the server holds.
    bool WaitUntilPlayed(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!finished_.wait_until(lock, deadline, [this] { return done_; })) return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return quorvel::device::WaitOutputIdle(std::max(left, std::chrono::milliseconds(0)));
    }

    void Close() {
        waveOutReset(device_);
        waveOutUnprepareHeader(device_, &header_, kHeaderSize);
        EXPECT_EQ(waveOutClose(device_), MMSYSERR_NOERROR);
    }

    std::size_t slowBlock = SIZE_MAX;  // the block whose requeue is held back
    std::chrono::milliseconds slowBy{0};
    std::atomic<int> failures{0};

  private:
    void Fill() {
        const std::size_t count = std::min(kBlockSamples, samples_.size() - next_);
        // The device plays little-endian samples, whatever the host's byte order.
        for (std::size_t i = 0; i < count; ++i) {
            const auto word = static_cast<std::uint16_t>(samples_[next_ + i]);
            block_[2 * i] = static_cast<std::uint8_t>(word & 0xFF);
            block_[2 * i + 1] = static_cast<std::uint8_t>(word >> 8);
        }
        next_ += count;
        header_ = WAVEHDR{};
        header_.lpData = reinterpret_cast<LPSTR>(block_);
        header_.dwBufferLength = static_cast<DWORD>(count * 2);
        ++queued_;
    }

    static void CALLBACK Callback(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR,
                                  DWORD_PTR) {
        auto* self = reinterpret_cast<OneBlockPlayer*>(instance);
        if (message != MM_WOM_DONE) return;
        self->failures += waveOutUnprepareHeader(device, &self->header_, kHeaderSize) != 0;
        if (self->next_ == self->samples_.size()) {
            const std::lock_guard<std::mutex> lock(self->mutex_);
            self->done_ = true;
            self->finished_.notify_all();
            return;
        }
        if (self->queued_ == self->slowBlock) std::this_thread::sleep_for(self->slowBy);
        self->Fill();
        self->failures += waveOutPrepareHeader(device, &self->header_, kHeaderSize) != 0;
        self->failures += waveOutWrite(device, &self->header_, kHeaderSize) != 0;
    }

    const Samples samples_;
    HWAVEOUT device_ = nullptr;
    WAVEHDR header_{};
    std::uint8_t block_[2 * kBlockSamples] = {};
    std::size_t next_ = 0;
    std::size_t queued_ = 0;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

}  // namespace qwf::sound

#endif
