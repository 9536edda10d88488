// Fuzzes playback with arbitrary files: the input is written to a file and played with
// PlayWavWaveForm on the fast virtual output, in a module as freshly loaded. Every file must
// return 999 and play to its end within a bound. When the device opened, it must have played
// exactly the file's bytes from offset 44 in 4000-byte blocks (a trailing part of a sample and
// the rest of the last block in the format's silence); when it did not, nothing.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "QuorvelWaveForm.h"
#include "frame/module.h"
#include "quorvel/device.hpp"

namespace {

namespace device = quorvel::device;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "playback_fuzzer: %s\n", what);
    std::abort();
}

std::string folder;
std::string filePath;
std::u16string widePath;

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// The bits per sample the module reads at bytes 34-35; 0, as at load, when the file is shorter.
unsigned BitsPerSample(const std::uint8_t* data, std::size_t size) {
    return size >= 36 ? data[34] | (data[35] << 8) : 0;
}

std::vector<std::uint8_t> ExpectedStream(const std::uint8_t* data, std::size_t size) {
    const unsigned bits = BitsPerSample(data, size);
    const std::size_t sampleBytes = bits <= 8 ? 1 : (bits + 7) / 8;
    const std::uint8_t silence = bits == 8 ? 0x80 : 0;
    std::vector<std::uint8_t> stream;
    if (size > 44) stream.assign(data + 44, data + size);
    const std::size_t partial = stream.size() % sampleBytes;
    std::fill(stream.end() - static_cast<long>(partial), stream.end(), silence);
    stream.resize((stream.size() / 4000 + 1) * 4000, silence);
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/qwf-playback-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Fail("cannot create a temporary folder");
    folder = pattern;
    std::atexit(RemoveFolder);
    filePath = folder + "/input.wav";
    widePath.assign(filePath.begin(), filePath.end());  // ASCII

    qwf::ModuleAttach();
    device::OutputSettings output;
    output.pace = QWD_PACE_FAST;
    output.sink_memory = 1;
    if (!device::ConfigureOutput(output)) Fail("cannot configure the output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(filePath.c_str(), "wb");
    if (file == nullptr) Fail("cannot write the input file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size) Fail("cannot write the input file");
    std::fclose(file);

    // No format fields left from the input before, so each input is judged on its own.
    qwf::ModuleDetach();
    qwf::ModuleAttach();
    device::TakePlayedBytes();
    const std::uint64_t openedBefore = device::GetOutputStats().opened;

    if (PlayWavWaveForm(widePath.c_str(), 0x0000FF00, 0) != WF_DONE) Fail("result is not 999");
    if (!device::WaitOutputIdle(std::chrono::seconds(20))) Fail("playback did not end");
    const std::vector<std::uint8_t> played = device::TakePlayedBytes();
    const std::uint64_t opened = device::GetOutputStats().opened - openedBefore;
    if (opened > 1) Fail("more than one output device opened");
    if (opened == 0 && !played.empty()) Fail("bytes played with no device opened");
    if (opened == 1 && played != ExpectedStream(data, size))
        Fail("played bytes differ from the file's");
    return 0;
}
