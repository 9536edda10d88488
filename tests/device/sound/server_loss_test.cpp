// The sound server going away in the middle of playback and recording through the module, for
// each backend that reaches it: the devices report it and fall silent, nothing hangs, the
// recording on disk stays a valid WAV file, and later devices fall back to the virtual device.
// The test starts and kills a PulseAudio server of its own, so the one of scripts/test-sound
// serves the other tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device.hpp"
#include "support/sound_server.h"

namespace qd = quorvel::device;
namespace sound = qwf::sound;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDone = 999;  // what the module's entry points return on success

std::uint32_t U32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

class SoundServerLoss : public ::testing::TestWithParam<std::string> {};

TEST_P(SoundServerLoss, KillingTheServerMidStreamEndsPlaybackAndRecordingCleanly) {
    const std::string backend = GetParam();
    const std::string missing = sound::MissingServer();
    if (!missing.empty()) GTEST_SKIP() << missing;
    sound::PrivateServer server;
    ASSERT_TRUE(server.ready()) << "cannot start a PulseAudio server of the test's own";
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    ASSERT_TRUE(sound::UseBackend(backend));

    const std::string song = sound::TempPath("long.wav");
    const std::string recording = sound::TempPath("lost.wav");
    sound::WriteWav(song, sound::KnownSignal(20 * sound::kRate, 9));
    ASSERT_EQ(module.record(sound::Utf16(recording).c_str(), 0x00FFFFFF, 0), kDone);
    ASSERT_EQ(module.play(sound::Utf16(song).c_str(), 0x00FFFFFF, 0), kDone);
    ASSERT_EQ(qd::ActiveOutputBackend(), backend);
    ASSERT_EQ(qd::ActiveInputBackend(), backend);
    ASSERT_TRUE(sound::Eventually(
        [] {
            return qd::GetOutputStats().done_messages >= 3 &&
                   qd::GetInputStats().data_messages >= 3;
        },
        10s))
        << "neither playing nor recording got going";
    EXPECT_FALSE(qd::OutputDeviceLost());
    EXPECT_FALSE(qd::InputDeviceLost());

    const auto killed = Clock::now();
    server.Kill();
    ASSERT_TRUE(
        sound::Eventually([] { return qd::OutputDeviceLost() && qd::InputDeviceLost(); }, 5s))
        << "the loss was not reported";
    const double noticedMs =
        std::chrono::duration<double, std::milli>(Clock::now() - killed).count();
    std::printf("Both devices reported lost %.0f ms after the server was killed\n", noticedMs);
    std::this_thread::sleep_for(100ms);  // a callback already running when it was noticed ends
    const qd::OutputStats outputAtLoss = qd::GetOutputStats();
    const qd::InputStats inputAtLoss = qd::GetInputStats();
    EXPECT_EQ(outputAtLoss.devices_lost, 1u);
    EXPECT_EQ(inputAtLoss.devices_lost, 1u);
    EXPECT_TRUE(qd::WaitOutputIdle(2s)) << "a host waiting for the end of playback would hang";
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(qd::GetOutputStats().done_messages, outputAtLoss.done_messages);
    EXPECT_EQ(qd::GetInputStats().data_messages, inputAtLoss.data_messages);

    // Pausing a lost device and ending both through the module return at once.
    const auto ending = Clock::now();
    EXPECT_EQ(module.pause(), kDone);
    const int blocks = module.stopRecording();
    EXPECT_EQ(static_cast<std::uint64_t>(blocks), inputAtLoss.buffers_filled);
    EXPECT_EQ(qd::OpenInputDevices(), 0);
    // A new start closes the lost device, then finds no server for the sound device it names.
    EXPECT_EQ(module.play(sound::Utf16(song).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::OpenOutputDevices(), 0);
    EXPECT_LT(Clock::now() - ending, 3s);

    // The recording holds every block delivered before the loss, and its header says so.
    const std::vector<std::uint8_t> file = sound::ReadBytes(recording);
    ASSERT_GT(blocks, 0);
    ASSERT_EQ(file.size(), 44 + static_cast<std::size_t>(blocks) * sound::kBlockSamples * 2);
    EXPECT_EQ(U32At(file, 4), file.size() - 8);
    EXPECT_EQ(U32At(file, 40), file.size() - 44);

    // With "default" the next playback falls back to the virtual device and says why.
    qd::OutputSettings output;
    output.backend = "default";
    ASSERT_TRUE(qd::ConfigureOutput(output));
    EXPECT_EQ(module.play(sound::Utf16(song).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::ActiveOutputBackend(), "virtual");
    EXPECT_NE(qd::OutputFallbackNotice(), "");
    EXPECT_FALSE(qd::OutputDeviceLost());
    std::remove(song.c_str());
    std::remove(recording.c_str());
}

// A server that stops answering (SIGSTOP) costs an open or a listing a bounded wait: each backend
// that waits for it is given up with a notice naming it, and the table goes on to the virtual
// device.
TEST(SoundServerStopped, OpensAndListingsGiveUpOnAServerThatStoppedAnswering) {
    const std::string missing = sound::MissingServer();
    if (!missing.empty()) GTEST_SKIP() << missing;
    sound::PrivateServer server;
    ASSERT_TRUE(server.ready()) << "cannot start a PulseAudio server of the test's own";
    const sound::ScopedEnv ownServer("PULSE_SERVER", server.address().c_str());
    ASSERT_TRUE(sound::UseBackend("default"));
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, sound::kRate, sound::kRate * 2, 2, 16, 0};
    const auto seconds = [](Clock::time_point since) {
        return std::chrono::duration<double>(Clock::now() - since).count();
    };
    constexpr double kBound = 10.0;  // the backends' limits are 2 s each

    server.Freeze(true);
    ::testing::internal::CaptureStderr();
    auto began = Clock::now();
    HWAVEOUT out = nullptr;
    const MMRESULT outOpened = waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
    const double outSeconds = seconds(began);
    began = Clock::now();
    HWAVEIN in = nullptr;
    const MMRESULT inOpened = waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
    const double inSeconds = seconds(began);
    began = Clock::now();
    const std::vector<qd::AudioDevice> listed = qd::ListAudioDevices(qd::Direction::kOutput);
    const double listSeconds = seconds(began);
    began = Clock::now();
    const MMRESULT outClosed = outOpened == MMSYSERR_NOERROR ? waveOutClose(out) : outOpened;
    const MMRESULT inClosed = inOpened == MMSYSERR_NOERROR ? waveInClose(in) : inOpened;
    const double closeSeconds = seconds(began);
    const std::string notices = ::testing::internal::GetCapturedStderr();
    server.Freeze(false);
    std::printf(
        "With the server stopped: output opened in %.1f s, input in %.1f s, listed in "
        "%.1f s, both closed in %.1f s\n",
        outSeconds, inSeconds, listSeconds, closeSeconds);

    ASSERT_EQ(outOpened, MMSYSERR_NOERROR);
    ASSERT_EQ(inOpened, MMSYSERR_NOERROR);
    EXPECT_EQ(outClosed, MMSYSERR_NOERROR);
    EXPECT_EQ(inClosed, MMSYSERR_NOERROR);
    EXPECT_LT(outSeconds, kBound);
    EXPECT_LT(inSeconds, kBound);
    EXPECT_LT(listSeconds, kBound);
    EXPECT_LT(closeSeconds, kBound);
    EXPECT_EQ(qd::ActiveOutputBackend(), "virtual");
    EXPECT_EQ(qd::ActiveInputBackend(), "virtual");
    EXPECT_NE(qd::OutputFallbackNotice().find("PulseAudio could not open"), std::string::npos)
        << qd::OutputFallbackNotice();
    EXPECT_NE(qd::InputFallbackNotice().find("did not answer within 2 s"), std::string::npos)
        << qd::InputFallbackNotice();
    for (const qd::AudioDevice& device : listed) {
        EXPECT_NE(device.backend, "pulse") << device.name;  // ALSA lists its configuration's
    }
    EXPECT_NE(notices.find("PulseAudio sound server did not answer"), std::string::npos) << notices;
    qd::ResetAll();
}

std::string BackendName(const ::testing::TestParamInfo<std::string>& backend) {
    return backend.param;
}

INSTANTIATE_TEST_SUITE_P(Backends, SoundServerLoss,
                         ::testing::ValuesIn(sound::BuiltSoundBackends()), BackendName);

}  // namespace
