// The null device: plays into nothing and captures silence, as fast as the device has blocks and
// buffers, on the thread that wakes it. The device's sinks still see every byte played.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "backends/backend.h"

namespace quorvel::device::detail {
namespace {

constexpr std::size_t kSilenceBytes = 4096;

class NullBackend final : public Backend {
  public:
    explicit NullBackend(Direction direction) : direction_(direction) {}

    bool Open(BackendDevice& device, const WAVEFORMATEX& format, std::string* /*error*/) override {
        device_ = &device;
        // Whole frames of silence: 8-bit samples are unsigned, centred on 0x80.
        const std::size_t bytes = kSilenceBytes / format.nBlockAlign * format.nBlockAlign;
        silence_.assign(bytes, format.wBitsPerSample == 8 ? 0x80 : 0);
        return true;
    }

    void Start() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
    }

    void Stop() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }

    void Wake() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
        if (direction_ == Direction::kOutput) {
            device_->Transfer(nullptr, std::numeric_limits<std::size_t>::max());
            return;
        }
        while (const std::size_t ready = device_->Ready()) {
            device_->Transfer(silence_.data(), std::min(ready, silence_.size()));
        }
    }

  private:
    const Direction direction_;
    BackendDevice* device_ = nullptr;
    std::vector<std::uint8_t> silence_;
    std::mutex mutex_;  // held while audio moves, so Stop waits for a Wake still moving it
    bool running_ = false;
};

}  // namespace

std::unique_ptr<Backend> CreateNullBackend(const BackendRequest& request) {
    return std::make_unique<NullBackend>(request.direction);
}

}  // namespace quorvel::device::detail
