// quorvel run as a user would run it, on the virtual devices: help and usage errors, file
// problems, info, exact played bytes, recordings ended every way, frames and the final PNG.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "quorvel_process.h"

namespace {

using namespace quorvel_test;
void ExpectCompleteRecording(const std::string& path, std::size_t blocks) {
    const Bytes file = ReadFile(path);
    ASSERT_EQ(file.size(), kHeader + blocks * kBlock) << path;
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(U32At(file, 4), file.size() - 8);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(U16At(file, 20), 1);
    EXPECT_EQ(U16At(file, 22), 1);
    EXPECT_EQ(U32At(file, 24), 8000u);
    EXPECT_EQ(U16At(file, 34), 16);
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(U32At(file, 40), blocks * kBlock);
}

struct Picture {
    unsigned width = 0;
    unsigned height = 0;
    Bytes rgb;
    std::uint32_t At(unsigned x, unsigned y) const {
        const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
        return (static_cast<std::uint32_t>(rgb[at]) << 16) | (rgb[at + 1] << 8) | rgb[at + 2];
    }
};

Picture ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Picture picture;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return picture;
    image.format = PNG_FORMAT_RGB;
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) == 0) {
        return Picture{};
    }
    picture.width = image.width;
    picture.height = image.height;
    return picture;
}

// ---- Usage -------------------------------------------------------------------------------

TEST(Usage, EveryCommandHasHelpWithItsOptionsAndTheExitCodes) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> phrases;
    };
    const std::vector<Case> cases = {
        {{"--help"}, {"play", "record", "monitor", "info", "--module"}},
        {{"play", "--help"}, {"--output", "--fast", "--frames", "--png", "space pauses"}},
        {{"record", "--help"}, {"--input", "--seconds", "--trace-color", "Ctrl-C"}},
        {{"monitor", "--help"}, {"--input", "--seconds", "--view"}},
        {{"info", "--help"}, {"bytes 22-35"}},
    };
    for (const Case& c : cases) {
        const Result result = RunQuorvel(c.args);
        SCOPED_TRACE(c.args.front());
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find("Exit status: 0 done, 1 usage error"), std::string::npos);
        EXPECT_NE(result.out.find("3 device problem"), std::string::npos);
        for (const std::string& phrase : c.phrases) {
            EXPECT_NE(result.out.find(phrase), std::string::npos) << phrase;
        }
    }
}

