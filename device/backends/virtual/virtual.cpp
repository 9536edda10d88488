// The virtual device: plays into nothing (the device's sinks still see every byte) and captures
// a source's samples, in real time, paced by a clock on a thread of its own, or as fast as the
// device has blocks and buffers, on the thread that wakes it. The null device is the fast one,
// capturing silence.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "backends/virtual/source.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStep = std::chrono::milliseconds(10);
constexpr double kToneAmplitude = 16384.0;  // half of full scale
constexpr double kTwoPi = 6.283185307179586476925286766559;
// The most frames captured at once.
constexpr std::size_t kMaxCaptureFrames = 4096;

// What both directions share. Real time: frames move as a steady clock says they are due, every
// 10 ms, on a thread of its own. The count comes from one anchor rather than from adding up
// steps, so the pace does not drift. The clock starts starved and anchors at the first Wake;
// when a move takes fewer frames than offered (nothing more can play) it is starved again: time
// spent so is not owed afterwards, as a sound card plays silence meanwhile, and the next Wake
// anchors it afresh. Fast: all that can move at once on the waking thread, with no hand-over to
// another thread per block.
template <typename Base, typename Device>
class VirtualBackend : public Base {
  public:
    explicit VirtualBackend(Pace pace) : pace_(pace) {}

    bool Open(Device& device, const WAVEFORMATEX& format, std::string* /*error*/) override {
        device_ = &device;
        format_ = format;
        return true;
    }

    void Start() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
        if (pace_ == Pace::kFast) return;
        // Capture begins at once; playback once a block comes. A Wake that came before stays:
        // the device may have audio already.
        if (std::is_same_v<Base, InputBackend>) woken_ = true;
        wakeup_.notify_one();
        if (thread_.joinable()) return;
        stopping_ = false;
        thread_ = std::thread(&VirtualBackend::Run, this);
    }

    // Once it returns nothing moves until the next Start.
    void Stop() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);  // a fast move still going ends first
            running_ = false;
            stopping_ = true;
        }
        wakeup_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    void Wake() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (pace_ == Pace::kRealTime) {
            woken_ = true;
            wakeup_.notify_one();
            return;
        }
        while (running_) {
            const std::uint64_t frames = Room();
            if (frames == 0 || Move(frames) < frames) return;
        }
    }

  protected:
    // Moves up to `frames` frames; returns the frames moved.
    virtual std::uint64_t Move(std::uint64_t frames) = 0;
    // The frames that can move now without waiting.
    virtual std::uint64_t Room() = 0;

    Device* device_ = nullptr;
    WAVEFORMATEX format_{};

  private:
    std::uint64_t FramesDue(Clock::duration elapsed) const {
        const auto nanos = static_cast<std::uint64_t>(std::max<std::int64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(), 0));
        constexpr std::uint64_t kPerSecond = 1'000'000'000;
        const std::uint64_t rate = format_.nSamplesPerSec;
        return nanos / kPerSecond * rate + nanos % kPerSecond * rate / kPerSecond;
    }

    // The real-time clock's thread.
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        bool starved = true;
        Clock::time_point anchor;
        Clock::time_point next;
        std::uint64_t moved = 0;
        while (true) {
            if (starved) {
                wakeup_.wait(lock, [this] { return stopping_ || woken_; });
                if (stopping_) return;
                anchor = next = Clock::now();
                moved = 0;
                starved = false;
            } else if (wakeup_.wait_until(lock, next, [this] { return stopping_; })) {
                return;
            }
            woken_ = false;  // a Wake during the move below ends a starved wait at once
            const Clock::time_point now = Clock::now();
            const std::uint64_t due = FramesDue(now - anchor) - moved;
            lock.unlock();
            const std::uint64_t done = Move(due);
            lock.lock();
            moved += done;
            starved = done < due;
            // After a stall everything due has just moved: step on from now, not through the
            // missed steps.
            next += kStep;
            if (next <= now) next = now + kStep;
        }
    }

    const Pace pace_;
    std::mutex mutex_;  // held while a fast move goes on, so that Stop waits for it
    std::condition_variable wakeup_;
    bool running_ = false;
    bool woken_ = false;
    bool stopping_ = false;
    std::thread thread_;  // joined by Stop, which each backend's destructor calls
};

class VirtualOutput final : public VirtualBackend<OutputBackend, PlaybackDevice> {
  public:
    using VirtualBackend::VirtualBackend;
    ~VirtualOutput() override { Stop(); }

