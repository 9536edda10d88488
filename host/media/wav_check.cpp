#include "media/wav_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system/devices.h"
#include "cli/text.h"
#include "media/wav_chunks.h"

// stat, open and pread of a WAV file past 2 GiB, on 32-bit systems too (CMakeLists.txt defines it).
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: define _FILE_OFFSET_BITS=64");

namespace quorvel::host {
namespace {

constexpr std::uint16_t kTagPcm = 0x0001;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
constexpr std::uint64_t kFormatFieldsOffset = 22;
constexpr std::uint64_t kCanonicalFmtOffset = 12;
constexpr std::uint32_t kCanonicalFmtBytes = 16;
// What writers that cannot seek back leave in a size field.
constexpr std::uint32_t kPlaceholderSize = 0xFFFFFFFF;

// The tail of every WAVE_FORMAT_EXTENSIBLE sub-format GUID; its first two bytes are the tag.
constexpr std::array<std::uint8_t, 14> kSubFormatTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// What the output device refuses, in a sentence about the values the module reads; empty when
// it plays them. `where` says where those values come from when that is not the fmt chunk.
std::string DeviceRefusal(const std::string& name, const ModuleFormat& format,
                          const std::string& where) {
    const std::string reason =
        PcmRefusal(format.channels, format.samplesPerSec, format.blockAlign, format.bitsPerSample);
    if (reason.empty()) return {};
    return name + " cannot be played: " + (where.empty() ? "its header gives " : where + " ") +
           reason + ".";
}

WavReport Refuse(WavReport report, WavVerdict verdict, std::string problem) {
    report.verdict = verdict;
    report.problem = std::move(problem);
    return report;
}

// "the fmt chunk is at byte 48, after the JUNK chunk": where the module does not look.
std::string FmtPlace(const std::vector<Chunk>& chunks, const Chunk& fmt) {
    const std::string ids = IdList(chunks, kCanonicalFmtOffset, fmt.offset);
    const bool several = ids.find(' ') != std::string::npos;
    return "the fmt chunk is at byte " + std::to_string(fmt.offset) + ", after the " + ids +
           (several ? " chunks" : " chunk") + ", not at byte 12";
}

// A data size of 0 with samples after it, or 0xFFFFFFFF: the writer could not go back to fill
// it in.
bool IsPlaceholder(const WavReport& report) {
    return report.dataBytes == kPlaceholderSize ||
           (report.dataBytes == 0 && report.fileBytes > report.dataOffset);
}

// Where the module's reading and the file's chunks disagree, as sentences.
void AddLayoutWarnings(const std::vector<Chunk>& chunks, const Chunk* fmt, const Chunk* data,
                       WavReport& report) {
    if (fmt->offset != kCanonicalFmtOffset) {
        std::string place = FmtPlace(chunks, *fmt);
        place[0] = 'T';
        report.warnings.push_back(place +
                                  ", so the format the module reads at bytes 22-35 is not the fmt "
                                  "chunk's.");
    }
    if (report.formatTag == kTagExtensible) {
        report.warnings.push_back(
            "The format is WAVE_FORMAT_EXTENSIBLE (PCM): the module uses only the basic fields "
            "and ignores the channel mask and valid bits.");
    }
    if (data == nullptr) {
        report.warnings.push_back((chunks.size() >= kMaxChunks
                                       ? "There is no data chunk among the first " +
                                             std::to_string(kMaxChunks) + " chunks"
                                       : std::string("There is no data chunk")) +
                                  ": the module plays every byte from byte 44 on as sound.");
        return;
    }
    if (report.dataOffset > kModuleHeaderBytes) {
        const std::string ids = IdList(chunks, kModuleHeaderBytes, report.dataOffset);
        report.warnings.push_back("The samples start at byte " + std::to_string(report.dataOffset) +
                                  ", not 44: the module plays the " +
                                  std::to_string(report.dataOffset - kModuleHeaderBytes) +
                                  " bytes before them (from the " + ids + " chunks) as sound.");
    } else if (report.dataOffset < kModuleHeaderBytes) {
        report.warnings.push_back("The samples start at byte " + std::to_string(report.dataOffset) +
                                  ", not 44: the module skips their first " +
                                  std::to_string(kModuleHeaderBytes - report.dataOffset) +
                                  " bytes.");
    }
    const std::uint64_t available =
        report.fileBytes > report.dataOffset ? report.fileBytes - report.dataOffset : 0;
    if (IsPlaceholder(report)) {
        report.warnings.push_back(
            std::string("The data chunk's size is ") +
            (report.dataBytes == 0 ? "0" : "the placeholder 0xFFFFFFFF") +
            ", as a writer that streams leaves it; the " + std::to_string(available) +
            " bytes from its samples to the end of the file are taken as the samples.");
    } else if (report.dataBytes > available) {
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

// Nothing but the samples from byte 44 to the end: what the module plays is exactly them.
bool SamplesRunFrom44ToTheEnd(const WavReport& report) {
    if (report.dataOffset != kModuleHeaderBytes) return false;
    if (IsPlaceholder(report)) return true;
    return report.dataOffset + report.dataBytes + (report.dataBytes & 1U) >= report.fileBytes;
}

// The form types that are not RIFF/WAVE but close relatives the module cannot read.
std::string RelativeOfRiff(const std::uint8_t* head) {
    if (std::memcmp(head, "RIFX", 4) == 0) {
        return "it is a big-endian RIFX WAV, and the module reads only little-endian RIFF";
    }
    if (std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0) {
        return "it is an RF64 WAV (sizes in a ds64 chunk, for files past 4 GiB), and the module "
               "reads only RIFF";
    }
    if (std::memcmp(head, "riff", 4) == 0) {
        return "it is a Sony Wave64 file, and the module reads only RIFF WAV";
    }
    return {};
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
        case 0x0020:
            return "Yamaha ADPCM";
        case 0x0031:
            return "GSM 6.10";
        case 0x0045:
        case 0x0064:
        case 0x0140:
            return "G.726 ADPCM";
        case 0x0050:
            return "MPEG audio";
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

WavReport InspectWav(const std::string& path, const std::string& givenName) {
    WavReport report;
    const std::string name = givenName.empty() ? Quoted(path) : givenName;
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
    if (headBytes >= 12 && !RelativeOfRiff(head).empty()) {
        return Refuse(report, WavVerdict::kNotWav,
                      name + " cannot be played as it is: " + RelativeOfRiff(head) + ".");
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
    report.chunks = IdList(chunks, 0, report.fileBytes);
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
                      name + " has no fmt chunk" +
                          (chunks.size() >= kMaxChunks
                               ? " among its first " + std::to_string(kMaxChunks) + " chunks"
                               : std::string()) +
                          ", so its sample format is unknown.");
    }
    std::uint8_t fmtBody[40] = {};
    const std::size_t fmtBytes = std::min<std::size_t>(fmt->size, sizeof fmtBody);
    if (fmt->size < 16 || !reader.ReadAt(fmt->offset + 8, fmtBody, fmtBytes)) {
        return Refuse(report, WavVerdict::kNotWav,
                      name + " has a fmt chunk too short to describe its samples.");
    }
    report.formatTag = U16(fmtBody);
    report.codecTag = report.formatTag;
    report.fmtBits = U16(fmtBody + 14);
    const bool extensible =
        report.formatTag == kTagExtensible && fmtBytes >= 40 &&
        std::memcmp(fmtBody + 26, kSubFormatTail.data(), kSubFormatTail.size()) == 0;
    if (extensible) report.codecTag = U16(fmtBody + 24);
    if (report.codecTag != kTagPcm) {
        const std::string codec = extensible ? "WAVE_FORMAT_EXTENSIBLE with " +
                                                   FormatTagName(report.codecTag) + " samples"
                                             : FormatTagName(report.formatTag);
        return Refuse(report, WavVerdict::kNotPcm,
                      name + " is not PCM audio: its format is " + codec +
                          ", and the module plays only PCM.");
    }
    const std::string where =
        fmt->offset == kCanonicalFmtOffset
            ? std::string()
            : FmtPlace(chunks, *fmt) + ", and the module reads bytes 22-35 instead, which give";
    report.problem = DeviceRefusal(name, report.format, where);
    if (!report.problem.empty()) {
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
    report.canonical = fmt->offset == kCanonicalFmtOffset && fmt->size == kCanonicalFmtBytes &&
                       report.formatTag == kTagPcm && SamplesRunFrom44ToTheEnd(report);
    return report;
}

}  // namespace quorvel::host