TEST(Usage, BadOptionsAndValuesAreRefusedInOneSentenceNamingThem) {
    TempDir dir;
    const std::string take = dir / "take.wav";
    struct Case {
        std::vector<std::string> args;
        std::string named;
    };
    const std::vector<Case> cases = {
        {{}, "subcommand"},
        {{"play"}, "FILE"},
        {{"play", kSample, "--trace-color", "#12345"}, "\"#12345\""},
        {{"play", kSample, "--back-color", "blue"}, "\"blue\""},
        {{"play", kSample, "--view", "tv"}, "\"tv\""},
        {{"play", kSample, "--output", "speaker"}, "\"speaker\""},
        {{"play", kSample, "--bogus"}, "--bogus"},
        {{"record", take, "--input", "tone:abc"}, "\"tone:abc\""},
        {{"record", take, "--seconds", "0"}, "\"0\""},
        {{"monitor", "--seconds", "soon"}, "\"soon\""},
        {{"record", take, "--fast"}, "--seconds"},
        {{"play", kSample, "--output", "file:" + kSample}, kSample},
        {{"play", kSample, "--view", "terminal"}, "terminal"},
        {{"frobnicate"}, "\"frobnicate\""},
        {{"record", ""}, "quorvel monitor"},
        {{"monitor", "--input", "tone: 440"}, "\"tone: 440\""},
        {{"monitor", "--seconds", "268436"}, "\"268436\""},
    };
    for (const Case& c : cases) {
        const Result result = RunQuorvel(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(OneSentenceNaming(result, c.named));
    }
    EXPECT_EQ(FileSize(take), -1) << "a refused recording must not create its file";

    // A day-long monitor is within what a recording's format can hold: past the parser, it
    // fails only at the module it was pointed at.
    const Result day = RunQuorvel(
        {"monitor", "--seconds", "86400", "--input", "silence", "--module", "/nonexistent.so"});
    EXPECT_EQ(day.status, 3) << day.err;
    // A name holding an escape sequence reaches the terminal as text.
    const Result escaped = RunQuorvel({"play", dir / "a\x1b[2Jb.wav"});
    EXPECT_EQ(escaped.status, 2);
    EXPECT_EQ(escaped.err.find('\x1b'), std::string::npos) << escaped.err;
    EXPECT_EQ(ReadFile(kSample).size(), 71644u) << "the sample must not be overwritten";
}

// ---- File and device problems ------------------------------------------------------------------

TEST(Problems, FilesThatCannotBeUsedAreNamedAndExitWith2) {
    TempDir dir;
    const std::string text = dir / "notes.wav";
    WriteFile(text, Bytes(100, 'x'));
    const std::string floating = dir / "float.wav";
    WriteFile(floating, MakeWav(Pattern(400), 3, 1, 8000, 32));
    const std::string deep = dir / "24bit.wav";
    WriteFile(deep, MakeWav(Pattern(600), 1, 1, 8000, 24));
    const std::string plainFile = dir / "plain";
    WriteFile(plainFile, Bytes(4, 0));

    struct Case {
        std::vector<std::string> args;
        std::string named;
        std::string phrase;
    };
    const std::vector<Case> cases = {
        {{"play", dir / "missing.wav"}, dir / "missing.wav", "does not exist"},
        {{"info", dir / "missing.wav"}, dir / "missing.wav", "does not exist"},
        {{"play", dir.path()}, dir.path(), "is a directory"},
        {{"play", text}, text, "not a WAV file"},
        // What the module cannot play is decoded, unless it is to have the file as it is.
        {{"info", "--as-is", floating}, floating, "not PCM"},
        {{"play", "--as-is", floating}, floating, "IEEE float"},
        {{"play", "--as-is", deep}, deep, "24 bits per sample"},
        {{"record", dir / "no/such/take.wav", "--fast", "--seconds", "1"},
         "no/such",
         "does not exist"},
        {{"record", dir.path(), "--fast", "--seconds", "1"}, dir.path(), "folder"},
        {{"play", kSample, "--fast", "--png", dir / "no/screen.png"}, "screen.png", "folder"},
        {{"play", kSample, "--fast", "--frames", plainFile}, plainFile, "not a folder"},
        {{"play", kSample, "--output", "file:" + dir / "no/out.raw"}, "out.raw", "Cannot create"},
        {{"monitor", "--input", "file:" + dir / "none.wav"}, "none.wav", "Cannot read"},
    };
    for (const Case& c : cases) {
        const Result result = RunQuorvel(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(OneSentenceNaming(result, c.named));
        EXPECT_NE(result.err.find(c.phrase), std::string::npos) << result.err;
    }
}

TEST(Problems, AFileThatCannotBeReadIsRefused) {
    TempDir dir;
    const std::string locked = dir / "locked.wav";
    WriteFile(locked, MakeWav(Pattern(400)));
    ::chmod(locked.c_str(), 0);
    Launch launch{{"play", locked, "--output", "fast"}};
    launch.asNobody = ::geteuid() == 0;  // root reads any file; someone else must try
    const Result result = RunQuorvel(launch);
    if (result.status == 125 || result.status == 126) GTEST_SKIP() << "cannot run as nobody";
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(OneSentenceNaming(result, locked));
    EXPECT_NE(result.err.find("Permission denied"), std::string::npos) << result.err;
}

TEST(Problems, AModuleThatCannotBeLoadedIsADeviceProblem) {
    const std::string services = kProgram.substr(0, kProgram.rfind('/')) + "/libQuorvelDevice.so";
    struct Case {
        Launch launch;
        std::string phrase;
    };
    const std::vector<Case> cases = {
        {{{"play", kSample, "--module", "/nonexistent/libQuorvelWaveForm.so.1"}},
         "/nonexistent/libQuorvelWaveForm.so.1"},
        {{{"play", kSample}, {"QUORVEL_MODULE=/nonexistent/module.so"}}, "/nonexistent/module.so"},
        {{{"play", kSample, "--module", services}}, "does not export"},
    };
    for (const Case& c : cases) {
        const Result result = RunQuorvel(c.launch);
        SCOPED_TRACE(::testing::PrintToString(c.launch.args));
        EXPECT_EQ(result.status, 3);
        EXPECT_TRUE(OneSentenceNaming(result, c.phrase));
    }
}

TEST(Problems, DevicesThatCannotBeOpenedAreDeviceProblemsAndLeaveNoFile) {
    TempDir dir;
    const std::string take = dir / "take.wav";
    // The sound device, asked for by name, with no ALSA configuration: it cannot open.
    const std::vector<std::string> noSound = {"QUORVEL_OUTPUT=alsa", "QUORVEL_INPUT=alsa",
                                              "ALSA_CONFIG_PATH=/nonexistent/quorvel/asound.conf"};
    const Result played = RunQuorvel(Launch({"play", kSample, "--view", "none"}, noSound));
    EXPECT_EQ(played.status, 3) << played.err;
    EXPECT_NE(played.err.find("quorvel: The output device (default) could not be opened"),
              std::string::npos)
        << played.err;

    const Result recorded = RunQuorvel(Launch({"record", take, "--seconds", "1"}, noSound));
    EXPECT_EQ(recorded.status, 3) << recorded.err;
    EXPECT_NE(recorded.err.find("quorvel: The input device (default) could not be opened"),
              std::string::npos)
        << recorded.err;
    EXPECT_EQ(FileSize(take), -1) << "a recording that never started must leave no file";
}

// ---- info ----------------------------------------------------------------------------------

TEST(Info, ShowsTheFieldsTheModuleReadsTheDataAndWarnings) {
    TempDir dir;
    const std::string path = dir / "stereo.wav";
    Bytes list = {'L', 'I', 'S', 'T'};
    Put(list, 4, 4);
    for (const char c : std::string("INFO")) list.push_back(static_cast<std::uint8_t>(c));
    WriteFile(path, MakeWav(Pattern(10000), 1, 2, 22050, 8, list));

    const Result result = RunQuorvel({"info", path});
    EXPECT_EQ(result.status, 0) << result.err;
    for (const char* line :
         {"Channels          2\n", "Sample rate       22050 Hz\n", "Bytes per second  44100\n",
          "Block align       2\n", "Bits per sample   8\n",
          "Data chunk        10000 bytes, samples from byte 56\n",
          "Module plays      10012 bytes from byte 44 in 3 block(s) of 4000 bytes",
          "Warning: The samples start at byte 56, not 44"}) {
        EXPECT_NE(result.out.find(line), std::string::npos) << line << " in\n" << result.out;
    }
}

// ---- play -----------------------------------------------------------------------------------

TEST(Play, TheOutputFileHoldsExactlyTheBytesPlayed) {
    TempDir dir;
    Bytes junk = {'J', 'U', 'N', 'K'};
    Put(junk, 6, 4);
    junk.insert(junk.end(), {1, 2, 3, 4, 5, 6});
    struct Case {
        const char* name;
        Bytes file;
        bool realTime;
        bool asIs;  // a layout quorvel would otherwise convert, handed over as it is
    };
    const std::vector<Case> cases = {
        {"partial.wav", MakeWav(Pattern(10'000)), false, false},
        {"boundary.wav", MakeWav(Pattern(8'000)), false, false},
        {"odd.wav", MakeWav(Pattern(4'001)), false, false},
        {"junk.wav", MakeWav(Pattern(5'000), 1, 1, 8000, 16, junk), false, true},
        {"stereo8.wav", MakeWav(Pattern(9'000), 1, 2, 11025, 8), false, false},
        {"realtime.wav", MakeWav(Pattern(3'000)), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        const std::string played = dir / (std::string(c.name) + ".raw");
        WriteFile(path, c.file);
        std::vector<std::string> args = {"play", path, "--output", "file:" + played};
        if (!c.realTime) args.push_back("--fast");
        if (c.asIs) args.push_back("--as-is");
        const Result result = RunQuorvel(args);
        EXPECT_EQ(result.status, 0) << result.err;
        const Bytes expected = ExpectedPlayed(c.file);
        EXPECT_EQ(ReadFile(played), expected);
        EXPECT_NE(result.err.find("Played " + std::to_string(expected.size() / kBlock) + " block"),
                  std::string::npos)
            << result.err;
    }
}

TEST(Play, AStaleOutputFileIsReplacedNotAppendedTo) {
    TempDir dir;
    const std::string path = dir / "short.wav";
    const Bytes file = MakeWav(Pattern(2'000));
    WriteFile(path, file);
    const std::string played = dir / "played.raw";
    WriteFile(played, Bytes(12345, 0xEE));
    EXPECT_EQ(RunQuorvel({"play", path, "--fast", "--output", "file:" + played}).status, 0);
    EXPECT_EQ(ReadFile(played), ExpectedPlayed(file));
}

// Nested folders whose path is longer than the 200 UTF-16 units the module takes.
std::string LongFolderIn(const TempDir& dir) {
    std::string folder = dir.path();
    while (folder.size() < 230) {
        folder += "/a-rather-long-folder-name";
        ::mkdir(folder.c_str(), 0755);
    }
    return folder;
}

TEST(Play, PathsTooLongOrNotUtf8ForTheModuleStillPlay) {
    TempDir dir;
    const std::string folder = LongFolderIn(dir);
    const Bytes file = MakeWav(Pattern(6'000));
    for (const std::string& path : {folder + "/deep.wav", dir / "caf\xE9-\xFF.wav"}) {
        SCOPED_TRACE(path);
        WriteFile(path, file);
        const std::string played = dir / "played.raw";
        const Result result = RunQuorvel({"play", path, "--fast", "--output", "file:" + played});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadFile(played), ExpectedPlayed(file));
    }
}

TEST(Play, SpacePausesAndResumesAndQQuits) {
    TempDir dir;
    const std::string path = dir / "three-seconds.wav";
    const Bytes file = MakeWav(Pattern(48'000));
    WriteFile(path, file);
    const std::string played = dir / "played.raw";
    {
        Process quorvel({{"play", path, "--output", "file:" + played}});
        ASSERT_TRUE(WaitForSize(played, static_cast<long>(kBlock)));
        quorvel.Type(" ");
        std::this_thread::sleep_for(300ms);
        const long pausedAt = FileSize(played);
        std::this_thread::sleep_for(600ms);
        EXPECT_EQ(FileSize(played), pausedAt) << "the device must not play while paused";
        EXPECT_LT(pausedAt, static_cast<long>(file.size() - kHeader));
        quorvel.Type(" ");
        const Result result = quorvel.Wait();
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadFile(played), ExpectedPlayed(file)) << "resumed where it paused";
    }
    {
        Process quorvel({{"play", path, "--output", "file:" + played}});
        ASSERT_TRUE(WaitForSize(played, static_cast<long>(kBlock)));
        quorvel.Type("q");
        const Result result = quorvel.Wait();
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.err.find("Stopped after"), std::string::npos) << result.err;
        EXPECT_LT(FileSize(played), static_cast<long>(ExpectedPlayed(file).size()));
    }
}

// ---- record and monitor
// --------------------------------------------------------------------------

TEST(Record, AFastRecordingForSecondsIsACompleteWavOfWholeBlocks) {
    TempDir dir;
    struct Case {
        const char* seconds;
        std::size_t blocks;
    };
    for (const Case& c : {Case{"1", 4}, Case{"0.3", 2}, Case{"2.25", 9}}) {
        SCOPED_TRACE(c.seconds);
        const std::string path = dir / "ramp.wav";
        const Result result =
            RunQuorvel({"record", path, "--fast", "--seconds", c.seconds, "--input", "ramp"});
        EXPECT_EQ(result.status, 0) << result.err;
        ExpectCompleteRecording(path, c.blocks);
        EXPECT_NE(result.err.find("Recorded " + std::to_string(c.blocks) + " blocks"),
                  std::string::npos)
            << result.err;
        // The ramp's samples count up from 0, none lost or repeated.
        const Bytes file = ReadFile(path);
        for (std::size_t n = 0; n < c.blocks * kBlock / 2; n += 997) {
            ASSERT_EQ(U16At(file, kHeader + 2 * n), static_cast<std::uint16_t>(n)) << n;
        }
    }
    // With the services' default input, --fast keeps the source their variable chose.
    const std::string path = dir / "variable.wav";
    const Result result = RunQuorvel(Launch({"record", path, "--fast", "--seconds", "1"},
                                            {"QUORVEL_INPUT=virtual,realtime,source=ramp"}));
    EXPECT_EQ(result.status, 0) << result.err;
    ExpectCompleteRecording(path, 4);
    EXPECT_EQ(U16At(ReadFile(path), kHeader + 2 * 4000), 4000u);
}

TEST(Record, MonitorShowsTheTraceWithoutAFile) {
    const Result result =
        RunQuorvel({"monitor", "--fast", "--seconds", "0.5", "--input", "tone:500"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Showed 2 blocks"), std::string::npos) << result.err;
}

// A real-time recording ended by a signal or a key: the file is complete all the same.
class RecordEnding : public ::testing::TestWithParam<const char*> {};

TEST_P(RecordEnding, LeavesACompleteFile) {
    TempDir dir;
    const std::string path = dir / "take.wav";
    Process quorvel({{"record", path, "--input", "tone:440"}});
    ASSERT_TRUE(WaitForSize(path, static_cast<long>(kHeader + kBlock)));
    const std::string how = GetParam();
    if (how == "SIGINT") quorvel.Signal(SIGINT);
    if (how == "SIGTERM") quorvel.Signal(SIGTERM);
    if (how == "Enter") quorvel.Type("\n");
    if (how == "q") quorvel.Type("q");
    const Result result = quorvel.Wait();
    EXPECT_EQ(result.status, 0) << result.err;
    const long size = FileSize(path);
    ASSERT_GE(size, static_cast<long>(kHeader + kBlock));
    const auto blocks = static_cast<std::size_t>(size - kHeader) / kBlock;
    ExpectCompleteRecording(path, blocks);
    EXPECT_NE(result.err.find("Recorded " + std::to_string(blocks) + " block"), std::string::npos)
        << result.err;
}

INSTANTIATE_TEST_SUITE_P(EveryWay, RecordEnding,
                         ::testing::Values("SIGINT", "SIGTERM", "Enter", "q"));

TEST(Record, AFileSizeLimitEndsTheFileAtAWholeBlockWithoutKillingTheProgram) {
    TempDir dir;
    const std::string path = dir / "limited.wav";
    // On a block boundary, and in the middle of the third block (a torn write).
    for (const rlim_t limit : {kHeader + 2 * kBlock, kHeader + 2 * kBlock + 1000}) {
        SCOPED_TRACE(limit);
        Launch launch{{"record", path, "--fast", "--seconds", "2", "--input", "ramp"}};
        launch.fileSizeLimit = limit;
        const Result result = RunQuorvel(launch);
        EXPECT_EQ(result.status, 2) << "killed by SIGXFSZ? " << result.err;
        EXPECT_NE(result.err.find("Only 2 of the 8 blocks"), std::string::npos) << result.err;
        ExpectCompleteRecording(path, 2);
    }
}

// ---- frames and the final screen ----------------------------------------------------------------

std::vector<std::string> FramesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (int i = 0;; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%05d.png", i);
        if (FileSize(folder + "/" + name) < 0) break;
        names.push_back(folder + "/" + name);
    }
    return names;
}

TEST(Frames, OnePngPerDrawnBlockFastOrRealTimeTheLastBeingTheFinalScreen) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::size_t frames;
    };
    const std::string partial = dir / "partial.wav";
    WriteFile(partial, MakeWav(Pattern(10'000)));  // 3 blocks
    const std::string boundary = dir / "boundary.wav";
    WriteFile(boundary, MakeWav(Pattern(8'000)));  // 2 blocks and a silent one
    const std::string brief = dir / "brief.wav";
    WriteFile(brief, MakeWav(Pattern(2'000)));  // 1 block
    const std::vector<Case> cases = {
        {"fast", {"play", partial, "--fast"}, 3},
        {"boundary", {"play", boundary, "--output", "fast"}, 3},
        {"realtime", {"play", brief, "--output", "null"}, 1},
        {"sample", {"play", kSample, "--fast"}, 18},
        {"record",
         {"record", dir / "take.wav", "--fast", "--seconds", "1.5", "--input", "ramp"},
         6},
        // 310 Hz is not a whole number of cycles per block, so its blocks draw different traces.
        {"monitor", {"monitor", "--seconds", "0.5", "--input", "tone:310"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir / (std::string("frames-") + c.name);
        const std::string png = dir / (std::string(c.name) + ".png");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--frames", folder, "--png", png});
        const Result result = RunQuorvel(args);
        EXPECT_EQ(result.status, 0) << result.err;
        const std::vector<std::string> frames = FramesIn(folder);
        ASSERT_EQ(frames.size(), c.frames);
        for (const std::string& frame : frames) {
            const Picture picture = ReadPng(frame);
            EXPECT_EQ(picture.width, 240u) << frame;
            EXPECT_EQ(picture.height, 320u) << frame;
        }
        EXPECT_EQ(ReadFile(frames.back()), ReadFile(png));
        if (frames.size() >= 2) {
            EXPECT_NE(ReadFile(frames[0]), ReadFile(frames[1]));
        }
    }
}

TEST(Png, TheFinalScreenShowsTheTraceInTheChosenColours) {
    TempDir dir;
    const std::string path = dir / "loud.wav";
    WriteFile(path, MakeWav(Pattern(6'000)));
    const std::string png = dir / "screen.png";
    const Result result = RunQuorvel({"play", path, "--fast", "--trace-color", "#FF0000",
                                      "--back-color", "0000ff", "--png", png});
    ASSERT_EQ(result.status, 0) << result.err;
    const Picture picture = ReadPng(png);
    ASSERT_EQ(picture.width, 240u);
    ASSERT_EQ(picture.height, 320u);
    std::size_t red = 0;
    std::size_t blue = 0;
    for (unsigned y = 0; y < picture.height; ++y) {
        for (unsigned x = 0; x < picture.width; ++x) {
            const std::uint32_t pixel = picture.At(x, y);
            const bool inPanel = y >= 26 && y < 228;
            if (!inPanel) {
                ASSERT_EQ(pixel, 0u) << "outside the panel at " << x << "," << y;
                continue;
            }
            ASSERT_TRUE(pixel == 0xFF0000 || pixel == 0x0000FF) << std::hex << pixel;
            (pixel == 0xFF0000 ? red : blue) += 1;
        }
    }
    EXPECT_EQ(picture.At(0, 26), 0xFF0000u) << "the panel's outline";
    EXPECT_GT(red, 2u * 240u) << "the outline and the trace";
    EXPECT_GT(blue, 100u * 240u) << "the background";
}

}  // namespace

// ---- nothing a user does loses a file or hangs quorvel
// -------------------------------------------

// The sound device asked for by name with no ALSA configuration: it cannot open.
const std::vector<std::string> kNoSoundDevice = {
    "QUORVEL_OUTPUT=alsa", "QUORVEL_INPUT=alsa",
    "ALSA_CONFIG_PATH=/nonexistent/quorvel/asound.conf"};

struct FileState {
    Bytes bytes;
    mode_t mode = 0;
    bool link = false;
    bool operator==(const FileState& other) const {
        return bytes == other.bytes && mode == other.mode && link == other.link;
    }
};

FileState StateOf(const std::string& path) {
    struct stat info {};
    FileState state;
    if (::lstat(path.c_str(), &info) != 0) return state;
    state.link = S_ISLNK(info.st_mode);
    state.mode = info.st_mode;
    state.bytes = ReadFile(path);
    return state;
}

TEST(Safety, ARecordingThatDoesNotStartLeavesWhatWasThere) {
    TempDir dir;
    const std::string folder = LongFolderIn(dir);
    const std::string kept = dir / "take.wav";
    const std::string link = dir / "link.wav";
    const std::string longPath = folder + "/long.wav";
    const std::string strange = dir / "caf\xE9.wav";
    for (const std::string& path : {kept, longPath, strange}) {
        WriteFile(path, Bytes{'o', 'l', 'd'});
        ::chmod(path.c_str(), 0640);
    }
    ASSERT_EQ(::symlink(kept.c_str(), link.c_str()), 0);
    const std::string dangling = dir / "dangling.wav";
    ASSERT_EQ(::symlink((dir / "made-through-link.wav").c_str(), dangling.c_str()), 0);

    struct Case {
        Launch launch;
        std::vector<std::string> untouched;
        int status;
    };
    const std::string missingModule = "/nonexistent/libQuorvelWaveForm.so.1";
    const std::vector<Case> cases = {
        {{{"record", kept, "--seconds", "1"}, kNoSoundDevice}, {kept}, 3},
        {{{"record", link, "--seconds", "1"}, kNoSoundDevice}, {kept, link}, 3},
        {{{"record", longPath, "--seconds", "1"}, kNoSoundDevice}, {longPath}, 3},
        {{{"record", longPath, "--fast", "--seconds", "1", "--module", missingModule}},
         {longPath},
         3},
        {{{"record", strange, "--fast", "--seconds", "1", "--module", missingModule}},
         {strange},
         3},
        {{{"record", dangling, "--seconds", "1"}, kNoSoundDevice}, {dangling}, 3},
        {{{"record", folder + "/new.wav", "--fast", "--seconds", "1", "--module", missingModule}},
         {folder + "/new.wav"},
         3},
        {{{"record", dir / "new.wav", "--seconds", "1", "--frames", dir / "frames"},
          kNoSoundDevice},
         {dir / "new.wav", dir / "frames"},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.launch.args));
        std::vector<FileState> before;
        for (const std::string& path : c.untouched) before.push_back(StateOf(path));
        const Result result = RunQuorvel(c.launch);
        EXPECT_EQ(result.status, c.status) << result.err;
        for (std::size_t i = 0; i < c.untouched.size(); ++i) {
            EXPECT_TRUE(StateOf(c.untouched[i]) == before[i]) << c.untouched[i];
        }
    }
    EXPECT_EQ(FileSize(dir / "made-through-link.wav"), -1);
}

TEST(Safety, OutputsNamingTheSameFileAreUsageErrors) {
    TempDir dir;
    const std::string take = dir / "r.wav";
    WriteFile(take, Bytes{'o', 'l', 'd'});
    const std::string frames = dir / "frames";
    const std::vector<std::vector<std::string>> cases = {
        {"record", take, "--fast", "--seconds", "1", "--png", take},
        {"record", dir / "fresh.wav", "--fast", "--seconds", "1", "--png", dir / "fresh.wav"},
        {"record", take, "--fast", "--seconds", "1", "--input", "file:" + take},
        {"play", kSample, "--fast", "--png", kSample},
        {"play", kSample, "--fast", "--output", "file:" + take, "--png", take},
        {"play", kSample, "--fast", "--frames", frames, "--png", frames + "/00001.png"},
        {"monitor", "--fast", "--seconds", "1", "--frames", frames, "--png", frames},
    };
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Result result = RunQuorvel(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(OneSentenceNaming(result, "same file"));
    }
    EXPECT_EQ(ReadFile(take), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(FileSize(dir / "fresh.wav"), -1);
    EXPECT_EQ(FileSize(frames), -1);
    EXPECT_EQ(ReadFile(kSample).size(), 71644u);
}

TEST(Safety, WhatStandardInputHoldsNeverKeepsASessionFromEnding) {
    TempDir dir;
    for (const std::string& input : {std::string("/dev/zero"), std::string("-"), kSample}) {
        SCOPED_TRACE(input);
        Launch limited{{"record", dir / "z.wav", "--fast", "--seconds", "1", "--input", "ramp"}};
        limited.input = input;
        const Result result = Process(limited).Wait(30s);
        EXPECT_EQ(result.status, 0) << result.err;
        ExpectCompleteRecording(dir / "z.wav", 4);

        Launch endless{{"monitor", "--input", "silence"}};
        endless.input = input;
        Process monitor(endless);
        // Long enough for quorvel to take its signals over, under an emulator too.
        std::this_thread::sleep_for(1500ms);
        monitor.Signal(SIGTERM);
        EXPECT_EQ(monitor.Wait(30s).status, 0);
    }
}

TEST(Safety, TargetsThatWouldBlockOrLeadNowhereAreRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir / "fifo.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string dangling = dir / "dangling.wav";
    ASSERT_EQ(::symlink("/nonexistent/folder/x.wav", dangling.c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::string phrase;
    };
    const std::vector<Case> cases = {
        {{"record", fifo, "--seconds", "1"}, "not a regular file"},
        {{"play", kSample, "--output", "file:" + fifo}, "not a regular file"},
        {{"play", kSample, "--png", fifo}, "not a regular file"},
        {{"record", dangling, "--seconds", "1"}, "link to a missing folder"},
        {{"play", kSample, "--fast", "--output", "file:/dev/full"}, "/dev/full"},
        {{"monitor", "--seconds", "1", "--input", "file:/dev/zero"}, "not a regular file"},
        {{"monitor", "--seconds", "1", "--input", "file:" + fifo}, "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Result result = Process(Launch(c.args)).Wait(20s);
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(OneSentenceNaming(result, c.phrase));
    }
    struct stat info {};
    EXPECT_TRUE(::lstat(dangling.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
}

TEST(Safety, ACaptureThatCannotWriteItsHeaderLeavesNoFile) {
    TempDir dir;
    Launch tiny{{"record", dir / "tiny.wav", "--fast", "--seconds", "1"}};
    tiny.fileSizeLimit = 1000;
    const Result limited = RunQuorvel(tiny);
    EXPECT_EQ(limited.status, 2);
    EXPECT_TRUE(OneSentenceNaming(limited, "file-size limit"));
    EXPECT_EQ(FileSize(dir / "tiny.wav"), -1);

    // A full disk: a small file system filled up, where this machine lets the test mount one.
    const std::string mount = dir / "full";
    ::mkdir(mount.c_str(), 0755);
    if (std::system(("mount -t tmpfs -o size=16k tmpfs '" + mount + "' 2>/dev/null").c_str()) !=
        0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    std::system(("dd if=/dev/zero of='" + mount + "/fill' bs=1k count=64 2>/dev/null").c_str());
    const Result full = RunQuorvel({"record", mount + "/take.wav", "--fast", "--seconds", "1"});
    const long left = FileSize(mount + "/take.wav");
    std::system(("umount '" + mount + "'").c_str());
    EXPECT_EQ(left, -1);
    EXPECT_EQ(full.status, 2);
    EXPECT_TRUE(OneSentenceNaming(full, "the disk is full"));
}
