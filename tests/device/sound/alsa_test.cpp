// The sound device through ALSA: its place in the table, any pcm name, and, through ALSA's pulse
// plugin to a real PulseAudio server (scripts/test-sound), playback sample for sample across a
// pause, other formats at their own pace, a late requeue counted as an underrun, and pcms listed
// and chosen by name, listed or not. Capture and the loss of the server are in capture_test.cpp
// and server_loss_test.cpp, for each backend.
#include <gtest/gtest.h>
#include <mmsystem.h>

#include <chrono>
#include <cstdio>
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
using sound::kMono16;
// What "default" opens when a sound server is there.
const char* const kFirstSoundBackend = QWF_WITH_PULSE ? "pulse" : "alsa";

// ---- Without a sound server -------------------------------------------------------------

// ALSA comes after the sound server; its pcm names may hold commas, and on a machine without a
// sound card hw:0,0 opens nothing, with a sentence that names it.
TEST(AlsaBackend, ComesSecondAndTakesPcmNamesWithCommas) {
    EXPECT_EQ(qd::AudioBackends(),
              (QWF_WITH_PULSE ? std::vector<std::string>{"pulse", "alsa", "virtual", "null"}
                              : std::vector<std::string>{"alsa", "virtual", "null"}));
    qd::OutputSettings output;
    std::string error;
    ASSERT_TRUE(qd::ParseOutputSettings("alsa,device=plughw:CARD=x,DEV=0,fast", &output, &error))
        << error;
    EXPECT_STREQ(output.backend, "alsa");
    EXPECT_STREQ(output.device, "plughw:CARD=x,DEV=0");
    EXPECT_EQ(output.pace, QWD_PACE_FAST);

    ASSERT_TRUE(sound::UseBackend("alsa"));  // the tests' configuration: no sound card
    EXPECT_EQ(qd::AudioDeviceOpener(qd::Direction::kOutput, "hw:0,0"), "");
    output = qd::OutputSettings{};
    output.backend = "alsa";
    output.device = "hw:0,0";
    ASSERT_TRUE(qd::ConfigureOutput(output));
    ::testing::internal::CaptureStderr();
    HWAVEOUT out = nullptr;
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("Cannot open the ALSA pcm \"hw:0,0\" for output"), std::string::npos)
        << said;
    qd::ResetAll();
}

// ---- Through the sound server -------------------------------------------------------------

class AlsaServer : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string missing = sound::PrepareSoundBackend("alsa");
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
    void TearDown() override {
        EXPECT_EQ(qd::OpenOutputDevices() + qd::OpenInputDevices(), 0) << "a device was left open";
        qd::ResetAll();
    }
};

// The module plays a file; pausing holds the sound (silence, not an underrun) and resuming goes
// on from the very next sample.
TEST_F(AlsaServer, TheModulePlaysAFileSampleForSampleAndPausesWithoutLosingOne) {
    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    const sound::Samples signal = sound::KnownSignal(3 * sound::kRate + 700, 3);
    const std::string path = sound::TempPath("three.wav");
    sound::WriteWav(path, signal);
    sound::Recorder recorder("three-monitor");
    ASSERT_TRUE(recorder.Settle());

    sound::StallProbe probe;
    ASSERT_EQ(module.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::ActiveOutputBackend(), "alsa");
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

// A requeue later than the pcm's buffer lasts is a gap, counted as an underrun from when what
// was written should have played out; the silence after the last block is idle.
TEST_F(AlsaServer, ARequeueLaterThanTheBufferCountsAsAnUnderrun) {
    const sound::Samples signal = sound::KnownSignal(8 * sound::kBlockSamples, 17);
    sound::Recorder recorder("alsa-late-monitor");
    ASSERT_TRUE(recorder.Settle());
    sound::OneBlockPlayer player(signal);
    player.slowBlock = 5;
    player.slowBy = 1500ms;  // the pcm holds at most three quarters of a second
    sound::StallProbe probe;
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    player.Start();
    ASSERT_TRUE(player.WaitUntilPlayed(10s));
    player.Close();  // plays out what the pcm holds
    const qd::OutputStats stats = qd::GetOutputStats();
    const sound::Samples recorded = recorder.Finish();

    EXPECT_EQ(player.failures.load(), 0);
    std::size_t silent = 0;
    EXPECT_EQ(sound::FindExactly(sound::WithoutSilence(recorded, &silent), signal), "");
    EXPECT_GE(stats.underrun_frames, 0.3 * sound::kRate);
    if (!sound::kTimingHolds) return;
    if (probe.Stalled()) GTEST_SKIP() << probe.Why();
    EXPECT_LE(stats.underrun_frames, 1.3 * sound::kRate);
    EXPECT_NEAR(static_cast<double>(stats.underrun_frames), static_cast<double>(silent),
                0.15 * sound::kRate)
        << "the gap in the sound and the underrun counted differ";
}

// Each format is played as it is, at its own pace: the close plays out what the pcm holds.
TEST_F(AlsaServer, OtherFormatsOpenAsTheyAreAndPlayAtTheirOwnPace) {
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
        EXPECT_EQ(qd::ActiveOutputBackend(), "alsa");
        const auto start = std::chrono::steady_clock::now();
        player.Start();
        ASSERT_TRUE(player.WaitUntilPlayed(10s));
        player.Close();  // plays out what the pcm holds
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const double expected = static_cast<double>(frames) / format.nSamplesPerSec;
        EXPECT_GT(std::chrono::duration<double>(elapsed).count(), expected * 0.7);
        if (sound::kTimingHolds) {
            EXPECT_LT(std::chrono::duration<double>(elapsed).count(), expected + 1.0);
        }
        EXPECT_EQ(qd::GetOutputStats().bytes_played, frames * format.nBlockAlign);
    }
}

