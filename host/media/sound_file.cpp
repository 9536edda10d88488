#include "media/sound_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "cli/text.h"
#include "media/sndfile_calls.h"
#include "media/wav_check.h"

namespace quorvel::host {
namespace {

constexpr std::uint32_t kLargestRiffSize = 0xFFFFFFFF;

// A few bytes of the file seen as other bytes: a streaming writer's placeholder sizes replaced
// by the sizes the file really has, so libsndfile reads the samples that are there.
struct Patch {
    std::uint64_t offset = 0;
    std::uint8_t bytes[4] = {};
};

Patch SizePatch(std::uint64_t offset, std::uint64_t size) {
    Patch patch;
    patch.offset = offset;
    const auto value = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kLargestRiffSize));
    for (int i = 0; i < 4; ++i) patch.bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return patch;
}

int Subtype(int format) {
    return format & SF_FORMAT_SUBMASK;
}

std::string FormatName(const SndfileCalls& sf, SNDFILE* file, int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf.command(file, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
        return "format 0x" + std::to_string(format);
    }
    return info.name;
}

int StoredBits(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
        case SF_FORMAT_DPCM_8:
            return 8;
        case SF_FORMAT_DWVW_12:
            return 12;
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_DWVW_16:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_ALAC_16:
            return 16;
        case SF_FORMAT_ALAC_20:
            return 20;
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_DWVW_24:
        case SF_FORMAT_ALAC_24:
            return 24;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_ALAC_32:
            return 32;
        case SF_FORMAT_DOUBLE:
            return 64;
        case SF_FORMAT_IMA_ADPCM:
        case SF_FORMAT_MS_ADPCM:
        case SF_FORMAT_VOX_ADPCM:
            return 4;
        default:
            return 0;
    }
}

// Codecs whose decoders make floating-point samples, and float files: read as floats, since
// libsndfile's integer reads of float data come out unscaled or scaled to the peak.
bool ReadsAsFloat(int subtype) {
    switch (subtype) {
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            return true;
        default:
            return false;
    }
}

std::string CodecPhrase(int subtype, int bits, const std::string& libraryName) {
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32:
            return std::to_string(bits) + "-bit PCM";
        case SF_FORMAT_PCM_U8:
            return "8-bit unsigned PCM";
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
            return std::to_string(bits) + "-bit float";
        case SF_FORMAT_ULAW:
            return "mu-law";
        case SF_FORMAT_ALAW:
            return "A-law";
        case SF_FORMAT_ALAC_16:
        case SF_FORMAT_ALAC_20:
        case SF_FORMAT_ALAC_24:
        case SF_FORMAT_ALAC_32:
            return "ALAC, " + std::to_string(bits) + "-bit";
        default:
            return libraryName;
    }
}

// "FLAC, 24-bit", "Ogg Vorbis", "MP3", "RIFX, 16-bit PCM", "AIFF, 8-bit PCM".
std::string Summary(int format, int bits, const std::string& container, const std::string& codec) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const int subtype = Subtype(format);
    if (major == SF_FORMAT_FLAC) return "FLAC, " + std::to_string(bits) + "-bit";
    if (major == SF_FORMAT_MPEG) {
        if (subtype == SF_FORMAT_MPEG_LAYER_III) return "MP3";
        return subtype == SF_FORMAT_MPEG_LAYER_II ? "MPEG layer II" : "MPEG layer I";
    }
    if (major == SF_FORMAT_OGG) {
        if (subtype == SF_FORMAT_VORBIS) return "Ogg Vorbis";
        if (subtype == SF_FORMAT_OPUS) return "Ogg Opus";
        return "Ogg " + codec;
    }
    std::string shortName = container.substr(0, container.find(" ("));
    if (major == SF_FORMAT_WAV && (format & SF_FORMAT_ENDMASK) == SF_ENDIAN_BIG) {
        shortName = "RIFX";
    } else if (major == SF_FORMAT_WAVEX) {
        shortName = "WAV (extensible)";
    } else if (major == SF_FORMAT_W64) {
        shortName = "Wave64";
    }
    return shortName + ", " + CodecPhrase(subtype, bits, codec);
}

constexpr std::pair<int, const char*> kTagNames[] = {
    {SF_STR_TITLE, "title"},       {SF_STR_ARTIST, "artist"},       {SF_STR_ALBUM, "album"},
    {SF_STR_TRACKNUMBER, "track"}, {SF_STR_DATE, "date"},           {SF_STR_GENRE, "genre"},
    {SF_STR_COMMENT, "comment"},   {SF_STR_COPYRIGHT, "copyright"}, {SF_STR_LICENSE, "license"},
    {SF_STR_SOFTWARE, "software"},
};

