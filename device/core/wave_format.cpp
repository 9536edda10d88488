#include "core/wave_format.h"

namespace quorvel::device::detail {

MMRESULT CheckPcmFormat(const WAVEFORMATEX* format) {
    if (format == nullptr) return MMSYSERR_INVALPARAM;
    if (format->wFormatTag != WAVE_FORMAT_PCM) return WAVERR_BADFORMAT;
    if (format->nChannels == 0 || format->nChannels > 8) return WAVERR_BADFORMAT;
    if (format->nSamplesPerSec == 0 || format->nSamplesPerSec > 384000) return WAVERR_BADFORMAT;
    if (format->wBitsPerSample != 8 && format->wBitsPerSample != 16) return WAVERR_BADFORMAT;
    if (format->nBlockAlign != format->nChannels * (format->wBitsPerSample / 8)) {
        return WAVERR_BADFORMAT;
    }
    return MMSYSERR_NOERROR;
}

std::string FormatText(const WAVEFORMATEX* format) {
    if (format == nullptr) return "fmt{null}";
    return "fmt{" + std::to_string(format->wFormatTag) + "," + std::to_string(format->nChannels) +
           "," + std::to_string(format->nSamplesPerSec) + "," +
           std::to_string(format->nAvgBytesPerSec) + "," + std::to_string(format->nBlockAlign) +
           "," + std::to_string(format->wBitsPerSample) + "," + std::to_string(format->cbSize) +
           "}";
}

std::string FormatForPeople(const WAVEFORMATEX& format) {
    return std::to_string(format.nSamplesPerSec) + " Hz, " + std::to_string(format.nChannels) +
           (format.nChannels == 1 ? " channel, " : " channels, ") +
           std::to_string(format.wBitsPerSample) + "-bit";
}

}  // namespace quorvel::device::detail
