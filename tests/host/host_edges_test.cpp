// quorvel at its edges, as a hostile user would meet them: standard streams, a sound server
// that does not answer, a disk that refuses, audio the device drops, files that vanish.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "quorvel_process.h"

namespace quorvel_test {
namespace {

// 16-bit samples of a sine, `channels` alike, at `rate`.
Bytes Sine(double hz, std::uint32_t rate, int channels, double seconds, double amplitude) {
    Bytes data;
    const auto frames = static_cast<std::size_t>(rate * seconds);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate)));
        for (int c = 0; c < channels; ++c) Put(data, static_cast<std::uint16_t>(value), 2);
    }
    return data;
}

std::vector<std::int16_t> SamplesOf(const Bytes& wav) {
    std::vector<std::int16_t> samples;
    for (std::size_t at = kHeader; at + 1 < wav.size(); at += 2) {
        samples.push_back(static_cast<std::int16_t>(U16At(wav, at)));
    }
    return samples;
}

// No output may be the file standard input was redirected from, nor may a message reach
// standard output, which carries only what a command was asked to write there.
TEST(Edges, StandardStreamsCarryNoMessagesAndTheFileOnStandardInputIsNeverWritten) {
    TempDir dir;
    const std::string keep = dir / "keep.wav";
    const Bytes original = ReadFile(kSample);
    WriteFile(keep, original);
    for (const auto& args : {std::vector<std::string>{"play", "-", "--png", keep, "--fast"},
                             {"play", "-", "--output", "file:" + keep, "--fast"}}) {
        Launch launch(args);
        launch.input = keep;
        const Result result = RunQuorvel(launch);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_TRUE(OneSentenceNaming(result, "standard input"));
        EXPECT_EQ(ReadFile(keep), original);
    }
    for (const auto& args :
         {std::vector<std::string>{"play", kSample, "--output", "fast"},
          {"record", dir / "take.wav", "--fast", "--seconds", "1", "--input", "ramp"}}) {
        const Result result = RunQuorvel(args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(args[0] == "play" ? "Played 18 blocks" : "Recorded 4 blocks"),
                  std::string::npos)
            << result.err;
    }
}

// A sound server that takes the connection and never answers: a signal ends quorvel all the
// same, before the services give the server up, and the file at the recording's path is as
// it was.
TEST(Edges, ASignalEndsQuorvelWhileTheSoundServerDoesNotAnswer) {
    if (!QWF_PULSE_BACKEND_BUILT) GTEST_SKIP() << "this build has no PulseAudio backend";
    TempDir dir;
    const std::string socketPath = dir / "native";
    const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 8), 0);
    const std::string keep = dir / "keep.wav";
    WriteFile(keep, ReadFile(kSample));
    Process quorvel(Launch({"record", keep, "--view", "none"},
                           {"QUORVEL_INPUT=", "PULSE_SERVER=unix:" + socketPath}));
    std::this_thread::sleep_for(300ms);
    quorvel.Signal(SIGINT);
    const Result result = quorvel.Wait(20s);
    ::close(server);
    EXPECT_EQ(result.status, 3);
    EXPECT_TRUE(OneSentenceNaming(result, "Stopped by SIGINT"));
    EXPECT_EQ(ReadFile(keep), ReadFile(kSample));
}

// No sound device answers: play and record fail as a device problem and say how to watch
// the trace without sound; the recording's path keeps what it held.
TEST(Edges, NoSoundDeviceIsADeviceProblemAndTouchesNoFile) {
    // Without a sound backend the virtual device is the only device the services offer.
    if (!QWF_SOUND_BACKEND_BUILT) GTEST_SKIP() << "this build has no sound backend";
    TempDir dir;
    const std::string keep = dir / "keep.wav";
    WriteFile(keep, ReadFile(kSample));
    const std::vector<std::string> noSound = {
        "QUORVEL_OUTPUT=", "QUORVEL_INPUT=", "PULSE_SERVER=unix:" + dir / "none",
        "ALSA_CONFIG_PATH=/nonexistent/quorvel/asound.conf"};
    const Result played = RunQuorvel(Launch({"play", kSample}, noSound));
    EXPECT_EQ(played.status, 3);
    EXPECT_TRUE(OneSentenceNaming(played, "--output null"));
    const Result recorded = RunQuorvel(Launch({"record", keep, "--seconds", "1"}, noSound));
    EXPECT_EQ(recorded.status, 3);
    EXPECT_TRUE(OneSentenceNaming(recorded, "--input silence"));
    EXPECT_EQ(ReadFile(keep), ReadFile(kSample));
}

