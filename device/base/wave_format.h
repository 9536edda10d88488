// The PCM format rules both audio directions apply, and the format record's text forms.
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

// The first of those rules the format breaks, as a phrase about its values for a person
// ("9 channels, and the device plays at most 8"); empty for a format the devices take.
std::string PcmFormatProblem(const WAVEFORMATEX& format);

// "fmt{tag,channels,rate,avg,align,bits,cbSize}" for the journal; "fmt{null}" for null.
std::string FormatText(const WAVEFORMATEX* format);

// "8000 Hz, 1 channel, 16-bit" for sentences.
std::string FormatForPeople(const WAVEFORMATEX& format);
// "a sound device" for a backend's default one, "the sound device "NAME"" for one named.
std::string SoundDeviceForPeople(const std::string& name);

}  // namespace quorvel::device::detail

#endif
