// The input backend on SDL: the sound device hands captured chunks to SDL's thread, which passes
// them straight to the device's sink, so capture goes through the device's own FIFO exactly as
// the virtual device's does. The module's callback is never called from SDL's thread.
#include <mutex>
#include <string>

#include "core/internal.h"
#include "backends/sdl/sdl_audio.h"

namespace quorvel::device::detail {
namespace {

class SdlInput final : public InputBackend {
  public:
    explicit SdlInput(InputSink& sink) : sink_(sink) {}
    ~SdlInput() override { SdlInput::Close(); }
    SdlInput(const SdlInput&) = delete;
    SdlInput& operator=(const SdlInput&) = delete;

    // Opens the device paused; false with a sentence in *problem.
    bool Open(const WAVEFORMATEX& format, std::string* problem) {
        std::string reason;
        SDL_AudioSpec wanted = SdlSpecFor(format);
        wanted.callback = &SdlInput::Take;
        wanted.userdata = this;
        if (StartSdlAudio(&reason)) device_ = OpenSdlDevice(true, wanted, &reason);
        if (device_ == 0) {
            *problem = "SDL could not open a sound device for " + FormatForPeople(format) +
                       " capture (" + reason + ").";
            return false;
        }
        frameBytes_ = format.nBlockAlign;
        watch_.Start(device_, [this] {
            sink_.Lost(
                "SDL reports that the input sound device stopped (its sound server or "
                "card went away)");
        });
        return true;
    }

    bool OnDemand() const override { return false; }
    const char* Name() const override { return "sdl"; }
    void Produce(std::uint8_t*, std::size_t) override {}

    // SDL takes the device's lock to pause it, and holds it while the callback runs, so once
    // pausing returns no chunk is being handed over and none will be until resumed.
    void Start() override {
        if (device_ != 0) SDL_PauseAudioDevice(device_, 0);
    }
    void Stop() override {
        if (device_ != 0) SDL_PauseAudioDevice(device_, 1);
    }

    void Close() override {
        if (device_ == 0) return;
        watch_.Stop();  // first: once the device is closed SDL reports it stopped
        CloseSdlDevice(device_);
        device_ = 0;
    }

  private:
    static void SDLCALL Take(void* self, Uint8* stream, int length) {
        auto* input = static_cast<SdlInput*>(self);
        // SDL reads at most one of the server's fragments each time the server sends one, so
        // whatever its thread falls behind by stays behind as added latency: it must not be late.
        if (!input->raised_) {
            RunAheadOfOrdinaryWork();
            input->raised_ = true;
        }
        input->sink_.Capture(stream, static_cast<std::size_t>(length) / input->frameBytes_);
    }

    InputSink& sink_;
    SDL_AudioDeviceID device_ = 0;
    std::size_t frameBytes_ = 1;
    bool raised_ = false;  // only SDL's thread uses it
    SdlDeviceWatch watch_;
};

class SdlInputFactory final : public InputBackendFactory {
  public:
    std::unique_ptr<InputBackend> Open(const WAVEFORMATEX& format, InputSink& sink,
                                       MMRESULT* result, std::string* problem) const override {
        auto input = std::make_unique<SdlInput>(sink);
        if (!input->Open(format, problem)) {
            *result = MMSYSERR_NODRIVER;
            return nullptr;
        }
        *result = MMSYSERR_NOERROR;
        return input;
    }
};

}  // namespace

std::shared_ptr<const InputBackendFactory> MakeSdlInputFactory(const InputSettings& /*settings*/,
                                                               std::string* /*error*/) {
    return std::make_shared<SdlInputFactory>();
}

}  // namespace quorvel::device::detail
