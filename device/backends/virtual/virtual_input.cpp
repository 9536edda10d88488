// The virtual input: a source's samples, handed over in real time by a pacing thread, or as
// fast as buffers are queued, never running ahead of them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "backends/virtual/source.h"
#include "backends/virtual/virtual.h"

namespace quorvel::device::detail {
namespace {

constexpr double kToneAmplitude = 16384.0;  // half of full scale
constexpr double kTwoPi = 6.283185307179586476925286766559;
// The most frames handed over at once.
constexpr std::size_t kMaxFramesPerHandOver = 4096;

// Produces one source's values, in order, formatted as the device's frames. Its position
// survives Stop and Start, so a restarted device continues where it stopped.
class SampleGenerator {
  public:
    SampleGenerator(std::shared_ptr<const InputSource> source, const WAVEFORMATEX& format)
        : source_(std::move(source)),
          file_(&source_->samples),
          rate_(format.nSamplesPerSec),
          channels_(format.nChannels),
          bits_(format.wBitsPerSample) {}

    void Write(std::uint8_t* out, std::size_t frames) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // A file into a mono 16-bit device: its samples are the frames, copied a run at a time.
        if (source_->kind == InputSource::Kind::kFile && bits_ == 16 && channels_ == 1) {
            while (frames > 0) {
                const std::size_t run = std::min(frames, file_->size() - filePosition_);
                std::memcpy(out, file_->data() + filePosition_, run * sizeof(std::int16_t));
                out += run * sizeof(std::int16_t);
                frames -= run;
                next_ += run;
                filePosition_ += run;
                if (filePosition_ == file_->size()) filePosition_ = 0;
            }
            return;
        }
#endif
        for (std::size_t frame = 0; frame < frames; ++frame) {
            const std::int16_t value = Value(next_++);
            for (unsigned channel = 0; channel < channels_; ++channel) {
                if (bits_ == 8) {
                    *out++ = static_cast<std::uint8_t>((value + 32768) >> 8);
                } else {
                    const auto word = static_cast<std::uint16_t>(value);
                    *out++ = static_cast<std::uint8_t>(word & 0xFF);
                    *out++ = static_cast<std::uint8_t>(word >> 8);
                }
            }
        }
    }

    std::size_t FrameBytes() const {
        return std::size_t{channels_} * (bits_ / 8u);
    }
    unsigned Rate() const {
        return rate_;
    }

  private:
    std::int16_t Value(std::uint64_t n) {
        switch (source_->kind) {
            case InputSource::Kind::kSilence:
                return 0;
            case InputSource::Kind::kRamp:
                return static_cast<std::int16_t>(static_cast<std::uint16_t>(n & 0xFFFF));
            case InputSource::Kind::kTone: {
                // Phase from the sample index, reduced first so it stays exact for hours.
                const double cycles = std::fmod(source_->frequency * static_cast<double>(n), rate_);
                const double level = kToneAmplitude * std::sin(kTwoPi * cycles / rate_);
                return static_cast<std::int16_t>(std::lround(std::min(level, 32767.0)));
            }
            case InputSource::Kind::kFile: {
                // Wraps by comparison: a division per sample would cost more than the rest.
                const std::int16_t value = (*file_)[filePosition_];
                if (++filePosition_ == file_->size()) filePosition_ = 0;
                return value;
            }
        }
        return 0;
    }

    std::shared_ptr<const InputSource> source_;
    const std::vector<std::int16_t>* file_;
    unsigned rate_;
    unsigned channels_;
    unsigned bits_;
    std::uint64_t next_ = 0;
    std::size_t filePosition_ = 0;  // next_ modulo the file's length
};

class VirtualInput final : public Backend {
  public:
    VirtualInput(Pace pace, std::shared_ptr<const InputSource> source)
        : pace_(pace), source_(std::move(source)) {}
    ~VirtualInput() override { VirtualInput::Stop(); }
    VirtualInput(const VirtualInput&) = delete;
    VirtualInput& operator=(const VirtualInput&) = delete;

    bool Open(BackendDevice& device, const WAVEFORMATEX& format, std::string* /*error*/) override {
        device_ = &device;
        generator_.emplace(source_, format);
        frameBytes_ = generator_->FrameBytes();
        scratch_.resize(kMaxFramesPerHandOver * frameBytes_);
        return true;
    }

    void Start() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (running_) return;
        running_ = true;
        stopping_ = false;
        if (pace_ == Pace::kRealTime) thread_ = std::thread(&VirtualInput::RunRealTime, this);
    }

    void Stop() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!running_) return;
            running_ = false;
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        const std::lock_guard<std::mutex> lock(mutex_);  // a fast hand-over still going ends
    }

    // Fast: fills what the queued buffers can take, now, on the caller's thread.
    void Wake() override {
        if (pace_ != Pace::kFast) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
        while (const std::size_t ready = device_->Ready()) {
            HandOverLocked(std::min(ready / frameBytes_, kMaxFramesPerHandOver));
        }
    }

  private:
    static constexpr std::chrono::milliseconds kStep{10};

    void HandOverLocked(std::size_t frames) {
        generator_->Write(scratch_.data(), frames);
        device_->Transfer(scratch_.data(), frames * frameBytes_);
    }

    std::uint64_t FramesDue(std::chrono::steady_clock::duration elapsed) const {
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed);
        const auto count =
            static_cast<std::uint64_t>(std::max<std::int64_t>(nanoseconds.count(), 0));
        const std::uint64_t rate = generator_->Rate();
        constexpr std::uint64_t kPerSecond = 1000000000;
        return count / kPerSecond * rate + count % kPerSecond * rate / kPerSecond;
    }

    // Hands the device the frames due by the steady clock every 10 ms. The count is computed
    // from the time since Start, never by adding step lengths, so the pace does not drift.
    void RunRealTime() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point begin = Clock::now();
        Clock::time_point nextTick = begin + kStep;
        std::uint64_t produced = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_until(lock, nextTick, [this] { return stopping_; })) {
            const Clock::time_point now = Clock::now();
            const std::uint64_t due = FramesDue(now - begin);
            while (produced < due) {
                const auto frames = static_cast<std::size_t>(
                    std::min<std::uint64_t>(due - produced, kMaxFramesPerHandOver));
                HandOverLocked(frames);
                produced += frames;
            }
            nextTick += kStep;
            if (nextTick <= now) nextTick = now + kStep;  // after a stall, catch up in one go
        }
    }

    const Pace pace_;
    const std::shared_ptr<const InputSource> source_;
    BackendDevice* device_ = nullptr;
    std::optional<SampleGenerator> generator_;
    std::size_t frameBytes_ = 1;
    std::vector<std::uint8_t> scratch_;

    std::mutex mutex_;  // held while frames are handed over
    std::condition_variable wake_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Backend> CreateVirtualInput(Pace pace, std::shared_ptr<const InputSource> source) {
    return std::make_unique<VirtualInput>(pace, std::move(source));
}

}  // namespace quorvel::device::detail
