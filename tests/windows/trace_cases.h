// The traces drawn on both platforms for the pixel cross-check, the panel's geometry, the
// colours, the raw panel image files the Windows host writes, and the trace rows computed
// independently of the module. Plain C++ so the Windows host and the Linux check share it.
#ifndef QWF_TESTS_WINDOWS_TRACE_CASES_H
#define QWF_TESTS_WINDOWS_TRACE_CASES_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace qwf_cross {

constexpr int kPanelLeft = 0;
constexpr int kPanelTop = 26;
constexpr int kPanelWidth = 240;
constexpr int kPanelHeight = 202;
constexpr int kTracePoints = 240;
constexpr int kTraceStride = 8;
constexpr std::uint32_t kTraceColor = 0x0000C8FF;  // RGB(255, 200, 0)
constexpr std::uint32_t kBackColor = 0x00600000;   // RGB(0, 0, 96)

// A case's file holds one block less one sample, so playback draws it once at the start and
// never again: the panel stays as drawn until the next playback.
constexpr int kCaseSamples = 1999;

struct TraceCase {
    const char* name;
    std::vector<std::int16_t> samples;
};

inline std::int16_t Clamp16(double value) {
    if (value > 32767.0) return 32767;
    if (value < -32768.0) return -32768;
    return static_cast<std::int16_t>(std::lround(value));
}

// Slopes of every steepness both ways, long vertical jumps, flat runs, the extremes of the
// sample range, and rows whose double arithmetic lands exactly on an integer.
inline std::vector<TraceCase> TraceCases() {
    std::vector<TraceCase> cases;
    const double pi = std::acos(-1.0);
    const auto make = [&](const char* name, auto sampleAt) {
        TraceCase c{name, std::vector<std::int16_t>(kCaseSamples)};
        for (int n = 0; n < kCaseSamples; ++n) c.samples[n] = sampleAt(n);
        cases.push_back(c);
    };
    make("tones", [&](int n) {
        return Clamp16(20000.0 * std::sin(2 * pi * 12 * n / 8000.0) +
                       9000.0 * std::sin(2 * pi * 300 * n / 8000.0));
    });
    make("square", [](int n) { return static_cast<std::int16_t>((n / 24) % 2 ? -32768 : 32767); });
    make("ramp", [](int n) { return static_cast<std::int16_t>(-32768 + n * 65535 / 1998); });
    std::uint32_t state = 12345;
    make("noise", [&](int) {
        state = state * 1103515245u + 12345u;
        return static_cast<std::int16_t>(static_cast<std::int32_t>(state >> 8) % 65536 - 32768);
    });
    // Rows stepping away from the centre by 1, 2, 3, ... rows, up and down in turn.
    make("steps", [](int n) {
        const int point = n / kTraceStride;
        const int offset = (point % 2 ? -1 : 1) * (point % 97);
        return static_cast<std::int16_t>(offset * 7 / 5 * 240);
    });
    // Multiples of 7 * 240: the rows a wider floating-point type would round down by one.
    make("sevens", [](int n) {
        const int point = n / kTraceStride;
        return static_cast<std::int16_t>(((point % 39) - 19) * 7 * 240);
    });
    return cases;
}

// The row of one sample: 128 plus five sevenths of the sample's 240s (counted towards zero),
// rounded down; in integers, independent of the module's floating-point mapping.
inline int ExpectedRow(std::int16_t sample) {
    const int quotient = sample / 240;
    const int scaled = 5 * quotient;
    const int floor = scaled >= 0 ? scaled / 7 : -((-scaled + 6) / 7);
    return 128 + floor;
}

inline std::vector<int> ExpectedRows(const std::vector<std::int16_t>& samples, int first) {
    std::vector<int> rows;
    for (int i = 0; i < kTracePoints; ++i) rows.push_back(ExpectedRow(samples[first + 8 * i]));
    return rows;
}

// The panel image: kPanelHeight rows of kPanelWidth pixels, each R, G, B, top row first.
using PanelImage = std::vector<std::uint8_t>;

inline std::string PanelFileName(const std::string& caseName) {
    return "panel-" + caseName + ".rgb";
}

inline std::uint32_t PixelAt(const PanelImage& image, int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(y) * kPanelWidth + x) * 3;
    return image[at] | (image[at + 1] << 8) | (static_cast<std::uint32_t>(image[at + 2]) << 16);
}

// Empty when the panel shows exactly the cleared panel: the border in the trace colour and
// the background inside; otherwise the first difference.
inline std::string CheckCleared(const PanelImage& image) {
    for (int y = 0; y < kPanelHeight; ++y) {
        for (int x = 0; x < kPanelWidth; ++x) {
            const bool border = x == 0 || x == kPanelWidth - 1 || y == 0 || y == kPanelHeight - 1;
            const std::uint32_t want = border ? kTraceColor : kBackColor;
            if (PixelAt(image, x, y) != want) {
                return "pixel (" + std::to_string(x) + ", " + std::to_string(y + kPanelTop) +
                       ") is not the " + (border ? "border's trace colour" : "background");
            }
        }
    }
    return {};
}

// Empty when the panel shows the trace of `rows` over the cleared panel, whatever pixels the
// line picks between two points: every point from x = 1 to 238 lies on the line, each column
// has trace pixels only between its neighbours' rows, the border is whole and nothing else
// is drawn. Otherwise the first difference.
inline std::string CheckTrace(const PanelImage& image, const std::vector<int>& rows) {
    for (int x = 0; x < kPanelWidth; ++x) {
        for (const int y : {0, kPanelHeight - 1}) {
            if (PixelAt(image, x, y) != kTraceColor) {
                return "border pixel (" + std::to_string(x) + ", " + std::to_string(y + kPanelTop) +
                       ") is not the trace colour";
            }
        }
    }
    for (int y = 1; y < kPanelHeight - 1; ++y) {
        for (const int x : {0, kPanelWidth - 1}) {
            if (PixelAt(image, x, y) != kTraceColor) {
                return "border pixel (" + std::to_string(x) + ", " + std::to_string(y + kPanelTop) +
                       ") is not the trace colour";
            }
        }
    }
    for (int x = 1; x < kPanelWidth - 1; ++x) {
        const int row = rows[x];
        if (PixelAt(image, x, row - kPanelTop) != kTraceColor) {
            return "point " + std::to_string(x) + " at (" + std::to_string(x) + ", " +
                   std::to_string(row) + ") is not drawn";
        }
        const int low = std::min(row, std::min(rows[x - 1], rows[x + 1]));
        const int high = std::max(row, std::max(rows[x - 1], rows[x + 1]));
        for (int y = kPanelTop + 1; y < kPanelTop + kPanelHeight - 1; ++y) {
            const std::uint32_t pixel = PixelAt(image, x, y - kPanelTop);
            if (pixel != kTraceColor && pixel != kBackColor) {
                return "pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                       ") is neither the trace colour nor the background";
            }
            if ((y < low || y > high) && pixel != kBackColor) {
                return "stray trace pixel at (" + std::to_string(x) + ", " + std::to_string(y) +
                       "), outside rows " + std::to_string(low) + "-" + std::to_string(high);
            }
        }
    }
    return {};
}

}  // namespace qwf_cross

#endif
