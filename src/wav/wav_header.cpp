#include "wav/wav_header.h"

#include <cstring>

namespace qwf {
namespace {

constexpr long FORMAT_FIELDS_OFFSET = 22;

// Little-endian reads of one field each; the field changes only when every byte was read.
template <typename Field>
void ReadField(std::FILE* stream, Field& field) {
    unsigned char bytes[sizeof(Field)];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes) return;
    Field value = 0;
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        value = static_cast<Field>(value | (static_cast<Field>(bytes[i]) << (8 * i)));
    }
    field = value;
}

void PutU16(unsigned char* out, std::uint16_t value) {
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>(value >> 8);
}

void PutU32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

void Serialise(const WavHeader& header, unsigned char (&out)[WAV_HEADER_BYTES]) {
    std::memcpy(out + 0, header.riffId, 4);
    PutU32(out + 4, header.riffSize);
    std::memcpy(out + 8, header.waveId, 4);
    std::memcpy(out + 12, header.fmtId, 4);
    PutU32(out + 16, header.fmtSize);
    PutU16(out + 20, header.formatTag);
    PutU16(out + 22, header.channels);
    PutU32(out + 24, header.samplesPerSec);
    PutU32(out + 28, header.avgBytesPerSec);
    PutU16(out + 32, header.blockAlign);
    PutU16(out + 34, header.bitsPerSample);
    std::memcpy(out + 36, header.dataId, 4);
    PutU32(out + 40, header.dataSize);
}

}  // namespace

void ReadFormat(std::FILE* stream, const WavFormatFields& fields) {
    std::fseek(stream, FORMAT_FIELDS_OFFSET, SEEK_SET);
    ReadField(stream, fields.channels);
    ReadField(stream, fields.samplesPerSec);
    ReadField(stream, fields.avgBytesPerSec);
    ReadField(stream, fields.blockAlign);
    ReadField(stream, fields.bitsPerSample);
    // Samples start at byte 44 whatever the file's chunk layout.
    std::fseek(stream, WAV_HEADER_BYTES, SEEK_SET);
}

void FillHeader(WavHeader& header, std::uint32_t blocks) {
    std::memcpy(header.riffId, "RIFF", 4);
    std::memcpy(header.waveId, "WAVE", 4);
    std::memcpy(header.fmtId, "fmt ", 4);
    std::memcpy(header.dataId, "data", 4);
    header.fmtSize = 16;
    header.formatTag = 1;
    header.channels = QWF_CAPTURE_CHANNELS;
    header.samplesPerSec = QWF_CAPTURE_RATE;
    header.avgBytesPerSec = QWF_CAPTURE_RATE * QWF_CAPTURE_FRAME_BYTES;
    header.blockAlign = QWF_CAPTURE_FRAME_BYTES;
    header.bitsPerSample = QWF_CAPTURE_BITS;
    header.dataSize = blocks * WAV_BLOCK_BYTES;
    header.riffSize = header.dataSize + (WAV_HEADER_BYTES - 8);
}

void FillStreamingSizes(WavHeader& header) {
    header.riffSize = 0xFFFFFFFFu;
    header.dataSize = 0xFFFFFFFFu;
}

bool WritePlaceholder(std::FILE* stream, const WavHeader& header) {
    unsigned char bytes[WAV_HEADER_BYTES];
    Serialise(header, bytes);
    return std::fwrite(bytes, 1, sizeof bytes, stream) == sizeof bytes;
}

bool RefreshSizes(std::FILE* stream, const WavHeader& header) {
    // The whole header again, in one write: fewer calls per block than patching its two
    // size fields, and the other fields are rewritten with the values they already hold.
    const bool written = std::fseek(stream, 0, SEEK_SET) == 0 && WritePlaceholder(stream, header);
    return std::fseek(stream, 0, SEEK_END) == 0 && written;
}

void Finalise(std::FILE* stream, const WavHeader& header) {
    std::fseek(stream, 0, SEEK_SET);
    WritePlaceholder(stream, header);
    std::fclose(stream);
}

}  // namespace qwf
