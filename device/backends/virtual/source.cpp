// The virtual input's sources: the text that names one, and a file's samples read once.
#include "backends/virtual/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "quorvel/device.h"
#include "quorvel/riff_chunks.hpp"

namespace quorvel::device::detail {
namespace {

bool ParseSourceText(const std::string& text, InputSource* setting, std::string* error) {
    if (text == "silence") {
        setting->kind = InputSource::Kind::kSilence;
    } else if (text == "ramp") {
        setting->kind = InputSource::Kind::kRamp;
    } else if (text.rfind("tone:", 0) == 0) {
        const std::string number = text.substr(5);
        char* end = nullptr;
        const double hz = std::strtod(number.c_str(), &end);
        // strtod would skip leading blanks and take an empty number for 0.
        const bool parsed = !number.empty() && number.front() != ' ' && *end == '\0';
        if (!parsed || !std::isfinite(hz) || hz <= 0.0 || hz > QWD_MAX_TONE_HZ) {
            *error = "Bad tone frequency \"" + number + "\" in input source \"" + text +
                     "\" (expected a number of hertz above 0 and at most " +
                     std::to_string(QWD_MAX_TONE_HZ) + ").";
            return false;
        }
        setting->kind = InputSource::Kind::kTone;
        setting->frequency = hz;
    } else if (text == "file:") {
        *error = "Input source \"file:\" names no file.";
        return false;
    } else if (text.rfind("file:", 0) == 0) {
        setting->kind = InputSource::Kind::kFile;
        setting->path = text.substr(5);
    } else {
        *error =
            "Unknown input source \"" + text + "\" (expected silence, tone:HZ, ramp or file:PATH).";
        return false;
    }
    return true;
}

// A source file is held in memory whole, so it has a bound: 64 MiB, about 35 minutes of
// 8000 Hz mono 16-bit audio (it repeats when it ends).
constexpr std::uint64_t kMaxSourceFileBytes = std::uint64_t{64} << 20;

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
    const auto cannotRead = [&path](int code) {
        return "Cannot read input file \"" + path + "\": " + std::strerror(code) + ".";
    };
    // Never blocks on a FIFO, and reads nothing that has no end (/dev/zero, a pipe).
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    std::string problem;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        problem = cannotRead(errno);
    } else if (!S_ISREG(info.st_mode)) {
        problem = "Input file \"" + path + "\" is not a regular file.";
    } else if (static_cast<std::uint64_t>(info.st_size) > kMaxSourceFileBytes) {
        problem = "Input file \"" + path + "\" is " + std::to_string(info.st_size >> 20) +
                  " MiB, more than the 64 MiB an input source may hold.";
    } else {
        bytes->resize(static_cast<std::size_t>(info.st_size));
        std::size_t got = 0;
        ssize_t read = 0;
        while (got < bytes->size() &&
               (read = ::read(fd, bytes->data() + got, bytes->size() - got)) > 0) {
            got += static_cast<std::size_t>(read);
        }
        if (read < 0) problem = cannotRead(errno);
        bytes->resize(got);
    }
    if (fd >= 0) ::close(fd);
    if (!problem.empty()) *error = std::move(problem);
    return error->empty();
}

// The samples of a WAV file's "data" chunk, or of the whole file when it is not RIFF/WAVE,
// always read as 16-bit little-endian mono.
bool LoadFileSamples(const std::string& path, std::vector<std::int16_t>* samples,
                     std::string* error) {
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(path, &bytes, error)) return false;
    std::size_t begin = 0;
    std::size_t length = bytes.size();
    const bool isWave = bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 &&
                        std::memcmp(bytes.data() + 8, "WAVE", 4) == 0;
    if (isWave) {
        bool found = false;
        const auto readAt = [&bytes](std::uint64_t offset, void* out, std::size_t count) {
            std::memcpy(out, bytes.data() + offset, count);  // the walk stays within the file
            return true;
        };
        riff::WalkChunks(bytes.size(), readAt, [&](const riff::ChunkHeader& header) {
            if (!header.Is("data")) return true;
            begin = static_cast<std::size_t>(header.body());
            // A truncated file keeps what it has.
            length = static_cast<std::size_t>(
                std::min<std::uint64_t>(header.size, bytes.size() - header.body()));
            found = true;
            return false;
        });
        if (!found) {
            *error = "Input file \"" + path + "\" is a WAV file without a data chunk.";
            return false;
        }
    }
    samples->resize(length / 2);
    for (std::size_t i = 0; i < samples->size(); ++i) {
        (*samples)[i] = static_cast<std::int16_t>(riff::U16(bytes.data() + begin + 2 * i));
    }
    if (samples->empty()) {
        *error = "Input file \"" + path + "\" holds no 16-bit samples.";
        return false;
    }
    return true;
}

}  // namespace

bool ParseInputSource(const std::string& text, bool load, InputSource* source, std::string* error) {
    InputSource parsed;
    if (!ParseSourceText(text, &parsed, error)) return false;
    if (load && parsed.kind == InputSource::Kind::kFile &&
        !LoadFileSamples(parsed.path, &parsed.samples, error)) {
        return false;
    }
    *source = std::move(parsed);
    return true;
}

}  // namespace quorvel::device::detail
