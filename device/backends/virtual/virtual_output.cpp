// The virtual output backend: a clock that plays the device's audio into nothing (the device's
// sinks still see every byte). Real time plays frames as a steady clock says they are due; fast
// plays every block as soon as it reaches the head of the queue.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>

#include "backends/output_backend.h"
#include "core/wave_format.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRealTimeStep = std::chrono::milliseconds(10);
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

class VirtualOutput final : public OutputBackend {
  public:
    explicit VirtualOutput(Pace pace) : pace_(pace) {}
    ~VirtualOutput() override { Stop(); }

    VirtualOutput(const VirtualOutput&) = delete;
    VirtualOutput& operator=(const VirtualOutput&) = delete;

    bool Start(OutputFeed& feed, const WAVEFORMATEX& format, std::string* /*error*/) override {
        feed_ = &feed;
        framesPerSecond_ = format.nSamplesPerSec;
        bytesPerFrame_ = format.nBlockAlign;
        thread_ = std::thread([this] {
            if (pace_ == Pace::kFast) {
                RunFast();
            } else {
                RunRealTime();
            }
        });
        return true;
    }

    void Wake() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        wakeup_.notify_one();
    }

    bool PlaysAtOnce() const override { return pace_ == Pace::kFast; }

    void Stop() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wakeup_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

  private:
    // Waits for Wake or Stop; false when stopping.
    bool WaitForWake(std::unique_lock<std::mutex>& lock) {
        wakeup_.wait(lock, [this] { return stopping_ || woken_; });
        woken_ = false;
        return !stopping_;
    }

    void RunFast() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (WaitForWake(lock)) {
            lock.unlock();
            feed_->Play(nullptr, std::numeric_limits<std::size_t>::max());
            lock.lock();
        }
    }

    // Bytes due between the anchor and `elapsed` after it, in whole frames. Counting from one
    // anchor rather than adding up steps keeps the pace free of drift.
    std::uint64_t BytesDue(Clock::duration elapsed) const {
        const std::int64_t nanos =
            std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
        const std::uint64_t frames =
            static_cast<std::uint64_t>(nanos / kNanosPerSecond) * framesPerSecond_ +
            static_cast<std::uint64_t>(nanos % kNanosPerSecond) * framesPerSecond_ /
                kNanosPerSecond;
        return frames * bytesPerFrame_;
    }

    void RunRealTime() {
        std::unique_lock<std::mutex> lock(mutex_);
        // Time spent starved (nothing playable) is not owed afterwards: like a sound card that
        // played silence meanwhile, the pace starts afresh when audio is next available.
        bool starved = true;
        Clock::time_point anchor;
        Clock::time_point nextStep;
        std::uint64_t bytesPlayed = 0;
        while (!stopping_) {
            if (starved) {
                if (!WaitForWake(lock)) break;
                starved = false;
                anchor = nextStep = Clock::now();
                bytesPlayed = 0;
            } else {
                // After a stall, step on from now rather than racing through missed steps; the
                // bytes due still come from the anchor, so nothing is lost.
                nextStep = std::max(nextStep + kRealTimeStep, Clock::now());
                if (wakeup_.wait_until(lock, nextStep, [this] { return stopping_; })) break;
                woken_ = false;
            }
            const std::uint64_t wanted = BytesDue(Clock::now() - anchor) - bytesPlayed;
            lock.unlock();
            const std::size_t played = feed_->Play(nullptr, static_cast<std::size_t>(wanted));
            lock.lock();
            bytesPlayed += played;
            // Short of what was due: the device ran out of playable audio. A Wake that came
            // during Play ends the wait at once.
            if (played < wanted) starved = true;
        }
    }

    const Pace pace_;
    OutputFeed* feed_ = nullptr;
    std::uint64_t framesPerSecond_ = 0;
    std::uint64_t bytesPerFrame_ = 0;

    std::mutex mutex_;
    std::condition_variable wakeup_;
    bool woken_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<OutputBackend> CreateVirtualOutput(Pace pace) {
    return std::make_unique<VirtualOutput>(pace);
}

}  // namespace quorvel::device::detail
