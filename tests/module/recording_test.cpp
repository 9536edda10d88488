// Recording end to end on the virtual input: file sizes and headers, continuity of the
// captured samples, the result codes of a failed start, and ending captures cleanly.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "QuorvelWaveForm.h"
#include "quorvel/device_testing.hpp"
#include "recording/recorder.h"
#include "support/test_support.h"

namespace qwf::test {
namespace {

namespace device = quorvel::device;

constexpr QwfColorRef kTrace = 0x000000FF;
constexpr QwfColorRef kBack = 0x00FFFFFF;

void ExpectValidHeader(const Bytes& file, std::uint32_t blocks) {
    ASSERT_EQ(file.size(), 44u + blocks * 4000u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(U32At(file, 4), blocks * 4000u + 36u);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(U32At(file, 16), 16u);
    EXPECT_EQ(U16At(file, 20), 1u);
    EXPECT_EQ(U16At(file, 22), 1u);
    EXPECT_EQ(U32At(file, 24), 8000u);
    EXPECT_EQ(U32At(file, 28), 16000u);
    EXPECT_EQ(U16At(file, 32), 2u);
    EXPECT_EQ(U16At(file, 34), 16u);
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(U32At(file, 40), blocks * 4000u);
}

// Every sample continues the ramp the virtual input produces: sample n is n mod 65536.
void ExpectRamp(const Bytes& file) {
    for (std::size_t i = 0; i < (file.size() - 44) / 2; ++i) {
        ASSERT_EQ(SampleAt(file, 22 + i), static_cast<std::int16_t>(i & 0xFFFF)) << "sample " << i;
    }
}

class Recording : public ModuleTest {
  protected:
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::int32_t Start(const std::string& path) {
        return WaveRecordWaveForm(Utf16(path).c_str(), kTrace, kBack);
    }
};

TEST_F(Recording, StartThenImmediateStopLeavesAnEmptyValidFile) {
    device::SetInputGate(0);
    ASSERT_EQ(Start(Path("empty.wav")), WF_DONE);
    EXPECT_EQ(WaveRecordWaveFormStop(), 0);
    ExpectValidHeader(ReadFile(Path("empty.wav")), 0);
}

TEST_F(Recording, EightBlocksMakeA32044ByteFileOfContinuousSamples) {
    device::SetInputGate(8);
    ASSERT_EQ(Start(Path("eight.wav")), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(8, std::chrono::seconds(10)));
    EXPECT_EQ(WaveRecordWaveFormStop(), 8);
    const Bytes file = ReadFile(Path("eight.wav"));
    ExpectValidHeader(file, 8);
    EXPECT_EQ(file.size(), 32'044u);
    EXPECT_EQ(U32At(file, 40), 32'000u);
    EXPECT_EQ(U32At(file, 4), 32'036u);
    ExpectRamp(file);
}

TEST_F(Recording, TheFileIsAValidWavAtEveryBlockBoundaryWhileRecording) {
    device::SetInputGate(0);
    ASSERT_EQ(Start(Path("live.wav")), WF_DONE);
    ExpectValidHeader(ReadFile(Path("live.wav")), 0);
    for (std::uint32_t blocks = 1; blocks <= 3; ++blocks) {
        device::SetInputGate(1);
        ASSERT_TRUE(device::WaitInputData(blocks, std::chrono::seconds(10)));
        ExpectValidHeader(ReadFile(Path("live.wav")), blocks);
    }
    EXPECT_EQ(WaveRecordWaveFormStop(), 3);
    ExpectValidHeader(ReadFile(Path("live.wav")), 3);
}

TEST_F(Recording, RealTimeCaptureWithTheRequeueGapLosesNoSample) {
    device::InputSettings settings;
    settings.pace = QWD_PACE_REALTIME;
    settings.source = "ramp";
    ASSERT_TRUE(device::ConfigureInput(settings));
    ASSERT_EQ(Start(Path("ramp.wav")), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(12, std::chrono::seconds(30)));
    const std::int32_t blocks = WaveRecordWaveFormStop();
    EXPECT_GE(blocks, 12);
    const Bytes file = ReadFile(Path("ramp.wav"));
    ExpectValidHeader(file, static_cast<std::uint32_t>(blocks));
    ExpectRamp(file);
    EXPECT_EQ(device::GetInputStats().frames_dropped, 0u);
}

TEST_F(Recording, ALongCaptureKeepsExactSizesPastWhereSinglePrecisionFails) {
    constexpr std::uint32_t kBlocks = 16'779;
    device::SetInputGate(kBlocks);
    ASSERT_EQ(Start(Path("long.wav")), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(kBlocks, std::chrono::seconds(240)));
    EXPECT_EQ(WaveRecordWaveFormStop(), static_cast<std::int32_t>(kBlocks));
    const Bytes file = ReadFile(Path("long.wav"));
    ExpectValidHeader(file, kBlocks);
    EXPECT_EQ(U32At(file, 4), 67'116'036u);
    ExpectRamp(file);
}

TEST_F(Recording, TheTraceShowsSamples1To1913OfEachBlock) {
    Bytes samples;
    for (int i = 0; i < 4000; ++i) {
        const auto value = static_cast<std::uint16_t>((i * 7919) & 0xFFFF);
        samples.push_back(static_cast<std::uint8_t>(value & 0xFF));
        samples.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    WriteFile(Path("source.raw"), samples);
    device::InputSettings settings;
    settings.pace = QWD_PACE_FAST;
    settings.source = settings.Keep("file:" + Path("source.raw"));
    ASSERT_TRUE(device::ConfigureInput(settings));
    device::SetInputGate(1);
    ASSERT_EQ(Start(""), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(1, std::chrono::seconds(10)));
    std::vector<int> rows;
    for (std::size_t i = 0; i < 240; ++i) rows.push_back(ExpectedRow(SampleAt(samples, 1 + 8 * i)));
    EXPECT_EQ(CompareTraceOnScreen(rows, kTrace, kBack), "");
    EXPECT_EQ(WaveRecordWaveFormStop(), 1);
}

TEST_F(Recording, AnEmptyOrNullPathTracesWithoutWritingAnything) {
    device::EnableJournal(true);
    for (const char16_t* path : {u"", static_cast<const char16_t*>(nullptr)}) {
        device::ResetStats();
        device::SetInputGate(2);
        ASSERT_EQ(WaveRecordWaveForm(path, kTrace, kBack), WF_DONE);
        ASSERT_TRUE(device::WaitInputData(2, std::chrono::seconds(10)));
        EXPECT_EQ(WaveRecordWaveFormStop(), 2);
    }
    EXPECT_EQ(CountJournal("_wfopen("), 0u);
    EXPECT_EQ(CountJournal("Polyline("), 4u);
}

TEST_F(Recording, EachFailingStartStepHasItsOwnCode) {
    device::EnableJournal(true);
    device::InjectFault(QWD_OP_IN_OPEN, MMSYSERR_ALLOCATED);
    EXPECT_EQ(Start(Path("open.wav")), WF_ERR_OPEN);
    device::InjectFault(QWD_OP_IN_ADD_BUFFER, MMSYSERR_NOMEM);
    EXPECT_EQ(Start(Path("queue.wav")), WF_ERR_QUEUE);
    device::InjectFault(QWD_OP_IN_START, MMSYSERR_ERROR);
    EXPECT_EQ(Start(Path("start.wav")), WF_ERR_START);
    EXPECT_EQ(WaveRecordWaveFormStop(), 0);
    // Only the start that failed after writing its placeholder left a file, completed as an
    // empty WAV; no device is left open.
    EXPECT_FALSE(std::filesystem::exists(Path("open.wav")));
    EXPECT_FALSE(std::filesystem::exists(Path("queue.wav")));
    ExpectValidHeader(ReadFile(Path("start.wav")), 0);
    EXPECT_EQ(device::OpenInputDevices(), 0);
    EXPECT_EQ(device::GetInputStats().opened, device::GetInputStats().closed);

    device::ClearJournal();
    EXPECT_EQ(Start(dir_ + "/no/such/dir/x.wav"), WF_ERR_FILE);
    const std::u16string badPath = Utf16(dir_ + "/bad") + u'\xDC00' + u".wav";
    EXPECT_EQ(WaveRecordWaveForm(badPath.c_str(), kTrace, kBack), WF_ERR_FILE);
    // A file that cannot be created comes after the queued buffer, and capture never starts.
    EXPECT_EQ(CountJournal("waveInAddBuffer("), 2u);
    EXPECT_EQ(CountJournal("waveInStart("), 0u);
    EXPECT_EQ(WaveRecordWaveFormStop(), 0);
    EXPECT_EQ(device::OpenInputDevices(), 0);
}

TEST_F(Recording, OnlyAStartWhoseDeviceIsQueuedReplacesAFileAndCaptureStartsAfterItsHeader) {
    const Bytes original = MakeWav(PatternSamples(3'000, 13));
    WriteFile(Path("take.wav"), original);
    for (const qwd_op op : {QWD_OP_IN_OPEN, QWD_OP_IN_ADD_BUFFER}) {
        device::InjectFault(op, MMSYSERR_NOMEM, 0, 2);
        const std::int32_t expected = op == QWD_OP_IN_OPEN ? WF_ERR_OPEN : WF_ERR_QUEUE;
        EXPECT_EQ(Start(Path("take.wav")), expected);
        EXPECT_EQ(Start(Path("new.wav")), expected);
        EXPECT_EQ(WaveRecordWaveFormStop(), 0);
        EXPECT_EQ(ReadFile(Path("take.wav")), original) << "after code " << expected;
        EXPECT_FALSE(std::filesystem::exists(Path("new.wav"))) << "after code " << expected;
    }

    device::EnableJournal(true);
    device::SetInputGate(0);
    ASSERT_EQ(Start(Path("take.wav")), WF_DONE);
    ExpectValidHeader(ReadFile(Path("take.wav")), 0);
    std::vector<std::string> start;
    for (const std::string& name : device::JournalNames()) {
        if (name.rfind("waveIn", 0) == 0 || name == "_wfopen") start.push_back(name);
    }
    EXPECT_EQ(start, (std::vector<std::string>{"waveInOpen", "waveInPrepareHeader",
                                               "waveInAddBuffer", "_wfopen", "waveInStart"}));
    EXPECT_EQ(WaveRecordWaveFormStop(), 0);
}

TEST_F(Recording, TheStopReallyClosesTheDevice) {
    device::EnableJournal(true);
    device::SetInputGate(2);
    ASSERT_EQ(Start(Path("stop.wav")), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(2, std::chrono::seconds(10)));
    device::ClearJournal();
    EXPECT_EQ(WaveRecordWaveFormStop(), 2);
    std::vector<std::string> calls;
    for (const std::string& line : device::JournalEntries()) {
        if (line.rfind("waveIn", 0) == 0)
            calls.push_back(line.substr(0, line.find('(')) + line.substr(line.find(" = ")));
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"waveInStop = 0", "waveInReset = 0",
                                               "waveInUnprepareHeader = 0", "waveInClose = 0"}));
    EXPECT_EQ(device::OpenInputDevices(), 0);
    // A second stop finds nothing to close and returns the same count.
    device::ClearJournal();
    EXPECT_EQ(WaveRecordWaveFormStop(), 2);
    EXPECT_EQ(CountJournal("waveIn"), 0u);
}

TEST_F(Recording, ADataMessageFromADeviceThatIsNotTheCurrentOneTouchesNothing) {
    device::SetInputGate(0);
    ASSERT_EQ(Start(Path("partial.wav")), WF_DONE);
    device::EnableJournal(true);
    // As an earlier device that would not close might still deliver one.
    OnWaveInMessage(reinterpret_cast<HWAVEIN>(0x5151), MM_WIM_DATA, 0, 0, 0);
    OnWaveInMessage(nullptr, MM_WIM_DATA, 0, 0, 0);
    // The device's own thread may still be delivering its open message: only calls count.
    std::vector<std::string> calls;
    for (const std::string& line : device::JournalEntries()) {
        if (line.rfind("message(", 0) != 0) calls.push_back(line);
    }
    EXPECT_TRUE(calls.empty()) << calls.front();
    EXPECT_EQ(WaveRecordWaveFormStop(), 0);
    ExpectValidHeader(ReadFile(Path("partial.wav")), 0);
}

TEST_F(Recording, AShortBufferMidStreamIsRequeuedAndItsSamplesKeptWithSilenceAfterThem) {
    // The second buffer comes back holding 500 samples; capture must go on past it.
    device::InjectFault(QWD_OP_IN_SHORT_BUFFER, 1'000, 1, 1);
    device::SetInputGate(4);
    ASSERT_EQ(Start(Path("short.wav")), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(4, std::chrono::seconds(10)));
    EXPECT_EQ(WaveRecordWaveFormStop(), 4);
    const Bytes file = ReadFile(Path("short.wav"));
    ExpectValidHeader(file, 4);
    // The ramp runs on without a gap; only the short block's stale tail became silence.
    for (std::size_t i = 0; i < 8'000; ++i) {
        const std::size_t block = i / 2'000, within = i % 2'000;
        const std::int16_t expected = block == 0 ? static_cast<std::int16_t>(i)
                                      : block == 1
                                          ? (within < 500 ? static_cast<std::int16_t>(i) : 0)
                                          : static_cast<std::int16_t>(i - 1'500);
        ASSERT_EQ(SampleAt(file, 22 + i), expected) << "sample " << i;
    }
}

TEST_F(Recording, ARecordingToAFifoKeepsEveryBlockUnderAHeaderThatRunsToTheEnd) {
    const std::string fifo = Path("take.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A reader is there before the recording opens the FIFO, as a shell pipeline's would be.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    device::SetInputGate(11);
    ASSERT_EQ(Start(fifo), WF_DONE);
    ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);
    Bytes received;
    std::thread drain([&] {
        std::uint8_t chunk[4096];
        for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) > 0;) {
            received.insert(received.end(), chunk, chunk + got);
        }
    });
    ASSERT_TRUE(device::WaitInputData(11, std::chrono::seconds(10)));
    EXPECT_EQ(WaveRecordWaveFormStop(), 11);
    drain.join();
    ::close(reader);
    ASSERT_EQ(received.size(), 44u + 11u * 4'000u);
    EXPECT_EQ(std::string(received.begin(), received.begin() + 4), "RIFF");
    EXPECT_EQ(U32At(received, 4), 0xFFFFFFFFu);
    EXPECT_EQ(U32At(received, 40), 0xFFFFFFFFu);
    ExpectRamp(received);
}

TEST_F(Recording, AStartWhileCapturingFirstCompletesTheEarlierCapture) {
    device::SetInputGate(3);
    ASSERT_EQ(Start(Path("a.wav")), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(3, std::chrono::seconds(10)));
    // The gate stays shut until the earlier device is closed, so it gets no fourth block.
    device::ResetStats();
    ASSERT_EQ(Start(Path("b.wav")), WF_DONE);
    device::SetInputGate(2);
    ExpectValidHeader(ReadFile(Path("a.wav")), 3);
    EXPECT_EQ(device::OpenInputDevices(), 1);
    // The earlier device's reset handed back its one empty buffer: one more data message.
    ASSERT_TRUE(device::WaitInputData(3, std::chrono::seconds(10)));
    EXPECT_EQ(WaveRecordWaveFormStop(), 2);
    ExpectValidHeader(ReadFile(Path("b.wav")), 2);
}

TEST_F(Recording, RepeatedStartsAndStopsWhileCapturingStayConsistent) {
    for (int i = 0; i < 20; ++i) {
        const std::string path = Path("r" + std::to_string(i) + ".wav");
        ASSERT_EQ(Start(path), WF_DONE);
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
        if (i % 2 == 0) {
            const std::int32_t blocks = WaveRecordWaveFormStop();
            ExpectValidHeader(ReadFile(path), static_cast<std::uint32_t>(blocks));
        }
    }
    WaveRecordWaveFormStop();
    EXPECT_EQ(device::OpenInputDevices(), 0);
}

TEST_F(Recording, TwoHostThreadsStartingAndStoppingAtOnceLeaveOnlyValidFiles) {
    auto hammer = [&](const std::string& name) {
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(Start(Path(name + std::to_string(i % 4) + ".wav")), WF_DONE);
            EXPECT_GE(WaveRecordWaveFormStop(), 0);
        }
    };
    std::thread one(hammer, "a"), two(hammer, "b");
    one.join();
    two.join();
    WaveRecordWaveFormStop();
    EXPECT_EQ(device::OpenInputDevices(), 0);
    for (const char* name : {"a0", "a1", "a2", "a3", "b0", "b1", "b2", "b3"}) {
        const Bytes file = ReadFile(Path(std::string(name) + ".wav"));
        ASSERT_GE(file.size(), 44u) << name;
        ExpectValidHeader(file, static_cast<std::uint32_t>((file.size() - 44) / 4'000));
        ExpectRamp(file);
    }
}

TEST(RecordingUnload, UnloadingTheModuleWhileCapturingCompletesTheFile) {
    device::ResetAll();
    device::InputSettings settings;
    settings.pace = QWD_PACE_REALTIME;
    settings.source = "ramp";
    ASSERT_TRUE(device::ConfigureInput(settings));
    const std::string path = MakeTempDir() + "/unload.wav";
    void* module = dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    const auto record = reinterpret_cast<WaveRecordWaveFormFn>(dlsym(module, "WaveRecordWaveForm"));
    ASSERT_EQ(record(Utf16(path).c_str(), kTrace, kBack), WF_DONE);
    ASSERT_TRUE(device::WaitInputData(2, std::chrono::seconds(10)));
    ASSERT_EQ(dlclose(module), 0);
    EXPECT_EQ(device::OpenInputDevices(), 0);
    const Bytes file = ReadFile(path);
    ASSERT_GE(file.size(), 44u + 2 * 4000u);
    ExpectValidHeader(file, static_cast<std::uint32_t>((file.size() - 44) / 4000));
    ExpectRamp(file);
}

}  // namespace
}  // namespace qwf::test
