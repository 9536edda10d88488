// The input backend on SDL: the sound device hands captured chunks to SDL's thread, which passes
// them straight to the device, so capture goes through the device's own FIFO exactly as
// the virtual device's does. The module's callback is never called from SDL's thread.
#include <mutex>
#include <string>
#include <utility>

#include "base/internal.h"
#include "backends/sdl/sdl_audio.h"

namespace quorvel::device::detail {
namespace {

class SdlInput final : public InputBackend {
  public:
    explicit SdlInput(std::string name) : name_(std::move(name)) {}

    // Opens the device paused.
    bool Open(CaptureDevice& device, const WAVEFORMATEX& format, std::string* error) override {
        owner_ = &device;
        return device_.Open(true, name_, format, &SdlInput::Take, this, device, error);
    }

    // SDL takes the device's lock to pause it, and holds it while the callback runs, so once
    // pausing returns no chunk is being handed over and none will be until resumed.
    void Start() override { device_.Pause(false); }
    void Stop() override { device_.Pause(true); }

  private:
    static void SDLCALL Take(void* self, Uint8* stream, int length) {
        auto* input = static_cast<SdlInput*>(self);
        // SDL reads at most one of the server's fragments each time the server sends one, so
        // whatever its thread falls behind by stays behind as added latency: it must not be late.
        if (!input->raised_) {
            RunAheadOfOrdinaryWork();
            input->raised_ = true;
        }
        input->owner_->WriteCapture(stream, static_cast<std::size_t>(length));
    }

    CaptureDevice* owner_ = nullptr;
    bool raised_ = false;     // only SDL's thread uses it
    const std::string name_;  // of the device to open; empty: the default one
    SdlDevice device_;        // last: closed first
};

}  // namespace

std::unique_ptr<InputBackend> CreateSdlInput(const BackendRequest& request) {
    return std::make_unique<SdlInput>(request.device);
}

}  // namespace quorvel::device::detail
