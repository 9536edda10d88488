// The sound device through PulseAudio's own client: a server that never answers is given up on,
// and, through a real server (scripts/test-sound), the module's playback reaches the sink sample
// for sample across a pause and up to its last block but stops at once when a file ends mid-way,
// a late requeue counts as an underrun, and the server's devices are listed and chosen by name.
// Capture on each backend is in capture_test.cpp.
#include <gtest/gtest.h>
#include <mmsystem.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
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

// A socket that takes connections into its backlog and never says a word: a hung server.
class SilentServer {
  public:
    explicit SilentServer(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        listening_ = fd_ >= 0 &&
                     ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::listen(fd_, 8) == 0;
    }
    ~SilentServer() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    bool listening() const { return listening_; }

  private:
    std::string path_;
    int fd_ = -1;
    bool listening_ = false;
};

// A server that accepts the connection but never answers is given up on, and "default" goes on
// down the table with the reason in its one-line notice.
TEST(PulseBackend, AServerThatNeverAnswersIsGivenUpOn) {
    const std::string path = sound::TempPath("silent.socket");
    SilentServer silent(path);
    ASSERT_TRUE(silent.listening()) << "cannot listen on " << path;
    const std::string address = "unix:" + path;
    const sound::ScopedEnv hungServer("PULSE_SERVER", address.c_str());
    // ALSA, next in the table, would give it up too, but only after 2 s more.
    const sound::ScopedEnv noAlsa("ALSA_CONFIG_PATH", "/nonexistent/quorvel-test/asound.conf");
    ASSERT_TRUE(sound::UseBackend("pulse"));
    HWAVEOUT out = nullptr;
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);

    qd::OutputSettings output;
    output.backend = "default";
    ASSERT_TRUE(qd::ConfigureOutput(output));
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(qd::ActiveOutputBackend(), "pulse");
    const std::string notice = qd::OutputFallbackNotice();
    EXPECT_NE(notice.find("PulseAudio could not open a sound device for 8000 Hz, 1 channel"),
              std::string::npos)
        << notice;
    EXPECT_NE(notice.find("did not answer"), std::string::npos) << notice;
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    qd::ResetAll();
}

class PulseServer : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string missing = sound::PrepareSoundBackend("pulse");
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
    void TearDown() override {
        EXPECT_EQ(qd::OpenOutputDevices() + qd::OpenInputDevices(), 0) << "a device was left open";
        qd::ResetAll();
    }
};

// The module plays a file; a pause holds the sound the server already has (silence, not an
// underrun) and resuming goes on from the very next sample. The module's last done message can
// come while the server still holds that block; the close then plays it out.
TEST_F(PulseServer, TheModulePlaysAFileSampleForSampleAcrossAPauseToItsLastBlock) {
    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    const sound::Samples signal = sound::KnownSignal(3 * sound::kRate + 700, 13);
    const std::string path = sound::TempPath("pulse-three.wav");
    sound::WriteWav(path, signal);
    sound::Recorder recorder("pulse-three-monitor");
    ASSERT_TRUE(recorder.Settle());

    sound::StallProbe probe;
    ASSERT_EQ(module.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::ActiveOutputBackend(), "pulse");
    EXPECT_EQ(qd::OutputFallbackNotice(), "");
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(module.pause(), kDone);
    std::this_thread::sleep_for(50ms);  // a done message already on its way is delivered
    const qd::OutputStats paused = qd::GetOutputStats();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(qd::GetOutputStats().done_messages, paused.done_messages) << "played while paused";
    ASSERT_EQ(module.pause(), kDone);
    ASSERT_TRUE(qd::WaitOutputIdle(10s));
    // A file that cannot be opened ends the playback before: its device closes.
    ASSERT_EQ(module.play(sound::Utf16(sound::TempPath("missing.wav")).c_str(), 0x00FFFFFF, 0),
              kDone);
    EXPECT_EQ(qd::OpenOutputDevices(), 0);
    const qd::OutputStats stats = qd::GetOutputStats();
    const sound::Samples recorded = recorder.Finish();
    std::remove(path.c_str());

    std::size_t silent = 0;
    const sound::Samples sounding = sound::WithoutSilence(recorded, &silent);
    ASSERT_GE(sounding.size(), signal.size()) << "the end of the file was not heard";
    EXPECT_EQ(sound::FindExactly(sounding, signal), "");
    EXPECT_EQ(stats.underrun_frames, 0u);
    if (!sound::kTimingHolds) return;
    if (probe.Stalled()) GTEST_SKIP() << probe.Why();
    EXPECT_NEAR(static_cast<double>(silent), 0.5 * sound::kRate, 0.2 * sound::kRate)
        << "the pause should show as half a second of silence";
    EXPECT_GE(stats.idle_frames, 0.4 * sound::kRate) << "the pause is idle time";
}

