// A minute of real-time playback and a minute of real-time capture through the module, each
// sound backend and a real PulseAudio server (scripts/test-sound): the audio arrives complete,
// sample for sample, nothing is padded or dropped, and no done message comes before its block is
// heard. The pace of the done messages is printed, not judged: bench/run reads it from here and
// reports it, for it is timing, not what is heard.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
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
constexpr std::size_t kSeconds = 60;
constexpr double kBlockMs = 1000.0 * sound::kBlockSamples / sound::kRate;
constexpr double kTolerance = 0.04;

// The longest stall of the machine itself (a real-time thread waking that late) a backend rides
// out without a gap: PulseAudio's server and the ALSA pcm each hold three quarters of a second
// ahead, so a stall of a block still leaves half a second.
constexpr double kStallRiddenOut = kBlockMs;

// Done messages at the start left out of the spacing figures: none, as each goes out once its
// block is heard. The last block, half a block, is left out too.
constexpr std::size_t kFilledAtOnce = 0;

class RealTime : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (!sound::kTimingHolds)
            GTEST_SKIP() << "real-time figures need a build without sanitizers";
        const std::string missing = sound::PrepareSoundBackend(GetParam());
        if (!missing.empty()) GTEST_SKIP() << missing;
        ASSERT_TRUE(module_.Loaded()) << "cannot load the module " << QWF_MODULE_PATH;
    }

    sound::Module module_;
};

// Notes when each done message reaches the module, by watching the count of them, and whether
// the block it ends was heard by then: its callback drew the block after it, which a host that
// shows what is heard (the presented screen) shows only once the backend has played past it.
class DoneWatch {
  public:
    DoneWatch() : thread_([this] { Run(); }) {}
    ~DoneWatch() { Finish(); }
    DoneWatch(const DoneWatch&) = delete;
    DoneWatch& operator=(const DoneWatch&) = delete;

    std::vector<Clock::time_point> Finish() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        return times_;
    }
    // Done messages that came while the block they end was still to be heard.
    std::size_t early() const { return early_; }

  private:
    void Run() {
        // Timed like the device's own message thread, so other work on the machine does not
        // make the watch itself late.
        const sched_param lowestRealTime{sched_get_priority_min(SCHED_RR)};
        pthread_setschedparam(pthread_self(), SCHED_RR, &lowestRealTime);
        std::uint64_t seen = 0;
        const auto look = [&] {
            const std::uint64_t now = qd::GetOutputStats().done_messages;
            if (now == seen) return;
            for (; seen < now; ++seen) times_.push_back(Clock::now());
            const std::uint64_t drawn = qd::ScreenGeneration();
            const std::uint64_t presented = qd::PresentedScreenGeneration();
            // Judged only when no callback ran in between.
            if (qd::GetOutputStats().done_messages == now && presented != drawn) ++early_;
        };
        while (running_) {
            look();
            std::this_thread::sleep_for(200us);
        }
        look();
    }

    std::atomic<bool> running_{true};
    std::vector<Clock::time_point> times_;
    std::size_t early_ = 0;
    std::thread thread_;
};

