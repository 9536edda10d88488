// The chunks of a RIFF file as they lie on disk, read without trusting any size to be sane, and
// named for a person in one short phrase however many there are.
#ifndef QUORVEL_HOST_WAV_CHUNKS_H
#define QUORVEL_HOST_WAV_CHUNKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "quorvel/riff_chunks.hpp"

namespace quorvel::host {

struct Chunk {
    std::string id;
    std::uint64_t offset = 0;  // of the chunk header
    std::uint32_t size = 0;    // as declared
    std::uint64_t end() const { return offset + 8 + size + (size & 1U); }
};

// An open file read at offsets; remembers the first read error. Takes the descriptor.
class FileReader {
  public:
    explicit FileReader(int fd) : fd_(fd) {}
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader();

    // True when all `count` bytes were read.
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count);
    int error() const { return error_; }

  private:
    int fd_;
    int error_ = 0;
};

// The chunks from byte 12 on, at most riff::kMaxChunks of them.
std::vector<Chunk> ListChunks(FileReader& reader, std::uint64_t fileBytes);

// Printable chunk ids ("LIST", "fact"); anything else shows as '?'.
std::string PrintableId(const std::string& id);

// The ids of the chunks that overlap the bytes [from, to) in order, repeats counted, e.g.
// "LIST and data", "fmt, 5000 abcd and data"; past a few kinds, "... and 12 more".
std::string IdList(const std::vector<Chunk>& chunks, std::uint64_t from, std::uint64_t to);

using riff::kMaxChunks;
using riff::U16;
using riff::U32;

}  // namespace quorvel::host

#endif
