#include "media/input_file.h"

#include <samplerate.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "media/sound_file.h"
#include "cli/option_values.h"
#include "cli/text.h"
#include "media/decoded_wav.h"
#include "media/wav_check.h"
#include "system/shared_library.h"

namespace quorvel::host {
namespace {

constexpr int kCaptureRate = QWF_CAPTURE_RATE;
// Mixed down to one channel of 16-bit samples, the capture's format.
static_assert(QWF_CAPTURE_CHANNELS == 1 && QWF_CAPTURE_BITS == 16);
constexpr long kChunkFrames = 4096;
// The device holds its source whole, and takes at most this much.
constexpr std::uint64_t kMaxSourceBytes = std::uint64_t{64} << 20;

// libsamplerate's calls, loaded the first time an input needs converting.
struct Resampling {
    decltype(&src_new) create = nullptr;
    decltype(&src_delete) destroy = nullptr;
    decltype(&src_process) process = nullptr;
    decltype(&src_strerror) strerror = nullptr;
    decltype(&src_float_to_short_array) toShorts = nullptr;
};

// Null when libsamplerate cannot be loaded, with the loader's words in *reason.
const Resampling* LoadResampling(std::string* reason) {
    static std::string why;
    static const Resampling* const loaded = []() -> const Resampling* {
        static Resampling calls;
        void* library = LoadLibrary({"libsamplerate.so.0"}, &why).handle;
        if (library == nullptr) return nullptr;
        const bool complete = FindSymbol(library, "src_new", &calls.create) &&
                              FindSymbol(library, "src_delete", &calls.destroy) &&
                              FindSymbol(library, "src_process", &calls.process) &&
                              FindSymbol(library, "src_strerror", &calls.strerror) &&
                              FindSymbol(library, "src_float_to_short_array", &calls.toShorts);
        if (!complete) why = "the libsamplerate.so.0 found lacks calls quorvel uses";
        return complete ? &calls : nullptr;
    }();
    if (loaded == nullptr) *reason = why;
    return loaded;
}

}  // namespace

bool PrepareInputFile(const std::string& path, TempFile* converted, std::string* sourceFile,
                      std::string* note, Problem* problem) {
    *sourceFile = path;
    struct stat info {};
    // What is not a regular file the services refuse in their own words.
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return true;
    const std::string name = Quoted(path);
    const WavReport wav = InspectWav(path, name);
    SoundFile file;
    Problem unused;
    // Raw samples: the device reads them in the capture format, as it always has.
    if (!file.Open(path, name, wav, &unused)) return true;
    const SoundFacts& facts = file.facts();
    if (wav.canonical && facts.rate == kCaptureRate && facts.channels == 1 && facts.sixteenBitPcm) {
        return true;
    }

    const auto fail = [&](const std::string& why) {
        return Fail(problem, kExitFile, "Cannot use " + name + " as the input: " + why + ".");
    };
    if (!converted->Create(problem)) return false;
    std::string reason;
    const Resampling* const src = LoadResampling(&reason);
    if (src == nullptr)
        return fail("libsamplerate, which converts it, cannot be loaded (" + reason + ")");
    int error = 0;
    const double ratio = static_cast<double>(kCaptureRate) / facts.rate;
    const auto destroy = [src](SRC_STATE* state) { src->destroy(state); };
    std::unique_ptr<SRC_STATE, decltype(destroy)> resampler(
        src->create(SRC_SINC_MEDIUM_QUALITY, 1, &error), destroy);
    if (!resampler) return fail(std::string("the resampler failed (") + src->strerror(error) + ")");

    const int channels = facts.channels;
    std::vector<std::int16_t> frames(static_cast<std::size_t>(kChunkFrames) * channels);
    std::vector<float> mono(kChunkFrames);
    std::vector<float> resampled(static_cast<std::size_t>(kChunkFrames * ratio) + 64);
    std::vector<short> samples(resampled.size());
    std::uint64_t written = 0;
    bool ended = false;
    while (!ended) {
        const long got = file.Read(frames.data(), kChunkFrames);
        if (got < 0) return fail("decoding it failed (" + file.error() + ")");
        ended = got == 0;
        // Mixed down by averaging the channels, so a full-scale stereo file stays in range.
        for (long i = 0; i < got; ++i) {
            float sum = 0;
            for (int c = 0; c < channels; ++c)
                sum += frames[static_cast<std::size_t>(i * channels + c)];
            mono[static_cast<std::size_t>(i)] = sum / (32768.0F * static_cast<float>(channels));
        }
        SRC_DATA data{};
        data.data_in = mono.data();
        data.input_frames = got;
        data.src_ratio = ratio;
        data.end_of_input = ended ? 1 : 0;
        // The resampler may hold input back; at the end it is drained until it gives no more.
        do {
            data.data_out = resampled.data();
            data.output_frames = static_cast<long>(resampled.size());
            if ((error = src->process(resampler.get(), &data)) != 0) {
                return fail(std::string("the resampler failed (") + src->strerror(error) + ")");
            }
            data.data_in += data.input_frames_used;
            data.input_frames -= data.input_frames_used;
            src->toShorts(resampled.data(), samples.data(),
                          static_cast<int>(data.output_frames_gen));
            const std::size_t bytes = static_cast<std::size_t>(data.output_frames_gen) * 2;
            std::vector<std::uint8_t> le(bytes);
            for (std::size_t i = 0; i < bytes / 2; ++i) {
                const auto value = static_cast<std::uint16_t>(samples[i]);
                le[2 * i] = static_cast<std::uint8_t>(value & 0xFF);
                le[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
            }
            if (written + bytes + kModuleHeaderBytes > kMaxSourceBytes) {
                return fail("converted to " + CaptureFormatText() +
                            " it would be more than the 64 MiB an input may hold");
            }
            if (!converted->WriteAt(kModuleHeaderBytes + written, le.data(), bytes)) {
                return fail("its converted copy cannot be written to " +
                            Quoted(converted->folder()) + " (" + std::strerror(errno) + ")");
            }
            written += bytes;
        } while (data.input_frames > 0 || (ended && data.output_frames_gen > 0));
    }
    if (written == 0) return fail("it holds no audio");
    std::uint8_t header[kModuleHeaderBytes];
    CanonicalHeader(header, QWF_CAPTURE_CHANNELS, kCaptureRate, written);
    if (!converted->WriteAt(0, header, sizeof header)) {
        return fail("its converted copy cannot be written to " + Quoted(converted->folder()) +
                    " (" + std::strerror(errno) + ")");
    }
    *sourceFile = converted->alias();
    *note = "The input " + name + " (" + facts.summary + ", " + std::to_string(facts.rate) +
            " Hz, " + std::to_string(channels) + (channels == 1 ? " channel" : " channels") +
            ") is converted to " + CaptureFormatText() + " for the capture.";
    return true;
}

}  // namespace quorvel::host
