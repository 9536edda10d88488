// The chunks of a RIFF file, walked from byte 12 without trusting any size to be sane: how the
// virtual input finds a WAV file's samples and how hosts describe a file's layout. Header-only.
#ifndef QUORVEL_RIFF_CHUNKS_HPP
#define QUORVEL_RIFF_CHUNKS_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvel::riff {

inline std::uint16_t U16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t U32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

struct ChunkHeader {
    char id[4];
    std::uint64_t offset;  // of the chunk header
    std::uint32_t size;    // as declared
    std::uint64_t body() const { return offset + 8; }
    std::uint64_t end() const { return body() + size + (size & 1U); }  // padded to even sizes
    bool Is(const char (&fourcc)[5]) const { return std::memcmp(id, fourcc, 4) == 0; }
};

// Enough for any real file; a corrupt size chain must not take long to walk.
constexpr std::size_t kMaxChunks = 65536;

// Calls visit(header) for each chunk whose header lies within the file's first `fileBytes`,
// in order, until visit returns false, a read fails or kMaxChunks were seen. `readAt(offset,
// out, count)` returns true when it read all `count` bytes.
template <typename ReadAt, typename Visit>
void WalkChunks(std::uint64_t fileBytes, ReadAt&& readAt, Visit&& visit) {
    std::uint64_t offset = 12;
    for (std::size_t seen = 0; offset + 8 <= fileBytes && seen < kMaxChunks; ++seen) {
        std::uint8_t bytes[8];
        if (!readAt(offset, bytes, sizeof bytes)) return;
        ChunkHeader header{{}, offset, U32(bytes + 4)};
        std::memcpy(header.id, bytes, 4);
        if (!visit(header)) return;
        offset = header.end();
    }
}

}  // namespace quorvel::riff

#endif
