#include "support/test_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <algorithm>

#include "QuorvelWaveForm.h"
#include "frame/module.h"
#include "playback/wave_player.h"

namespace qwf::test {
namespace {

std::vector<std::string>& TempDirs() {
    static std::vector<std::string> dirs;
    return dirs;
}

void RemoveTempDirs() {
    for (const std::string& dir : TempDirs()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

void PutU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
}

void PutId(Bytes& out, const char* id) {
    out.insert(out.end(), id, id + 4);
}

}  // namespace

std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        char32_t code = 0;
        int extra = 0;
        if (byte < 0x80) {
            code = byte;
        } else if ((byte >> 5) == 0x6) {
            code = byte & 0x1F;
            extra = 1;
        } else if ((byte >> 4) == 0xE) {
            code = byte & 0x0F;
            extra = 2;
        } else {
            code = byte & 0x07;
            extra = 3;
        }
        for (int k = 1; k <= extra; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qwf-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a temporary directory";
        return "/tmp";
    }
    if (TempDirs().empty()) std::atexit(RemoveTempDirs);
    TempDirs().push_back(pattern);
    return pattern;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes MakeWav(const Bytes& data, const WavLayout& layout) {
    const auto align = static_cast<std::uint16_t>(layout.channels * (layout.bitsPerSample / 8));
    const auto fmtSize = static_cast<std::uint32_t>(16 + layout.extraFmtBytes.size());
    Bytes out;
    PutId(out, "RIFF");
    PutU32(out, static_cast<std::uint32_t>(4 + 8 + fmtSize + layout.chunkBeforeData.size() + 8 +
                                           data.size()));
    PutId(out, "WAVE");
    PutId(out, "fmt ");
    PutU32(out, fmtSize);
    PutU16(out, layout.formatTag);
    PutU16(out, layout.channels);
    PutU32(out, layout.samplesPerSec);
    PutU32(out, layout.samplesPerSec * align);
    PutU16(out, align);
    PutU16(out, layout.bitsPerSample);
    out.insert(out.end(), layout.extraFmtBytes.begin(), layout.extraFmtBytes.end());
    out.insert(out.end(), layout.chunkBeforeData.begin(), layout.chunkBeforeData.end());
    PutId(out, "data");
    PutU32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes PatternSamples(std::size_t count, int seed) {
    Bytes out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        // A slow sweep with full-scale swings, so traces of successive blocks differ.
        const double phase = static_cast<double>(i) * (0.003 + 0.0007 * seed);
        const auto value = static_cast<std::int16_t>(
            std::lround(30000.0 * std::sin(phase) * std::cos(static_cast<double>(i) / 1700.0)));
        PutU16(out, static_cast<std::uint16_t>(value));
    }
    return out;
}

std::uint32_t U32At(const Bytes& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | bytes.at(offset + static_cast<std::size_t>(i));
    return value;
}

std::uint16_t U16At(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8));
}

std::int16_t SampleAt(const Bytes& bytes, std::size_t index) {
    return static_cast<std::int16_t>(U16At(bytes, index * 2));
}

int ExpectedRow(std::int16_t sample) {
    const long quotient = sample / 240;  // truncates toward zero
    return static_cast<int>(static_cast<double>(quotient) * (5.0 / 7.0) + 128.0);
}

std::string CompareTraceOnScreen(const std::vector<int>& rows, std::uint32_t traceColor,
                                 std::uint32_t backColor) {
    namespace device = quorvel::device;
    for (int x = 1; x < 239; ++x) {
        // Between two points the line covers every row from one to the next.
        const int from = rows[static_cast<std::size_t>(x)];
        if (device::ScreenPixel(x, from) != traceColor) {
            return "no trace at (" + std::to_string(x) + ", " + std::to_string(from) + ")";
        }
        for (int y = 27; y < 227; ++y) {
            const int next = rows[static_cast<std::size_t>(x + 1)];
            const int previous = rows[static_cast<std::size_t>(x - 1)];
            const int low = std::min({from, next, previous});
            const int high = std::max({from, next, previous});
            if ((y < low || y > high) && device::ScreenPixel(x, y) != backColor) {
                return "stray pixel at (" + std::to_string(x) + ", " + std::to_string(y) + ")";
            }
        }
    }
    return {};
}

std::size_t CountJournal(const std::string& prefix) {
    std::size_t count = 0;
    for (const std::string& line : quorvel::device::JournalEntries()) {
        if (line.rfind(prefix, 0) == 0) ++count;
    }
    return count;
}

bool WaitForJournal(const std::string& prefix, std::size_t count,
                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (CountJournal(prefix) < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ModuleTest::SetUp() {
    static std::once_flag attached;
    std::call_once(attached, [] { qwf::ModuleAttach(); });
    quorvel::device::ResetAll();
    quorvel::device::OutputSettings output;
    output.pace = QWD_PACE_FAST;
    output.sink_memory = 1;
    ASSERT_TRUE(quorvel::device::ConfigureOutput(output));
    quorvel::device::InputSettings input;
    input.pace = QWD_PACE_FAST;
    input.source = "ramp";
    ASSERT_TRUE(quorvel::device::ConfigureInput(input));
    dir_ = MakeTempDir();
}

void ModuleTest::TearDown() {
    // Leave no device running into the next test.
    quorvel::device::SetOutputGate(-1);
    quorvel::device::SetInputGate(-1);
    WaveRecordWaveFormStop();
    qwf::EndPlayback();
}

}  // namespace qwf::test
