// The Linux half of the pixel cross-check: draws the traces the Windows host drew through
// Wine's GDI, with the module's own trace code on the Linux device services, and compares the
// panels pixel by pixel with the ones the host wrote (qwf_wine_host.exe --panels DIR).
//
// Usage: qwf_linux_panel_check DIR
// Prints a line per panel with the share of pixels that agree and every pixel that differs,
// then a final "N passed, M failed"; exits 1 when any pixel differs or a panel is missing.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "display/trace_panel.h"
#include "quorvel/device.hpp"
#include "trace_cases.h"

namespace {

namespace device = quorvel::device;
using qwf_cross::kPanelHeight;
using qwf_cross::kPanelTop;
using qwf_cross::kPanelWidth;
using qwf_cross::PanelImage;

constexpr int kPanelPixels = kPanelWidth * kPanelHeight;
constexpr int kMostDifferencesListed = 60;

int passed = 0;
int failed = 0;
long agreeing = 0;
long compared = 0;

bool ReadPanelFile(const std::string& path, PanelImage& image) {
    std::ifstream in(path, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

// The panel of the Linux screen, as the Windows host reads its screen.
PanelImage LinuxPanel() {
    const std::vector<std::uint8_t> screen = device::ReadScreenRgb();
    const int width = device::GetScreenSize().width;
    PanelImage image;
    for (int y = kPanelTop; y < kPanelTop + kPanelHeight; ++y) {
        const auto row = screen.begin() + (static_cast<std::ptrdiff_t>(y) * width) * 3;
        image.insert(image.end(), row, row + kPanelWidth * 3);
    }
    return image;
}

const char* ColourName(std::uint32_t pixel) {
    if (pixel == qwf_cross::kTraceColor) return "trace";
    if (pixel == qwf_cross::kBackColor) return "background";
    return "other";
}

void Compare(const std::string& dir, const std::string& name, const PanelImage& linuxPanel) {
    const std::string path = dir + "/" + qwf_cross::PanelFileName(name);
    PanelImage wine;
    if (!ReadPanelFile(path, wine) || wine.size() != linuxPanel.size()) {
        std::printf("FAIL: panel %s: %s is missing or not a %dx%d RGB image\n", name.c_str(),
                    path.c_str(), kPanelWidth, kPanelHeight);
        ++failed;
        return;
    }
    int same = 0;
    std::vector<std::string> differences;
    for (int y = 0; y < kPanelHeight; ++y) {
        for (int x = 0; x < kPanelWidth; ++x) {
            const std::uint32_t w = qwf_cross::PixelAt(wine, x, y);
            const std::uint32_t l = qwf_cross::PixelAt(linuxPanel, x, y);
            if (w == l) {
                ++same;
            } else {
                differences.push_back("(" + std::to_string(x) + ", " +
                                      std::to_string(y + kPanelTop) + "): Wine " + ColourName(w) +
                                      ", Linux " + ColourName(l));
            }
        }
    }
    agreeing += same;
    compared += kPanelPixels;
    const bool ok = same == kPanelPixels;
    std::printf("%s: panel %s: %d of %d pixels agree between Wine's GDI and the Linux screen\n",
                ok ? "PASS" : "FAIL", name.c_str(), same, kPanelPixels);
    for (std::size_t i = 0; i < differences.size() && i < kMostDifferencesListed; ++i) {
        std::printf("  differs at %s\n", differences[i].c_str());
    }
    if (differences.size() > kMostDifferencesListed) {
        std::printf("  ... and %zu more\n", differences.size() - kMostDifferencesListed);
    }
    ++(ok ? passed : failed);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qwf_linux_panel_check DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    device::ResetAll();
    qwf::TracePanel panel;
    qwf::SetUp(panel, qwf_cross::kTraceColor, qwf_cross::kBackColor);
    for (const qwf_cross::TraceCase& c : qwf_cross::TraceCases()) {
        device::ClearScreen(0);
        qwf::Trace trace;
        qwf::BuildTrace(trace, c.samples.data(), qwf::PLAYBACK_FIRST_SAMPLE);
        qwf::Draw(panel, trace);
        const PanelImage image = LinuxPanel();
        // The Linux drawing is checked on its own first, so a blank screen cannot agree.
        const std::string problem =
            qwf_cross::CheckTrace(image, qwf_cross::ExpectedRows(c.samples, 0));
        std::printf("%s: the %s trace on the Linux screen%s%s\n", problem.empty() ? "PASS" : "FAIL",
                    c.name, problem.empty() ? "" : ": ", problem.c_str());
        ++(problem.empty() ? passed : failed);
        Compare(dir, c.name, image);
    }
    device::ClearScreen(0);
    qwf::Clear(panel);
    Compare(dir, "clear", LinuxPanel());

    std::printf("info: %ld of %ld panel pixels agree (%.4f%%)\n", agreeing, compared,
                compared == 0 ? 0.0 : 100.0 * static_cast<double>(agreeing) / compared);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