// Ending a file mid-way (skipping to the next, quitting) stops the sound there: what the server
// still held of the blocks already done is dropped, not played out as at the end of a file.
TEST_F(PulseServer, EndingAFileMidWayDropsWhatTheServerStillHeld) {
    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    const sound::Samples signal = sound::KnownSignal(10 * sound::kRate, 19);
    const std::string path = sound::TempPath("pulse-ten.wav");
    sound::WriteWav(path, signal);
    sound::Recorder recorder("pulse-ten-monitor");
    ASSERT_TRUE(recorder.Settle());

    ASSERT_EQ(module.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::ActiveOutputBackend(), "pulse");
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(module.play(sound::Utf16(sound::TempPath("missing.wav")).c_str(), 0x00FFFFFF, 0),
              kDone);
    EXPECT_EQ(qd::OpenOutputDevices(), 0);
    const std::uint64_t written = qd::GetOutputStats().bytes_played / 2;
    const sound::Samples recorded = recorder.Finish();
    std::remove(path.c_str());

    std::size_t silent = 0;
    const sound::Samples heard = sound::WithoutSilence(recorded, &silent);
    ASSERT_GT(heard.size(), 0u);
    EXPECT_EQ(sound::FindExactly(
                  heard, sound::Samples(signal.begin(),
                                        signal.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                             heard.size(), signal.size())))),
              "");
    // The server holds a quarter to a half second beyond what was heard (done messages go out
    // as blocks are heard), less what plays while the flush reaches it.
    EXPECT_LE(heard.size() + sound::kRate / 8, written)
        << "what the server held was played out after the file ended";
}

// A requeue later than the server's buffer lasts is a gap, counted as an underrun by how long the
// server reports the stream starved; the silence after the last block is idle.
TEST_F(PulseServer, ARequeueLaterThanTheServersBufferCountsAsAnUnderrun) {
    const sound::Samples signal = sound::KnownSignal(8 * sound::kBlockSamples, 17);
    sound::Recorder recorder("pulse-late-monitor");
    ASSERT_TRUE(recorder.Settle());
    sound::OneBlockPlayer player(signal);
    player.slowBlock = 5;
    player.slowBy = 1500ms;  // the server holds at most three quarters of a second
    sound::StallProbe probe;
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    player.Start();
    ASSERT_TRUE(player.WaitUntilPlayed(10s));
    player.Close();  // plays out what the server holds
    const qd::OutputStats stats = qd::GetOutputStats();
    const sound::Samples recorded = recorder.Finish();

    EXPECT_EQ(player.failures.load(), 0);
    std::size_t silent = 0;
    EXPECT_EQ(sound::FindExactly(sound::WithoutSilence(recorded, &silent), signal), "");
    std::printf("Underrun: %llu frames counted, %zu silent in the sound\n",
                static_cast<unsigned long long>(stats.underrun_frames), silent);
    EXPECT_GE(stats.underrun_frames, 0.3 * sound::kRate);
    if (!sound::kTimingHolds) return;
    if (probe.Stalled()) GTEST_SKIP() << probe.Why();
    // The wait less the two to three quarter seconds the server still held.
    EXPECT_LE(stats.underrun_frames, 1.3 * sound::kRate);
    EXPECT_NEAR(static_cast<double>(stats.underrun_frames), static_cast<double>(silent),
                0.1 * sound::kRate)
        << "the gap in the sound and the underrun counted differ";
}

