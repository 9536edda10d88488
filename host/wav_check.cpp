#include "wav_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text.h"

// stat, open and pread of a WAV file past 2 GiB, on 32-bit systems too (CMakeLists.txt defines it).
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: define _FILE_OFFSET_BITS=64");

namespace quorvel::host {
namespace {

constexpr std::uint16_t kTagPcm = 0x0001;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
constexpr std::uint64_t kFormatFieldsOffset = 22;
constexpr std::uint64_t kCanonicalFmtOffset = 12;
// The device's own limits (waveOutOpen refuses anything else).
constexpr std::uint16_t kMaxChannels = 8;
constexpr std::uint32_t kMaxRate = 384000;
// Enough for any sane file; a corrupt size chain must not loop for long.
constexpr int kMaxChunks = 4096;

// The sub-format GUID of PCM inside WAVE_FORMAT_EXTENSIBLE, as stored in the file.
constexpr std::array<std::uint8_t, 16> kPcmSubFormat = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct Chunk {
    std::string id;
    std::uint64_t offset = 0;  // of the chunk header
    std::uint32_t size = 0;    // as declared
};

std::uint16_t U16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t U32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// An open file read at offsets; remembers the first read error.
class FileReader {
  public:
    explicit FileReader(int fd) : fd_(fd) {}
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader() { ::close(fd_); }

    // True when all `count` bytes were read.
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) {
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

    int error() const { return error_; }

  private:
    int fd_;
    int error_ = 0;
};

std::vector<Chunk> ListChunks(FileReader& reader, std::uint64_t fileBytes) {
    std::vector<Chunk> chunks;
    std::uint64_t offset = 12;
    while (offset + 8 <= fileBytes && static_cast<int>(chunks.size()) < kMaxChunks) {
        std::uint8_t header[8];
        if (!reader.ReadAt(offset, header, sizeof header)) break;
        Chunk chunk;
        chunk.id.assign(reinterpret_cast<const char*>(header), 4);
        chunk.offset = offset;
        chunk.size = U32(header + 4);
        chunks.push_back(chunk);
        // Chunks are padded to an even size.
        offset += 8 + static_cast<std::uint64_t>(chunk.size) + (chunk.size & 1U);
    }
    return chunks;
}

// Printable chunk ids ("LIST", "fact") for a warning; anything else shows as '?'.
std::string PrintableId(const std::string& id) {
    std::string text;
    for (const char c : id) text += (c >= 0x20 && c < 0x7F) ? c : '?';
    return text;
}

// The ids of the chunks that overlap the bytes [from, to), e.g. "LIST and data"; past a few,
// the first ones and how many more ("LIST, JUNK, abcd and 4093 more").
std::string IdList(const std::vector<Chunk>& chunks, std::uint64_t from, std::uint64_t to) {
    constexpr std::size_t kNamedIds = 3;
    std::vector<std::string> ids;
    std::size_t overlapping = 0;
    for (const Chunk& chunk : chunks) {
        const std::uint64_t end = chunk.offset + 8 + chunk.size;
        if (chunk.offset < to && end > from) {
            ++overlapping;
            if (ids.size() > kNamedIds) continue;
            std::string id = PrintableId(chunk.id);
            id.erase(id.find_last_not_of(' ') + 1);  // "fmt " reads as fmt in a sentence
            ids.push_back(id);
        }
    }
    if (overlapping > kNamedIds + 1) {
        ids.resize(kNamedIds);
        ids.push_back(std::to_string(overlapping - kNamedIds) + " more");
    }
    std::string list;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) list += (i + 1 == ids.size()) ? " and " : ", ";
        list += ids[i];
    }
    return list;
}

// Refuses what waveOutOpen would refuse, in a sentence about the header's own values.
bool CheckDeviceLimits(const std::string& name, const ModuleFormat& format, std::string* problem) {
    const std::string prefix = name + " cannot be played: its header gives ";
    if (format.channels == 0) {
        *problem = prefix + "0 channels.";
    } else if (format.channels > kMaxChannels) {
        *problem =
            prefix + std::to_string(format.channels) + " channels, and the device plays at most 8.";
    } else if (format.samplesPerSec == 0) {
        *problem = prefix + "a sample rate of 0 Hz.";
    } else if (format.samplesPerSec > kMaxRate) {
        *problem = prefix + "a sample rate of " + std::to_string(format.samplesPerSec) +
                   " Hz, and the device plays at most 384000 Hz.";
    } else if (format.bitsPerSample != 8 && format.bitsPerSample != 16) {
        *problem = prefix + std::to_string(format.bitsPerSample) +
                   " bits per sample, and the device plays only 8 or 16.";
    } else if (format.blockAlign != format.channels * (format.bitsPerSample / 8)) {
        *problem = prefix + "a block align of " + std::to_string(format.blockAlign) + ", but " +
                   std::to_string(format.channels) + " channel(s) of " +
                   std::to_string(format.bitsPerSample) + " bits need " +
                   std::to_string(format.channels * (format.bitsPerSample / 8)) + ".";
    } else {
        return true;
    }
    return false;
}

