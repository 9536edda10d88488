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

}  // namespace
}  // namespace quorvel_test
