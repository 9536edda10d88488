// Starting SDL's audio once, the SDL request for a wave format, and the watch that notices when
// an open sound device goes away.
#include "backends/sdl/sdl_audio.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
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
    // Calls given up on that have not returned yet: SDL is stuck inside one.
    std::atomic<int> stuck{0};
    // One thread makes every starting, opening, listing and closing call, one at a time: SDL
    // does not promise them safe from several threads at once, and it keeps per-thread state
    // (its error text) that a thread of its own for each call would leave behind at every exit.
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<std::function<void()>> calls;
    bool running = false;
};

// Hands `job` to SDL's calling thread, starting it the first time. Throws std::system_error
// when no thread can be started.
void PostSdlCall(std::function<void()> job) {
    SdlAudio& sdl = NeverDestroyed<SdlAudio>();
    const std::lock_guard<std::mutex> lock(sdl.mutex);
    if (!sdl.running) {
        std::thread([&sdl] {
            std::unique_lock<std::mutex> held(sdl.mutex);
            while (true) {
                sdl.posted.wait(held, [&sdl] { return !sdl.calls.empty(); });
                std::function<void()> next = std::move(sdl.calls.front());
                sdl.calls.pop_front();
                held.unlock();
                next();
                held.lock();
            }
        }).detach();
        sdl.running = true;
    }
    sdl.calls.push_back(std::move(job));
    sdl.posted.notify_one();
}

// Runs `call` on SDL's calling thread and waits for it at most
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
        PostSdlCall([pending, call = std::move(call), late = std::move(late)] {
            SdlAudio& audio = NeverDestroyed<SdlAudio>();
            Result value = call();
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
        });
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

SDL_AudioDeviceID OpenDevice(bool capture, const std::string& name, const SDL_AudioSpec& wanted,
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
        SDL_CloseAudioDevice(opened.device);  // on SDL's calling thread, like every call
    };
    Opened opened;
    const std::string what = std::string("opening ") +
                             (name.empty() ? "the default device" : "\"" + name + "\"") +
                             (capture ? " for capture" : " for output");
    if (!CallWithLimit(what, open, &opened, problem, openedTooLate)) return 0;
    if (opened.device == 0) *problem = opened.problem;
    return opened.device;
}

// The SDL request for `format`: the device's own rate, channels and sample type, so that SDL
// opens it without converting, and a chunk of about 63 ms (rate / 16 frames, 500 at 8000 Hz).
// That keeps a late block's cost small and, at 8000 Hz, makes chunks divide blocks of 1000,
// 2000 or 4000 frames so that block ends fall on chunk ends.
SDL_AudioSpec SpecFor(const WAVEFORMATEX& format) {
    SDL_AudioSpec wanted{};
    wanted.freq = static_cast<int>(format.nSamplesPerSec);
    wanted.format = format.wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16LSB;
    wanted.channels = static_cast<Uint8>(format.nChannels);
    wanted.samples =
        static_cast<Uint16>(std::max(format.nSamplesPerSec / kChunksPerSecond, kMinChunkFrames));
    return wanted;
}

}  // namespace

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

bool SdlDevice::Open(bool capture, const std::string& name, const WAVEFORMATEX& format,
                     SDL_AudioCallback callback, void* userdata, BackendDevice& owner,
                     std::string* error) {
    SDL_AudioSpec wanted = SpecFor(format);
    wanted.callback = callback;
    wanted.userdata = userdata;
    std::string problem;
    id_ = OpenDevice(capture, name, wanted, &problem);
    if (id_ == 0) {
        *error = "SDL could not open " + SoundDeviceForPeople(name) + " for " +
                 FormatForPeople(format) + (capture ? " capture (" : " output (") + problem + ").";
        return false;
    }
    watch_ = std::thread(&SdlDevice::Watch, this, std::ref(owner), capture ? "input" : "output");
    return true;
}

SdlDevice::~SdlDevice() {
    if (id_ == 0) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wakeup_.notify_all();
    watch_.join();
    const SDL_AudioDeviceID device = id_;
    const std::function<bool()> close = [device] {
        SDL_CloseAudioDevice(device);
        return true;
    };
    bool closed = false;
    std::string problem;
    CallWithLimit("closing a device", close, &closed, &problem);
}

void SdlDevice::Watch(BackendDevice& owner, const char* direction) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wakeup_.wait_for(lock, kWatchInterval, [this] { return stopping_; })) {
        // SDL marks a device whose server or card went away as stopped (a paused one reads
        // SDL_AUDIO_PAUSED), and calls its callback no more.
        if (SDL_GetAudioDeviceStatus(id_) == SDL_AUDIO_STOPPED) {
            lock.unlock();
            owner.Lost(std::string("SDL reports that the ") + direction +
                       " sound device stopped (its sound server or card went away)");
            return;
        }
    }
}

}  // namespace quorvel::device::detail

extern "C" __attribute__((visibility("default"))) const quorvel::device::detail::SdlPlugin*
quorvel_device_sdl_plugin() {
    namespace qd = quorvel::device::detail;
    static const qd::SdlPlugin plugin{&qd::CreateSdlOutput, &qd::CreateSdlInput,
                                      &qd::ListSdlDevices};
    return &plugin;
}
