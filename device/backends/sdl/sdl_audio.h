// The sound device through SDL: what the output and input backends on SDL share (starting SDL's
// audio once, describing formats, watching an open device for its loss).
#ifndef QUORVEL_DEVICE_SDL_AUDIO_H
#define QUORVEL_DEVICE_SDL_AUDIO_H

#include <SDL2/SDL.h>
#include <mmsystem.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "backends/backend.h"
#include "base/wave_format.h"

namespace quorvel::device::detail {

// Opens the sound device `name` (empty: the default one) for output or capture in exactly the
// format asked for (no changes allowed, so SDL converts nothing it need not), paused, starting
// SDL's audio the first time; 0 with the reason in *problem. Starting, opening, listing and
// closing are serialised (SDL does not promise them safe from several threads at once), and each
// is given up after 2 s, with a notice on standard error, when SDL does not answer: its
// PulseAudio driver waits for ever on a server that stopped.
SDL_AudioDeviceID OpenSdlDevice(bool capture, const std::string& name, const SDL_AudioSpec& wanted,
                                std::string* problem);
// Returns once SDL's thread has left the device's callback for good, or after 2 s; a device
// still inside its callback must have been paused first.
void CloseSdlDevice(SDL_AudioDeviceID device);

// The SDL request for `format`: the device's own rate, channels and sample type, so that SDL
// opens it without converting, and a chunk of about 63 ms (rate / 16 frames, 500 at 8000 Hz).
// That keeps a late block's cost small and, at 8000 Hz, makes chunks divide blocks of 1000,
// 2000 or 4000 frames so that block ends fall on chunk ends.
SDL_AudioSpec SdlSpecFor(const WAVEFORMATEX& format);

// Watches one open SDL device from a thread of its own and calls `onLost` once, on that thread,
// when SDL reports the device stopped: its sound server or card went away.
class SdlDeviceWatch {
  public:
    SdlDeviceWatch() = default;
    ~SdlDeviceWatch() { Stop(); }
    SdlDeviceWatch(const SdlDeviceWatch&) = delete;
    SdlDeviceWatch& operator=(const SdlDeviceWatch&) = delete;

    void Start(SDL_AudioDeviceID device, std::function<void()> onLost);
    // Once it returns `onLost` is not called; it must not be called from `onLost` itself.
    void Stop();

  private:
    void Run(SDL_AudioDeviceID device, const std::function<void()>& onLost);

    std::mutex mutex_;
    std::condition_variable wakeup_;
    bool stopping_ = false;
    std::thread thread_;
};

std::unique_ptr<Backend> CreateSdlOutput(const std::string& device);
std::unique_ptr<Backend> CreateSdlInput(const std::string& device);
std::vector<NamedDevice> ListSdlDevices(Direction direction);

}  // namespace quorvel::device::detail

#endif
