// The habits people bring from aplay, arecord and SoX, tried as they would type them.
#include <cstdio>
#include <regex>
#include <set>
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

// A tag's bytes that are not UTF-8 are each replaced by U+FFFD: the line stays valid JSON.
TEST(Habits, InfoJsonReplacesBytesOfTagsThatAreNotUtf8) {
    TempDir dir;
    const std::string tagged = dir / "tagged.wav";
    const std::string title = std::string("caf\xC3\xA9 \xFF\xFE!") + '\0';  // an even size
    Bytes list;
    const auto append = [&list](const std::string& text) {
        list.insert(list.end(), text.begin(), text.end());
    };
    append("LIST");
    Put(list, static_cast<std::uint32_t>(12 + title.size()), 4);
    append("INFOINAM");
    Put(list, static_cast<std::uint32_t>(title.size()), 4);
    append(title);
    WriteFile(tagged, MakeWav(Pattern(kBlock), 1, 1, 8000, 16, list));

    const Result result = RunQuorvel({"info", "--json", tagged});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(CountLines(result.out), 1);
    EXPECT_NE(result.out.find("\"title\":\"caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD!\""),
              std::string::npos)
        << result.out;
    WriteFile(dir / "info.json", Bytes(result.out.begin(), result.out.end()));
    EXPECT_EQ(std::system(("python3 -m json.tool '" + dir / "info.json" + "' >/dev/null").c_str()),
              0);
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
    EXPECT_TRUE(ShowsPicture(asked.err)) << "the picture asked for is drawn";

    const Result record =
        RunQuorvel({"record", "-", "-q", "--fast", "--seconds", "1", "--input", "ramp"});
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.err, "");
    EXPECT_EQ(record.out.size(), kHeader + 4 * kBlock);

    const Result missing = RunQuorvel({"--quiet", "play", "/nonexistent/take.wav"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(OneSentenceNaming(missing, "/nonexistent/take.wav"));
}

// What a shell command writes on standard output.
std::string Shell(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, got);
    }
    ::pclose(pipe);
    return out;
}

// The commands and the options (-q, --quiet, ...) a --help text lists.
std::set<std::string> Listed(const std::string& help) {
    std::set<std::string> listed;
    const std::regex line("\n  ([-a-z][^ \n]*)");
    for (std::sregex_iterator at(help.begin(), help.end(), line), end; at != end; ++at) {
        std::string words = (*at)[1];
        for (std::size_t comma; (comma = words.find(',')) != std::string::npos;) {
            listed.insert(words.substr(0, comma));
            words.erase(0, comma + 1);
        }
        listed.insert(words);
    }
    return listed;
}

TEST(Habits, ManPageRendersCleanAndNamesEveryCommandAndOptionOfTheHelp) {
    const std::string page = std::string(QWF_SOURCE_DIR) + "/docs/quorvel.1";
    EXPECT_EQ(Shell("groff -man -Tutf8 -ww -z '" + page + "' 2>&1"), "");
    const std::string text =
        Shell("groff -man -Tascii -rHY=0 -rLL=200n -P-c -P-b -P-o -P-u '" + page + "'");
    ASSERT_NE(text.find("SYNOPSIS"), std::string::npos) << "the page did not render";

    std::set<std::string> listed = Listed(RunQuorvel({"--help"}).out);
    for (const char* command : {"play", "record", "monitor", "info", "devices"}) {
        ASSERT_TRUE(listed.count(command)) << command << " is not in quorvel --help";
        const std::set<std::string> options = Listed(RunQuorvel({command, "--help"}).out);
        listed.insert(options.begin(), options.end());
    }
    EXPECT_GT(listed.size(), 15u);
    for (const std::string& name : listed) {
        const std::regex word("(^|[^-\\w])" + name + "($|[^-\\w])");
        EXPECT_TRUE(std::regex_search(text, word)) << name << " is not in quorvel.1";
    }
}

// As bash-completion runs it: a command, an option, and the names --output takes, among them a
// sound device's with a blank in it (from a stand-in for quorvel's list of them).
TEST(Habits, BashCompletionOffersCommandsOptionsAndDeviceNames) {
    TempDir dir;
    const std::string standIn = dir / "quorvel";
    // The real quorvel behind it sees no sound device, whatever the machine has.
    std::string command;  // quorvel as the tests start it, through the emulator in a cross build
    for (const std::string& word : std::vector<std::string>(QUORVEL_PROGRAM_LAUNCHER))
        command += "'" + word + "' ";
    std::FILE* script = std::fopen(standIn.c_str(), "w");
    ASSERT_NE(script, nullptr);
    std::fprintf(
        script,
        "#!/bin/sh\n[ \"$*\" = 'devices --names output' ] && echo 'Desk speakers'\n"
        "ALSA_CONFIG_PATH=/nonexistent PULSE_SERVER=unix:/nonexistent exec %s'%s' \"$@\"\n",
        command.c_str(), kProgram.c_str());
    std::fclose(script);
    ::chmod(standIn.c_str(), 0755);
    const std::string run = dir / "run.bash";
    script = std::fopen(run.c_str(), "w");
    ASSERT_NE(script, nullptr);
    std::fprintf(script, "%s", R"(source /usr/share/bash-completion/bash_completion
source "$1"/host/quorvel.bash-completion
complete -p quorvel >/dev/null || exit 1
offers() {
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _quorvel "$1" "${!#}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s|' "${COMPREPLY[@]}"
    echo
}
offers "$2" mon
offers "$2" record --se
offers "$2" play --output ''
)");
    std::fclose(script);
    const std::string offered = Shell("bash '" + run + "' '" QWF_SOURCE_DIR "' '" + standIn + "'");
    EXPECT_EQ(offered,
              "monitor|\n"
              "--seconds|\n"
              "Desk speakers|default|null|fast|file:|\n");
}

}  // namespace
}  // namespace quorvel_test
