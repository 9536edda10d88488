// quorvel play with several files and with standard input, decoding in real time while the
// module reads, the temporary file gone however quorvel ends, and info for scripts.
#include "quorvel_process.h"

namespace {

using namespace quorvel_test;

bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) == 0;
}

// Mono 8 kHz 16-bit WAVs as the module plays them, and a FLAC of one (lossless, so the
// device must play exactly the WAV's samples).
class Playlist : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Have("flac") || !Have("python3")) GTEST_SKIP() << "flac and python3 are needed";
        WriteFile(dir_ / "a.wav", MakeWav(Pattern(6'000)));
        WriteFile(dir_ / "b.wav", MakeWav(Pattern(24'000)));  // 1.5 s
        ASSERT_EQ(Flac("b.wav", "b.flac"), 0);
    }
    int Flac(const std::string& from, const std::string& to) const {
        return std::system(("flac -s -f -o '" + dir_ / to + "' '" + dir_ / from + "'").c_str());
    }
    // What the device plays for a 16-bit WAV whether or not it is decoded: its samples from
    // byte 44, in whole blocks.
    Bytes PlayedFor(const std::string& wav) const { return ExpectedPlayed(ReadFile(dir_ / wav)); }

    TempDir dir_;
};

TEST_F(Playlist, FilesPlayInTurnAndTheSummaryListsEach) {
    const std::string played = dir_ / "played.raw";
    const Result result = RunQuorvel({"play", dir_ / "a.wav", dir_ / "b.flac", dir_ / "a.wav",
                                      "--fast", "--output", "file:" + played});
    ASSERT_EQ(result.status, 0) << result.err;
    Bytes expected = PlayedFor("a.wav");
    const Bytes second = PlayedFor("b.wav");
    expected.insert(expected.end(), second.begin(), second.end());
    const Bytes third = PlayedFor("a.wav");
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(ReadFile(played), expected);
    for (const char* line :
         {"[2/3] b.flac: decoded FLAC, 16-bit, 8000 Hz, 1 channel",
          "Played 3 of 3 files:", "  1. a.wav   played, 0.50 s", "  2. b.flac  played, 1.75 s"}) {
        EXPECT_NE(result.err.find(line), std::string::npos) << line << " in\n" << result.err;
    }
    // One file that cannot be played is found before any plays.
    const Result refused = RunQuorvel(
        {"play", dir_ / "a.wav", dir_ / "none.flac", "--fast", "--output", "file:" + played});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(OneSentenceNaming(refused, "none.flac"));
    EXPECT_TRUE(ReadFile(played).empty() || ReadFile(played) == expected) << "nothing played";
    EXPECT_EQ(refused.err.find("Playing"), std::string::npos);
}

TEST_F(Playlist, NSkipsToTheNextFileInRealTimeAndQEndsTheList) {
    const std::string played = dir_ / "played.raw";
    Process quorvel(
        {{"play", dir_ / "b.flac", dir_ / "a.wav", dir_ / "b.wav", "--output", "file:" + played}});
    ASSERT_TRUE(WaitForSize(played, static_cast<long>(kBlock)));
    quorvel.Type("n");
    // The second file plays to its end (0.5 s); q during the third ends the list.
    ASSERT_TRUE(WaitForSize(played, static_cast<long>(PlayedFor("a.wav").size() + 2 * kBlock)));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    quorvel.Type("q");
    const Result result = quorvel.Wait();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Skipped after"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("1. b.flac  skipped after"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("2. a.wav   played, 0.50 s"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("3. b.wav   stopped after"), std::string::npos) << result.err;
    // The skipped file's start (a block cut where the skip came), then all of the second
    // file, then the third's start.
    const Bytes all = ReadFile(played);
    const Bytes first = PlayedFor("b.wav");
    const Bytes second = PlayedFor("a.wav");
    ASSERT_GE(all.size(), kBlock + second.size());
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + static_cast<long>(kBlock), first.begin()));
    const auto at = std::search(all.begin() + static_cast<long>(kBlock), all.end(), second.begin(),
                                second.end());
    ASSERT_NE(at, all.end()) << "the second file, whole";
    const auto skipped = static_cast<std::size_t>(at - all.begin());
    EXPECT_LT(skipped, first.size()) << "the first file was cut short";
    EXPECT_TRUE(std::equal(all.begin(), at, first.begin()));
    EXPECT_LT(all.size(), skipped + second.size() + first.size());
}

TEST_F(Playlist, AFileOnStandardInputPlaysAndKeysAreSaidToBeOff) {
    const std::string played = dir_ / "played.raw";
    for (const char* file : {"b.flac", "b.wav"}) {
        SCOPED_TRACE(file);
        Launch launch{{"play", "-", "--fast", "--output", "file:" + played}};
        launch.input = dir_ / file;
        const Result result = RunQuorvel(launch);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadFile(played), PlayedFor("b.wav"));
        EXPECT_NE(result.err.find("Keys are not read: standard input holds the file"),
                  std::string::npos)
            << result.err;
    }
    const Result twice = RunQuorvel({"play", "-", "-", "--fast"});
    EXPECT_EQ(twice.status, 1);
    EXPECT_TRUE(OneSentenceNaming(twice, "only one"));
}

// Real time: the module reads a file that is still being decoded, and a short read would end
// its playback early. A long FLAC, so that decoding is still going on when the module starts.
TEST_F(Playlist, RealTimeDecodingPlaysEverySampleAndLeavesNoTemporaryFile) {
    const std::string tmp = dir_ / "tmp";
    ::mkdir(tmp.c_str(), 0755);
    WriteFile(dir_ / "long.wav", MakeWav(Pattern(8000 * 2 * 120), 1, 1, 8000));  // 2 minutes
    ASSERT_EQ(Flac("long.wav", "long.flac"), 0);
    const std::string played = dir_ / "played.raw";
    {
        Process quorvel(
            Launch({"play", dir_ / "b.flac", "--output", "file:" + played}, {"TMPDIR=" + tmp}));
        const Result result = quorvel.Wait();
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadFile(played), PlayedFor("b.wav"));
    }
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        const std::string cut = dir_ / ("cut-" + std::to_string(signal) + ".raw");
        Process quorvel(
            Launch({"play", dir_ / "long.flac", "--output", "file:" + cut}, {"TMPDIR=" + tmp}));
        ASSERT_TRUE(WaitForSize(cut, static_cast<long>(kBlock)));
        quorvel.Signal(signal);
        quorvel.Wait();
        EXPECT_EQ(std::system(("test -z \"$(ls -A '" + tmp + "')\"").c_str()), 0)
            << "a temporary file was left in " << tmp;
        const Bytes all = ReadFile(cut);
        const Bytes whole = PlayedFor("long.wav");
        ASSERT_LT(all.size(), whole.size());
        EXPECT_TRUE(std::equal(all.begin(), all.end(), whole.begin()));
    }
}

