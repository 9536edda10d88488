// Playback end to end on the virtual output: the exact bytes the device plays, the trace of
// every block, the pause toggle, files that cannot be opened, and ending a playback that
// still has a block in flight.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "QuorvelWaveForm.h"
#include "playback/wave_player.h"
#include "quorvel/device_testing.hpp"
#include "support/test_support.h"

namespace qwf::test {
namespace {

namespace device = quorvel::device;

constexpr QwfColorRef kTrace = 0x0000FF00;
constexpr QwfColorRef kBack = 0x00000000;

// What the device must play for a file: its bytes from offset 44 in blocks of 4000, the last
// block completed with the format's silence; a file whose samples end exactly on a block
// boundary (none at all included) ends with one silent block. 16-bit by default.
Bytes ExpectedStream(const Bytes& file, std::uint8_t silence = 0, std::size_t sampleBytes = 2) {
    Bytes stream(file.begin() + std::min<std::size_t>(44, file.size()), file.end());
    if (stream.size() % sampleBytes != 0) stream.back() = silence;  // a partial sample
    const std::size_t blocks = stream.size() / 4000 + 1;
    stream.resize(blocks * 4000, silence);
    return stream;
}

class Playback : public ModuleTest {
  protected:
    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = dir_ + "/" + name;
        WriteFile(path, bytes);
        return path;
    }

