// The virtual input backend: silence, a sine tone, a sample counter or a file, produced either
// in real time on a pacing thread or on demand as fast as buffers are queued.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "backends/input_backend.h"

namespace quorvel::device::detail {
namespace {

constexpr double kMaxToneHz = 192000.0;
constexpr double kToneAmplitude = 16384.0;  // half of full scale
constexpr double kTwoPi = 6.283185307179586476925286766559;

struct SourceSetting {
    enum class Kind { kSilence, kTone, kRamp, kFile };
    Kind kind = Kind::kSilence;
    double frequency = 0.0;
    std::string path;
};

bool ParseSource(const std::string& text, SourceSetting* setting, std::string* error) {
    const auto fail = [&](std::string sentence) {
        if (error != nullptr) *error = std::move(sentence);
        return false;
    };
    static const std::string kTonePrefix = "tone:";
    static const std::string kFilePrefix = "file:";
    if (text == "silence") {
        setting->kind = SourceSetting::Kind::kSilence;
    } else if (text == "ramp") {
        setting->kind = SourceSetting::Kind::kRamp;
    } else if (text.compare(0, kTonePrefix.size(), kTonePrefix) == 0) {
        const std::string number = text.substr(kTonePrefix.size());
        char* end = nullptr;
        const double hz = number.empty() ? 0.0 : std::strtod(number.c_str(), &end);
        const bool parsed = !number.empty() && end != nullptr && *end == '\0' &&
                            number.front() != ' ' && std::isfinite(hz);
        if (!parsed || hz <= 0.0 || hz > kMaxToneHz) {
            return fail("Bad tone frequency \"" + number + "\" in input source \"" + text +
                        "\" (expected a number of hertz above 0 and at most 192000).");
        }
        setting->kind = SourceSetting::Kind::kTone;
        setting->frequency = hz;
    } else if (text.compare(0, kFilePrefix.size(), kFilePrefix) == 0) {
        setting->path = text.substr(kFilePrefix.size());
        if (setting->path.empty()) return fail("Input source \"" + text + "\" names no file.");
        setting->kind = SourceSetting::Kind::kFile;
    } else {
        return fail("Unknown input source \"" + text +
                    "\" (expected silence, tone:HZ, ramp or file:PATH).");
    }
    return true;
}

// A source file is held in memory whole, so it has a bound: 64 MiB, about 35 minutes of
// 8000 Hz mono 16-bit audio (it repeats when it ends).
constexpr std::uint64_t kMaxSourceFileBytes = std::uint64_t{64} << 20;

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
    // Never blocks on a FIFO, and reads nothing that has no end (/dev/zero, a pipe).
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        *error = "Cannot read input file \"" + path + "\": " + std::strerror(errno) + ".";
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = "Input file \"" + path + "\" is not a regular file.";
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaxSourceFileBytes) {
        ::close(fd);
        *error = "Input file \"" + path + "\" is " + std::to_string(info.st_size >> 20) +
                 " MiB, more than the 64 MiB an input source may hold.";
        return false;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        *error = "Cannot read input file \"" + path + "\": " + std::strerror(errno) + ".";
        ::close(fd);
        return false;
    }
    bytes->reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 &&
           bytes->size() <= kMaxSourceFileBytes) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    const int readError = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (readError != 0) {
        *error = "Cannot read input file \"" + path + "\": " + std::strerror(readError) + ".";
        return false;
    }
    return true;
}

std::uint32_t ReadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
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
        std::uint64_t position = 12;
        while (position + 8 <= bytes.size()) {
            const std::uint8_t* header = bytes.data() + position;
            const std::uint64_t size = ReadLe32(header + 4);
            const std::uint64_t body = position + 8;
            if (std::memcmp(header, "data", 4) == 0) {
                begin = static_cast<std::size_t>(body);
                // A truncated file keeps what it has.
                length =
                    static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes.size() - body));
                found = true;
                break;
            }
            position = body + size + (size & 1);  // chunks are padded to even sizes
        }
        if (!found) {
            *error = "Input file \"" + path + "\" is a WAV file without a data chunk.";
            return false;
        }
    }
    samples->resize(length / 2);
    for (std::size_t i = 0; i < samples->size(); ++i) {
        const std::uint8_t* at = bytes.data() + begin + 2 * i;
        (*samples)[i] = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(at[0] | static_cast<unsigned>(at[1]) << 8));
    }
    if (samples->empty()) {
        *error = "Input file \"" + path + "\" holds no 16-bit samples.";
        return false;
    }
    return true;
}