TEST_P(RealTime, AMinuteOfPlaybackReachesTheSinkWithoutAGapAtTheBlocksPace) {
    // Half a block more than a minute, so the file ends part-way through the last block.
    const sound::Samples signal =
        sound::KnownSignal(kSeconds * sound::kRate + sound::kBlockSamples / 2, 7);
    const std::string path = sound::TempPath("minute.wav");
    sound::WriteWav(path, signal);
    sound::Recorder recorder("minute-monitor");
    ASSERT_TRUE(recorder.Settle()) << "parec delivers nothing from the sink's monitor";

    qd::EnablePresentation(true);
    sound::StallProbe probe;
    DoneWatch watch;
    const auto start = Clock::now();
    ASSERT_EQ(module_.play(sound::Utf16(path).c_str(), 0x00FFFFFF, 0), kDone);
    ASSERT_EQ(qd::ActiveOutputBackend(), GetParam());
    ASSERT_TRUE(qd::WaitOutputIdle(std::chrono::seconds(kSeconds + 30)));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::vector<Clock::time_point> done = watch.Finish();
    qd::EnablePresentation(false);
    // Ending the playback closes the device, which plays out what its server still holds.
    ASSERT_EQ(module_.play(nullptr, 0x00FFFFFF, 0), kDone);
    const sound::Samples recorded = recorder.Finish();
    const qd::OutputStats stats = qd::GetOutputStats();
    std::remove(path.c_str());

    const double stallMs = probe.Stop();
    EXPECT_EQ(stats.devices_lost, 0u);
    const std::size_t blocks = signal.size() / sound::kBlockSamples + 1;
    EXPECT_EQ(stats.blocks_played, blocks);
    ASSERT_EQ(done.size(), blocks);
    const std::string atSink = sound::FindExactly(recorded, signal);

    std::vector<double> spacing;
    for (std::size_t i = 1 + kFilledAtOnce; i + 1 < done.size(); ++i) {
        spacing.push_back(std::chrono::duration<double, std::milli>(done[i] - done[i - 1]).count());
    }
    const auto [shortest, longest] = std::minmax_element(spacing.begin(), spacing.end());
    std::vector<double> sorted = spacing;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2];
    const double mean = std::accumulate(spacing.begin(), spacing.end(), 0.0) / spacing.size();
    double squares = 0.0;
    for (const double between : spacing) squares += (between - mean) * (between - mean);
    const double deviation = std::sqrt(squares / spacing.size());
    const auto offPace = std::count_if(spacing.begin(), spacing.end(), [](double between) {
        return std::abs(between - kBlockMs) > kBlockMs * kTolerance;
    });
    std::printf(
        "Playback (%s): %.2f s; done messages every %.2f ms (min %.2f, max %.2f, sd %.2f, "
        "median %.2f), %ld of %zu spacings off by more than 4%%; %zu done before their block "
        "was heard; %llu underrun frames, %llu idle frames; at the sink: %s; longest machine "
        "stall %.1f ms\n",
        GetParam().c_str(), seconds, mean, *shortest, *longest, deviation, median,
        static_cast<long>(offPace), spacing.size(), watch.early(),
        static_cast<unsigned long long>(stats.underrun_frames),
        static_cast<unsigned long long>(stats.idle_frames),
        atSink.empty() ? "every sample, no gap" : atSink.c_str(), stallMs);
    // What a listener hears: every sample in order, with no gap and nothing padded, unless the
    // machine stalled for longer than the backend can ride out.
    if (stallMs > kStallRiddenOut) GTEST_SKIP() << probe.Why();
    EXPECT_EQ(atSink, "");
    EXPECT_EQ(stats.underrun_frames, 0u);
    // Each done message follows its block's end as heard, so the trace drawn in its callback is
    // of the block heard now.
    EXPECT_EQ(watch.early(), 0u) << "done messages sent before their block was heard";
}

TEST_P(RealTime, AMinuteOfCaptureComesBackCompleteWithNothingDropped) {
    const sound::Samples signal = sound::KnownSignal(kSeconds * sound::kRate, 11);
    const std::string raw = sound::TempPath("minute.raw");
    const std::string wav = sound::TempPath("captured.wav");
    sound::WriteRaw(raw, signal);
    sound::Recorder keepSinkAwake("capture-monitor");
    ASSERT_TRUE(keepSinkAwake.Settle()) << "parec delivers nothing from the sink's monitor";

    sound::StallProbe probe;
    ASSERT_EQ(module_.record(sound::Utf16(wav).c_str(), 0x00FFFFFF, 0), kDone);
    ASSERT_EQ(qd::ActiveInputBackend(), GetParam());
    std::this_thread::sleep_for(1s);  // the capture's first blocks are silence
    const std::uint64_t before = qd::GetInputStats().frames_captured;
    sound::Child player = sound::PlayIntoSink(raw);
    ASSERT_TRUE(player.Started());
    EXPECT_EQ(player.Wait(), 0) << "pacat failed";
    // Complete, not prompt: the capture may lag behind the sink by what a busy machine delayed
    // it; a second more than the signal is asked for, within a generous time.
    const auto deadline = Clock::now() + 30s;
    while (qd::GetInputStats().frames_captured < before + signal.size() + sound::kRate &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    const int blocks = module_.stopRecording();
    const qd::InputStats stats = qd::GetInputStats();
    const double stallMs = probe.Stop();
    keepSinkAwake.Finish();
    const std::vector<std::uint8_t> file = sound::ReadBytes(wav);
    std::remove(raw.c_str());
    std::remove(wav.c_str());

    std::printf(
        "Capture (%s): %d blocks, %llu frames captured, %llu dropped; longest machine stall "
        "%.1f ms\n",
        GetParam().c_str(), blocks, static_cast<unsigned long long>(stats.frames_captured),
        static_cast<unsigned long long>(stats.frames_dropped), stallMs);
    ASSERT_EQ(file.size(), 44 + static_cast<std::size_t>(blocks) * sound::kBlockSamples * 2);
    EXPECT_EQ(sound::FindExactly(sound::ToSamples(file, 44), signal), "");
    EXPECT_EQ(stats.frames_dropped, 0u);
    EXPECT_EQ(stats.devices_lost, 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, RealTime, ::testing::ValuesIn(sound::BuiltSoundBackends()),
                         [](const auto& backend) { return backend.param; });

}  // namespace
