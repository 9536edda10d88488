// Checks and prints the PCM format records that both audio directions accept.
#ifndef QUORVEL_DEVICE_WAVE_FORMAT_H
#define QUORVEL_DEVICE_WAVE_FORMAT_H

#include <mmsystem.h>

#include <string>

namespace quorvel::device::detail {

// MMSYSERR_NOERROR for a format the devices can play or capture; MMSYSERR_INVALPARAM for a
// null record; WAVERR_BADFORMAT for anything impossible: a tag other than PCM, 0 or more than
// 8 channels, a rate of 0 or above 384000, bits other than 8 or 16, or a block align other
// than channels x bytes per sample. cbSize is not looked at (PCM records carry no extra bytes).
MMRESULT CheckPcmFormat(const WAVEFORMATEX* format);

// "fmt{tag,channels,rate,avg,align,bits,cbSize}" for the journal; "fmt{null}" for null.
std::string FormatText(const WAVEFORMATEX* format);

// "8000 Hz, 1 channel, 16-bit" for sentences.
std::string FormatForPeople(const WAVEFORMATEX& format);

}  // namespace quorvel::device::detail

#endif