// Produces one source's values, in order, formatted as the device's frames. Its position
// survives Stop and Start, so a restarted device continues where it stopped.
class SampleGenerator {
  public:
    SampleGenerator(SourceSetting setting, std::shared_ptr<const std::vector<std::int16_t>> file,
                    const WAVEFORMATEX& format)
        : setting_(std::move(setting)),
          file_(std::move(file)),
          rate_(format.nSamplesPerSec),
          channels_(format.nChannels),
          bits_(format.wBitsPerSample) {}

    void Write(std::uint8_t* out, std::size_t frames) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // A file into a mono 16-bit device: its samples are the frames, copied a run at a time.
        if (setting_.kind == SourceSetting::Kind::kFile && bits_ == 16 && channels_ == 1) {
            while (frames > 0) {
                const std::size_t run = std::min(frames, file_->size() - filePosition_);
                std::memcpy(out, file_->data() + filePosition_, run * sizeof(std::int16_t));
                out += run * sizeof(std::int16_t);
                frames -= run;
                next_ += run;
                filePosition_ += run;
                if (filePosition_ == file_->size()) filePosition_ = 0;
            }
            return;
        }
#endif
        for (std::size_t frame = 0; frame < frames; ++frame) {
            const std::int16_t value = Value(next_++);
            for (unsigned channel = 0; channel < channels_; ++channel) {
                if (bits_ == 8) {
                    *out++ = static_cast<std::uint8_t>((value + 32768) >> 8);
                } else {
                    const auto word = static_cast<std::uint16_t>(value);
                    *out++ = static_cast<std::uint8_t>(word & 0xFF);
                    *out++ = static_cast<std::uint8_t>(word >> 8);
                }
            }
        }
    }

    std::size_t FrameBytes() const {
        return std::size_t{channels_} * (bits_ / 8u);
    }
    unsigned Rate() const {
        return rate_;
    }

  private:
    std::int16_t Value(std::uint64_t n) {
        switch (setting_.kind) {
            case SourceSetting::Kind::kSilence:
                return 0;
            case SourceSetting::Kind::kRamp:
                return static_cast<std::int16_t>(static_cast<std::uint16_t>(n & 0xFFFF));
            case SourceSetting::Kind::kTone: {
                // Phase from the sample index, reduced first so it stays exact for hours.
                const double cycles = std::fmod(setting_.frequency * static_cast<double>(n), rate_);
                const double level = kToneAmplitude * std::sin(kTwoPi * cycles / rate_);
                return static_cast<std::int16_t>(std::lround(std::min(level, 32767.0)));
            }
            case SourceSetting::Kind::kFile: {
                // Wraps by comparison: a division per sample would cost more than the rest.
                const std::int16_t value = (*file_)[filePosition_];
                if (++filePosition_ == file_->size()) filePosition_ = 0;
                return value;
            }
        }
        return 0;
    }

    SourceSetting setting_;
    std::shared_ptr<const std::vector<std::int16_t>> file_;
    unsigned rate_;
    unsigned channels_;
    unsigned bits_;
    std::uint64_t next_ = 0;
    std::size_t filePosition_ = 0;  // next_ modulo the file's length
};

class OnDemandInput final : public InputBackend {
  public:
    explicit OnDemandInput(SampleGenerator generator) : generator_(std::move(generator)) {}

    bool OnDemand() const override { return true; }
    void Start() override {}
    void Stop() override {}
    void Produce(std::uint8_t* out, std::size_t count) override { generator_.Write(out, count); }
    const char* Name() const override { return "virtual"; }

  private:
    SampleGenerator generator_;
};

