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

}  // namespace
}  // namespace quorvel_test
