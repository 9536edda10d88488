// Opening a pcm for a wave format, waiting on it, the pcm names as aplay -L lists them, and the
// plugin's entry.
#include "backends/alsa/alsa_pcm.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "backends/plugin.h"
#include "base/wave_format.h"

namespace quorvel::device::detail {

std::unique_ptr<OutputBackend> CreateAlsaOutput(const BackendRequest& request);
std::unique_ptr<InputBackend> CreateAlsaInput(const BackendRequest& request);

namespace {

constexpr unsigned kBufferMicroseconds = 750000;
constexpr unsigned kPeriodMicroseconds = 250000;

// alsa-lib prints its own lines on standard error when a pcm fails to open; the backend says
// the same in one sentence.
void Silent(const char*, int, const char*, int, const char*, ...) {}
void QuietAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&Silent); });
}

// ALSA's pulse plugin waits half a minute for a sound server that stopped answering; an open
// is given up after as long as the pulse backend waits, and closed should it return later.
constexpr auto kOpenLimit = std::chrono::seconds(2);

int OpenWithLimit(snd_pcm_t** pcm, const std::string& name, snd_pcm_stream_t stream) {
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
        std::thread([pending, name, stream] {
            snd_pcm_t* opened = nullptr;
            const int result = snd_pcm_open(&opened, name.c_str(), stream, SND_PCM_NONBLOCK);
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

}  // namespace

AlsaPcm::~AlsaPcm() {
    if (pcm_ != nullptr) snd_pcm_close(pcm_);
    if (bell_ >= 0) close(bell_);
}

bool AlsaPcm::Open(Direction direction, const std::string& name, const WAVEFORMATEX& format,
                   std::string* error) {
    QuietAlsa();
    name_ = name.empty() ? "default" : name;
    const bool output = direction == Direction::kOutput;
    const std::string pcm = "the ALSA pcm \"" + name_ + "\"";
    int result =
        OpenWithLimit(&pcm_, name_, output ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE);
    if (result < 0) {
        pcm_ = nullptr;
        *error = "Cannot open " + pcm + (output ? " for output (" : " for capture (") +
                 (result == -ETIMEDOUT ? "it did not answer within 2 s" : snd_strerror(result)) +
                 ").";
        return false;
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(pcm_, hw);
    const std::string verb = output ? " cannot play " : " cannot capture ";
    if (snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm_, hw, SampleFormat(format.wBitsPerSample)) < 0) {
        *error = "The " + pcm.substr(4) + verb + std::to_string(format.wBitsPerSample) +
                 "-bit samples (its plug form converts them).";
        return false;
    }
    if (snd_pcm_hw_params_set_channels(pcm_, hw, format.nChannels) < 0) {
        *error = "The " + pcm.substr(4) + verb + std::to_string(format.nChannels) +
                 " channels (its plug form converts them).";
        return false;
    }
    if (snd_pcm_hw_params_set_rate(pcm_, hw, format.nSamplesPerSec, 0) < 0) {
        *error = "The " + pcm.substr(4) + verb + "at " + std::to_string(format.nSamplesPerSec) +
                 " Hz (its plug form converts the rate).";
        return false;
    }
    unsigned buffer = kBufferMicroseconds;
    unsigned period = kPeriodMicroseconds;
    snd_pcm_hw_params_set_buffer_time_near(pcm_, hw, &buffer, nullptr);
    snd_pcm_hw_params_set_period_time_near(pcm_, hw, &period, nullptr);
    snd_pcm_uframes_t periodFrames = 0;
    if ((result = snd_pcm_hw_params(pcm_, hw)) < 0 ||
        (result = snd_pcm_hw_params_get_buffer_size(hw, &buffer_)) < 0 ||
        (result = snd_pcm_hw_params_get_period_size(hw, &periodFrames, nullptr)) < 0) {
        *error = "Cannot set up " + pcm + " for " + FormatForPeople(format) + " (" +
                 snd_strerror(result) + ").";
        return false;
    }
    canPause_ = snd_pcm_hw_params_can_pause(hw) != 0;
    // Output starts once the buffer is full or the device has nothing more for now (the
    // backend starts it then); both wake a period at a time.
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(pcm_, sw);
    snd_pcm_sw_params_set_avail_min(pcm_, sw, periodFrames);
    snd_pcm_sw_params_set_start_threshold(pcm_, sw, output ? buffer_ : 1);
    if ((result = snd_pcm_sw_params(pcm_, sw)) < 0) {
        *error = "Cannot set up " + pcm + " (" + snd_strerror(result) + ").";
        return false;
    }
    bell_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (bell_ < 0) {
        *error = "No eventfd could be made for " + pcm + ".";
        return false;
    }
    return true;
}

bool AlsaPcm::Wait(bool watchPcm, int timeoutMs) {
    std::vector<pollfd> fds(1);
    fds[0] = {bell_, POLLIN, 0};
    const int count = watchPcm ? snd_pcm_poll_descriptors_count(pcm_) : 0;
    if (count > 0) {
        fds.resize(1 + static_cast<std::size_t>(count));
        snd_pcm_poll_descriptors(pcm_, fds.data() + 1, static_cast<unsigned>(count));
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0) return true;  // interrupted: look again
    if (fds[0].revents != 0) {
        eventfd_t rung = 0;
        eventfd_read(bell_, &rung);
    }
    unsigned short events = 0;
    if (count > 0) {
        snd_pcm_poll_descriptors_revents(pcm_, fds.data() + 1, static_cast<unsigned>(count),
                                         &events);
    }
    return (events & (POLLERR | POLLHUP | POLLNVAL)) == 0 ||
           snd_pcm_state(pcm_) != SND_PCM_STATE_DISCONNECTED;
}

void AlsaPcm::Ring() {
    eventfd_write(bell_, 1);
}

bool AlsaPcm::Recover(int error, std::string* problem) {
    if ((error == -EPIPE || error == -ESTRPIPE || error == -EINTR) &&
        snd_pcm_recover(pcm_, error, 1) == 0) {
        return true;
    }
    *problem = "the ALSA pcm \"" + name_ + "\" went away (" + snd_strerror(error) + ")";
    return false;
}

// The pcms as aplay -L and arecord -L list them: by their hint's NAME, with its DESC (lines
// joined), for the direction of its IOID (none: both); "default" is the one opened unnamed.
std::vector<NamedDevice> ListAlsaDevices(Direction direction) {
    QuietAlsa();
    std::vector<NamedDevice> devices;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) return devices;
    const char* const unwanted = direction == Direction::kOutput ? "Input" : "Output";
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        char* io = snd_device_name_get_hint(*hint, "IOID");
        if (name != nullptr && (io == nullptr || std::string(io) != unwanted)) {
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
    QuietAlsa();
    snd_pcm_t* pcm = nullptr;
    if (OpenWithLimit(&pcm, name,
                      direction == Direction::kOutput ? SND_PCM_STREAM_PLAYBACK
                                                      : SND_PCM_STREAM_CAPTURE) < 0) {
        return false;
    }
    snd_pcm_close(pcm);
    return true;
}

}  // namespace quorvel::device::detail

extern "C" __attribute__((visibility("default"))) const quorvel::device::detail::BackendPlugin*
quorvel_device_alsa_plugin() {
    namespace qd = quorvel::device::detail;
    static const qd::BackendPlugin plugin{&qd::CreateAlsaOutput, &qd::CreateAlsaInput,
                                          &qd::ListAlsaDevices, &qd::AlsaOpensDevice};
    return &plugin;
}
