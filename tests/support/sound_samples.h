// Known signals and tones, raw and WAV files of 8000 Hz mono 16-bit samples, and sample-exact
// comparison, for the tests that play and record through a sound server. Header only.
#ifndef QWF_TESTS_SUPPORT_SOUND_SAMPLES_H
#define QWF_TESTS_SUPPORT_SOUND_SAMPLES_H

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qwf::sound {

using Samples = std::vector<std::int16_t>;

constexpr int kRate = 8000;
constexpr std::size_t kBlockSamples = 2000;  // the module's block

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

inline Samples ToSamples(const std::vector<std::uint8_t>& bytes, std::size_t offset = 0) {
    Samples samples(bytes.size() > offset ? (bytes.size() - offset) / 2 : 0);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::size_t at = offset + 2 * i;
        samples[i] = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(bytes[at] | static_cast<unsigned>(bytes[at + 1]) << 8));
    }
    return samples;
}

inline void WriteRaw(const std::string& path, const Samples& samples) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const std::int16_t sample : samples) {
        const auto word = static_cast<std::uint16_t>(sample);
        file.put(static_cast<char>(word & 0xFF));
        file.put(static_cast<char>(word >> 8));
    }
}

inline void PutU32(std::ofstream& file, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) file.put(static_cast<char>(value >> (8 * i) & 0xFF));
}

inline void PutU16(std::ofstream& file, std::uint16_t value) {
    file.put(static_cast<char>(value & 0xFF));
    file.put(static_cast<char>(value >> 8));
}

// A 44-byte-header PCM WAV file of 8000 Hz mono 16-bit samples.
inline void WriteWav(const std::string& path, const Samples& samples) {
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
        file.write("RIFF", 4);
        PutU32(file, 36 + dataBytes);
        file.write("WAVEfmt ", 8);
        PutU32(file, 16);
        PutU16(file, 1);
        PutU16(file, 1);
        PutU32(file, kRate);
        PutU32(file, kRate * 2);
        PutU16(file, 2);
        PutU16(file, 16);
        file.write("data", 4);
        PutU32(file, dataBytes);
    }
    std::ofstream file(path, std::ios::binary | std::ios::app);
    for (const std::int16_t sample : samples) PutU16(file, static_cast<std::uint16_t>(sample));
}

// Noise that differs from sample to sample and never holds a zero, so that a recording of it
// shows where it begins and any sample lost, repeated or replaced by silence.
inline Samples KnownSignal(std::size_t count, std::uint32_t seed) {
    Samples samples(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::int16_t& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>((state >> 16) / 2);  // half of full scale
        if (sample == 0) sample = 1;
    }
    return samples;
}

// How a recording holds `expected`: where it starts (the first non-zero sample) and the first
// place it differs. Empty when the whole of `expected` is there, sample for sample.
inline std::string FindExactly(const Samples& recorded, const Samples& expected,
                               std::size_t* startOut = nullptr) {
    std::size_t start = 0;
    while (start < recorded.size() && recorded[start] == 0) ++start;
    if (startOut != nullptr) *startOut = start;
    if (start == recorded.size()) return "the recording is silent";
    std::size_t differing = 0;
    std::size_t first = expected.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool missing = start + i >= recorded.size();
        if (missing || recorded[start + i] != expected[i]) {
            if (first == expected.size()) first = i;
            ++differing;
        }
    }
    if (differing == 0) return {};
    // A gap shows as silence where the signal should go on.
    std::size_t silence = 0;
    while (start + first + silence < recorded.size() && recorded[start + first + silence] == 0) {
        ++silence;
    }
    return std::to_string(differing) + " of " + std::to_string(expected.size()) +
           " samples differ, the first at sample " + std::to_string(first) + " (" +
           std::to_string(first * 1000 / kRate) + " ms) of the signal, which starts at sample " +
           std::to_string(start) + " of the recording; there the recording holds " +
           std::to_string(silence) + " samples of silence";
}

// A tone with no zero sample, so a recording shows where it begins.
inline Samples Tone(double hertz, std::size_t count) {
    Samples samples(count);
    for (std::size_t n = 0; n < count; ++n) {
        const double phase = 6.283185307179586 * hertz * static_cast<double>(n) / kRate;
        samples[n] = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(phase + 0.5)));
        if (samples[n] == 0) samples[n] = 1;
    }
    return samples;
}

// The recording with its silence taken out, from the first sound on.
inline Samples WithoutSilence(const Samples& recorded, std::size_t* silentSamples) {
    Samples sounding;
    std::size_t first = 0;
    while (first < recorded.size() && recorded[first] == 0) ++first;
    std::size_t last = recorded.size();
    while (last > first && recorded[last - 1] == 0) --last;
    *silentSamples = 0;
    for (std::size_t i = first; i < last; ++i) {
        if (recorded[i] == 0) {
            ++*silentSamples;
        } else {
            sounding.push_back(recorded[i]);
        }
    }
    return sounding;
}

}  // namespace qwf::sound

#endif
