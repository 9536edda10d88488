// Sample and block sizes shared by playback, recording and the trace, and the platform
// records as the module uses them.
#ifndef QWF_COMMON_BLOCKS_H
#define QWF_COMMON_BLOCKS_H

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

namespace qwf {

using Sample = std::int16_t;  // signed 16-bit little-endian PCM

constexpr int BLOCK_SAMPLES = 2000;
constexpr int BLOCK_BYTES = BLOCK_SAMPLES * static_cast<int>(sizeof(Sample));
constexpr int TRACE_POINTS = 240;

// Every header call passes the size of the platform's header record.
constexpr UINT WAVEHDR_SIZE = static_cast<UINT>(sizeof(WAVEHDR));

}  // namespace qwf

#endif