WavReport Refuse(WavReport report, WavVerdict verdict, std::string problem) {
    report.verdict = verdict;
    report.problem = std::move(problem);
    return report;
}

// Where the module's reading and the file's chunks disagree, as sentences.
void AddLayoutWarnings(const std::vector<Chunk>& chunks, const Chunk* fmt, const Chunk* data,
                       WavReport& report) {
    if (fmt->offset != kCanonicalFmtOffset) {
        report.warnings.push_back("The fmt chunk is at byte " + std::to_string(fmt->offset) +
                                  ", not 12, so the format the module reads at bytes 22-35 is not "
                                  "the fmt chunk's.");
    }
    if (report.formatTag == kTagExtensible) {
        report.warnings.push_back(
            "The format is WAVE_FORMAT_EXTENSIBLE (PCM): the module uses only the basic fields "
            "and ignores the channel mask and valid bits.");
    }
    if (data == nullptr) {
        report.warnings.push_back(
            "There is no data chunk: the module plays every byte from byte 44 on as sound.");
        return;
    }
    if (report.dataOffset > kModuleHeaderBytes) {
        const std::string ids = IdList(chunks, kModuleHeaderBytes, report.dataOffset);
        report.warnings.push_back("The samples start at byte " + std::to_string(report.dataOffset) +
                                  ", not 44: the module plays the " +
                                  std::to_string(report.dataOffset - 44) +
                                  " bytes before them (from the " + ids + " chunks) as sound.");
    } else if (report.dataOffset < kModuleHeaderBytes) {
        report.warnings.push_back("The samples start at byte " + std::to_string(report.dataOffset) +
                                  ", not 44: the module skips their first " +
                                  std::to_string(44 - report.dataOffset) + " bytes.");
    }
    const std::uint64_t available =
        report.fileBytes > report.dataOffset ? report.fileBytes - report.dataOffset : 0;
    if (report.dataBytes > available) {
        report.warnings.push_back("The data chunk declares " + std::to_string(report.dataBytes) +
                                  " bytes but only " + std::to_string(available) +
                                  " follow it; the file may be cut short.");
    } else {
        const std::uint64_t end = report.dataOffset + report.dataBytes + (report.dataBytes & 1U);
        if (end < report.fileBytes) {
            const std::string ids = IdList(chunks, end, report.fileBytes);
            report.warnings.push_back(
                std::to_string(report.fileBytes - end) + " bytes after the data chunk" +
                (ids.empty() ? "" : " (" + ids + ")") + " are played as sound too.");
        }
    }
}

}  // namespace

double WavReport::PlaySeconds() const {
    const double bytesPerSecond =
        static_cast<double>(format.samplesPerSec) * static_cast<double>(format.blockAlign);
    if (bytesPerSecond <= 0) return 0;
    return static_cast<double>(blocks * kModuleBlockBytes) / bytesPerSecond;
}

std::string FormatTagName(std::uint16_t tag) {
    switch (tag) {
        case 0x0001:
            return "PCM";
        case 0x0002:
            return "Microsoft ADPCM";
        case 0x0003:
            return "IEEE float";
        case 0x0006:
            return "A-law";
        case 0x0007:
            return "mu-law";
        case 0x0011:
            return "IMA ADPCM";
        case 0x0055:
            return "MPEG layer 3";
        case 0xFFFE:
            return "WAVE_FORMAT_EXTENSIBLE";
        default:
            break;
    }
    char text[24];
    std::snprintf(text, sizeof text, "tag 0x%04X", static_cast<unsigned>(tag));
    return text;
}

