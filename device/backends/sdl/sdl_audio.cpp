// Starting SDL's audio once, the SDL request for a wave format, and the watch that notices when
// an open sound device goes away.
#include "backends/sdl/sdl_audio.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "backends/sdl/sdl_plugin.h"
#include "core/never_destroyed.h"

namespace quorvel::device::detail {
namespace {

constexpr auto kWatchInterval = std::chrono::milliseconds(100);
constexpr unsigned kChunksPerSecond = 16;
constexpr unsigned kMinChunkFrames = 16;

struct SdlAudio {
    std::mutex startMutex;
    bool started = false;
    // Opening and closing devices: SDL does not promise them safe from several threads at once.
    std::mutex deviceCalls;
};

}  // namespace

bool StartSdlAudio(std::string* error) {
    SdlAudio& sdl = NeverDestroyed<SdlAudio>();
    const std::lock_guard<std::mutex> lock(sdl.startMutex);
    if (sdl.started) return true;
    // The host owns its signals: SDL must not turn SIGINT and SIGTERM into SDL_QUIT events.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "QuorvelWaveForm");
    // A sink's monitor is a capture device like any other, as arecord lists it.
    SDL_SetHint(SDL_HINT_AUDIO_INCLUDE_MONITORS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        *error = std::string("no audio driver: ") + SDL_GetError();
        return false;
    }
    sdl.started = true;
    return true;
}

namespace {

std::mutex& SdlDeviceCalls() {
    return NeverDestroyed<SdlAudio>().deviceCalls;
}

// When SDL falls back on ALSA and there is no sound card, ALSA prints a screenful of its own
// lines while the device fails to open; SDL's error says the same in one. So ALSA's printing is
// muted around SDL's open, if SDL has loaded ALSA, and put back as it was afterwards.
class AlsaMessagesMuted {
  public:
    AlsaMessagesMuted() {
        library_ = dlopen("libasound.so.2", RTLD_NOW | RTLD_NOLOAD);
        if (library_ == nullptr) return;
        setHandler_ = reinterpret_cast<SetHandler>(dlsym(library_, "snd_lib_error_set_handler"));
        auto* const current = reinterpret_cast<Handler*>(dlsym(library_, "snd_lib_error"));
        if (setHandler_ == nullptr || current == nullptr) {
            setHandler_ = nullptr;
            return;
        }
        previous_ = *current;
        setHandler_(&Silent);
    }
    ~AlsaMessagesMuted() {
        if (setHandler_ != nullptr) setHandler_(previous_);
        if (library_ != nullptr) dlclose(library_);
    }
    AlsaMessagesMuted(const AlsaMessagesMuted&) = delete;
    AlsaMessagesMuted& operator=(const AlsaMessagesMuted&) = delete;

  private:
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    static void Silent(const char*, int, const char*, int, const char*, ...) {}

    void* library_ = nullptr;
    SetHandler setHandler_ = nullptr;
    Handler previous_ = nullptr;
};

}  // namespace

SDL_AudioDeviceID OpenSdlDevice(bool capture, const std::string& name, const SDL_AudioSpec& wanted,
                                std::string* problem) {
    const std::lock_guard<std::mutex> lock(SdlDeviceCalls());
    const AlsaMessagesMuted muted;
    SDL_AudioSpec obtained{};
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(),
                                                         capture ? 1 : 0, &wanted, &obtained, 0);
    if (device == 0) *problem = SDL_GetError();
    return device;
}

std::vector<NamedDevice> ListSdlDevices(Direction direction) {
    std::string problem;
    if (!StartSdlAudio(&problem)) return {};
    const int capture = direction == Direction::kInput ? 1 : 0;
    const std::lock_guard<std::mutex> lock(SdlDeviceCalls());
    std::string defaultName;
    char* name = nullptr;
    SDL_AudioSpec defaultFormat{};
    if (SDL_GetDefaultAudioInfo(&name, &defaultFormat, capture) == 0 && name != nullptr) {
        defaultName = name;
        SDL_free(name);
    }
    // SDL names devices by their descriptions; it has no other name for them.
    std::vector<NamedDevice> devices;
    const int count = SDL_GetNumAudioDevices(capture);
    for (int i = 0; i < count; ++i) {
        const char* found = SDL_GetAudioDeviceName(i, capture);
        if (found == nullptr) continue;
        devices.push_back({found, found, defaultName == found});
    }
    return devices;
}

void CloseSdlDevice(SDL_AudioDeviceID device) {
    const std::lock_guard<std::mutex> lock(SdlDeviceCalls());
    SDL_CloseAudioDevice(device);
}

SDL_AudioSpec SdlSpecFor(const WAVEFORMATEX& format) {
    SDL_AudioSpec wanted{};
    wanted.freq = static_cast<int>(format.nSamplesPerSec);
    wanted.format = format.wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16LSB;
    wanted.channels = static_cast<Uint8>(format.nChannels);
    wanted.samples =
        static_cast<Uint16>(std::max(format.nSamplesPerSec / kChunksPerSecond, kMinChunkFrames));
    return wanted;
}

void SdlDeviceWatch::Start(SDL_AudioDeviceID device, std::function<void()> onLost) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this, device, onLost = std::move(onLost)] { Run(device, onLost); });
}

void SdlDeviceWatch::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wakeup_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SdlDeviceWatch::Run(SDL_AudioDeviceID device, const std::function<void()>& onLost) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wakeup_.wait_for(lock, kWatchInterval, [this] { return stopping_; })) {
        // SDL marks a device whose server or card went away as stopped (a paused one reads
        // SDL_AUDIO_PAUSED), and calls its callback no more.
        if (SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED) {
            lock.unlock();
            onLost();
            return;
        }
    }
}

namespace {

std::unique_ptr<Backend> CreateSdlBackend(const BackendRequest& request) {
    return request.direction == Direction::kOutput ? CreateSdlOutput(request.device)
                                                   : CreateSdlInput(request.device);
}

}  // namespace
}  // namespace quorvel::device::detail

extern "C" __attribute__((visibility("default"))) const quorvel::device::detail::SdlPlugin*
quorvel_device_sdl_plugin() {
    namespace qd = quorvel::device::detail;
    static const qd::SdlPlugin plugin{&qd::CreateSdlBackend, &qd::ListSdlDevices};
    return &plugin;
}
