// Fuzzes playback with arbitrary files: the input is written to a file and played with
// PlayWavWaveForm on the fast virtual output, in a module as freshly loaded. Every file must
// return 999 and play to its end within a bound. When the device opened, it must have played
// exactly the file's bytes from offset 44 in 4000-byte blocks (a trailing half sample and the
// rest of the last block silent); when it did not, nothing.
#include <stdlib.h>

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

std::vector<std::uint8_t> ExpectedStream(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> stream;
    if (size > 44) stream.assign(data + 44, data + size);
    if (stream.size() % 2 != 0) stream.back() = 0;
    stream.resize((stream.size() / 4000 + 1) * 4000, 0);
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
    output.pace = device::Pace::kFast;
    output.sinkMemory = true;
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
