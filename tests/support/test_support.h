// Helpers for the module's tests: temporary files, WAV files, UTF-16 paths, and a fixture
// that loads the module's state once and resets the device services before every test.
#ifndef QWF_TESTS_SUPPORT_TEST_SUPPORT_H
#define QWF_TESTS_SUPPORT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "quorvel/device_testing.hpp"

namespace qwf::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::u16string Utf16(const std::string& utf8);

// A fresh directory under the system's temporary folder, removed with its files at exit.
std::string MakeTempDir();

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);

struct WavLayout {
    std::uint16_t formatTag = 1;
    std::uint16_t channels = 1;
    std::uint32_t samplesPerSec = 8000;
    std::uint16_t bitsPerSample = 16;
    Bytes extraFmtBytes;    // appended to a longer "fmt " chunk
    Bytes chunkBeforeData;  // a whole chunk (id, size, body) placed before "data"
};

// A WAV file image with the given data bytes.
Bytes MakeWav(const Bytes& data, const WavLayout& layout = {});

// `count` 16-bit samples of a pattern that differs at every sample and every block.
Bytes PatternSamples(std::size_t count, int seed = 1);

std::uint32_t U32At(const Bytes& bytes, std::size_t offset);
std::uint16_t U16At(const Bytes& bytes, std::size_t offset);
std::int16_t SampleAt(const Bytes& bytes, std::size_t index);

// The row the trace puts one sample on, computed independently of the module.
int ExpectedRow(std::int16_t sample);

// Checks that the screen shows exactly `rows` as the trace (x = 0..238 coloured in the trace
// colour at the given rows, the final point being left undrawn) over the panel background.
// Returns an empty string when it does, or a description of the first difference.
std::string CompareTraceOnScreen(const std::vector<int>& rows, std::uint32_t traceColor,
                                 std::uint32_t backColor);

// Fixture for tests that call the module's entry points directly.
class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_;
};

}  // namespace qwf::test

#endif

namespace qwf::test {

// Waits until the journal holds at least `count` lines starting with `prefix`.
bool WaitForJournal(const std::string& prefix, std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
std::size_t CountJournal(const std::string& prefix);

}  // namespace qwf::test
