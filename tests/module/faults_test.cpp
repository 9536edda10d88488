// Faults survived: device calls failing at every point of a playback and of a recording, the
// disk filling up during a recording, and a recording process killed outright. After each the
// files on disk are valid WAVs of whole blocks and the next session works.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include <mmsystem.h>

#include "QuorvelWaveForm.h"
#include "quorvel/device_testing.hpp"
#include "support/test_support.h"

namespace qwf::test {
namespace {

namespace device = quorvel::device;

// No device returns this by itself, so a journal line ending in it is the injected fault.
constexpr unsigned kInjected = MMSYSERR_NOMEM;

std::size_t CountInjected(const char* call) {
    std::size_t count = 0;
    for (const std::string& line : device::JournalEntries()) {
        if (line.rfind(std::string(call) + "(", 0) == 0 &&
            line.find(" = " + std::to_string(kInjected)) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

// The file is a canonical 8000 Hz mono 16-bit WAV whose header describes `blocks` blocks of
// the virtual input's ramp; up to `trailing` bytes past them (a block cut short) are tolerated.
void ExpectWavOfBlocks(const Bytes& file, std::uint32_t blocks, std::size_t trailing = 0) {
    const std::size_t described = 44 + std::size_t{blocks} * 4000;
    ASSERT_GE(file.size(), described);
    EXPECT_LE(file.size() - described, trailing);
    const Bytes canonical = MakeWav(Bytes(std::size_t{blocks} * 4000));
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 44),
              Bytes(canonical.begin(), canonical.begin() + 44));
    for (std::size_t i = 0; i < std::size_t{blocks} * 2000; ++i) {
        ASSERT_EQ(SampleAt(file, 22 + i), static_cast<std::int16_t>(i & 0xFFFF)) << "sample " << i;
    }
}

// Runs `body` in a forked copy of this process and returns its exit code; -1 if it had to be
// killed after `bound` or did not exit normally. The child never returns into the test.
int RunInChild(const std::function<int()>& body, std::chrono::seconds bound) {
    const pid_t child = fork();
    if (child == 0) _exit(body());  // _exit: the parent's temporary folders stay
    if (child < 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Faults : public ModuleTest {
  protected:
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    Bytes PlayToEnd(const std::string& path) {
        device::TakePlayedBytes();
        EXPECT_EQ(PlayWavWaveForm(Utf16(path).c_str(), 0x0000FF00, 0), WF_DONE);
        EXPECT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
        return device::TakePlayedBytes();
    }
};

TEST_F(Faults, PlaybackSurvivesEachDeviceCallFailingAtEveryPoint) {
    // Three blocks: 10,000 data bytes, then silence to the end of the third.
    const Bytes data = PatternSamples(5'000, 2);
    const std::string path = Path("three.wav");
    WriteFile(path, MakeWav(data));
    Bytes expected = data;
    expected.resize(12'000, 0);

    struct Point {
        qwd_op op;
        const char* call;
    };
    for (const Point point :
         {Point{QWD_OP_OUT_OPEN, "waveOutOpen"}, Point{QWD_OP_OUT_PREPARE, "waveOutPrepareHeader"},
          Point{QWD_OP_OUT_WRITE, "waveOutWrite"},
          Point{QWD_OP_OUT_UNPREPARE, "waveOutUnprepareHeader"}}) {
        for (int skip = 0;; ++skip) {
            SCOPED_TRACE(std::string(point.call) + " failing after " + std::to_string(skip) +
                         " calls");
            device::ClearFaults();
            device::EnableJournal(true);
            device::ClearJournal();
            device::InjectFault(point.op, kInjected, skip, 1);
            const Bytes played = PlayToEnd(path);
            // Whatever was played is the file's own audio, whole blocks from its start.
            EXPECT_EQ(played.size() % 4000, 0u);
            ASSERT_LE(played.size(), expected.size());
            EXPECT_TRUE(std::equal(played.begin(), played.end(), expected.begin()));
            const bool reached = CountInjected(point.call) > 0;

            device::ClearFaults();
            EXPECT_EQ(PlayToEnd(path), expected) << "the next playback";
            EXPECT_EQ(device::OpenOutputDevices(), 1);
            if (!reached) {
                EXPECT_EQ(played, expected);
                EXPECT_GT(skip, 0) << "the call was never made";
                break;
            }
        }
    }
}

TEST_F(Faults, AnOutputDeviceThatWillNotCloseCannotReachTheNextStart) {
    const std::string first = Path("first.wav");
    WriteFile(first, MakeWav(PatternSamples(20'000, 8)));
    const std::string second = Path("second.wav");
    WriteFile(second, MakeWav(PatternSamples(9'000, 9)));  // five blocks, the last one short
    enum Failure { kNotAbandoned = 10, kNotFinished, kWrongWrites, kWrongBytes };
    // In a process of its own: the abandoned device stays open.
    const int result = RunInChild(
        [&]() -> int {
            device::SetOutputGate(0);  // the first device keeps both its blocks
            PlayWavWaveForm(Utf16(first).c_str(), 0x0000FF00, 0);
            // The next one plays in real time, so the first one's done messages come while
            // the second file's blocks are in flight.
            device::OutputSettings realTime;
            realTime.pace = QWD_PACE_REALTIME;
            realTime.sink_memory = 1;
            if (!device::ConfigureOutput(realTime)) return kNotAbandoned;
            // It neither resets nor closes: the next start gives up on it and opens another.
            device::InjectFault(QWD_OP_OUT_RESET, kInjected, 0, -1);
            device::InjectFault(QWD_OP_OUT_CLOSE, kInjected, 0, -1);
            device::EnableJournal(true);
            PlayWavWaveForm(Utf16(second).c_str(), 0x0000FF00, 0);
            device::ClearFaults();
            if (device::OpenOutputDevices() != 2) return kNotAbandoned;
            // Both play on; the abandoned one's done messages must not pump the second file's
            // blocks onto it, nor stall the second playback.
            device::SetOutputGate(-1);
            if (!device::WaitOutputIdle(std::chrono::seconds(10))) return kNotFinished;
            // Every block of the second file went to the second device.
            std::string secondDevice;
            std::size_t writes = 0;
            for (const std::string& line : device::JournalEntries()) {
                if (line.rfind("waveOutOpen(", 0) == 0) {
                    secondDevice = line.substr(line.rfind(' ') + 1);
                }
                if (line.rfind("waveOutWrite(" + secondDevice + ",", 0) == 0) ++writes;
            }
            if (CountJournal("waveOutWrite(") != 5 || writes != 5) return kWrongWrites;
            if (device::TakePlayedBytes().size() != 8'000 + 5 * 4'000) return kWrongBytes;
            return 0;
        },
        std::chrono::seconds(30));
    EXPECT_EQ(result, 0) << "10: not abandoned, 11: not finished, 12: writes, 13: bytes";
}

TEST_F(Faults, RecordingSurvivesEachDeviceCallFailingAtEveryPoint) {
    constexpr std::uint32_t kBlocks = 4;
    struct Point {
        qwd_op op;
        const char* call;
        std::int32_t startResult;  // when the call fails while starting
    };
    for (const Point point : {Point{QWD_OP_IN_OPEN, "waveInOpen", WF_ERR_OPEN},
                              Point{QWD_OP_IN_PREPARE, "waveInPrepareHeader", WF_ERR_QUEUE},
                              Point{QWD_OP_IN_ADD_BUFFER, "waveInAddBuffer", WF_ERR_QUEUE},
                              Point{QWD_OP_IN_START, "waveInStart", WF_ERR_START}}) {
        for (int skip = 0;; ++skip) {
            SCOPED_TRACE(std::string(point.call) + " failing after " + std::to_string(skip) +
                         " calls");
            const std::string path = Path("rec-" + std::to_string(skip) + ".wav");
            device::ClearFaults();
            device::ResetStats();
            device::SetInputGate(kBlocks);
            device::EnableJournal(true);
            device::ClearJournal();
            device::InjectFault(point.op, kInjected, skip, 1);
            const std::int32_t started = WaveRecordWaveForm(Utf16(path).c_str(), 0x000000FF, 0);
            // A failed requeue stalls the capture, so the wait may end at its bound.
            device::WaitInputData(kBlocks, std::chrono::seconds(1));
            const std::int32_t blocks = WaveRecordWaveFormStop();
            const bool reached = CountInjected(point.call) > 0;

            EXPECT_EQ(started, reached && skip == 0 ? point.startResult : WF_DONE);
            ASSERT_GE(blocks, 0);
            // A start that fails before its device is queued never creates the file.
            if (started == WF_ERR_OPEN || started == WF_ERR_QUEUE) {
                EXPECT_FALSE(std::filesystem::exists(path));
            } else {
                ExpectWavOfBlocks(ReadFile(path), static_cast<std::uint32_t>(blocks));
            }
            EXPECT_EQ(device::OpenInputDevices(), 0);
            if (!reached) {
                EXPECT_EQ(blocks, static_cast<std::int32_t>(kBlocks));
                EXPECT_GT(skip, 0) << "the call was never made";
                break;
            }
        }
    }
    // And the next recording is whole.
    device::ClearFaults();
    device::ResetStats();
    device::SetInputGate(kBlocks);
    ASSERT_EQ(WaveRecordWaveForm(Utf16(Path("after.wav")).c_str(), 0x000000FF, 0), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(kBlocks, std::chrono::seconds(10)));
    EXPECT_EQ(WaveRecordWaveFormStop(), static_cast<std::int32_t>(kBlocks));
    ExpectWavOfBlocks(ReadFile(Path("after.wav")), kBlocks);
}

TEST_F(Faults, ADiskFillingUpKeepsEveryWholeBlockWrittenBeforeIt) {
    constexpr int kCaptured = 20;
    constexpr std::uint32_t kFitting = 5;
    struct Limit {
        const char* name;
        rlim_t bytes;
    };
    // The limit on a block boundary, and inside the block after it (a partial write).
    for (const Limit limit : {Limit{"boundary.wav", 44 + kFitting * 4000},
                              Limit{"mid-block.wav", 44 + kFitting * 4000 + 1000}}) {
        SCOPED_TRACE(limit.name);
        const std::string path = Path(limit.name);
        device::ResetStats();
        device::SetInputGate(kCaptured);
        const int exitCode = RunInChild(
            [&] {
                signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
                const rlimit fileSize{limit.bytes, limit.bytes};
                if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0) return 101;
                if (WaveRecordWaveForm(Utf16(path).c_str(), 0x000000FF, 0) != WF_DONE) return 102;
                if (!device::WaitInputData(kCaptured, std::chrono::seconds(20))) return 103;
                return static_cast<int>(WaveRecordWaveFormStop());
            },
            std::chrono::seconds(60));
        // Capture went on after the disk was full; the file kept what fitted.
        EXPECT_EQ(exitCode, kCaptured);
        ExpectWavOfBlocks(ReadFile(path), kFitting, limit.bytes - (44 + kFitting * 4000));
    }
}

TEST_F(Faults, ARecordingProcessKilledMidwayLeavesAValidWavMissingAtMostTheLastBlock) {
    const std::string path = Path("killed.wav");
    const pid_t child = fork();
    if (child == 0) {
        device::InputSettings settings;
        settings.pace = QWD_PACE_REALTIME;
        settings.source = "ramp";
        if (!device::ConfigureInput(settings)) _exit(101);
        if (WaveRecordWaveForm(Utf16(path).c_str(), 0x000000FF, 0) != WF_DONE) _exit(102);
        for (;;) pause();
    }
    ASSERT_GT(child, 0);
    // About a second of real-time capture: wait for the fourth block to reach the disk.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    struct stat status {};
    while ((stat(path.c_str(), &status) != 0 || status.st_size < 44 + 4 * 4000) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int exitStatus = 0;
    ASSERT_EQ(waitpid(child, &exitStatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(exitStatus)) << "the recording child ended by itself: " << exitStatus;

    const Bytes file = ReadFile(path);
    ASSERT_GE(file.size(), 44u + 4 * 4000u);
    // The header may lag the data by the block being appended when the process died.
    const std::uint32_t described = U32At(file, 40) / 4000;
    const auto onDisk = static_cast<std::uint32_t>((file.size() - 44) / 4000);
    EXPECT_EQ(U32At(file, 40) % 4000, 0u);
    EXPECT_GE(described + 1, onDisk);
    ExpectWavOfBlocks(file, described, 4000);
}

}  // namespace
}  // namespace qwf::test
