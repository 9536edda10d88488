#include "base/wave_format.h"

#include "quorvel/device.h"

namespace quorvel::device::detail {
namespace {

constexpr WORD kMaxChannels = 8;
constexpr DWORD kMaxRate = QWD_MAX_SAMPLE_RATE;

enum class Broken { kNothing, kTag, kChannels, kRate, kBits, kBlockAlign };

// One list of rules for the check and for the sentence, so they cannot disagree.
Broken FirstBrokenRule(const WAVEFORMATEX& format) {
    if (format.wFormatTag != WAVE_FORMAT_PCM) return Broken::kTag;
    if (format.nChannels == 0 || format.nChannels > kMaxChannels) return Broken::kChannels;
    if (format.nSamplesPerSec == 0 || format.nSamplesPerSec > kMaxRate) return Broken::kRate;
    if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) return Broken::kBits;
    if (format.nBlockAlign != format.nChannels * (format.wBitsPerSample / 8)) {
        return Broken::kBlockAlign;
    }
    return Broken::kNothing;
}

}  // namespace

MMRESULT CheckPcmFormat(const WAVEFORMATEX* format) {
    if (format == nullptr) return MMSYSERR_INVALPARAM;
    return FirstBrokenRule(*format) == Broken::kNothing ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

std::string PcmFormatProblem(const WAVEFORMATEX& format) {
    const std::string channels = std::to_string(format.nChannels);
    const std::string rate = std::to_string(format.nSamplesPerSec);
    const std::string bits = std::to_string(format.wBitsPerSample);
    switch (FirstBrokenRule(format)) {
        case Broken::kNothing:
            return {};
        case Broken::kTag:
            return "format tag " + std::to_string(format.wFormatTag) +
                   ", and the device plays only PCM (1)";
        case Broken::kChannels:
            return format.nChannels == 0 ? "0 channels"
                                         : channels + " channels, and the device plays at most " +
                                               std::to_string(kMaxChannels);
        case Broken::kRate:
            return format.nSamplesPerSec == 0
                       ? "a sample rate of 0 Hz"
                       : "a sample rate of " + rate + " Hz, and the device plays at most " +
                             std::to_string(kMaxRate) + " Hz";
        case Broken::kBits:
            return bits + " bits per sample, and the device plays only 8 or 16";
        case Broken::kBlockAlign:
            return "a block align of " + std::to_string(format.nBlockAlign) + ", but " + channels +
                   " channel(s) of " + bits + " bits need " +
                   std::to_string(format.nChannels * (format.wBitsPerSample / 8));
    }
    return {};
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