TEST_F(Playlist, InfoJsonIsOneValidObjectWithWhatLibsndfileAndTheModuleRead) {
    // A title with a quote, a backslash, a control character and a byte that is not UTF-8.
    const std::string tagged = dir_ / "tagged.flac";
    ASSERT_EQ(std::system(("flac -s -f -T 'TITLE=say \"hi\" \\ \x01 \xFF' -T ARTIST=Someone -o '" +
                           tagged + "' '" + dir_ / "b.wav" + "'")
                              .c_str()),
              0);
    WriteFile(dir_ / "notes.wav", Bytes(100, 'x'));
    struct Case {
        std::string file;
        int status;
        std::vector<std::string> phrases;
        std::string check;  // Python, on the object `o`
    };
    const std::vector<Case> cases = {
        {tagged,
         0,
         {"\"plays\":\"converted\""},
         "o['libsndfile']['frames'] == 12000 and o['libsndfile']['rate'] == 8000 and "
         "o['libsndfile']['tags']['artist'] == 'Someone' and "
         "o['libsndfile']['tags']['title'].startswith('say \"hi\" \\\\ \\x01') and "
         "o['module'] is None"},
        {dir_ / "a.wav",
         0,
         {"\"plays\":\"as is\""},
         "o['module']['sampleRate'] == 8000 and o['module']['dataOffset'] == 44 and "
         "o['libsndfile']['codec'] == 'Signed 16 bit PCM'"},
        {dir_ / "notes.wav",
         2,
         {"\"plays\":\"refused\""},
         "o['libsndfile'] is None and 'not a WAV file' in o['problem']"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Result result = RunQuorvel({"info", "--json", c.file});
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(CountLines(result.out), 1) << result.out;
        for (const std::string& phrase : c.phrases)
            EXPECT_NE(result.out.find(phrase), std::string::npos) << result.out;
        WriteFile(dir_ / "info.json", Bytes(result.out.begin(), result.out.end()));
        const std::string script =
            "import json,sys\no = json.load(open(sys.argv[1]))\n"
            "sys.exit(0 if (" +
            c.check + ") else 1)\n";
        WriteFile(dir_ / "check.py", Bytes(script.begin(), script.end()));
        EXPECT_EQ(std::system(
                      ("python3 '" + dir_ / "check.py" + "' '" + dir_ / "info.json" + "'").c_str()),
                  0)
            << result.out;
    }
}

}  // namespace
