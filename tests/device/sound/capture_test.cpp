// Capture through each backend that reaches the sound server (scripts/test-sound): a tone played
// into the server comes back through the module's recording sample for sample.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device.hpp"
#include "support/sound_server.h"

namespace qd = quorvel::device;
namespace sound = qwf::sound;
using namespace std::chrono_literals;

namespace {

constexpr int kDone = 999;  // what the module's entry points return on success

class Capture : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        const std::string missing = sound::PrepareSoundBackend(GetParam());
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
    void TearDown() override {
        EXPECT_EQ(qd::OpenOutputDevices() + qd::OpenInputDevices(), 0) << "a device was left open";
        qd::ResetAll();
    }
};

TEST_P(Capture, TheModuleRecordsAToneFromTheServerSampleForSample) {
    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    const sound::Samples tone = sound::Tone(523.0, 2 * sound::kRate);
    const std::string raw = sound::TempPath(GetParam() + "-tone.raw");
    const std::string wav = sound::TempPath(GetParam() + "-tone.wav");
    sound::WriteRaw(raw, tone);
    sound::Recorder keepSinkAwake(GetParam() + "-tone-monitor");
    ASSERT_TRUE(keepSinkAwake.Settle());

    ASSERT_EQ(module.record(sound::Utf16(wav).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::ActiveInputBackend(), GetParam());
    EXPECT_EQ(qd::InputFallbackNotice(), "");
    std::this_thread::sleep_for(500ms);
    const std::uint64_t before = qd::GetInputStats().frames_captured;
    sound::Child player = sound::PlayIntoSink(raw);
    ASSERT_TRUE(player.Started());
    EXPECT_EQ(player.Wait(), 0) << "pacat failed";
    // Fragments may come a quarter second at a time, and late on a busy machine: wait for half
    // a second past the tone.
    ASSERT_TRUE(sound::Eventually(
        [&] {
            return qd::GetInputStats().frames_captured >= before + tone.size() + sound::kRate / 2;
        },
        10s))
        << "the capture fell behind the sink";
    const int blocks = module.stopRecording();
    const qd::InputStats stats = qd::GetInputStats();
    keepSinkAwake.Finish();
    const std::vector<std::uint8_t> file = sound::ReadBytes(wav);
    std::remove(raw.c_str());
    std::remove(wav.c_str());

    ASSERT_EQ(file.size(), 44 + static_cast<std::size_t>(blocks) * sound::kBlockSamples * 2);
    EXPECT_EQ(sound::FindExactly(sound::ToSamples(file, 44), tone), "");
    EXPECT_EQ(stats.frames_dropped, 0u);
    EXPECT_GE(stats.buffers_filled, static_cast<std::uint64_t>(blocks));
}

INSTANTIATE_TEST_SUITE_P(Backends, Capture, ::testing::ValuesIn(sound::BuiltSoundBackends()),
                         [](const auto& backend) { return backend.param; });

}  // namespace