// The server's sinks and sources are listed by their names, the defaults marked, and a sink
// named in the settings is the one that plays; a name the server does not have opens nothing.
TEST_F(PulseServer, DevicesAreListedByTheServersNamesAndTheOneNamedPlays) {
    // Without rewinds, as the server's own sink: a rewind would replay audio at the monitor.
    const std::string moduleId = sound::TempPath("second-sink.id");
    sound::Child load({"pactl", "load-module", "module-null-sink", "sink_name=second", "rate=8000",
                       "channels=1", "format=s16le", "norewinds=1"},
                      moduleId);
    ASSERT_EQ(load.Wait(), 0) << "pactl could not add a second sink";
    const std::vector<std::uint8_t> idText = sound::ReadBytes(moduleId);
    const std::string id(idText.begin(), idText.end());
    std::remove(moduleId.c_str());

    const auto find = [](qd::Direction direction, const std::string& name) {
        for (const qd::AudioDevice& device : qd::ListAudioDevices(direction)) {
            if (device.name == name) return device;
        }
        return qd::AudioDevice{};
    };
    const qd::AudioDevice ci = find(qd::Direction::kOutput, "ci");
    const qd::AudioDevice second = find(qd::Direction::kOutput, "second");
    EXPECT_EQ(ci.backend, "pulse");
    EXPECT_TRUE(ci.isDefault);
    EXPECT_EQ(second.backend, "pulse");
    EXPECT_FALSE(second.isDefault);
    EXPECT_FALSE(second.description.empty());
    EXPECT_TRUE(find(qd::Direction::kInput, "ci.monitor").isDefault);
    EXPECT_EQ(find(qd::Direction::kInput, "second.monitor").backend, "pulse");

    sound::Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    const sound::Samples signal = sound::KnownSignal(sound::kRate, 17);
    const std::string path = sound::TempPath("pulse-second.wav");
    sound::WriteWav(path, signal);
    sound::Recorder onSecond("pulse-second-monitor", "second.monitor");
    sound::Recorder onDefault("pulse-default-monitor");
    ASSERT_TRUE(onSecond.Settle());
    ASSERT_TRUE(onDefault.Settle());
    qd::OutputSettings settings;
    settings.backend = "pulse";
    settings.device = "second";
    ASSERT_TRUE(qd::ConfigureOutput(settings));
    ASSERT_EQ(module.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    ASSERT_TRUE(qd::WaitOutputIdle(10s));
    ASSERT_EQ(module.play(nullptr, 0x00FFFFFF, 0), kDone);  // closes, playing the buffer out
    std::size_t silent = 0;
    EXPECT_EQ(sound::FindExactly(sound::WithoutSilence(onSecond.Finish(), &silent), signal), "");
    EXPECT_TRUE(sound::WithoutSilence(onDefault.Finish(), &silent).empty())
        << "the default sink played too";

    settings.backend = "default";
    settings.device = "no-such-sink";
    ASSERT_TRUE(qd::ConfigureOutput(settings));
    ASSERT_EQ(module.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    EXPECT_EQ(qd::OpenOutputDevices(), 0) << "a device opened for a sink the server lacks";
    std::remove(path.c_str());
    sound::Child unload({"pactl", "unload-module", id.substr(0, id.find_first_of("\n"))}, "");
    EXPECT_EQ(unload.Wait(), 0);
}

}  // namespace
