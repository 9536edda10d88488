// The pcms by name: opening one within a time limit, listing them as aplay -L does, and the
// plugin's entry point.
#include "backends/alsa/alsa_backend.h"

namespace quorvel::device::detail::alsa {

std::unique_ptr<OutputBackend> CreateAlsaOutput(const BackendRequest& request);
std::unique_ptr<InputBackend> CreateAlsaInput(const BackendRequest& request);

namespace {

// alsa-lib prints its own lines on standard error when a pcm fails to open; the backend says
// the same in one sentence.
void Silent(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void QuietAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&Silent); });
}

snd_pcm_stream_t StreamOf(Direction direction) {
    return direction == Direction::kOutput ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
}

// snd_pcm_open on a thread of its own, given up after kOpenLimit (-ETIMEDOUT); a pcm that
// opens after that is closed by that thread.
int OpenWithLimit(snd_pcm_t** pcm, const std::string& name, Direction direction) {
    QuietAlsa();
    struct Pending {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool abandoned = false;
        snd_pcm_t* pcm = nullptr;
        int result = 0;
    };
    const auto pending = std::make_shared<Pending>();
    try {
        std::thread([pending, name, direction] {
            snd_pcm_t* opened = nullptr;
            const int result =
                snd_pcm_open(&opened, name.c_str(), StreamOf(direction), SND_PCM_NONBLOCK);
            const std::lock_guard<std::mutex> lock(pending->mutex);
            if (pending->abandoned) {
                if (result == 0) snd_pcm_close(opened);
                return;
            }
            pending->pcm = opened;
            pending->result = result;
            pending->done = true;
            pending->finished.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return -EAGAIN;
    }
    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->finished.wait_for(lock, kOpenLimit, [&] { return pending->done; })) {
        pending->abandoned = true;
        return -ETIMEDOUT;
    }
    *pcm = pending->pcm;
    return pending->result;
}

snd_pcm_format_t SampleFormat(unsigned bits) {
    switch (bits) {
        case 8:
            return SND_PCM_FORMAT_U8;
        case 16:
            return SND_PCM_FORMAT_S16_LE;
        case 24:
            return SND_PCM_FORMAT_S24_3LE;
        case 32:
            return SND_PCM_FORMAT_S32_LE;
        default:
            return SND_PCM_FORMAT_UNKNOWN;
    }
}

// The pcms as aplay -L and arecord -L list them: by their hint's NAME, with its DESC (lines
// joined), for the direction of its IOID (none: both); "default" is the one opened unnamed.
std::vector<NamedDevice> ListAlsaDevices(Direction direction) {
    QuietAlsa();
    std::vector<NamedDevice> devices;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) return devices;
    const std::string unwanted = direction == Direction::kOutput ? "Input" : "Output";
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        char* io = snd_device_name_get_hint(*hint, "IOID");
        if (name != nullptr && (io == nullptr || io != unwanted)) {
            std::string text = description != nullptr ? description : name;
            for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n'))
                text.replace(at, 1, ", ");
            devices.push_back({name, text, std::string(name) == "default"});
        }
        free(name);
        free(description);
        free(io);
    }
    snd_device_name_free_hint(hints);
    return devices;
}

// Any pcm name alsa-lib can open, listed or not (hw:0,0, plughw:1, an asoundrc's own pcms).
bool AlsaOpensDevice(Direction direction, const std::string& name) {
    snd_pcm_t* pcm = nullptr;
    if (OpenWithLimit(&pcm, name, direction) < 0) return false;
    snd_pcm_close(pcm);
    return true;
}

}  // namespace quorvel::device::detail::alsa

extern "C" __attribute__((visibility("default"))) const quorvel::device::detail::BackendPlugin*
quorvel_device_alsa_plugin() {
    namespace qd = quorvel::device::detail;
    static const qd::BackendPlugin plugin{&qd::alsa::CreateAlsaOutput, &qd::alsa::CreateAlsaInput,
                                          &qd::alsa::ListAlsaDevices, &qd::alsa::AlsaOpensDevice};
    return &plugin;
}
