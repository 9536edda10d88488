// The sound device through SDL: what the output and input backends on SDL share (starting SDL's
// audio once, describing formats, watching an open device for its loss).
#ifndef QUORVEL_DEVICE_SDL_AUDIO_H
#define QUORVEL_DEVICE_SDL_AUDIO_H

#include <SDL2/SDL.h>
#include <mmsystem.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "backends/backend.h"
#include "base/wave_format.h"

namespace quorvel::device::detail {

// One sound device opened through SDL, watched for its loss from a thread of its own.
class SdlDevice {
  public:
    SdlDevice() = default;
    // Stops the watch (once closed SDL reports the device stopped), then closes the device, and
    // returns once SDL's thread has left its callback for good, or after 2 s: a device still
    // inside its callback must have been paused first.
    ~SdlDevice();
    SdlDevice(const SdlDevice&) = delete;
    SdlDevice& operator=(const SdlDevice&) = delete;

    // Opens the sound device `name` (empty: the default one) for output or capture in exactly
    // `format` (no changes allowed, so SDL converts nothing it need not), paused, starting SDL's
    // audio the first time, with `callback` given each chunk. Once open, SDL reporting it
    // stopped (its sound server or card went away) is `owner`'s loss. False, with a sentence
    // naming the device and format in *error, when it cannot. Starting, opening, listing and
    // closing are serialised (SDL does not promise them safe from several threads at once),
    // and each is given up after 2 s, with a notice on standard error, when SDL does not
    // answer: its PulseAudio driver waits for ever on a server that stopped.
    bool Open(bool capture, const std::string& name, const WAVEFORMATEX& format,
              SDL_AudioCallback callback, void* userdata, BackendDevice& owner, std::string* error);
    // SDL holds the device's lock while its callback runs: once paused, no callback runs.
    void Pause(bool paused) { SDL_PauseAudioDevice(id_, paused ? 1 : 0); }
    bool opened() const { return id_ != 0; }

  private:
    void Watch(BackendDevice& owner, const char* direction);

    SDL_AudioDeviceID id_ = 0;
    std::mutex mutex_;
    std::condition_variable wakeup_;
    bool stopping_ = false;
    std::thread watch_;
};

std::unique_ptr<OutputBackend> CreateSdlOutput(const BackendRequest& request);
std::unique_ptr<InputBackend> CreateSdlInput(const BackendRequest& request);
std::vector<NamedDevice> ListSdlDevices(Direction direction);

}  // namespace quorvel::device::detail

#endif