// Hands the device the frames due by the steady clock every 10 ms. The count is computed from
// the time since Start, never by adding step lengths, so the pace does not drift.
class PacedInput final : public InputBackend {
  public:
    PacedInput(SampleGenerator generator, InputSink& sink)
        : generator_(std::move(generator)), sink_(sink) {}
    ~PacedInput() override { PacedInput::Stop(); }
    PacedInput(const PacedInput&) = delete;
    PacedInput& operator=(const PacedInput&) = delete;

    bool OnDemand() const override { return false; }

    void Start() override {
        if (thread_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = false;
        }
        thread_ = std::thread(&PacedInput::Run, this);
    }

    void Stop() override {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void Produce(std::uint8_t*, std::size_t) override {}
    const char* Name() const override { return "virtual"; }

  private:
    static constexpr std::chrono::milliseconds kStep{10};
    static constexpr std::size_t kMaxFramesPerHandOver = 4096;

    std::uint64_t FramesDue(std::chrono::steady_clock::duration elapsed) const {
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed);
        const auto count =
            static_cast<std::uint64_t>(std::max<std::int64_t>(nanoseconds.count(), 0));
        const std::uint64_t rate = generator_.Rate();
        constexpr std::uint64_t kPerSecond = 1000000000;
        return count / kPerSecond * rate + count % kPerSecond * rate / kPerSecond;
    }

    void Run() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point begin = Clock::now();
        Clock::time_point nextTick = begin + kStep;
        std::uint64_t produced = 0;
        std::vector<std::uint8_t> scratch(kMaxFramesPerHandOver * generator_.FrameBytes());
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_until(lock, nextTick, [this] { return stopping_; })) {
            lock.unlock();
            const Clock::time_point now = Clock::now();
            const std::uint64_t due = FramesDue(now - begin);
            while (produced < due) {
                const auto frames = static_cast<std::size_t>(
                    std::min<std::uint64_t>(due - produced, kMaxFramesPerHandOver));
                generator_.Write(scratch.data(), frames);
                sink_.Capture(scratch.data(), frames);
                produced += frames;
            }
            nextTick += kStep;
            if (nextTick <= now) nextTick = now + kStep;  // after a stall, catch up in one go
            lock.lock();
        }
    }

    SampleGenerator generator_;
    InputSink& sink_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

class VirtualInputFactory final : public InputBackendFactory {
  public:
    VirtualInputFactory(SourceSetting setting,
                        std::shared_ptr<const std::vector<std::int16_t>> file, Pace pace)
        : setting_(std::move(setting)), file_(std::move(file)), pace_(pace) {}

    std::unique_ptr<InputBackend> Open(const WAVEFORMATEX& format, InputSink& sink,
                                       MMRESULT* result, std::string* /*problem*/) const override {
        *result = MMSYSERR_NOERROR;
        SampleGenerator generator(setting_, file_, format);
        if (pace_ == Pace::kFast) return std::make_unique<OnDemandInput>(std::move(generator));
        return std::make_unique<PacedInput>(std::move(generator), sink);
    }

  private:
    SourceSetting setting_;
    std::shared_ptr<const std::vector<std::int16_t>> file_;
    Pace pace_;
};

}  // namespace

bool CheckVirtualSourceText(const std::string& source, std::string* error) {
    SourceSetting setting;
    return ParseSource(source, &setting, error);
}

std::shared_ptr<const InputBackendFactory> MakeVirtualInputFactory(const InputSettings& settings,
                                                                   std::string* error) {
    std::string sentence;
    SourceSetting setting;
    std::shared_ptr<std::vector<std::int16_t>> file;
    bool ok = ParseSource(settings.source, &setting, &sentence);
    if (ok && setting.kind == SourceSetting::Kind::kFile) {
        file = std::make_shared<std::vector<std::int16_t>>();
        ok = LoadFileSamples(setting.path, file.get(), &sentence);
    }
    if (!ok) {
        if (error != nullptr) *error = sentence;
        return nullptr;
    }
    return std::make_shared<VirtualInputFactory>(std::move(setting), std::move(file),
                                                 settings.pace);
}

}  // namespace quorvel::device::detail
