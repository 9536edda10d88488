// The sound device through SDL: the backend table and its names, the fall back to the virtual
// device when no sound device opens, and, through a real PulseAudio server (scripts/test-sound),
// playback sample for sample, pause, underrun counting and other formats. Capture on each
// backend is in capture_test.cpp.
#include <gtest/gtest.h>
#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device.hpp"
#include "support/one_block_player.h"
#include "support/sound_server.h"

namespace qd = quorvel::device;
namespace sound = qwf::sound;
using namespace std::chrono_literals;

namespace {

constexpr int kDone = 999;  // what the module's entry points return on success
using sound::kHeaderSize;
using sound::kMono16;
// What "default" opens when a sound server is there.
const char* const kFirstSoundBackend = QWF_WITH_PULSE ? "pulse" : "sdl";

// ---- Without a sound server -------------------------------------------------------------

TEST(SdlBackend, BackendsFormOneTableThatSettingsAndEnvironmentName) {
    EXPECT_EQ(qd::AudioBackends(),
              (QWF_WITH_PULSE ? std::vector<std::string>{"pulse", "sdl", "virtual", "null"}
                              : std::vector<std::string>{"sdl", "virtual", "null"}));
    qd::OutputSettings output;
    std::string error;
    ASSERT_TRUE(qd::ParseOutputSettings("sdl,memory", &output, &error)) << error;
    EXPECT_STREQ(output.backend, "sdl");
    EXPECT_TRUE(output.sink_memory);
    ASSERT_TRUE(qd::ParseOutputSettings("default", &output, &error)) << error;
    EXPECT_STREQ(output.backend, "default");
    qd::InputSettings input;
    ASSERT_TRUE(qd::ParseInputSettings("sdl,fifo=800", &input, &error)) << error;
    EXPECT_STREQ(input.backend, "sdl");
    EXPECT_EQ(input.fifo_frames, 800u);
    EXPECT_FALSE(qd::ParseInputSettings("fast,sdl", &input, &error));
    EXPECT_NE(error.find("\"sdl\""), std::string::npos) << error;

    const std::string choices =
        QWF_WITH_PULSE ? "default, pulse, sdl, virtual or null" : "default, sdl, virtual or null";
    output = qd::OutputSettings{};
    output.backend = "alsa";
    EXPECT_FALSE(qd::ConfigureOutput(output, &error));
    EXPECT_NE(error.find("\"alsa\""), std::string::npos) << error;
    EXPECT_NE(error.find(choices), std::string::npos) << error;
    input = qd::InputSettings{};
    input.backend = "alsa";
    EXPECT_FALSE(qd::ConfigureInput(input, &error));
    EXPECT_NE(error.find(choices), std::string::npos) << error;
}

// With no sound server to reach, "default" opens the virtual device and says why in one line,
// while a device that asks for "sdl" by name does not open.
TEST(SdlBackend, DefaultFallsBackToTheVirtualDeviceWhenNoSoundDeviceOpens) {
    const sound::ScopedEnv noServer("PULSE_SERVER", "unix:/nonexistent/quorvel-test/native");
    const sound::ScopedEnv pulseOnly("SDL_AUDIODRIVER", "pulseaudio");
    const sound::ScopedEnv noOutputChoice("QUORVEL_OUTPUT", nullptr);
    const sound::ScopedEnv noInputChoice("QUORVEL_INPUT", nullptr);
    qd::ResetAll();

    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(qd::ActiveOutputBackend(), "virtual");
    const std::string notice = qd::OutputFallbackNotice();
    EXPECT_NE(notice.find("8000 Hz, 1 channel, 16-bit"), std::string::npos) << notice;
    EXPECT_NE(notice.find("virtual device plays instead"), std::string::npos) << notice;
    EXPECT_EQ(notice.find('\n'), std::string::npos) << notice;
    std::vector<std::uint8_t> bytes(160, 7);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(bytes.data());
    header.dwBufferLength = static_cast<DWORD>(bytes.size());
    ASSERT_EQ(waveOutPrepareHeader(out, &header, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_TRUE(qd::WaitOutputIdle(5s)) << "the virtual device played nothing";
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(qd::ActiveInputBackend(), "virtual");
    EXPECT_NE(qd::InputFallbackNotice().find("virtual device captures instead"), std::string::npos)
        << qd::InputFallbackNotice();
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    qd::OutputSettings output;
    output.backend = "sdl";
    ASSERT_TRUE(qd::ConfigureOutput(output));
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    qd::InputSettings input;
    input.backend = "sdl";
    ASSERT_TRUE(qd::ConfigureInput(input));
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(qd::OpenOutputDevices() + qd::OpenInputDevices(), 0);
    qd::ResetAll();
}

// ---- Through the sound server -------------------------------------------------------------

class SoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string missing = sound::PrepareSoundBackend("sdl");
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
    void TearDown() override {
        EXPECT_EQ(qd::OpenOutputDevices() + qd::OpenInputDevices(), 0) << "a device was left open";
        qd::ResetAll();
    }
};

// The module plays a file; pausing holds the sound (silence, not an underrun) and resuming goes
// on from the very next sample.
TEST_F(SoundServer, TheModulePlaysAFileSampleForSampleAndPausesWithoutLosingOne) {
    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    const sound::Samples signal = sound::KnownSignal(3 * sound::kRate + 700, 3);
    const std::string path = sound::TempPath("three.wav");
    sound::WriteWav(path, signal);
    sound::Recorder recorder("three-monitor");
    ASSERT_TRUE(recorder.Settle());

    sound::StallProbe probe;
    ASSERT_EQ(module.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::ActiveOutputBackend(), "sdl");
    EXPECT_EQ(qd::OutputFallbackNotice(), "");
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(module.pause(), kDone);
    const qd::OutputStats paused = qd::GetOutputStats();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(qd::GetOutputStats().done_messages, paused.done_messages) << "played while paused";
    ASSERT_EQ(module.pause(), kDone);
    ASSERT_TRUE(qd::WaitOutputIdle(10s));
    std::this_thread::sleep_for(200ms);  // idle after the end
    const sound::Samples recorded = recorder.Finish();
    const qd::OutputStats stats = qd::GetOutputStats();
    std::remove(path.c_str());

    std::size_t silent = 0;
    const sound::Samples sounding = sound::WithoutSilence(recorded, &silent);
    // The last block ends in the module's silence after the file's data.
    ASSERT_GE(sounding.size(), signal.size());
    EXPECT_EQ(sound::FindExactly(sounding, signal), "");
    if (!sound::kTimingHolds) return;
    if (probe.Stalled()) GTEST_SKIP() << probe.Why();
    EXPECT_NEAR(static_cast<double>(silent), 0.5 * sound::kRate, 0.2 * sound::kRate)
        << "the pause should show as half a second of silence";
    EXPECT_EQ(stats.underrun_frames, 0u);
    EXPECT_GE(stats.idle_frames, silent) << "the pause and the end are idle, not underruns";
}

// A requeue later than the pull can wait for shows as silence between two blocks, every padded
// frame counted as an underrun; the silence after the last block is idle, not an underrun.
TEST_F(SoundServer, OnlyALateRequeueCountsAsAnUnderrunAndEveryPaddedFrameIsCounted) {
    const sound::Samples signal = sound::KnownSignal(6 * sound::kBlockSamples, 5);
    sound::Recorder recorder("late-monitor");
    ASSERT_TRUE(recorder.Settle());
    sound::OneBlockPlayer player(signal);
    player.slowBlock = 3;
    player.slowBy = 400ms;  // longer than the sound server and a chunk can cover
    sound::StallProbe probe;
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    player.Start();
    ASSERT_TRUE(player.WaitUntilPlayed(10s));
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    const std::uint64_t underrun = qd::GetOutputStats().underrun_frames;
    std::this_thread::sleep_for(300ms);
    const qd::OutputStats stats = qd::GetOutputStats();
    player.Close();
    const sound::Samples recorded = recorder.Finish();

    EXPECT_EQ(player.failures.load(), 0);
    EXPECT_EQ(stats.underrun_frames, underrun) << "idle time after the end counted as underrun";
    EXPECT_GE(stats.idle_frames, 0.2 * sound::kRate);
    std::size_t silent = 0;
    const sound::Samples sounding = sound::WithoutSilence(recorded, &silent);
    EXPECT_EQ(sound::FindExactly(sounding, signal), "");
    // The 400 ms held back, less what the server's buffer and the chunk being pulled covered.
    EXPECT_GE(underrun, 0.1 * sound::kRate);
    if (!sound::kTimingHolds) return;
    if (probe.Stalled()) GTEST_SKIP() << probe.Why();
    EXPECT_LE(underrun, 0.45 * sound::kRate);
    EXPECT_EQ(silent, underrun) << "silence in the sound that was not counted, or the reverse";
}

// Each format is played as it is (SDL opens it without changes), at its own pace.
TEST_F(SoundServer, OtherFormatsOpenAsTheyAreAndPlayAtTheirOwnPace) {
    const WAVEFORMATEX formats[] = {
        {WAVE_FORMAT_PCM, 2, 11025, 22050, 2, 8, 0},
        {WAVE_FORMAT_PCM, 1, 22050, 22050, 1, 8, 0},
        {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0},
    };
    for (const WAVEFORMATEX& format : formats) {
        SCOPED_TRACE(std::to_string(format.nSamplesPerSec) + " Hz, " +
                     std::to_string(format.nChannels) + " channels, " +
                     std::to_string(format.wBitsPerSample) + " bits");
        qd::ResetStats();
        const std::size_t frames = format.nSamplesPerSec & ~std::size_t{1};  // a second
        sound::OneBlockPlayer player(sound::Samples(frames * format.nBlockAlign / 2, 0x2020));
        ASSERT_EQ(player.Open(format), MMSYSERR_NOERROR);
        EXPECT_EQ(qd::ActiveOutputBackend(), "sdl");
        const auto start = std::chrono::steady_clock::now();
        player.Start();
        ASSERT_TRUE(player.WaitUntilPlayed(10s));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        player.Close();
        const double expected = static_cast<double>(frames) / format.nSamplesPerSec;
        EXPECT_GT(std::chrono::duration<double>(elapsed).count(), expected * 0.7);
        if (sound::kTimingHolds) {
            EXPECT_LT(std::chrono::duration<double>(elapsed).count(), expected + 1.0);
        }
        EXPECT_EQ(qd::GetOutputStats().bytes_played, frames * format.nBlockAlign);
    }
}

// Nothing configured means the sound device (through PulseAudio's own client where the build has
// it, else SDL); QUORVEL_OUTPUT and QUORVEL_INPUT can name a backend.
TEST_F(SoundServer, NothingConfiguredMeansTheSoundDeviceAndTheEnvironmentCanNameABackend) {
    const auto openedOutput = [] {
        qd::ResetAll();
        HWAVEOUT out = nullptr;
        EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        return qd::ActiveOutputBackend();
    };
    const auto openedInput = [] {
        qd::ResetAll();
        HWAVEIN in = nullptr;
        EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
        return qd::ActiveInputBackend();
    };
    {
        const sound::ScopedEnv output("QUORVEL_OUTPUT", nullptr);
        const sound::ScopedEnv input("QUORVEL_INPUT", nullptr);
        EXPECT_EQ(openedOutput(), kFirstSoundBackend);
        EXPECT_EQ(qd::OutputFallbackNotice(), "");
        EXPECT_EQ(openedInput(), kFirstSoundBackend);
    }
    {
        const sound::ScopedEnv output("QUORVEL_OUTPUT", "virtual,fast");
        const sound::ScopedEnv input("QUORVEL_INPUT", "virtual,source=ramp");
        EXPECT_EQ(openedOutput(), "virtual");
        EXPECT_EQ(openedInput(), "virtual");
    }
    {
        const sound::ScopedEnv output("QUORVEL_OUTPUT", "default,memory");
        const sound::ScopedEnv input("QUORVEL_INPUT", "sdl");
        EXPECT_EQ(openedOutput(), kFirstSoundBackend);
        EXPECT_EQ(openedInput(), "sdl");
    }
}

}  // namespace
