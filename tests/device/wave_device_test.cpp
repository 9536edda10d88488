// What both directions of the one waveform device share: the Win32 argument checks in one order,
// and a backend added through the contract alone (the null device) serving both.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "quorvel/device_testing.hpp"

namespace qd = quorvel::device;
using namespace std::chrono_literals;

namespace {

constexpr WAVEFORMATEX kMono16{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
constexpr UINT kHeaderSize = sizeof(WAVEHDR);

void CALLBACK CountDone(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message == MM_WOM_DONE) ++*reinterpret_cast<std::atomic<int>*>(instance);
}
void CALLBACK CountData(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message == MM_WIM_DATA) ++*reinterpret_cast<std::atomic<int>*>(instance);
}

// waveOutOpen and waveInOpen through one signature.
MMRESULT OpenEither(bool output, void* handle, UINT id, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD flags) {
    return output ? waveOutOpen(static_cast<HWAVEOUT*>(handle), id, format, callback, 0, flags)
                  : waveInOpen(static_cast<HWAVEIN*>(handle), id, format, callback, 0, flags);
}

class BothDirections : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { qd::ResetAll(); }
    void TearDown() override { qd::ResetAll(); }
};

// Each call breaks two rules; the one reported is the one checked first, the same both ways.
TEST_P(BothDirections, OpenReportsTheFirstBrokenRuleAlike) {
    const bool output = GetParam();
    const DWORD_PTR callback =
        output ? reinterpret_cast<DWORD_PTR>(&CountDone) : reinterpret_cast<DWORD_PTR>(&CountData);
    const WAVEFORMATEX badFormat{3, 1, 8000, 32000, 4, 32, 0};
    const DWORD badFlags = 0x00010000;  // CALLBACK_WINDOW
    void* handle = reinterpret_cast<void*>(0x1234);
    struct Case {
        void* handle;
        UINT id;
        const WAVEFORMATEX* format;
        DWORD_PTR callback;
        DWORD flags;
        MMRESULT expected;
    } const cases[] = {
        {nullptr, 0, &kMono16, callback, badFlags, MMSYSERR_INVALPARAM},    // pointer, flags
        {&handle, 0, &kMono16, 0, badFlags, MMSYSERR_INVALFLAG},            // flags, callback
        {&handle, 7, &kMono16, 0, CALLBACK_FUNCTION, MMSYSERR_INVALPARAM},  // callback, device
        {&handle, 7, &badFormat, callback, CALLBACK_FUNCTION, MMSYSERR_BADDEVICEID},  // device
        {&handle, 0, nullptr, callback, CALLBACK_FUNCTION, MMSYSERR_INVALPARAM},      // format
        {nullptr, 0, &badFormat, 0, WAVE_FORMAT_QUERY, WAVERR_BADFORMAT},  // a query needs none
        {nullptr, 0, &kMono16, 0, WAVE_FORMAT_QUERY, MMSYSERR_NOERROR},
    };
    for (const Case& c : cases) {
        handle = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(OpenEither(output, c.handle, c.id, c.format, c.callback, c.flags), c.expected)
            << "id " << c.id << ", flags " << c.flags;
        if (c.handle != nullptr) {
            EXPECT_EQ(handle, nullptr);
        }
    }
    // An injected fault comes after the handle is cleared, before any check.
    qd::InjectFault(output ? QWD_OP_OUT_OPEN : QWD_OP_IN_OPEN, MMSYSERR_ALLOCATED);
    handle = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(OpenEither(output, &handle, 7, &kMono16, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(output ? qd::OpenOutputDevices() : qd::OpenInputDevices(), 0);
}

// Hosts ask PcmFormatProblem instead of repeating the rules, so its verdict must be the
// format query's, edges of every rule included, and a refusal must come with a reason.
TEST_P(BothDirections, FormatProblemAgreesWithTheFormatQuery) {
    const bool output = GetParam();
    for (const WORD channels : {0, 1, 2, 8, 9}) {
        for (const DWORD rate : {0u, 1u, 8000u, 384000u, 384001u}) {
            for (const WORD bits : {0, 8, 12, 16, 24}) {
                for (const int alignDelta : {0, 1}) {
                    const auto align = static_cast<WORD>(channels * (bits / 8) + alignDelta);
                    const WAVEFORMATEX format{WAVE_FORMAT_PCM, channels, rate, rate * align,
                                              align,           bits,     0};
                    const MMRESULT query =
                        OpenEither(output, nullptr, WAVE_MAPPER, &format, 0, WAVE_FORMAT_QUERY);
                    const std::string problem = qd::PcmFormatProblem(channels, rate, align, bits);
                    EXPECT_EQ(query == MMSYSERR_NOERROR, problem.empty())
                        << channels << " channels, " << rate << " Hz, " << bits << " bits, align "
                        << align << ": \"" << problem << "\"";
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Wave, BothDirections, ::testing::Values(true, false),
                         [](const auto& param) { return param.param ? "Out" : "In"; });

TEST(NullBackend, PlaysEveryByteAtOnceIntoTheSinksAndCapturesSilenceBothWidths) {
    qd::ResetAll();
    qd::OutputSettings output;
    ASSERT_TRUE(qd::ParseOutputSettings("null,memory", &output));
    ASSERT_TRUE(qd::ConfigureOutput(output));
    std::atomic<int> done{0};
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kMono16, reinterpret_cast<DWORD_PTR>(&CountDone),
                          reinterpret_cast<DWORD_PTR>(&done), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    EXPECT_EQ(qd::ActiveOutputBackend(), "null");
    std::vector<char> audio(4000);
    for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 7);
    WAVEHDR block{};
    block.lpData = audio.data();
    block.dwBufferLength = static_cast<DWORD>(audio.size());
    ASSERT_EQ(waveOutPrepareHeader(out, &block, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &block, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitOutputIdle(10s));
    EXPECT_EQ(done.load(), 1);
    const std::vector<std::uint8_t> played = qd::TakePlayedBytes();
    EXPECT_EQ(played, std::vector<std::uint8_t>(audio.begin(), audio.end()));
    EXPECT_EQ(waveOutUnprepareHeader(out, &block, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    for (const WORD bits : {8, 16}) {
        qd::ResetAll();
        qd::InputSettings input;
        ASSERT_TRUE(qd::ParseInputSettings("null", &input));
        ASSERT_TRUE(qd::ConfigureInput(input));
        const WORD align = bits / 8;
        const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 8000, 8000u * align, align, bits, 0};
        std::atomic<int> filled{0};
        HWAVEIN in = nullptr;
        ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&CountData),
                             reinterpret_cast<DWORD_PTR>(&filled), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        qd::SetInputGate(1);  // one buffer only, though two are queued
        std::vector<char> first(6000, 0x55), second(6000, 0x55);
        WAVEHDR headers[2] = {};
        headers[0].lpData = first.data();
        headers[1].lpData = second.data();
        for (WAVEHDR& header : headers) {
            header.dwBufferLength = 6000;
            ASSERT_EQ(waveInPrepareHeader(in, &header, kHeaderSize), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInAddBuffer(in, &header, kHeaderSize), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
        ASSERT_TRUE(qd::WaitInputData(1, 10s));
        EXPECT_EQ(headers[0].dwBytesRecorded, 6000u);
        EXPECT_EQ(first, std::vector<char>(6000, bits == 8 ? '\x80' : '\0'));
        EXPECT_EQ(headers[1].dwBytesRecorded, 0u) << "the gate holds the second buffer";
        qd::SetInputGate(-1);
        ASSERT_TRUE(qd::WaitInputData(2, 10s));
        EXPECT_EQ(filled.load(), 2);
        EXPECT_EQ(qd::GetInputStats().frames_dropped, 0u);
        EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
        for (WAVEHDR& header : headers) waveInUnprepareHeader(in, &header, kHeaderSize);
        EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    }
    qd::ResetAll();
}

// The null device is the virtual one, fast and silent: a source set for the virtual device does
// not reach it.
TEST(NullBackend, CapturesSilenceWhateverTheSource) {
    qd::ResetAll();
    qd::InputSettings input;
    ASSERT_TRUE(qd::ParseInputSettings("null,source=ramp", &input));
    ASSERT_TRUE(qd::ConfigureInput(input));
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::vector<char> samples(4000, 0x55);
    WAVEHDR header{};
    header.lpData = samples.data();
    header.dwBufferLength = static_cast<DWORD>(samples.size());
    ASSERT_EQ(waveInPrepareHeader(in, &header, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &header, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(1, 10s));
    EXPECT_EQ(samples, std::vector<char>(samples.size(), '\0'));
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInUnprepareHeader(in, &header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    qd::ResetAll();
}

}  // namespace
