// The virtual output: a clock that plays the device's audio into nothing (the device's sinks
// still see every byte). Real time plays frames as a steady clock says they are due, on a
// thread of its own; fast plays every block as soon as it is queued, on the waking thread.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>

#include "backends/virtual/virtual.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRealTimeStep = std::chrono::milliseconds(10);
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

class VirtualOutput final : public Backend {
  public:
    explicit VirtualOutput(Pace pace) : pace_(pace) {}
    ~VirtualOutput() override { Stop(); }

    VirtualOutput(const VirtualOutput&) = delete;
    VirtualOutput& operator=(const VirtualOutput&) = delete;

    bool Open(BackendDevice& device, const WAVEFORMATEX& format, std::string* /*error*/) override {
        device_ = &device;
        framesPerSecond_ = format.nSamplesPerSec;
        bytesPerFrame_ = format.nBlockAlign;
        return true;
    }

    void Start() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
        stopping_ = false;
        if (pace_ == Pace::kRealTime) thread_ = std::thread(&VirtualOutput::RunRealTime, this);
    }

    void Wake() override {
        const std::unique_lock<std::mutex> lock(mutex_);
        if (pace_ == Pace::kFast) {
            // As fast as a thread can go: no hand-over to another thread per block.
            if (running_) device_->Transfer(nullptr, std::numeric_limits<std::size_t>::max());
            return;
        }
        woken_ = true;
        wakeup_.notify_one();
    }

    void Stop() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
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
            const std::size_t played = device_->Transfer(nullptr, static_cast<std::size_t>(wanted));
            lock.lock();
            bytesPlayed += played;
            // Short of what was due: the device ran out of playable audio. A Wake that came
            // during Play ends the wait at once.
            if (played < wanted) starved = true;
        }
    }

    const Pace pace_;
    BackendDevice* device_ = nullptr;
    std::uint64_t framesPerSecond_ = 0;
    std::uint64_t bytesPerFrame_ = 0;

    std::mutex mutex_;
    std::condition_variable wakeup_;
    bool running_ = false;
    bool woken_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Backend> CreateVirtualOutput(Pace pace) {
    return std::make_unique<VirtualOutput>(pace);
}

std::unique_ptr<Backend> CreateVirtualBackend(const BackendRequest& request) {
    if (request.direction == Direction::kOutput) return CreateVirtualOutput(request.pace);
    return CreateVirtualInput(request.pace, request.source);
}

}  // namespace quorvel::device::detail
