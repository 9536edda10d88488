// The habits people bring from aplay, arecord and SoX, tried as they would type them.
#include <string>

#include "../../device/host_api/include/quorvel/device.h"
#include "../../src/frame/version_info.h"
#include "quorvel_process.h"

namespace quorvel_test {
namespace {

#define QWF_DOTTED(a, b, c, d) #a "." #b "." #c "." #d
#define QWF_DOTTED_VERSION(...) QWF_DOTTED(__VA_ARGS__)

TEST(Habits, VersionNamesQuorvelTheModuleLoadedAndTheServices) {
    const std::string module = kProgram.substr(0, kProgram.rfind('/')) + "/libQuorvelWaveForm.so";
    const std::string version = QWF_DOTTED_VERSION(QWF_VERSION_NUMBERS);
    const std::string services = std::to_string(QWD_VERSION_MAJOR) + "." +
                                 std::to_string(QWD_VERSION_MINOR) + "." +
                                 std::to_string(QWD_VERSION_PATCH);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version"}, {"-V", "--module", module}}) {
        SCOPED_TRACE(args.front());
        const Result result = RunQuorvel(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.rfind("quorvel " + version + "\nmodule " + version + " (/", 0), 0u)
            << result.out;
        EXPECT_NE(result.out.find("libQuorvelWaveForm.so." + version + ")\n"), std::string::npos);
        EXPECT_NE(result.out.find("\ndevice services " + services + "\n"), std::string::npos);
    }
    const Result missing = RunQuorvel({"-V", "--module", "/nonexistent/module.so"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_TRUE(OneSentenceNaming(missing, "/nonexistent/module.so"));
}

TEST(Habits, RecordToStandardOutputStreamsEveryBlockAndSaysSoOnStandardError) {
    // Standard output is the test's pipe, which cannot seek: the header says "to the end of the
    // stream", and the four quarter-second blocks of a second follow it.
    const Result result =
        RunQuorvel({"record", "-", "--fast", "--seconds", "1", "--input", "ramp"});
    EXPECT_EQ(result.status, 0) << result.err;
    const Bytes wav(result.out.begin(), result.out.end());
    ASSERT_EQ(wav.size(), 44u + 4u * 4000u);
    EXPECT_EQ(result.out.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(U32At(wav, 4), 0xFFFFFFFFu);
    EXPECT_EQ(U32At(wav, 40), 0xFFFFFFFFu);
    EXPECT_EQ(U32At(wav, 24), 8000u);
    EXPECT_EQ(result.err.find("RIFF"), std::string::npos);
    EXPECT_NE(result.err.find("Recorded 4 blocks (1.00 s) to standard output."), std::string::npos)
        << result.err;
}

TEST(Habits, InfoReportsEveryFileInTurnAndEndsWithTheWorstStatus) {
    const std::string missing = "/nonexistent/take.wav";
    const Result text = RunQuorvel({"info", kSample, missing, kSample});
    EXPECT_EQ(text.status, 2);
    EXPECT_TRUE(OneSentenceNaming(text, missing));
    const std::string report = "File              \"" + kSample + "\"";
    const std::size_t first = text.out.find(report);
    ASSERT_NE(first, std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\n\n" + report, first + 1), std::string::npos) << text.out;

    // One JSON object a line, in the order given, the missing file's saying why.
    const Result json = RunQuorvel({"info", "--json", kSample, missing, kSample});
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(CountLines(json.out), 3);
    const std::size_t second = json.out.find('\n') + 1;
    EXPECT_EQ(json.out.rfind("{\"file\":\"" + kSample + "\"", 0), 0u);
    const std::string missingObject = "{\"file\":\"" + missing + "\"";
    EXPECT_EQ(json.out.compare(second, missingObject.size(), missingObject), 0) << json.out;
    EXPECT_NE(json.out.find("\"plays\":\"refused\""), std::string::npos);
    EXPECT_EQ(RunQuorvel({"info", kSample, kSample}).status, 0);
}

TEST(Habits, HelpSaysWhatHappensWithNoSoundDevice) {
    const Result help = RunQuorvel({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* phrase :
         {"With no sound device", "exit status 3", "--output null", "--input silence"}) {
        EXPECT_NE(help.out.find(phrase), std::string::npos) << phrase;
    }
}

TEST(Habits, QuietLeavesOnlyErrorsAndDrawsOnlyTheViewAskedFor) {
    TempDir dir;
    // Bytes after the data chunk: played --as-is, they bring a warning.
    const std::string tail = dir / "tail.wav";
    Bytes wav = MakeWav(Pattern(3 * kBlock));
    wav.insert(wav.end(), 100, 'x');
    WriteFile(tail, wav);
    const std::vector<std::string> play = {"play", "--as-is", "--output", "fast", tail};
    ASSERT_NE(RunQuorvel(play).err.find("warning"), std::string::npos);

    std::vector<std::string> quiet = play;
    quiet.insert(quiet.begin(), "-q");
    const Result shown = RunOnTerminal(Launch(quiet));
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.err, "") << "a terminal shows nothing: no picture, status or warning";
    quiet.push_back("--view=terminal");
    const Result asked = RunOnTerminal(Launch(quiet));
    EXPECT_EQ(asked.status, 0);
    EXPECT_NE(asked.err.find("\u2580"), std::string::npos) << "the picture asked for is drawn";

    const Result record =
        RunQuorvel({"record", "-", "-q", "--fast", "--seconds", "1", "--input", "ramp"});
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.err, "");
    EXPECT_EQ(record.out.size(), kHeader + 4 * kBlock);

    const Result missing = RunQuorvel({"--quiet", "play", "/nonexistent/take.wav"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(OneSentenceNaming(missing, "/nonexistent/take.wav"));
}

}  // namespace
}  // namespace quorvel_test
