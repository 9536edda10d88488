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

class SdlInput final : public Backend {
  public:
    explicit SdlInput(std::string name) : name_(std::move(name)) {}
    ~SdlInput() override {
        if (device_ == 0) return;
        watch_.Stop();  // first: once the device is closed SDL reports it stopped
        CloseSdlDevice(device_);
    }
    SdlInput(const SdlInput&) = delete;
    SdlInput& operator=(const SdlInput&) = delete;

    // Opens the device paused.
    bool Open(BackendDevice& device, const WAVEFORMATEX& format, std::string* error) override {
        std::string reason;
        owner_ = &device;
        SDL_AudioSpec wanted = SdlSpecFor(format);
        wanted.callback = &SdlInput::Take;
        wanted.userdata = this;
        device_ = OpenSdlDevice(true, name_, wanted, &reason);
        if (device_ == 0) {
            *error = "SDL could not open " + SoundDeviceForPeople(name_) + " for " +
                     FormatForPeople(format) + " capture (" + reason + ").";
            return false;
        }
        watch_.Start(device_, [this] {
            owner_->Lost(
                "SDL reports that the input sound device stopped (its sound server or "
                "card went away)");
        });
        return true;
    }

    // SDL takes the device's lock to pause it, and holds it while the callback runs, so once
    // pausing returns no chunk is being handed over and none will be until resumed.
    void Start() override { SDL_PauseAudioDevice(device_, 0); }
    void Stop() override { SDL_PauseAudioDevice(device_, 1); }

  private:
    static void SDLCALL Take(void* self, Uint8* stream, int length) {
        auto* input = static_cast<SdlInput*>(self);
        // SDL reads at most one of the server's fragments each time the server sends one, so
        // whatever its thread falls behind by stays behind as added latency: it must not be late.
        if (!input->raised_) {
            RunAheadOfOrdinaryWork();
            input->raised_ = true;
        }
        input->owner_->Transfer(stream, static_cast<std::size_t>(length));
    }

    BackendDevice* owner_ = nullptr;
    SDL_AudioDeviceID device_ = 0;
    bool raised_ = false;  // only SDL's thread uses it
    SdlDeviceWatch watch_;
    const std::string name_;  // of the device to open; empty: the default one
};

}  // namespace

std::unique_ptr<Backend> CreateSdlInput(const std::string& device) {
    return std::make_unique<SdlInput>(device);
}

}  // namespace quorvel::device::detail