// A temporary file that cannot hold the decoded audio (here a file-size limit, as a full
// $TMPDIR would) is a file problem naming the file, not a playback that ends early.
TEST(Edges, ADecodeTheDiskCannotStoreIsAFileProblem) {
    TempDir dir;
    const std::string wide = dir / "wide.wav";
    WriteFile(wide, MakeWav(Bytes(8000 * 3 * 10, 0x40), 1, 1, 8000, 24));
    Launch launch({"play", wide, "--fast", "--output", "fast"}, {"TMPDIR=" + dir.path()});
    launch.fileSizeLimit = 100000;
    const Result result = RunQuorvel(launch);
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(OneSentenceNaming(result, "wide.wav"));
    EXPECT_EQ(result.err.find("Played"), std::string::npos) << result.err;
}

// A file of the list removed while an earlier one plays is a file problem naming it, and the
// summary still counts the file that played.
TEST(Edges, AFileRemovedBeforeItsTurnIsAFileProblem) {
    TempDir dir;
    const std::string first = dir / "first.wav";
    const std::string second = dir / "second.wav";
    const std::string played = dir / "played.raw";
    WriteFile(first, MakeWav(Pattern(kBlock * 6)));
    WriteFile(second, MakeWav(Pattern(kBlock)));
    Process quorvel(Launch({"play", first, second, "--output", "file:" + played}));
    ASSERT_TRUE(WaitForSize(played, 1));
    ::unlink(second.c_str());
    const Result result = quorvel.Wait();
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("quorvel: Cannot play \"" + second + "\""), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("1. first.wav   played"), std::string::npos) << result.err;
}

// quorvel stopped while the input runs on: what the device's buffer could not hold is said,
// with where it falls, and the summary repeats it.
TEST(Edges, DroppedCaptureIsReported) {
    TempDir dir;
    const std::string take = dir / "take.wav";
    Process quorvel(Launch({"record", take, "--seconds", "3", "--input", "default"},
                           {"QUORVEL_INPUT=virtual,realtime,source=ramp,fifo=4000"}));
    ASSERT_TRUE(WaitForSize(take, static_cast<long>(kHeader + kBlock)));
    quorvel.Signal(SIGSTOP);
    std::this_thread::sleep_for(1500ms);
    quorvel.Signal(SIGCONT);
    const Result result = quorvel.Wait();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("quorvel: warning: "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("into the capture"), std::string::npos) << result.err;
    // However the loss falls into pieces, what is said adds up to what the ramp, which counts
    // samples, is missing.
    const std::size_t summary = result.err.find(" lost in ");
    ASSERT_NE(summary, std::string::npos) << result.err;
    const std::size_t said = result.err.rfind(" samples (", summary);
    const std::size_t number = result.err.rfind(' ', said - 1) + 1;
    const unsigned long lost = std::stoul(result.err.substr(number, said - number));
    const std::vector<std::int16_t> samples = SamplesOf(ReadFile(take));
    unsigned long missing = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        missing += static_cast<std::uint16_t>(samples[i] - samples[i - 1]) - 1u;
    }
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(missing, lost) << result.err;
}

// A terminal that reports 0 rows and 0 columns gets the picture at a default size.
TEST(Edges, ATerminalWithoutASizeIsNoError) {
    const winsize none{};
    const Result result = RunOnTerminal(Launch({"play", kSample, "--output", "fast"}), &none);
    const std::string& shown = result.err;
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(ShowsPicture(shown)) << "no picture";
    EXPECT_NE(shown.find("Played 18 blocks"), std::string::npos);
}

// A 16 kHz stereo file as the input is mixed down and resampled: a 500 Hz tone stays one.
TEST(Edges, AnInputFileInAnotherFormatIsConverted) {
    TempDir dir;
    const std::string stereo = dir / "stereo.wav";
    const std::string take = dir / "take.wav";
    WriteFile(stereo, MakeWav(Sine(500, 16000, 2, 2, 10000), 1, 2, 16000));
    const Result result =
        RunQuorvel({"record", take, "--fast", "--seconds", "1", "--input", "file:" + stereo});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("converted to 8000 Hz mono 16-bit"), std::string::npos);
    const std::vector<std::int16_t> samples = SamplesOf(ReadFile(take));
    ASSERT_EQ(samples.size(), 8000u);
    int crossings = 0;
    int peak = 0;
    for (std::size_t i = 100; i < samples.size(); ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
        peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    }
    EXPECT_NEAR(crossings, 1000 * 7900 / 8000, 4);
    EXPECT_NEAR(peak, 10000, 300);
}

}  // namespace
}  // namespace quorvel_test
