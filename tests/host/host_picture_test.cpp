// The terminal picture in braille: two dots across for each half-block column, so a trace
// whose points are too close for half blocks stays apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "view/live_view.h"

namespace quorvel::host {
namespace {

// Which of a row's dot columns (two a cell) have a dot in dot row `dotRow` (0-3) of the cell.
std::vector<bool> DotColumns(const std::string& row, int dotRow) {
    // Braille: bits 0-2 and 6 are the left column's dots from the top, 3-5 and 7 the right's.
    const int left[] = {0, 1, 2, 6};
    const int right[] = {3, 4, 5, 7};
    std::vector<bool> columns;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i] == '\x1b') {
            i = row.find_first_of("mK", i);
            continue;
        }
        const auto byte = static_cast<unsigned char>(row[i]);
        if (byte != 0xE2 || i + 2 >= row.size()) continue;
        const unsigned point = ((byte & 0x0Fu) << 12) |
                               ((static_cast<unsigned char>(row[i + 1]) & 0x3Fu) << 6) |
                               (static_cast<unsigned char>(row[i + 2]) & 0x3Fu);
        i += 2;
        if (point < 0x2800 || point > 0x28FF) continue;
        const unsigned bits = point - 0x2800;
        columns.push_back((bits >> left[dotRow] & 1u) != 0);
        columns.push_back((bits >> right[dotRow] & 1u) != 0);
    }
    return columns;
}

TEST(TerminalPicture, BrailleKeepsApartLinesThatHalfBlocksMerge) {
    // A 240x320 black screen with a one-pixel vertical line at every other column of the panel.
    const int width = 240;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * 320 * 3, 0);
    for (int y = 60; y < 180; ++y) {
        for (int x = 0; x < width; x += 2)
            rgb[(static_cast<std::size_t>(y) * width + x) * 3 + 1] = 0xFF;
    }
    const PictureSize size{120, 101};  // a scale of 2: half blocks merge each pair of columns
    std::vector<std::string> rows;
    ASSERT_TRUE(RenderBraillePicture(rgb, width, kPanelRegion, size, Rgb{0, 0, 0}, &rows))
        << "libchafa could not be loaded";
    ASSERT_EQ(rows.size(), 51u);
    // Screen rows 60-179 are text rows 8-29; in the middle every line is its own dot column.
    const std::vector<bool> dots = DotColumns(rows[20], 1);
    ASSERT_EQ(dots.size(), 240u);
    int lines = 0;
    for (std::size_t x = 0; x < dots.size(); ++x) {
        EXPECT_EQ(dots[x], x % 2 == 0) << "dot column " << x;
        lines += dots[x] && (x == 0 || !dots[x - 1]) ? 1 : 0;
    }
    EXPECT_EQ(lines, 120);
    // Above the lines, nothing.
    const std::vector<bool> above = DotColumns(rows[5], 1);
    EXPECT_EQ(std::count(above.begin(), above.end(), true), 0);
}

}  // namespace
}  // namespace quorvel::host