// libsndfile's own words, as a clause: "Format not recognised." becomes "format not recognised".
std::string LibraryWords(const char* text) {
    std::string words = text != nullptr ? text : "unknown error";
    while (!words.empty() && (words.back() == '.' || words.back() == '\n')) words.pop_back();
    // FLAC's errors come as "error : flac decoder lost sync".
    if (words.rfind("error : ", 0) == 0) words.erase(0, 8);
    if (!words.empty() && words[0] >= 'A' && words[0] <= 'Z' && words.size() > 1 &&
        !(words[1] >= 'A' && words[1] <= 'Z')) {
        words[0] = static_cast<char>(words[0] - 'A' + 'a');
    }
    return words;
}

// Why a file libsndfile will not open cannot be decoded, named as precisely as its header allows.
std::string Refusal(const std::string& name, const WavReport& wav, const SndfileCalls& sf) {
    const char* libraryError = sf.strerror(nullptr);
    if (wav.formatRead && wav.codecTag == 0x0001 && wav.fmtBits > 32) {
        return name + " cannot be decoded: its samples are " + std::to_string(wav.fmtBits) +
               "-bit PCM, wider than the 32 bits libsndfile reads.";
    }
    if (wav.formatRead && wav.codecTag != 0 && wav.codecTag != 0x0001) {
        const std::string codec = FormatTagName(wav.codecTag);
        return name + " cannot be decoded: its WAV format is " +
               (codec.rfind("tag ", 0) == 0 ? "an unknown one (" + codec + ")" : codec) +
               ", which libsndfile does not read.";
    }
    if (wav.formatRead) {
        return name + " cannot be decoded: libsndfile finds it broken (" +
               LibraryWords(libraryError) + ").";
    }
    if (sf.error(nullptr) != SF_ERR_UNRECOGNISED_FORMAT) {
        return name + " cannot be decoded: libsndfile knows its kind but cannot read it (" +
               LibraryWords(libraryError) + ").";
    }
    return name + " is not a WAV file nor any other sound file libsndfile can decode (" +
           LibraryWords(libraryError) + ").";
}

}  // namespace

struct SoundFile::State {
    int fd = -1;
    std::uint64_t fileBytes = 0;
    std::uint64_t position = 0;
    std::vector<Patch> patches;
    // MPEG: with the end of the file out of reach, mpg123 cannot guess a length from the first
    // frame's bit rate, so a VBR file without a Xing header is read to its real end.
    bool endUnreachable = false;
    const SndfileCalls* sf = nullptr;
    SNDFILE* file = nullptr;
    bool floats = false;
    int channels = 0;
    std::vector<float> floatBuffer;
    std::vector<int> intBuffer;

    ~State() {
        if (file != nullptr) sf->close(file);
        if (fd >= 0) ::close(fd);
    }

    static sf_count_t Length(void* self) {
        return static_cast<sf_count_t>(static_cast<State*>(self)->fileBytes);
    }
    static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
        State& state = *static_cast<State*>(self);
        sf_count_t base = 0;
        if (whence == SEEK_CUR) base = static_cast<sf_count_t>(state.position);
        if (whence == SEEK_END) {
            if (state.endUnreachable) return -1;
            base = static_cast<sf_count_t>(state.fileBytes);
        }
        if (base + offset < 0) return -1;
        state.position = static_cast<std::uint64_t>(base + offset);
        return base + offset;
    }
    static sf_count_t ReadBytes(void* out, sf_count_t count, void* self) {
        State& state = *static_cast<State*>(self);
        ssize_t got = 0;
        do {
            got = ::pread(state.fd, out, static_cast<std::size_t>(count),
                          static_cast<off_t>(state.position));
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return 0;
        auto* bytes = static_cast<std::uint8_t*>(out);
        for (const Patch& patch : state.patches) {
            for (std::uint64_t i = 0; i < 4; ++i) {
                const std::uint64_t at = patch.offset + i;
                if (at >= state.position && at < state.position + static_cast<std::uint64_t>(got))
                    bytes[at - state.position] = patch.bytes[i];
            }
        }
        state.position += static_cast<std::uint64_t>(got);
        return got;
    }
    static sf_count_t Tell(void* self) {
        return static_cast<sf_count_t>(static_cast<State*>(self)->position);
    }

    SNDFILE* OpenVirtual(SF_INFO* info) {
        static SF_VIRTUAL_IO io = {&Length, &Seek, &ReadBytes, nullptr, &Tell};
        position = 0;
        return sf->open_virtual(&io, SFM_READ, info, this);
    }
};

