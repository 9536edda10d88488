// Plays a WAV file through the module on the virtual output device with the live trace, then
// writes the final screen to a PNG. Without a file it makes a short sweep to play.
//   play_example [--fast] [--png PATH] [FILE]
#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "QuorvelWaveForm.h"
#include "quorvel/device.h"

namespace {

namespace device = quorvel::device;

std::u16string Utf16FromAscii(const std::string& text) { return {text.begin(), text.end()}; }

void PutU32(std::ofstream& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutU16(std::ofstream& out, std::uint16_t value) {
    out.put(static_cast<char>(value & 0xFF));
    out.put(static_cast<char>(value >> 8));
}

// 2.1 seconds of a rising sweep (the last block ends part-way, so the final trace shows sound) at 8000 Hz, mono, 16-bit.
bool WriteSweep(const std::string& path) {
    constexpr std::uint32_t kRate = 8000;
    constexpr std::uint32_t kSamples = kRate * 21 / 10;
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    PutU32(out, 36 + kSamples * 2);
    out.write("WAVEfmt ", 8);
    PutU32(out, 16);
    PutU16(out, 1);
    PutU16(out, 1);
    PutU32(out, kRate);
    PutU32(out, kRate * 2);
    PutU16(out, 2);
    PutU16(out, 16);
    out.write("data", 4);
    PutU32(out, kSamples * 2);
    double phase = 0.0;
    for (std::uint32_t i = 0; i < kSamples; ++i) {
        const double t = static_cast<double>(i) / kRate;
        phase += 2.0 * M_PI * (40.0 + 60.0 * t) / kRate;
        PutU16(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(24000.0 * std::sin(phase))));
    }
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    std::string png = "screen.png";
    std::string file;
    bool fast = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fast") == 0) {
            fast = true;
        } else if (std::strcmp(argv[i], "--png") == 0 && i + 1 < argc) {
            png = argv[++i];
        } else {
            file = argv[i];
        }
    }
    if (file.empty()) {
        file = "out/sweep.wav";
        if (!WriteSweep(file)) {
            std::fprintf(stderr, "Cannot write the sample file \"%s\".\n", file.c_str());
            return 1;
        }
    }

    device::OutputSettings output;
    output.pace = fast ? device::Pace::kFast : device::Pace::kRealTime;
    std::string error;
    if (!device::ConfigureOutput(output, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    void* module = dlopen(QWF_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "Cannot load the module: %s.\n", dlerror());
        return 1;
    }
    const auto play = reinterpret_cast<PlayWavWaveFormFn>(dlsym(module, "PlayWavWaveForm"));
    if (play == nullptr) {
        std::fprintf(stderr, "The module does not export PlayWavWaveForm.\n");
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    std::printf("Playing %s on the virtual output (%s)\n", file.c_str(), fast ? "fast" : "real time");
    play(Utf16FromAscii(file).c_str(), 0x0000FF00, 0x00000000);
    while (!device::WaitOutputIdle(std::chrono::milliseconds(250))) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("\r%6.2f s  %llu blocks", elapsed,
                    static_cast<unsigned long long>(device::GetOutputStats().doneMessages));
        std::fflush(stdout);
    }
    std::printf("\nPlayed %llu bytes in %llu blocks.\n",
                static_cast<unsigned long long>(device::GetOutputStats().bytesPlayed),
                static_cast<unsigned long long>(device::GetOutputStats().blocksPlayed));
    if (!device::WriteScreenPng(png, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("Wrote the screen to %s\n", png.c_str());
    dlclose(module);
    return 0;
}
