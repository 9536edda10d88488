#include "base/wave_format.h"

#include "quorvel/device.h"

namespace quorvel::device::detail {
namespace {

constexpr WORD kMaxChannels = 8;
constexpr DWORD kMaxRate = QWD_MAX_SAMPLE_RATE;

}  // namespace

// One list of rules for the check and for the sentence, so they cannot disagree.
std::string PcmFormatProblem(const WAVEFORMATEX& format) {
    const std::string channels = std::to_string(format.nChannels);
    const std::string bits = std::to_string(format.wBitsPerSample);
    if (format.wFormatTag != WAVE_FORMAT_PCM) {
        return "format tag " + std::to_string(format.wFormatTag) +
               ", and the device plays only PCM (1)";
    }
    if (format.nChannels == 0) return "0 channels";
    if (format.nChannels > kMaxChannels) {
        return channels + " channels, and the device plays at most " + std::to_string(kMaxChannels);
    }
    if (format.nSamplesPerSec == 0) return "a sample rate of 0 Hz";
    if (format.nSamplesPerSec > kMaxRate) {
        return "a sample rate of " + std::to_string(format.nSamplesPerSec) +
               " Hz, and the device plays at most " + std::to_string(kMaxRate) + " Hz";
    }
    if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) {
        return bits + " bits per sample, and the device plays only 8 or 16";
    }
    const int align = format.nChannels * (format.wBitsPerSample / 8);
    if (format.nBlockAlign != align) {
        return "a block align of " + std::to_string(format.nBlockAlign) + ", but " + channels +
               " channel(s) of " + bits + " bits need " + std::to_string(align);
    }
    return {};
}

MMRESULT CheckPcmFormat(const WAVEFORMATEX* format) {
    if (format == nullptr) return MMSYSERR_INVALPARAM;
    return PcmFormatProblem(*format).empty() ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

std::string FormatText(const WAVEFORMATEX* format) {
    if (format == nullptr) return "fmt{null}";
    return "fmt{" + std::to_string(format->wFormatTag) + "," + std::to_string(format->nChannels) +
           "," + std::to_string(format->nSamplesPerSec) + "," +
           std::to_string(format->nAvgBytesPerSec) + "," + std::to_string(format->nBlockAlign) +
           "," + std::to_string(format->wBitsPerSample) + "," + std::to_string(format->cbSize) +
           "}";
}

std::string SoundDeviceForPeople(const std::string& name) {
    return name.empty() ? std::string("a sound device") : "the sound device \"" + name + "\"";
}

std::string FormatForPeople(const WAVEFORMATEX& format) {
    return std::to_string(format.nSamplesPerSec) + " Hz, " + std::to_string(format.nChannels) +
           (format.nChannels == 1 ? " channel, " : " channels, ") +
           std::to_string(format.wBitsPerSample) + "-bit";
}

}  // namespace quorvel::device::detail
