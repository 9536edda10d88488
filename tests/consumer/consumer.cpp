// Links the installed module and device services and calls the four entry points: plays a
// short WAV on a fast virtual output and records three blocks from a fast ramp input.
#include <QuorvelWaveForm.h>
#include <quorvel/device.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace device = quorvel::device;
using std::chrono::seconds;

int failures = 0;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "consumer: FAILED: %s\n", what);
        ++failures;
    }
}

void PutLe(std::vector<char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::u16string Utf16(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";

    // 6000 bytes of samples: one full block and one completed with silence.
    std::vector<char> wav;
    wav.insert(wav.end(), {'R', 'I', 'F', 'F'});
    PutLe(wav, 36 + 6000, 4);
    wav.insert(wav.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLe(wav, 16, 4);
    PutLe(wav, 1, 2);
    PutLe(wav, 1, 2);
    PutLe(wav, 8000, 4);
    PutLe(wav, 16000, 4);
    PutLe(wav, 2, 2);
    PutLe(wav, 16, 2);
    wav.insert(wav.end(), {'d', 'a', 't', 'a'});
    PutLe(wav, 6000, 4);
    for (int i = 0; i < 3000; ++i) PutLe(wav, static_cast<std::uint32_t>(i * 7), 2);
    const std::string wavPath = dir + "/consumer.wav";
    std::ofstream(wavPath, std::ios::binary).write(wav.data(), static_cast<long>(wav.size()));

    device::OutputSettings output;
    output.backend = "virtual";
    output.pace = QWD_PACE_FAST;
    output.sink_memory = 1;
    Check(device::ConfigureOutput(output), "ConfigureOutput");
    Check(PlayWavWaveForm(Utf16(wavPath).c_str(), 0x0000FF00, 0) == WF_DONE, "PlayWavWaveForm");
    Check(device::WaitOutputIdle(seconds(20)), "playback ends");
    const std::vector<std::uint8_t> played = device::TakePlayedBytes();
    Check(played.size() == 8000, "two blocks of 4000 bytes played");
    Check(played.size() == 8000 && played[2] == 7 && played[6000] == 0,
          "the file's samples, then silence");
    Check(PlayWavWaveFormStop() == WF_DONE, "PlayWavWaveFormStop");

    device::InputSettings input;
    input.backend = "virtual";
    input.pace = QWD_PACE_FAST;
    input.source = "ramp";
    Check(device::ConfigureInput(input), "ConfigureInput");
    device::ResetStats();
    device::SetInputGate(3);
    const std::string recordPath = dir + "/consumer-record.wav";
    Check(WaveRecordWaveForm(Utf16(recordPath).c_str(), 0x0000FF00, 0) == WF_DONE,
          "WaveRecordWaveForm");
    Check(device::WaitInputData(3, seconds(20)), "three blocks captured");
    Check(WaveRecordWaveFormStop() == 3, "WaveRecordWaveFormStop counts three blocks");
    const std::vector<char> recorded = ReadAll(recordPath);
    Check(recorded.size() == 44 + 3 * 4000, "the recording holds three blocks");
    Check(recorded.size() > 46 && recorded[44] == 0 && recorded[46] == 1, "ramp samples");

    std::printf("consumer: %s\n", failures == 0 ? "all checks passed" : "checks failed");
    return failures == 0 ? 0 : 1;
}
