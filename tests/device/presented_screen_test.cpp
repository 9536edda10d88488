// The presented screen: the screen as drawn for the block being heard, held to the queue by the
// gate so that which block sounds is known exactly.
#include <gtest/gtest.h>
#include <mmsystem.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

#include "quorvel/device.hpp"

namespace qd = quorvel::device;
using namespace std::chrono_literals;

namespace {

const WAVEFORMATEX kMono16{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
constexpr DWORD kBlockBytes = 4000;

// The colour of the screen's first pixel as ReadPresentedScreenRgb gives it.
std::uint32_t PresentedColour() {
    const std::vector<std::uint8_t> rgb = qd::ReadPresentedScreenRgb();
    return rgb.size() < 3 ? 0xFFFFFFFF : RGB(rgb[0], rgb[1], rgb[2]);
}

bool PlayedBytesReach(std::uint64_t bytes) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (qd::GetOutputStats().bytes_played < bytes) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class PresentedScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        qd::ResetAll();
        qd::OutputSettings settings;
        settings.pace = QWD_PACE_FAST;
        ASSERT_TRUE(qd::ConfigureOutput(settings));
        qd::EnablePresentation();  // from here on the devices keep drawn states
    }
    void TearDown() override { qd::ResetAll(); }

    // Draws a block's "trace" (the whole screen in one colour), then queues the block, as the
    // module does.
    void DrawAndQueue(HWAVEOUT device, std::uint32_t colour) {
        qd::ClearScreen(colour);
        headers_.emplace_back();
        WAVEHDR& header = headers_.back();
        header.lpData = reinterpret_cast<LPSTR>(silence_.data());
        header.dwBufferLength = kBlockBytes;
        ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
    }

    std::vector<std::uint8_t> silence_ = std::vector<std::uint8_t>(kBlockBytes);
    std::deque<WAVEHDR> headers_;
};

TEST_F(PresentedScreen, ShowsTheStateDrawnForTheBlockHeardThenTheScreenOnceIdle) {
    constexpr std::uint32_t kFirst = RGB(200, 0, 0), kSecond = RGB(0, 200, 0),
                            kThird = RGB(0, 0, 200), kLater = RGB(90, 90, 90);
    qd::SetOutputGate(0);  // each block stops at its end until the gate lets it complete
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, 0, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    DrawAndQueue(device, kFirst);
    DrawAndQueue(device, kSecond);
    DrawAndQueue(device, kThird);
    qd::ClearScreen(kLater);  // drawn ahead of everything queued

    // Held at the end of the first block: all of it heard, so the second one starts now.
    ASSERT_TRUE(PlayedBytesReach(kBlockBytes));
    EXPECT_EQ(PresentedColour(), kSecond);
    EXPECT_EQ(qd::ScreenPixel(0, 0), kLater) << "the screen itself stays as drawn";
    const std::uint64_t secondGeneration = qd::PresentedScreenGeneration();

    qd::SetOutputGate(1);
    ASSERT_TRUE(PlayedBytesReach(2 * kBlockBytes));
    EXPECT_EQ(PresentedColour(), kThird);
    EXPECT_NE(qd::PresentedScreenGeneration(), secondGeneration);

    // Paused, what is shown is the screen as it is (the module clears the panel on pause).
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    EXPECT_EQ(PresentedColour(), kLater);
    ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    EXPECT_EQ(PresentedColour(), kThird);

    qd::SetOutputGate(-1);
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_EQ(PresentedColour(), kLater) << "nothing left to hear";
    EXPECT_EQ(qd::PresentedScreenGeneration(), qd::ScreenGeneration());
    for (WAVEHDR& header : headers_) waveOutUnprepareHeader(device, &header, sizeof header);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

}  // namespace
