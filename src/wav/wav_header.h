// The 44-byte canonical RIFF/WAVE header: reading the five format fields for playback,
// writing and completing the header for recording.
#ifndef QWF_WAV_WAV_HEADER_H
#define QWF_WAV_WAV_HEADER_H

#include <cstdint>
#include <cstdio>

#include "QuorvelWaveForm.h"

namespace qwf {

constexpr int WAV_HEADER_BYTES = QWF_WAV_HEADER_BYTES;
constexpr std::uint32_t WAV_BLOCK_BYTES = QWF_BLOCK_BYTES;

// The file image, field by field in file order. Written little-endian whatever the host.
struct WavHeader {
    char riffId[4];
    std::uint32_t riffSize;
    char waveId[4];
    char fmtId[4];
    std::uint32_t fmtSize;
    std::uint16_t formatTag;
    std::uint16_t channels;
    std::uint32_t samplesPerSec;
    std::uint32_t avgBytesPerSec;
    std::uint16_t blockAlign;
    std::uint16_t bitsPerSample;
    char dataId[4];
    std::uint32_t dataSize;
};
static_assert(sizeof(WavHeader) == WAV_HEADER_BYTES, "the header record is the file image");

// The most blocks whose header still fits: RIFF size = blocks x 4000 + 36 within 32 bits.
constexpr std::uint32_t MAX_WAV_BLOCKS = (0xFFFFFFFFu - 36u) / WAV_BLOCK_BYTES;

struct WavFormatFields {
    std::uint16_t& channels;
    std::uint32_t& samplesPerSec;
    std::uint32_t& avgBytesPerSec;
    std::uint16_t& blockAlign;
    std::uint16_t& bitsPerSample;
};

// Reads the fields at offsets 22..35 without validating anything and leaves the stream at
// byte 44. A field the file does not fully reach keeps its previous value.
void ReadFormat(std::FILE* stream, const WavFormatFields& fields);

// Sets every field for a file of `blocks` blocks of 4000 bytes: 8000 Hz, mono, 16-bit PCM,
// data size blocks x 4000, RIFF size data size + 36. blocks must not exceed MAX_WAV_BLOCKS.
void FillHeader(WavHeader& header, std::uint32_t blocks);

// Sets both sizes to their largest value, as streaming writers do for a file that cannot be
// rewritten: readers take the data to run to the end of the stream.
void FillStreamingSizes(WavHeader& header);

// Writes the header as it stands at the stream's current position (the start of a new file).
bool WritePlaceholder(std::FILE* stream, const WavHeader& header);

// Rewrites the header, sizes included, in place and returns to the end of the stream, so the
// file on disk describes exactly the data written so far.
bool RefreshSizes(std::FILE* stream, const WavHeader& header);

// Rewrites the whole header at the start of the stream and closes the stream.
void Finalise(std::FILE* stream, const WavHeader& header);

}  // namespace qwf

#endif