    // Plays the file to its end on the fast device and returns what the device played.
    Bytes PlayToEnd(const std::string& path) {
        device::TakePlayedBytes();
        EXPECT_EQ(PlayWavWaveForm(Utf16(path).c_str(), kTrace, kBack), WF_DONE);
        EXPECT_TRUE(device::WaitOutputIdle(std::chrono::seconds(20)));
        return device::TakePlayedBytes();
    }
};

TEST_F(Playback, DevicePlaysTheFileFromByte44InWholeBlocks) {
    struct Case {
        const char* name;
        std::size_t dataBytes;
    };
    // Not a multiple of 4000; an exact multiple; no samples at all; a trailing half sample.
    for (const Case& c : {Case{"partial.wav", 10'000}, Case{"exact.wav", 8'000},
                          Case{"empty.wav", 0}, Case{"odd.wav", 4'001}}) {
        Bytes data = PatternSamples((c.dataBytes + 1) / 2, 3);
        data.resize(c.dataBytes);
        const Bytes file = MakeWav(data);
        const Bytes played = PlayToEnd(Write(c.name, file));
        EXPECT_EQ(played, ExpectedStream(file)) << c.name << ": " << played.size() << " bytes";
    }
}

TEST_F(Playback, TheLastShortBlockEndsInSilenceNotInThePreviousBlocksSamples) {
    // Loud samples everywhere, so a stale tail would be anything but zeros.
    Bytes data(6'000, 0x7F);
    const Bytes played = PlayToEnd(Write("stale.wav", MakeWav(data)));
    ASSERT_EQ(played.size(), 8'000u);
    for (std::size_t i = 6'000; i < 8'000; ++i) ASSERT_EQ(played[i], 0) << i;
}

TEST_F(Playback, OtherFormatsPassTheirBytesAndFieldsThrough) {
    device::EnableJournal(true);
    WavLayout eightBit;
    eightBit.bitsPerSample = 8;
    // An odd count of 8-bit samples: the last is a whole sample, and the block ends in 0x80.
    Bytes data = PatternSamples(3'500, 5);
    data.push_back(0x11);
    Bytes file = MakeWav(data, eightBit);
    const Bytes played = PlayToEnd(Write("u8.wav", file));
    EXPECT_EQ(played, ExpectedStream(file, 0x80, 1));
    ASSERT_EQ(played.size(), 8'000u);
    EXPECT_EQ(played[7'000], 0x11);
    EXPECT_EQ(played[7'999], 0x80);
    data.pop_back();
    EXPECT_EQ(CountJournal("waveOutOpen(0, fmt{1,1,8000,8000,1,8,18}, 0x30000) = 0"), 1u);

    WavLayout stereo;
    stereo.channels = 2;
    stereo.samplesPerSec = 11025;
    file = MakeWav(data, stereo);
    EXPECT_EQ(PlayToEnd(Write("stereo.wav", file)), ExpectedStream(file));
    EXPECT_EQ(CountJournal("waveOutOpen(0, fmt{1,2,11025,44100,4,16,18}, 0x30000) = 0"), 1u);
}

TEST_F(Playback, OtherChunkLayoutsArePlayedFromByte44) {
    device::EnableJournal(true);
    WavLayout longFmt;
    longFmt.extraFmtBytes = {0, 0};
    const Bytes data = PatternSamples(2'500, 7);
    Bytes file = MakeWav(data, longFmt);
    EXPECT_EQ(PlayToEnd(Write("fmt18.wav", file)), ExpectedStream(file));

    WavLayout withList;
    withList.chunkBeforeData = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'};
    file = MakeWav(data, withList);
    const Bytes played = PlayToEnd(Write("list.wav", file));
    EXPECT_EQ(played, ExpectedStream(file));
    // The chunk's own bytes are heard as samples: the module never walks the chunks.
    EXPECT_EQ(played[0], 'I');
    EXPECT_EQ(CountJournal("waveOutOpen(0, fmt{1,1,8000,16000,2,16,18}"), 2u);
}

TEST_F(Playback, TwoBlocksAreInFlightAndEachTraceIsDrawnAsItsBlockStartsToSound) {
    device::EnableJournal(true);
    device::SetOutputGate(0);
    const Bytes data = PatternSamples(6'000, 2);  // three blocks, then a silent one
    ASSERT_EQ(PlayWavWaveForm(Utf16(Write("trace.wav", MakeWav(data))).c_str(), kTrace, kBack),
              WF_DONE);
    for (std::size_t block = 0; block < 3; ++block) {
        // The device holds this block and the next one before this one is done.
        ASSERT_TRUE(WaitForJournal("waveOutWrite(", block + 2));
        std::vector<int> rows;
        for (std::size_t i = 0; i < 240; ++i)
            rows.push_back(ExpectedRow(SampleAt(data, block * 2000 + 8 * i)));
        EXPECT_EQ(CompareTraceOnScreen(rows, kTrace, kBack), "") << "block " << block;
        device::SetOutputGate(1);
    }
    device::SetOutputGate(-1);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    EXPECT_EQ(device::TakePlayedBytes(), ExpectedStream(MakeWav(data)));

    // One done message: unprepare, draw the block that now sounds, then read, prepare and queue
    // the one after it.
    std::vector<std::string> names = device::JournalNames();
    std::vector<std::string> handler;
    for (auto it = std::find(names.begin(), names.end(), "waveOutUnprepareHeader");
         it != names.end() && handler.size() < 5; ++it) {
        if (*it != "message") handler.push_back(*it);
    }
    EXPECT_EQ(handler, (std::vector<std::string>{"waveOutUnprepareHeader", "Rectangle", "Polyline",
                                                 "waveOutPrepareHeader", "waveOutWrite"}));
}

TEST_F(Playback, PauseHoldsOutputAndTheNextTraceComesOnlyAfterTheResume) {
    device::EnableJournal(true);
    device::SetOutputGate(0);
    const Bytes data = PatternSamples(5'000, 4);
    ASSERT_EQ(PlayWavWaveForm(Utf16(Write("pause.wav", MakeWav(data))).c_str(), kTrace, kBack),
              WF_DONE);
    EXPECT_EQ(PlayWavWaveFormStop(), WF_DONE);  // pause
    // The toggle clears the panel: border and background only.
    EXPECT_EQ(device::ScreenPixel(0, 100), kTrace);
    for (int x = 1; x < 239; ++x) ASSERT_EQ(device::ScreenPixel(x, 128), kBack) << x;

    device::SetOutputGate(-1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(device::GetOutputStats().done_messages, 0u);
    EXPECT_EQ(CountJournal("Polyline("), 1u);

    EXPECT_EQ(PlayWavWaveFormStop(), WF_DONE);  // resume
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    const std::vector<std::string> names = device::JournalNames();
    // The start holds the device while it queues its two blocks: the toggle's calls come after.
    const auto primed = std::find(names.begin(), names.end(), "waveOutRestart");
    ASSERT_NE(primed, names.end());
    const auto pause = std::find(primed, names.end(), "waveOutPause");
    const auto restart = std::find(pause, names.end(), "waveOutRestart");
    ASSERT_NE(pause, names.end());
    ASSERT_NE(restart, names.end());
    // The toggle's own next call is the clear (device messages may be journaled in between).
    EXPECT_EQ(
        *std::find_if(pause + 1, names.end(), [](const std::string& n) { return n != "message"; }),
        "Rectangle");
    // The resume clears too (the device's next done message may be journaled in between).
    EXPECT_NE(std::find(restart, names.end(), "Rectangle"), names.end());
    EXPECT_EQ(std::count(pause, restart, "Polyline"), 0);
    EXPECT_GE(std::count(restart, names.end(), "Polyline"), 1);
    EXPECT_EQ(device::TakePlayedBytes(), ExpectedStream(MakeWav(data)));
}

TEST_F(Playback, AFileThatCannotBeOpenedPlaysNothingAndStillReturnsDone) {
    const std::string longName(190, 'n');
    const std::string longPath = dir_ + "/" + longName;
    ASSERT_GE(longPath.size(), 200u);
    // A file named by the path cut to 199 characters must not be played instead.
    Write(longPath.substr(dir_.size() + 1, 199 - dir_.size() - 1), MakeWav(PatternSamples(100)));
    const std::u16string badSurrogate = Utf16(dir_ + "/x") + u'\xD800' + u".wav";
    const std::vector<std::u16string> paths = {Utf16(dir_ + "/missing.wav"), Utf16(dir_),
                                               Utf16(longPath), badSurrogate, u""};
    device::EnableJournal(true);
    for (const std::u16string& path : paths) {
        EXPECT_EQ(PlayWavWaveForm(path.c_str(), kTrace, kBack), WF_DONE);
    }
    EXPECT_EQ(PlayWavWaveForm(nullptr, kTrace, kBack), WF_DONE);
    EXPECT_EQ(CountJournal("CreateDCW("), paths.size() + 1);
    EXPECT_EQ(CountJournal("waveOut"), 0u);
    EXPECT_EQ(CountJournal("_wfopen("), paths.size() + 1);
    EXPECT_EQ(CountJournal("_wfopen(\"\", \"rb\") = 0"), 3u);  // long, empty and null paths
    EXPECT_EQ(PlayWavWaveFormStop(), WF_DONE);
    EXPECT_TRUE(device::TakePlayedBytes().empty());
}

TEST_F(Playback, ADoneMessageFromNoCurrentDeviceDoesNothing) {
    ASSERT_EQ(PlayWavWaveForm(Utf16(dir_ + "/missing.wav").c_str(), kTrace, kBack), WF_DONE);
    device::EnableJournal(true);
    OnWaveOutMessage(nullptr, MM_WOM_DONE, 0, 0, 0);
    EXPECT_TRUE(device::JournalNames().empty());
}

TEST_F(Playback, AFailedUnprepareStallsPlayback) {
    device::EnableJournal(true);
    device::InjectFault(QWD_OP_OUT_UNPREPARE, WAVERR_STILLPLAYING, 0, 1);
    const Bytes data = PatternSamples(10'000, 6);
    ASSERT_EQ(PlayWavWaveForm(Utf16(Write("stall.wav", MakeWav(data))).c_str(), kTrace, kBack),
              WF_DONE);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    // The two blocks of the start play; nothing is queued after the failure.
    EXPECT_EQ(CountJournal("waveOutWrite("), 2u);
    EXPECT_EQ(device::TakePlayedBytes(), Bytes(data.begin(), data.begin() + 8'000));
}

// True while some descriptor of this process is open on the file.
bool OpenInThisProcess(const std::string& path) {
    const std::filesystem::path wanted = std::filesystem::canonical(path);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;  // the iterator's own descriptor may be closed by now
        if (std::filesystem::read_symlink(entry.path(), gone) == wanted) return true;
    }
    return false;
}

TEST_F(Playback, AReadErrorEndsPlaybackAfterTheBytesReadBeforeIt) {
    const Bytes data = PatternSamples(20'000, 14);  // ten blocks
    const std::string path = Write("failing.wav", MakeWav(data));
    constexpr unsigned kReadable = 44 + 9'000;  // the reads fail inside the third block
    device::InjectFault(QWD_OP_FILE_READ, kReadable);
    // Room for more blocks than the file gives before the failure: a playback that does not
    // end stalls at the gate instead of running on.
    device::SetOutputGate(6);
    ASSERT_EQ(PlayWavWaveForm(Utf16(path).c_str(), kTrace, kBack), WF_DONE);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    Bytes expected(data.begin(), data.begin() + 9'000);
    expected.resize(12'000, 0);  // the rest of the third block is silence
    EXPECT_EQ(device::TakePlayedBytes(), expected);
    EXPECT_FALSE(OpenInThisProcess(path));
}

TEST_F(Playback, ANewStartFirstEndsTheDeviceStillPlaying) {
    const Bytes first = MakeWav(PatternSamples(20'000, 8));
    const Bytes second = MakeWav(PatternSamples(9'000, 9));
    const std::string firstPath = Write("first.wav", first);
    const std::string secondPath = Write("second.wav", second);

    device::EnableJournal(true);
    device::SetOutputGate(0);  // the first two blocks stay in flight
    ASSERT_EQ(PlayWavWaveForm(Utf16(firstPath).c_str(), kTrace, kBack), WF_DONE);
    ASSERT_EQ(PlayWavWaveForm(Utf16(secondPath).c_str(), kTrace, kBack), WF_DONE);
    EXPECT_EQ(device::OpenOutputDevices(), 1);
    device::SetOutputGate(-1);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    const Bytes played = device::TakePlayedBytes();
    const Bytes expected = ExpectedStream(second);
    ASSERT_GE(played.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                           played.end() - static_cast<long>(expected.size())));
    EXPECT_LE(played.size() - expected.size(), 8000u);

    const std::vector<std::string> names = device::JournalNames();
    const auto secondOpen = std::find(std::find(names.begin(), names.end(), "waveOutOpen") + 1,
                                      names.end(), "waveOutOpen");
    ASSERT_NE(secondOpen, names.end());
    std::vector<std::string> ending(names.begin(), secondOpen);
    ending.erase(std::remove_if(ending.begin(), ending.end(),
                                [](const std::string& n) { return n.rfind("waveOut", 0) != 0; }),
                 ending.end());
    ASSERT_GE(ending.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(ending.end() - 4, ending.end()),
              (std::vector<std::string>{"waveOutReset", "waveOutUnprepareHeader",
                                        "waveOutUnprepareHeader", "waveOutClose"}));
    EXPECT_EQ(device::GetOutputStats().closed, 1u);
}

TEST_F(Playback, TwoHostThreadsStartingAndPausingAtOnceBehaveAsOneAfterAnother) {
    const std::string path = Write("shared.wav", MakeWav(PatternSamples(9'000, 10)));
    auto hammer = [&] {
        for (int i = 0; i < 150; ++i) {
            EXPECT_EQ(PlayWavWaveForm(Utf16(path).c_str(), kTrace, kBack), WF_DONE);
            EXPECT_EQ(PlayWavWaveFormStop(), WF_DONE);
        }
    };
    const int openBefore = device::OpenOutputDevices();
    std::thread one(hammer), two(hammer);
    one.join();
    two.join();
    // One more start leaves a playback running, whichever call came last.
    ASSERT_EQ(PlayWavWaveForm(Utf16(path).c_str(), kTrace, kBack), WF_DONE);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(20)));
    EXPECT_EQ(device::OpenOutputDevices(), openBefore + 1);
}

TEST_F(Playback, RepeatedStartsWhilePlayingLeaveOneDeviceAndNoRaces) {
    const std::string path = Write("loop.wav", MakeWav(PatternSamples(40'000, 10)));
    for (int i = 0; i < 24; ++i) {
        ASSERT_EQ(PlayWavWaveForm(Utf16(path).c_str(), kTrace, kBack), WF_DONE);
        // Starts while paused and while playing; the last start is left playing.
        if (i % 3 != 2) {
            EXPECT_EQ(PlayWavWaveFormStop(), WF_DONE);
        }
    }
    EXPECT_EQ(device::OpenOutputDevices(), 1);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(20)));
}

TEST_F(Playback, RealTimePlaybackTakesAsLongAsItsAudio) {
    device::OutputSettings settings;
    settings.pace = QWD_PACE_REALTIME;
    settings.sink_memory = 1;
    ASSERT_TRUE(device::ConfigureOutput(settings));
    const Bytes file =
        MakeWav(PatternSamples(4'000, 11));  // two blocks: 0.75 s with the silent end
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(PlayWavWaveForm(Utf16(Write("rt.wav", file)).c_str(), kTrace, kBack), WF_DONE);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(20)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_EQ(device::TakePlayedBytes(), ExpectedStream(file));
}

TEST(PlaybackUnload, UnloadingTheModuleWhilePlayingClosesTheDevice) {
    device::ResetAll();
    device::OutputSettings settings;
    settings.pace = QWD_PACE_REALTIME;
    ASSERT_TRUE(device::ConfigureOutput(settings));
    const std::string path = MakeTempDir() + "/long.wav";
    WriteFile(path, MakeWav(PatternSamples(80'000, 12)));
    void* module = dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    const auto play = reinterpret_cast<PlayWavWaveFormFn>(dlsym(module, "PlayWavWaveForm"));
    ASSERT_EQ(play(Utf16(path).c_str(), kTrace, kBack), WF_DONE);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(device::OpenOutputDevices(), 1);
    ASSERT_EQ(dlclose(module), 0);
    EXPECT_EQ(device::OpenOutputDevices(), 0);
    // Nothing calls into the unloaded code afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

}  // namespace
}  // namespace qwf::test