// Nothing configured means the sound device (through PulseAudio's own client where the build has
// it, else ALSA); QUORVEL_OUTPUT and QUORVEL_INPUT can name a backend.
TEST_F(AlsaServer, NothingConfiguredMeansTheSoundDeviceAndTheEnvironmentCanNameABackend) {
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
        const sound::ScopedEnv input("QUORVEL_INPUT", "alsa");
        EXPECT_EQ(openedOutput(), kFirstSoundBackend);
        EXPECT_EQ(openedInput(), "alsa");
    }
}

// The pcms are listed as aplay -L lists them, hinted ones only; any pcm opens by name, listed or
// not, and the one named is the one that plays.
TEST_F(AlsaServer, PcmsAreListedByTheirHintsAndAnyNamedOnePlays) {
    std::vector<qd::AudioDevice> listed;
    {
        // ALSA lists the pcms of its configuration only where the sound server does not answer.
        const sound::ScopedEnv noServer("PULSE_SERVER", "unix:/nonexistent/quorvel-test/native");
        listed = qd::ListAudioDevices(qd::Direction::kOutput);
    }
    std::string names;
    bool found = false;
    for (const qd::AudioDevice& device : listed) {
        names += device.name + " ";
        if (device.name != "quorvel_listed") continue;
        found = true;
        EXPECT_EQ(device.backend, "alsa");
        EXPECT_EQ(device.description, "Quorvel test");
        EXPECT_FALSE(device.isDefault);
    }
    EXPECT_TRUE(found) << names;
    EXPECT_EQ(names.find("quorvel_unlisted"), std::string::npos) << names;
    EXPECT_EQ(qd::AudioDeviceOpener(qd::Direction::kOutput, "quorvel_unlisted"), "alsa");
    EXPECT_EQ(qd::AudioDeviceOpener(qd::Direction::kInput, "quorvel_unlisted"), "alsa");
    EXPECT_EQ(qd::AudioDeviceOpener(qd::Direction::kOutput, "no_such_pcm"), "");

    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    const sound::Samples signal = sound::KnownSignal(sound::kRate, 23);
    const std::string path = sound::TempPath("alsa-named.wav");
    sound::WriteWav(path, signal);
    sound::Recorder recorder("alsa-named-monitor");
    ASSERT_TRUE(recorder.Settle());
    qd::OutputSettings settings;
    settings.backend = "default";
    settings.device = "quorvel_unlisted";
    ASSERT_TRUE(qd::ConfigureOutput(settings));
    ASSERT_EQ(module.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::ActiveOutputBackend(), "alsa");
    ASSERT_TRUE(qd::WaitOutputIdle(10s));
    ASSERT_EQ(module.play(nullptr, 0x00FFFFFF, 0), kDone);  // closes, playing the buffer out
    std::size_t silent = 0;
    EXPECT_EQ(sound::FindExactly(sound::WithoutSilence(recorder.Finish(), &silent), signal), "");
    std::remove(path.c_str());
}

}  // namespace
