// Reads a WAV file's header the way the module will play it, so the host can refuse what the
// device would refuse and warn about layouts the module misreads. The module takes the five
// format fields from bytes 22..35 and plays everything from byte 44 on, whatever the chunks say.
#ifndef QUORVEL_HOST_WAV_CHECK_H
#define QUORVEL_HOST_WAV_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "QuorvelWaveForm.h"

namespace quorvel::host {

constexpr std::uint64_t kModuleHeaderBytes = QWF_WAV_HEADER_BYTES;
constexpr std::uint64_t kModuleBlockBytes = QWF_BLOCK_BYTES;

// The five format fields as the module reads them (little-endian, bytes 22..35).
struct ModuleFormat {
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
};

enum class WavVerdict {
    kPlayable,
    kMissing,     // no such file
    kNotAFile,    // a directory, a device, a FIFO
    kUnreadable,  // cannot be opened or read
    kNotWav,      // not RIFF/WAVE, too short, no usable fmt chunk
    kNotPcm,      // compressed or floating-point samples
    kUnplayable,  // PCM, but a format the device refuses
};

struct WavReport {
    WavVerdict verdict = WavVerdict::kPlayable;
    std::string problem;      // one sentence naming the file, unless playable
    bool formatRead = false;  // `format` holds the file's bytes 22..35
    ModuleFormat format;
    std::uint16_t formatTag = 0;  // from the fmt chunk, when there is one
    std::uint16_t codecTag = 0;   // formatTag, or the codec's inside WAVE_FORMAT_EXTENSIBLE
    std::uint16_t fmtBits = 0;    // bits per sample as the fmt chunk gives them
    std::uint64_t fileBytes = 0;
    std::uint64_t playedBytes = 0;  // bytes from byte 44 to the end: what the module plays
    std::uint64_t blocks = 0;       // blocks of 4000 bytes the module queues
    bool hasDataChunk = false;
    std::uint64_t dataOffset = 0;       // where the data chunk's samples start
    std::uint64_t dataBytes = 0;        // what the data chunk declares
    std::vector<std::string> warnings;  // sentences about layouts the module misreads
    std::string chunks;                 // the chunk ids in order, e.g. "fmt, LIST and data"
    // The module reads exactly the samples: a 16-byte PCM fmt chunk at byte 12, the data
    // chunk's samples from byte 44 to the end of the file (its size may be a streaming
    // writer's placeholder), 8- or 16-bit in a format the device plays.
    bool canonical = false;

    bool Playable() const { return verdict == WavVerdict::kPlayable; }
    // Audio time of what the device plays, the silence completing the last block included;
    // 0 when the rate or block align is 0.
    double PlaySeconds() const;
};

// `name` names the file in sentences; by default the path, quoted.
WavReport InspectWav(const std::string& path, const std::string& name = {});

// A readable name for a WAVE format tag ("PCM", "IEEE float", "A-law", "G.726 ADPCM",
// "tag 0x1234").
std::string FormatTagName(std::uint16_t tag);

}  // namespace quorvel::host

#endif
