#include "media/wav_chunks.h"

#include <unistd.h>

#include <cerrno>

namespace quorvel::host {

FileReader::~FileReader() {
    ::close(fd_);
}

bool FileReader::ReadAt(std::uint64_t offset, void* out, std::size_t count) {
    auto* bytes = static_cast<std::uint8_t*>(out);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && error_ == 0) error_ = errno;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::vector<Chunk> ListChunks(FileReader& reader, std::uint64_t fileBytes) {
    std::vector<Chunk> chunks;
    riff::WalkChunks(
        fileBytes,
        [&reader](std::uint64_t offset, void* out, std::size_t count) {
            return reader.ReadAt(offset, out, count);
        },
        [&chunks](const riff::ChunkHeader& header) {
            chunks.push_back(Chunk{std::string(header.id, 4), header.offset, header.size});
            return true;
        });
    return chunks;
}

std::string PrintableId(const std::string& id) {
    std::string text;
    for (const char c : id) text += (c >= 0x20 && c < 0x7F) ? c : '?';
    return text;
}

std::string IdList(const std::vector<Chunk>& chunks, std::uint64_t from, std::uint64_t to) {
    constexpr std::size_t kNamedKinds = 3;
    // Runs of one id count as one kind: a file of thousands of chunks still reads in a line.
    std::vector<std::pair<std::string, std::size_t>> runs;
    for (const Chunk& chunk : chunks) {
        if (chunk.offset >= to || chunk.offset + 8 + chunk.size <= from) continue;
        std::string id = PrintableId(chunk.id);
        id.erase(id.find_last_not_of(' ') + 1);  // "fmt " reads as fmt in a sentence
        if (!runs.empty() && runs.back().first == id) {
            ++runs.back().second;
        } else {
            runs.emplace_back(id, 1);
        }
    }
    std::vector<std::string> names;
    std::size_t more = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (i >= kNamedKinds && runs.size() > kNamedKinds + 1) {
            more += runs[i].second;
            continue;
        }
        const auto& [id, count] = runs[i];
        names.push_back(count == 1 ? id : std::to_string(count) + " " + id);
    }
    if (more != 0) names.push_back(std::to_string(more) + " more");
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += (i + 1 == names.size()) ? " and " : ", ";
        list += names[i];
    }
    return list;
}

}  // namespace quorvel::host
