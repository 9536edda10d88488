// Replays fuzz inputs without libFuzzer: calls the target once for every file named on the
// command line and every file in the folders named there (in name order), so the ordinary
// builds run the committed seeds and crash inputs as tests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_regular_file(argv[i])) {
            inputs.emplace_back(argv[i]);
            continue;
        }
        std::error_code missing;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], missing)) {
            const bool hidden = entry.path().filename().string().rfind('.', 0) == 0;
            if (entry.is_regular_file() && !hidden) inputs.push_back(entry.path());
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const std::filesystem::path& path : inputs) {
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);  // names the input if it crashes
        std::vector<std::uint8_t> bytes;
        {
            std::ifstream in(path, std::ios::binary);  // closed before the run, as libFuzzer does
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    // No input at all means the arguments were wrong, not that everything passed.
    return inputs.empty() ? 1 : 0;
}