SoundFile::SoundFile() : state_(std::make_unique<State>()) {}
SoundFile::~SoundFile() = default;

bool SoundFile::Open(const std::string& path, const std::string& name, const WavReport& wav,
                     Problem* problem) {
    State& state = *state_;
    state.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (state.fd < 0 || ::fstat(state.fd, &info) != 0) {
        return Fail(problem, kExitFile, "Cannot read " + name + ": " + std::strerror(errno) + ".");
    }
    state.fileBytes = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t available =
        wav.fileBytes > wav.dataOffset ? wav.fileBytes - wav.dataOffset : 0;
    if (wav.formatRead && wav.hasDataChunk &&
        (wav.dataBytes == 0 || wav.dataBytes == kLargestRiffSize || wav.dataBytes > available)) {
        state.patches.push_back(SizePatch(4, wav.fileBytes - 8));
        state.patches.push_back(SizePatch(wav.dataOffset - 4, available));
    }

    std::string reason;
    state.sf = Sndfile(&reason);
    if (state.sf == nullptr)
        return Fail(problem, kExitFile, "Cannot decode " + name + ": " + reason + ".");
    const SndfileCalls& sf = *state.sf;

    SF_INFO sfInfo{};
    state.file = state.OpenVirtual(&sfInfo);
    if (state.file == nullptr) return Fail(problem, kExitFile, Refusal(name, wav, sf));
    const int subtype = Subtype(sfInfo.format);
    facts_.container = FormatName(sf, state.file, sfInfo.format & SF_FORMAT_TYPEMASK);
    facts_.codec = FormatName(sf, state.file, subtype);
    facts_.bits = StoredBits(subtype);
    facts_.summary = Summary(sfInfo.format, facts_.bits, facts_.container, facts_.codec);
    facts_.rate = sfInfo.samplerate;
    facts_.channels = sfInfo.channels;
    facts_.sixteenBitPcm = subtype == SF_FORMAT_PCM_16 || subtype == SF_FORMAT_ALAC_16;
    for (const auto& [tag, tagName] : kTagNames) {
        const char* text = sf.get_string(state.file, tag);
        if (text != nullptr && *text != '\0') facts_.tags.emplace_back(tagName, text);
    }
    if ((sfInfo.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        // The tags were read with the end in reach (ID3v1 lives there); the samples are not.
        sf.close(state.file);
        state.endUnreachable = true;
        sfInfo = SF_INFO{};
        state.file = state.OpenVirtual(&sfInfo);
        if (state.file == nullptr) return Fail(problem, kExitFile, Refusal(name, wav, sf));
    }
    facts_.frames = sfInfo.frames >= 0 && sfInfo.frames != SF_COUNT_MAX ? sfInfo.frames : -1;
    state.floats = ReadsAsFloat(subtype);
    state.channels = std::max(1, sfInfo.channels);
    return true;
}

long SoundFile::Read(std::int16_t* out, long frames) {
    State& state = *state_;
    const std::size_t samples = static_cast<std::size_t>(frames) * state.channels;
    sf_count_t got = 0;
    if (state.floats) {
        state.floatBuffer.resize(samples);
        got = state.sf->readf_float(state.file, state.floatBuffer.data(), frames);
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) * state.channels; ++i) {
            const float value = state.floatBuffer[i] * 32768.0F;
            // Out-of-range floats occur in real files: clipped, as a DAC would; NaN is silence.
            out[i] =
                std::isnan(value)
                    ? 0
                    : static_cast<std::int16_t>(std::lrint(std::clamp(value, -32768.0F, 32767.0F)));
        }
    } else {
        state.intBuffer.resize(samples);
        got = state.sf->readf_int(state.file, state.intBuffer.data(), frames);
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) * state.channels; ++i) {
            // To the nearest 16-bit value; 16-bit and 8-bit sources come out exactly.
            const std::int64_t rounded = (std::int64_t{state.intBuffer[i]} + 0x8000) >> 16;
            out[i] = static_cast<std::int16_t>(std::min<std::int64_t>(rounded, 32767));
        }
    }
    if (got <= 0) return state.sf->error(state.file) != SF_ERR_NO_ERROR ? -1 : 0;
    return static_cast<long>(got);
}

std::string SoundFile::error() const {
    return state_->file != nullptr ? LibraryWords(state_->sf->strerror(state_->file))
                                   : std::string();
}

}  // namespace quorvel::host