  private:
    std::uint64_t Move(std::uint64_t frames) override {
        const std::size_t frameBytes = format_.nBlockAlign;
        return device_->ReadPlayback(nullptr, static_cast<std::size_t>(frames) * frameBytes) /
               frameBytes;
    }
    std::uint64_t Room() override {
        return std::numeric_limits<std::size_t>::max() / format_.nBlockAlign;
    }
};

// Captures one source's values, in order, formatted as the device's frames. Its position
// survives Stop and Start, so a restarted device continues where it stopped.
class VirtualInput final : public VirtualBackend<InputBackend, CaptureDevice> {
  public:
    VirtualInput(Pace pace, std::shared_ptr<const InputSource> source)
        : VirtualBackend(pace), source_(std::move(source)) {}
    ~VirtualInput() override { Stop(); }

  private:
    // Captures everything asked for, a piece at a time.
    std::uint64_t Move(std::uint64_t frames) override {
        scratch_.resize(kMaxCaptureFrames * format_.nBlockAlign);
        for (std::uint64_t left = frames; left > 0;) {
            const auto piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, kMaxCaptureFrames));
            Write(scratch_.data(), piece);
            device_->WriteCapture(scratch_.data(), piece * format_.nBlockAlign);
            left -= piece;
        }
        return frames;
    }
    // Fast capture never runs ahead of the buffers queued.
    std::uint64_t Room() override { return device_->CaptureRoom() / format_.nBlockAlign; }

    void Write(std::uint8_t* out, std::size_t frames) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // A file into a mono 16-bit device: its samples are the frames, copied a run at a time.
        if (source_->kind == InputSource::Kind::kFile && format_.wBitsPerSample == 16 &&
            format_.nChannels == 1) {
            const std::vector<std::int16_t>& file = source_->samples;
            while (frames > 0) {
                const std::size_t run = std::min(frames, file.size() - filePosition_);
                std::memcpy(out, file.data() + filePosition_, run * sizeof(std::int16_t));
                out += run * sizeof(std::int16_t);
                frames -= run;
                filePosition_ = (filePosition_ + run) % file.size();
            }
            return;
        }
#endif
        for (std::size_t frame = 0; frame < frames; ++frame) {
            const std::int16_t value = Value(next_++);
            for (unsigned channel = 0; channel < format_.nChannels; ++channel) {
                if (format_.wBitsPerSample == 8) {
                    *out++ = static_cast<std::uint8_t>((value + 32768) >> 8);
                } else {
                    const auto word = static_cast<std::uint16_t>(value);
                    *out++ = static_cast<std::uint8_t>(word & 0xFF);
                    *out++ = static_cast<std::uint8_t>(word >> 8);
                }
            }
        }
    }

    std::int16_t Value(std::uint64_t n) {
        const double rate = format_.nSamplesPerSec;
        switch (source_->kind) {
            case InputSource::Kind::kSilence:
                return 0;
            case InputSource::Kind::kRamp:
                return static_cast<std::int16_t>(static_cast<std::uint16_t>(n & 0xFFFF));
            case InputSource::Kind::kTone: {
                // Phase from the sample index, reduced first so it stays exact for hours.
                const double cycles = std::fmod(source_->frequency * static_cast<double>(n), rate);
                const double level = kToneAmplitude * std::sin(kTwoPi * cycles / rate);
                return static_cast<std::int16_t>(std::lround(std::min(level, 32767.0)));
            }
            case InputSource::Kind::kFile: {
                // Wraps by comparison: a division per sample would cost more than the rest.
                const std::int16_t value = source_->samples[filePosition_];
                if (++filePosition_ == source_->samples.size()) filePosition_ = 0;
                return value;
            }
        }
        return 0;
    }

    const std::shared_ptr<const InputSource> source_;
    std::uint64_t next_ = 0;        // the next tone or ramp sample
    std::size_t filePosition_ = 0;  // the next file sample
    std::vector<std::uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<OutputBackend> CreateVirtualOutput(const BackendRequest& request) {
    return std::make_unique<VirtualOutput>(request.pace);
}

std::unique_ptr<InputBackend> CreateVirtualInput(const BackendRequest& request) {
    return std::make_unique<VirtualInput>(request.pace, request.source);
}

std::unique_ptr<OutputBackend> CreateNullOutput(const BackendRequest& /*request*/) {
    return std::make_unique<VirtualOutput>(Pace::kFast);
}

std::unique_ptr<InputBackend> CreateNullInput(const BackendRequest& /*request*/) {
    static const auto silence = std::make_shared<const InputSource>();
    return std::make_unique<VirtualInput>(Pace::kFast, silence);
}

}  // namespace quorvel::device::detail
