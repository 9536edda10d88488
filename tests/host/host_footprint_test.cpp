// What playing costs in libraries: a canonical WAV goes to the module as it stands, so none of
// quorvel's own files (the program, the services, the module) needs or loads libsndfile,
// libsamplerate or libpng to play one. (libpulse brings libsndfile along itself.)
#include <dirent.h>

#include <set>
#include <sstream>

#include "quorvel_process.h"

namespace quorvel_test {
namespace {

// The libraries, of the module and the three, that a file in the program's folder needed or
// that the program loaded at run time (through whatever stands between it and the loader, as
// a sanitizer's runtime does), from the dynamic loader's own account of the run.
std::set<std::string> LoadedByQuorvel(const std::vector<std::string>& args) {
    const TempDir dir;
    const Result result =
        RunQuorvel(Launch(args, {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + (dir / "ld")}));
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string ours = " by " + kProgram.substr(0, kProgram.rfind('/') + 1);
    std::set<std::string> loaded;
    DIR* folder = ::opendir(dir.path().c_str());
    for (dirent* entry = folder != nullptr ? ::readdir(folder) : nullptr; entry != nullptr;
         entry = ::readdir(folder)) {
        if (std::string(entry->d_name).rfind("ld.", 0) != 0) continue;
        const Bytes bytes = ReadFile(dir / entry->d_name);
        std::istringstream log(std::string(bytes.begin(), bytes.end()));
        // "file=LIB [0];  needed by BY [0]", "file=LIB [0];  dynamically loaded by BY [0]"
        for (std::string line; std::getline(log, line);) {
            const std::size_t file = line.find("file=");
            const bool byUs = line.find("needed" + ours) != std::string::npos ||
                              line.find("dynamically loaded by ") != std::string::npos;
            if (file == std::string::npos || !byUs) continue;
            for (const char* name :
                 {"libQuorvelWaveForm.so", "libsndfile.so", "libsamplerate.so", "libpng16.so"}) {
                if (line.find(name, file) < line.find(" [", file)) loaded.insert(name);
            }
        }
    }
    if (folder != nullptr) ::closedir(folder);
    return loaded;
}

TEST(Footprint, ACanonicalWavPlaysWithNeitherDecoderNorResamplerNorPngLibrary) {
    const TempDir dir;
    WriteFile(dir / "canonical.wav", MakeWav(Pattern(3 * kBlock)));
    // The module is loaded by quorvel on every play: seen here, the loader's account was read.
    EXPECT_EQ(LoadedByQuorvel(
                  {"play", dir / "canonical.wav", "--fast", "--output", "null", "--view", "none"}),
              std::set<std::string>{"libQuorvelWaveForm.so"});
}

}  // namespace
}  // namespace quorvel_test
