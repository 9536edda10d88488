// Sample and block sizes shared by playback, recording and the trace, and the platform
// records as the module uses them.
#ifndef QWF_COMMON_BLOCKS_H
#define QWF_COMMON_BLOCKS_H

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

#include "QuorvelWaveForm.h"

namespace qwf {

using Sample = std::int16_t;  // signed 16-bit little-endian PCM

// The value of a sample as a block holds it: two little-endian bytes, as files and devices
// carry them, whatever the host's byte order. Nothing to do on little-endian hosts.
constexpr Sample FromLittleEndian(Sample stored) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    const auto bits = static_cast<std::uint16_t>(stored);
    return static_cast<Sample>(static_cast<std::uint16_t>((bits << 8) | (bits >> 8)));
#else
    return stored;
#endif
}

constexpr int BLOCK_SAMPLES = QWF_BLOCK_SAMPLES;
constexpr int BLOCK_BYTES = BLOCK_SAMPLES * static_cast<int>(sizeof(Sample));
static_assert(BLOCK_BYTES == QWF_BLOCK_BYTES, "a block is 2000 16-bit samples");
constexpr int TRACE_POINTS = 240;

// Every header call passes the size of the platform's header record.
constexpr UINT WAVEHDR_SIZE = static_cast<UINT>(sizeof(WAVEHDR));

}  // namespace qwf

#endif
