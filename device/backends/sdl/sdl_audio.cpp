// Starting SDL's audio once, the SDL request for a wave format, and the watch that notices when
// an open sound device goes away.
#include "backends/sdl/sdl_audio.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <utility>

#include "backends/sdl/sdl_plugin.h"
#include "base/never_destroyed.h"

namespace quorvel::device::detail {
namespace {

constexpr auto kWatchInterval = std::chrono::milliseconds(100);
constexpr unsigned kChunksPerSecond = 16;
constexpr unsigned kMinChunkFrames = 16;

// SDL's PulseAudio driver waits for its server without a limit, in SDL_InitSubSystem as in
// opening, listing and closing, and ALSA's default device leads to the same server through its
// pulse plugin; so every SDL call that can reach a sound server runs on a thread of its own and
// is given up after as long as the pulse backend waits for the server.
constexpr auto kSdlLimit = std::chrono::seconds(2);

struct SdlAudio {
    bool started = false;
    // Starting, opening, listing and closing: SDL does not promise them safe from several
    // threads at once.
    std::mutex calls;
    // Calls given up on that have not returned yet: SDL is stuck inside one, holding `calls`.
    std::atomic<int> stuck{0};
};

// Runs `call` with SDL's calls serialised, on a thread of its own, and waits for it at most
// kSdlLimit. True with its result in *result; false with a sentence in *problem, and a notice on
// standard error naming SDL and `what`, when it did not return in time. A call given up on goes
// on by itself; should it ever return, `late` gets its result on its own thread (a device opened
// too late is closed there). No call is started while one given up on is still inside SDL.
template <typename Result>
bool CallWithLimit(const std::string& what, std::function<Result()> call, Result* result,
                   std::string* problem, std::function<void(Result)> late = nullptr) {
    SdlAudio& sdl = NeverDestroyed<SdlAudio>();
    if (sdl.stuck.load() > 0) {
        *problem = "SDL is still inside an earlier call that did not answer within 2 s";
        return false;
    }
    struct Pending {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool abandoned = false;
        Result result{};
    };
    const auto pending = std::make_shared<Pending>();
    try {
        std::thread([pending, call = std::move(call), late = std::move(late)] {
            SdlAudio& audio = NeverDestroyed<SdlAudio>();
            Result value;
            {
                const std::lock_guard<std::mutex> lock(audio.calls);
                value = call();
            }
            std::unique_lock<std::mutex> lock(pending->mutex);
            if (pending->abandoned) {
                lock.unlock();
                if (late) late(value);
                audio.stuck.fetch_sub(1);
                return;
            }
            pending->result = std::move(value);
            pending->done = true;
            pending->finished.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        *problem = "no thread could be started for SDL's call";
        return false;
    }
    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->finished.wait_for(lock, kSdlLimit, [&] { return pending->done; })) {
        pending->abandoned = true;
        sdl.stuck.fetch_add(1);  // before the thread can see it abandoned and count it back
        *problem = "SDL did not answer within 2 s";
        std::fprintf(stderr,
                     "QuorvelDevice: the SDL sound backend did not answer within 2 s %s, and is "
                     "given up.\n",
                     what.c_str());
        return false;
    }
    *result = std::move(pending->result);
    return true;
}

// With SDL's calls serialised: starts SDL's audio the first time, and again after a failure.
bool StartSdlAudioLocked(std::string* error) {
    SdlAudio& sdl = NeverDestroyed<SdlAudio>();
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

}  // namespace

namespace {

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
    struct Opened {
        SDL_AudioDeviceID device = 0;
        std::string problem;
    };
    const std::function<Opened()> open = [capture, name, wanted] {
        Opened opened;
        if (!StartSdlAudioLocked(&opened.problem)) return opened;
        const AlsaMessagesMuted muted;
        SDL_AudioSpec obtained{};
        opened.device = SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), capture ? 1 : 0,
                                            &wanted, &obtained, 0);
        if (opened.device == 0) opened.problem = SDL_GetError();
        return opened;
    };
    const std::function<void(Opened)> openedTooLate = [](const Opened& opened) {
        if (opened.device == 0) return;
        const std::lock_guard<std::mutex> lock(NeverDestroyed<SdlAudio>().calls);
        SDL_CloseAudioDevice(opened.device);
    };
    Opened opened;
    const std::string what = std::string("opening ") +
                             (name.empty() ? "the default device" : "\"" + name + "\"") +
                             (capture ? " for capture" : " for output");
    if (!CallWithLimit(what, open, &opened, problem, openedTooLate)) return 0;
    if (opened.device == 0) *problem = opened.problem;
    return opened.device;
}

std::vector<NamedDevice> ListSdlDevices(Direction direction) {
    const int capture = direction == Direction::kInput ? 1 : 0;
    const std::function<std::vector<NamedDevice>()> list = [capture] {
        std::string problem;
        if (!StartSdlAudioLocked(&problem)) return std::vector<NamedDevice>{};
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
    };
    std::vector<NamedDevice> devices;
    std::string problem;
    CallWithLimit(capture != 0 ? "listing the capture devices" : "listing the output devices", list,
                  &devices, &problem);
    return devices;
}

void CloseSdlDevice(SDL_AudioDeviceID device) {
    const std::function<bool()> close = [device] {
        SDL_CloseAudioDevice(device);
        return true;
    };
    bool closed = false;
    std::string problem;
    CallWithLimit("closing a device", close, &closed, &problem);
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
