// A host's whole life with the module, for memory checkers (scripts/test-valgrind runs it under
// valgrind memcheck; the asan preset runs it under LeakSanitizer as a test): load the library,
// play and record in real time, start again while running, pause and resume, then unload it
// in the middle of playback and capture; three rounds. Exits non-zero when a device or a file
// descriptor is left open, or a recording is not a valid WAV of whole blocks.
#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QuorvelWaveForm.h"
#include "quorvel/device.hpp"

namespace {

namespace device = quorvel::device;
using Bytes = std::vector<std::uint8_t>;

int failures = 0;

void Check(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stderr, "module_lifecycle: %s\n", what.c_str());
    ++failures;
}

void Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::set<std::string> OpenDescriptors() {
    std::set<std::string> open;
    std::error_code gone;  // the iterator's own descriptor is listed but gone when read
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const std::string target = std::filesystem::read_symlink(entry.path(), gone).string();
        if (!target.empty() && target.rfind("/proc/", 0) != 0)
            open.insert(entry.path().filename().string() + " -> " + target);
    }
    return open;
}

std::u16string Wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

void PutU32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Two seconds of an 8000 Hz mono 16-bit sawtooth.
void WriteWav(const std::string& path) {
    const std::uint32_t dataBytes = 32'000;
    Bytes file = {'R', 'I', 'F', 'F'};
    PutU32(file, 36 + dataBytes);
    const char format[] = "WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x80\x3E\0\0\x02\0\x10\0data";
    file.insert(file.end(), format, format + 32);
    PutU32(file, dataBytes);
    for (std::uint32_t i = 0; i < dataBytes / 2; ++i) {
        const auto sample = static_cast<std::uint16_t>((i * 331) & 0xFFFF);
        file.push_back(static_cast<std::uint8_t>(sample & 0xFF));
        file.push_back(static_cast<std::uint8_t>(sample >> 8));
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
}

// A recording the module completed: its header describes exactly the whole blocks it holds.
void CheckRecording(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(file[at] | (file[at + 1] << 8) | (file[at + 2] << 16) |
                                          (static_cast<std::uint32_t>(file[at + 3]) << 24));
    };
    const bool valid = file.size() >= 44 && std::string(file.begin(), file.begin() + 4) == "RIFF" &&
                       std::string(file.begin() + 36, file.begin() + 40) == "data" &&
                       u32(40) % 4000 == 0 && u32(4) == u32(40) + 36 &&
                       file.size() == 44 + std::size_t{u32(40)};
    Check(valid, path + " is not a complete WAV of whole blocks (" + std::to_string(file.size()) +
                     " bytes)");
}

struct Module {
    void* library;
    PlayWavWaveFormFn play;
    PlayWavWaveFormStopFn toggle;
    WaveRecordWaveFormFn record;
    WaveRecordWaveFormStopFn stop;
};

Module Load() {
    Module module{dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL), nullptr, nullptr, nullptr,
                  nullptr};
    if (module.library == nullptr) {
        std::fprintf(stderr, "module_lifecycle: %s\n", dlerror());
        std::exit(2);
    }
    module.play = reinterpret_cast<PlayWavWaveFormFn>(dlsym(module.library, "PlayWavWaveForm"));
    module.toggle =
        reinterpret_cast<PlayWavWaveFormStopFn>(dlsym(module.library, "PlayWavWaveFormStop"));
    module.record =
        reinterpret_cast<WaveRecordWaveFormFn>(dlsym(module.library, "WaveRecordWaveForm"));
    module.stop =
        reinterpret_cast<WaveRecordWaveFormStopFn>(dlsym(module.library, "WaveRecordWaveFormStop"));
    return module;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/qwf-lifecycle-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const std::string folder = pattern;
    const std::string song = folder + "/song.wav";
    WriteWav(song);

    device::OutputSettings output;  // real time, as a host plays
    device::InputSettings input;
    input.source = "ramp";
    if (!device::ConfigureOutput(output) || !device::ConfigureInput(input)) return 2;
    const std::set<std::string> descriptorsBefore = OpenDescriptors();

    for (int round = 0; round < 3; ++round) {
        const std::string first = folder + "/first" + std::to_string(round) + ".wav";
        const std::string second = folder + "/second" + std::to_string(round) + ".wav";
        Module module = Load();
        Check(module.play(Wide(song).c_str(), 0x0000FF00, 0) == WF_DONE, "play");
        Check(module.record(Wide(first).c_str(), 0x000000FF, 0) == WF_DONE, "record");
        Pause(400);
        module.toggle();  // pause
        Pause(100);
        module.toggle();                                 // resume
        module.play(Wide(song).c_str(), 0x0000FF00, 0);  // again, while playing
        Check(module.record(round == 2 ? u"" : Wide(second).c_str(), 0x000000FF, 0) == WF_DONE,
              "record again while recording");
        CheckRecording(first);
        Pause(600);
        if (round == 0) {  // ended by the host before the unload
            module.stop();
            module.play(nullptr, 0, 0);
        }
        // Rounds 1 and 2 unload in the middle of playback and capture.
        Check(dlclose(module.library) == 0, "dlclose");
        if (round != 2) CheckRecording(second);
        Check(device::OpenOutputDevices() == 0 && device::OpenInputDevices() == 0,
              "a device is still open after the unload in round " + std::to_string(round));
    }

    const std::set<std::string> descriptorsAfter = OpenDescriptors();
    for (const std::string& open : descriptorsAfter) {
        Check(descriptorsBefore.count(open) != 0, "file descriptor left open: " + open);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    if (failures == 0) std::printf("module_lifecycle: 3 rounds, nothing left open\n");
    return failures == 0 ? 0 : 1;
}