WavReport InspectWav(const std::string& path) {
    WavReport report;
    const std::string name = Quoted(path);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return Refuse(report, WavVerdict::kMissing, name + " does not exist.");
        return Refuse(report, WavVerdict::kUnreadable,
                      "Cannot read " + name + ": " + std::strerror(errno) + ".");
    }
    if (S_ISDIR(info.st_mode)) {
        return Refuse(report, WavVerdict::kNotAFile, name + " is a directory, not a WAV file.");
    }
    if (!S_ISREG(info.st_mode)) {
        return Refuse(report, WavVerdict::kNotAFile, name + " is not a regular file.");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Refuse(report, WavVerdict::kUnreadable,
                      "Cannot read " + name + ": " + std::strerror(errno) + ".");
    }
    FileReader reader(fd);
    report.fileBytes = static_cast<std::uint64_t>(info.st_size);

    std::uint8_t head[kModuleHeaderBytes] = {};
    const std::size_t headBytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(report.fileBytes, sizeof head));
    if (!reader.ReadAt(0, head, headBytes) && reader.error() != 0) {
        return Refuse(report, WavVerdict::kUnreadable,
                      "Cannot read " + name + ": " + std::strerror(reader.error()) + ".");
    }
    if (report.fileBytes == 0) {
        return Refuse(report, WavVerdict::kNotWav, name + " is empty, not a WAV file.");
    }
    if (headBytes < 12 || std::memcmp(head, "RIFF", 4) != 0) {
        return Refuse(report, WavVerdict::kNotWav,
                      name + " is not a WAV file: it does not begin with a RIFF header.");
    }
    if (std::memcmp(head + 8, "WAVE", 4) != 0) {
        return Refuse(report, WavVerdict::kNotWav,
                      name + " is not a WAV file: its RIFF form type is \"" +
                          PrintableId(std::string(reinterpret_cast<char*>(head + 8), 4)) +
                          "\", not \"WAVE\".");
    }
    if (headBytes < kModuleHeaderBytes) {
        return Refuse(report, WavVerdict::kNotWav,
                      name + " is too short to play: " + std::to_string(report.fileBytes) +
                          " bytes, less than the 44-byte header the module reads.");
    }
    report.formatRead = true;
    const std::uint8_t* fields = head + kFormatFieldsOffset;
    report.format = ModuleFormat{U16(fields), U32(fields + 2), U32(fields + 6), U16(fields + 10),
                                 U16(fields + 12)};
    report.playedBytes = report.fileBytes - kModuleHeaderBytes;
    // A file ending on a block boundary still gets one more block, of silence.
    report.blocks = report.playedBytes / kModuleBlockBytes + 1;

    const std::vector<Chunk> chunks = ListChunks(reader, report.fileBytes);
    const Chunk* fmt = nullptr;
    const Chunk* data = nullptr;
    for (const Chunk& chunk : chunks) {
        if (fmt == nullptr && chunk.id == "fmt ") fmt = &chunk;
        if (data == nullptr && chunk.id == "data") data = &chunk;
    }
    if (data != nullptr) {
        report.hasDataChunk = true;
        report.dataOffset = data->offset + 8;
        report.dataBytes = data->size;
    }
    if (fmt == nullptr) {
        return Refuse(report, WavVerdict::kNotWav,
                      name + " has no fmt chunk, so its sample format is unknown.");
    }
    std::uint8_t fmtBody[40] = {};
    const std::size_t fmtBytes = std::min<std::size_t>(fmt->size, sizeof fmtBody);
    if (fmt->size < 16 || !reader.ReadAt(fmt->offset + 8, fmtBody, fmtBytes)) {
        return Refuse(report, WavVerdict::kNotWav,
                      name + " has a fmt chunk too short to describe its samples.");
    }
    report.formatTag = U16(fmtBody);
    const bool extensiblePcm =
        report.formatTag == kTagExtensible && fmtBytes >= 40 &&
        std::memcmp(fmtBody + 24, kPcmSubFormat.data(), kPcmSubFormat.size()) == 0;
    if (report.formatTag != kTagPcm && !extensiblePcm) {
        return Refuse(report, WavVerdict::kNotPcm,
                      name + " is not PCM audio: its format is " + FormatTagName(report.formatTag) +
                          ", and the module plays only PCM.");
    }
    if (!CheckDeviceLimits(name, report.format, &report.problem)) {
        report.verdict = WavVerdict::kUnplayable;
        return report;
    }
    AddLayoutWarnings(chunks, fmt, data, report);
    const std::uint64_t expectedAvg =
        static_cast<std::uint64_t>(report.format.samplesPerSec) * report.format.blockAlign;
    if (report.format.avgBytesPerSec != expectedAvg) {
        report.warnings.push_back("The header's bytes per second (" +
                                  std::to_string(report.format.avgBytesPerSec) +
                                  ") is not sample rate x block align (" +
                                  std::to_string(expectedAvg) + "); the device goes by the rate.");
    }
    return report;
}

}  // namespace quorvel::host
