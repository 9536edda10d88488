// The device screen: GDI drawing conventions, object bookkeeping, the journal and PNG output.
#include <windows.h>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device_testing.hpp"

namespace qd = quorvel::device;

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

class ScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qd::ResetAll();
        dc_ = CreateDCW(u"DISPLAY", nullptr, nullptr, nullptr);
        ASSERT_NE(dc_, nullptr);
    }
    void TearDown() override { DeleteDC(dc_); }

    void UsePen(COLORREF color, int width = 1, int style = PS_SOLID) {
        SelectObject(dc_, CreatePen(style, width, color));
    }
    void UseBrush(COLORREF color) { SelectObject(dc_, CreateSolidBrush(color)); }
    static int CountColor(COLORREF color) {
        const qd::ScreenSize size = qd::GetScreenSize();
        int count = 0;
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) count += qd::ScreenPixel(x, y) == color;
        }
        return count;
    }

    HDC dc_ = nullptr;
};

TEST_F(ScreenTest, RectangleExcludesRightAndBottomWithPenBorderAroundBrush) {
    UseBrush(kRed);
    UsePen(kGreen);
    ASSERT_TRUE(Rectangle(dc_, 10, 20, 15, 26));
    for (int y = 15; y < 31; ++y) {
        for (int x = 5; x < 20; ++x) {
            const bool inside = x >= 10 && x < 15 && y >= 20 && y < 26;
            const bool border = inside && (x == 10 || x == 14 || y == 20 || y == 25);
            const COLORREF expected = !inside ? kBlack : border ? kGreen : kRed;
            ASSERT_EQ(qd::ScreenPixel(x, y), expected) << x << "," << y;
        }
    }
    // Corners given in reverse order mean the same rectangle.
    const std::vector<std::uint8_t> drawn = qd::ReadScreenRgb();
    qd::ClearScreen();
    ASSERT_TRUE(Rectangle(dc_, 15, 26, 10, 20));
    EXPECT_EQ(qd::ReadScreenRgb(), drawn);
    // Clipped at the screen's corner: only the right and bottom borders are visible.
    qd::ClearScreen();
    ASSERT_TRUE(Rectangle(dc_, -5, -5, 3, 3));
    EXPECT_EQ(qd::ScreenPixel(0, 0), kRed);
    EXPECT_EQ(qd::ScreenPixel(2, 0), kGreen);
    EXPECT_EQ(qd::ScreenPixel(0, 2), kGreen);
    EXPECT_EQ(qd::ScreenPixel(3, 0), kBlack);
    // An empty rectangle succeeds and draws nothing.
    const std::uint64_t generation = qd::ScreenGeneration();
    EXPECT_TRUE(Rectangle(dc_, 50, 50, 50, 90));
    EXPECT_EQ(qd::ScreenGeneration(), generation);
}

TEST_F(ScreenTest, RectangleUsesStockObjectsAndShrinksWithoutPen) {
    ASSERT_TRUE(Rectangle(dc_, 0, 0, 4, 4));  // stock black pen, white brush
    EXPECT_EQ(qd::ScreenPixel(0, 0), kBlack);
    EXPECT_EQ(qd::ScreenPixel(1, 1), kWhite);
    EXPECT_EQ(CountColor(kWhite), 4);

    UseBrush(kBlue);
    UsePen(kRed, 1, PS_NULL);
    ASSERT_TRUE(Rectangle(dc_, 100, 100, 104, 104));
    EXPECT_EQ(CountColor(kBlue), 9);  // GDI draws it a pixel smaller each way
    EXPECT_EQ(qd::ScreenPixel(103, 102), kBlack);
    EXPECT_EQ(CountColor(kRed), 0);
}

TEST_F(ScreenTest, PolylineLeavesItsLastPointToTheNextSegment) {
    UsePen(kGreen);
    const POINT dash[] = {{0, 0}, {3, 0}};
    ASSERT_TRUE(Polyline(dc_, dash, 2));
    EXPECT_EQ(qd::ScreenPixel(2, 0), kGreen);
    EXPECT_EQ(qd::ScreenPixel(3, 0), kBlack);
    EXPECT_EQ(CountColor(kGreen), 3);

    // The oscilloscope's flat trace: 240 points across row 128 colour x = 0..238.
    qd::ClearScreen();
    std::vector<POINT> trace;
    for (LONG x = 0; x < 240; ++x) trace.push_back(POINT{x, 128});
    ASSERT_TRUE(Polyline(dc_, trace.data(), static_cast<int>(trace.size())));
    EXPECT_EQ(qd::ScreenPixel(0, 128), kGreen);
    EXPECT_EQ(qd::ScreenPixel(238, 128), kGreen);
    EXPECT_EQ(qd::ScreenPixel(239, 128), kBlack);
    EXPECT_EQ(CountColor(kGreen), 239);

    // Too few points, or none, fail without drawing.
    qd::ClearScreen();
    EXPECT_FALSE(Polyline(dc_, dash, 1));
    EXPECT_FALSE(Polyline(dc_, nullptr, 2));
    EXPECT_EQ(CountColor(kGreen), 0);
}

TEST_F(ScreenTest, PolylineStepsOnePixelPerMajorAxisStep) {
    UsePen(kRed);
    const POINT shallow[] = {{0, 0}, {3, 1}};
    ASSERT_TRUE(Polyline(dc_, shallow, 2));
    EXPECT_EQ(qd::ScreenPixel(1, 0), kRed);
    EXPECT_EQ(qd::ScreenPixel(2, 1), kRed);
    EXPECT_EQ(CountColor(kRed), 3);

    // Steep and upward: one pixel on each row from 40 down to 21, drifting right by 5.
    qd::ClearScreen();
    const POINT steep[] = {{100, 40}, {105, 20}};
    ASSERT_TRUE(Polyline(dc_, steep, 2));
    EXPECT_EQ(CountColor(kRed), 20);
    int previousX = 99;
    for (int y = 40; y > 20; --y) {
        int x = previousX;
        while (x <= previousX + 2 && qd::ScreenPixel(x, y) != kRed) ++x;
        ASSERT_TRUE(x == previousX + 1 || x == previousX + 2) << "row " << y;
        previousX = x - 1;
    }
    EXPECT_EQ(qd::ScreenPixel(105, 20), kBlack);
}

TEST_F(ScreenTest, PolylineClipsFarCoordinatesQuickly) {
    UsePen(kBlue);
    const POINT across[] = {{-2000000000, 10}, {2000000000, 10}};
    ASSERT_TRUE(Polyline(dc_, across, 2));
    EXPECT_EQ(CountColor(kBlue), 240);

    qd::ClearScreen();
    const POINT diagonal[] = {{INT_MIN + 1, INT_MIN + 1}, {INT_MAX, INT_MAX}};
    ASSERT_TRUE(Polyline(dc_, diagonal, 2));
    EXPECT_EQ(CountColor(kBlue), 240);
    EXPECT_EQ(qd::ScreenPixel(239, 239), kBlue);
    EXPECT_EQ(qd::ScreenPixel(239, 240), kBlack);

    qd::ClearScreen();
    const POINT outside[] = {{INT_MIN, -5}, {INT_MAX, -3000}};
    const std::uint64_t generation = qd::ScreenGeneration();
    EXPECT_TRUE(Polyline(dc_, outside, 2));
    EXPECT_EQ(qd::ScreenGeneration(), generation);
}

// Steep lines that reach the screen more than 2^30 pixels across from their start: their
// vertical runs are found with products beyond 64 bits. Each row must hold exactly the pixel
// the line's definition puts there.
TEST_F(ScreenTest, SteepLinesFromFarAwayMatchTheirDefinition) {
    UsePen(kBlue);
    const qd::ScreenSize size = qd::GetScreenSize();
    const POINT lines[][2] = {
        {{-2000000000, -2140000000}, {100, 200}},              // down and right
        {{2000000000, 2140000000}, {100, 30}},                 // up and left
        {{INT_MIN + 100, INT_MIN}, {INT_MAX - 300, INT_MAX}},  // the longest, rightwards
        {{INT_MAX - 100, INT_MIN}, {INT_MIN + 300, INT_MAX}},  // the longest, leftwards
        {{-1100000000, -1200000000}, {239, 100}},              // just past 2^30 across
        {{-1073741824, INT_MIN}, {200, 400}},                  // rising half a pixel a row: ties
    };
    for (const auto& line : lines) {
        qd::ClearScreen();
        ASSERT_TRUE(Polyline(dc_, line, 2));
        const std::int64_t dx = std::int64_t{line[1].x} - line[0].x;
        const std::int64_t dy = std::int64_t{line[1].y} - line[0].y;
        ASSERT_LT(std::abs(dx), std::abs(dy));
        const auto run = static_cast<std::uint64_t>(std::abs(dy));
        const auto rise = static_cast<std::uint64_t>(std::abs(dx));
        int expectedPixels = 0;
        for (int y = 0; y < size.height; ++y) {
            const std::int64_t step = (dy > 0 ? 1 : -1) * (std::int64_t{y} - line[0].y);
            std::int64_t expectedX = -1;
            if (step >= 0 && static_cast<std::uint64_t>(step) < run) {
                // step * rise / run rounded half up, as the line's definition says.
                const std::uint64_t product = static_cast<std::uint64_t>(step) * rise;
                const auto offset =
                    static_cast<std::int64_t>(product / run + (2 * (product % run) >= run));
                expectedX = line[0].x + (dx >= 0 ? offset : -offset);
            }
            expectedPixels += expectedX >= 0 && expectedX < size.width;
            for (int x = 0; x < size.width; ++x) {
                ASSERT_EQ(qd::ScreenPixel(x, y), x == expectedX ? kBlue : kBlack)
                    << "line to (" << line[1].x << ", " << line[1].y << ") at (" << x << ", " << y
                    << ")";
            }
        }
        EXPECT_GT(expectedPixels, 50) << "line to (" << line[1].x << ", " << line[1].y << ")";
    }
}

TEST_F(ScreenTest, WidePenDrawsASquareAroundEachPixelAndNullPenNothing) {
    UsePen(kGreen, 3);
    const POINT line[] = {{10, 50}, {20, 50}};
    ASSERT_TRUE(Polyline(dc_, line, 2));
    EXPECT_EQ(CountColor(kGreen), 12 * 3);  // x 9..20, y 49..51
    EXPECT_EQ(qd::ScreenPixel(9, 49), kGreen);
    EXPECT_EQ(qd::ScreenPixel(20, 51), kGreen);

    qd::ClearScreen();
    UsePen(kGreen, 1, PS_NULL);
    EXPECT_TRUE(Polyline(dc_, line, 2));
    EXPECT_EQ(CountColor(kGreen), 0);
}

// Rectangles and lines, on and partly off the screen, thin and wide, drawn pixel by pixel from
// their definitions: the screen's row fills and carried line steps must give the same picture.
TEST_F(ScreenTest, DrawingMatchesAPixelByPixelModel) {
    const qd::ScreenSize size = qd::GetScreenSize();
    std::vector<COLORREF> model(static_cast<std::size_t>(size.width) * size.height, kBlack);
    const auto put = [&](std::int64_t x, std::int64_t y, COLORREF color) {
        if (x >= 0 && y >= 0 && x < size.width && y < size.height) {
            model[static_cast<std::size_t>(y) * size.width + static_cast<std::size_t>(x)] = color;
        }
    };
    std::mt19937 random(5);
    const auto coordinate = [&] { return std::uniform_int_distribution<int>(-60, 380)(random); };
    int width = 1, left = 0, top = 0, right = 0, bottom = 0;
    COLORREF pen = kBlack, brush = kBlack;
    for (int round = 0; round < 200; ++round) {
        // Most rounds draw the last rectangle again over the lines drawn since, as a trace
        // panel is drawn block after block; now and then the screen is cleared in between.
        if (round % 4 == 0) {
            width = 1 + (round / 4) % 4;
            left = coordinate(), top = coordinate(), right = coordinate(), bottom = coordinate();
            pen = RGB(round, 255 - round, 7);
            brush = RGB(255 - round, 3, round);
        }
        if (round % 7 == 3) {
            qd::ClearScreen();
            std::fill(model.begin(), model.end(), kBlack);
        }
        UsePen(pen, width);
        UseBrush(brush);
        ASSERT_TRUE(Rectangle(dc_, left, top, right, bottom));
        const int l = std::min(left, right), r = std::max(left, right);
        const int t = std::min(top, bottom), b = std::max(top, bottom);
        for (int y = t; y < b; ++y) {
            for (int x = l; x < r; ++x) {
                const bool border =
                    y < t + width || y >= b - width || x < l + width || x >= r - width;
                put(x, y, border ? pen : brush);
            }
        }

        const POINT ends[] = {{coordinate(), coordinate()}, {coordinate(), coordinate()}};
        ASSERT_TRUE(Polyline(dc_, ends, 2));
        const std::int64_t dx = ends[1].x - ends[0].x, dy = ends[1].y - ends[0].y;
        const bool xMajor = std::abs(dx) >= std::abs(dy);
        const std::int64_t run = std::abs(xMajor ? dx : dy), rise = std::abs(xMajor ? dy : dx);
        const int majorSign = (xMajor ? dx : dy) > 0 ? 1 : -1;
        const int minorSign = (xMajor ? dy : dx) >= 0 ? 1 : -1;
        for (std::int64_t step = 0; step < run; ++step) {
            // Rounded half up, as the line's definition says.
            const std::int64_t offset = (2 * step * rise + run) / (2 * run);
            const std::int64_t major = (xMajor ? ends[0].x : ends[0].y) + majorSign * step;
            const std::int64_t minor = (xMajor ? ends[0].y : ends[0].x) + minorSign * offset;
            for (int oy = -((width - 1) / 2); oy <= width / 2; ++oy) {
                for (int ox = -((width - 1) / 2); ox <= width / 2; ++ox) {
                    if (xMajor) {
                        put(major + ox, minor + oy, pen);
                    } else {
                        put(minor + ox, major + oy, pen);
                    }
                }
            }
        }
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                ASSERT_EQ(qd::ScreenPixel(x, y),
                          model[static_cast<std::size_t>(y) * size.width + x])
                    << "round " << round << " at (" << x << ", " << y << ")";
            }
        }
    }
}

TEST_F(ScreenTest, SelectObjectSwapsAndDeleteWaitsForDeselection) {
    HBRUSH red = CreateSolidBrush(kRed);
    HPEN pen = CreatePen(PS_SOLID, 1, kBlue);
    const HGDIOBJ stockBrush = SelectObject(dc_, red);
    ASSERT_NE(stockBrush, nullptr);
    EXPECT_NE(stockBrush, static_cast<HGDIOBJ>(red));
    const HGDIOBJ stockPen = SelectObject(dc_, pen);
    ASSERT_NE(stockPen, nullptr);
    EXPECT_NE(stockPen, stockBrush);
    EXPECT_EQ(SelectObject(dc_, red), static_cast<HGDIOBJ>(red));

    EXPECT_FALSE(DeleteObject(red)) << "still selected";
    EXPECT_EQ(SelectObject(dc_, stockBrush), static_cast<HGDIOBJ>(red));
    EXPECT_TRUE(DeleteObject(red));
    EXPECT_FALSE(DeleteObject(red)) << "already deleted";
    EXPECT_EQ(SelectObject(dc_, red), nullptr);
    EXPECT_EQ(SelectObject(nullptr, pen), nullptr);
    EXPECT_EQ(SelectObject(dc_, dc_), nullptr);
    EXPECT_EQ(SelectObject(dc_, reinterpret_cast<HGDIOBJ>(0x5678)), nullptr);

    // Deleting the context releases the pen it held.
    EXPECT_FALSE(DeleteObject(pen));
    EXPECT_TRUE(DeleteDC(dc_));
    EXPECT_TRUE(DeleteObject(pen));
    dc_ = nullptr;
}

TEST_F(ScreenTest, BadContextsFailAndDrawNothing) {
    EXPECT_NE(CreateDCW(u"display", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateDCW(u"PRINTER", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateDCW(u"DISPLAYS", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateDCW(nullptr, nullptr, nullptr, nullptr), nullptr);

    HDC gone = CreateDCW(u"DISPLAY", nullptr, nullptr, nullptr);
    ASSERT_TRUE(DeleteDC(gone));
    EXPECT_FALSE(DeleteDC(gone));
    const POINT line[] = {{0, 0}, {9, 0}};
    const std::uint64_t generation = qd::ScreenGeneration();
    for (HDC bad : {static_cast<HDC>(nullptr), gone, reinterpret_cast<HDC>(0x1230)}) {
        EXPECT_FALSE(Rectangle(bad, 0, 0, 10, 10));
        EXPECT_FALSE(Polyline(bad, line, 2));
        EXPECT_EQ(GetPixel(bad, 0, 0), CLR_INVALID);
    }
    EXPECT_EQ(qd::ScreenGeneration(), generation);
    EXPECT_EQ(CountColor(kBlack), 240 * 320);
}

TEST_F(ScreenTest, PixelsReadBackThroughEveryView) {
    UseBrush(RGB(1, 2, 3) | 0x02000000);  // the palette byte is not part of the colour
    UsePen(RGB(1, 2, 3));
    ASSERT_TRUE(Rectangle(dc_, 5, 7, 6, 8));
    EXPECT_EQ(GetPixel(dc_, 5, 7), RGB(1, 2, 3));
    EXPECT_EQ(GetPixel(dc_, 240, 0), CLR_INVALID);
    EXPECT_EQ(qd::ScreenPixel(-1, 0), CLR_INVALID);
    const std::vector<std::uint8_t> rgb = qd::ReadScreenRgb();
    ASSERT_EQ(rgb.size(), 240u * 320u * 3u);
    const std::size_t at = (7 * 240 + 5) * 3;
    EXPECT_EQ((std::vector<std::uint8_t>{rgb[at], rgb[at + 1], rgb[at + 2]}),
              (std::vector<std::uint8_t>{1, 2, 3}));

    // Redrawing the same pixels does not count as a change; resizing and clearing do.
    std::uint64_t generation = qd::ScreenGeneration();
    ASSERT_TRUE(Rectangle(dc_, 5, 7, 6, 8));
    EXPECT_EQ(qd::ScreenGeneration(), generation);
    EXPECT_FALSE(qd::SetScreenSize(0, 10));
    EXPECT_FALSE(qd::SetScreenSize(10, 4097));
    ASSERT_TRUE(qd::SetScreenSize(16, 8));
    EXPECT_GT(qd::ScreenGeneration(), generation);
    EXPECT_EQ(qd::ScreenPixel(5, 7), kBlack);
    EXPECT_EQ(qd::ScreenPixel(16, 0), CLR_INVALID);
    generation = qd::ScreenGeneration();
    qd::ClearScreen(kBlue);
    EXPECT_EQ(CountColor(kBlue), 16 * 8);
    EXPECT_GT(qd::ScreenGeneration(), generation);

    qd::ResetAll();
    EXPECT_EQ(qd::GetScreenSize().width, 240);
    EXPECT_EQ(qd::GetScreenSize().height, 320);
    EXPECT_EQ(CountColor(kBlack), 240 * 320);
}

TEST_F(ScreenTest, JournalRecordsEachCallInOrder) {
    DeleteDC(dc_);  // recreate it with the journal on
    qd::EnableJournal(true);
    dc_ = CreateDCW(u"DISPLAY", nullptr, nullptr, nullptr);
    HBRUSH brush = CreateSolidBrush(kBlack);
    HPEN pen = CreatePen(PS_SOLID, 1, kGreen);
    SelectObject(dc_, brush);
    SelectObject(dc_, pen);
    Rectangle(dc_, 0, 26, 240, 228);
    std::vector<POINT> trace;
    for (LONG x = 0; x < 240; ++x) trace.push_back(POINT{x, 128});
    Polyline(dc_, trace.data(), 240);
    GetPixel(dc_, 5, 128);
    CreateDCW(u"Printer \"1\"", nullptr, nullptr, nullptr);
    qd::EnableJournal(false);
    Rectangle(nullptr, 0, 0, 1, 1);

    const std::vector<std::string> lines = qd::JournalEntries();
    ASSERT_EQ(lines.size(), 9u);
    const auto result = [&](std::size_t i) { return lines[i].substr(lines[i].rfind(' ') + 1); };
    const std::string hdc = result(0), brushName = result(1), penName = result(2);
    EXPECT_EQ(hdc.rfind("hdc", 0), 0u);
    EXPECT_EQ(brushName.rfind("brush", 0), 0u);
    EXPECT_EQ(penName.rfind("pen", 0), 0u);
    EXPECT_EQ(result(3).rfind("brush", 0), 0u);
    EXPECT_NE(result(3), brushName);
    EXPECT_EQ(result(4).rfind("pen", 0), 0u);
    const std::vector<std::string> expected = {
        "CreateDCW(\"DISPLAY\", null, null, null) = " + hdc,
        "CreateSolidBrush(0x00000000) = " + brushName,
        "CreatePen(0, 1, 0x0000FF00) = " + penName,
        "SelectObject(" + hdc + ", " + brushName + ") = " + result(3),
        "SelectObject(" + hdc + ", " + penName + ") = " + result(4),
        "Rectangle(" + hdc + ", 0, 26, 240, 228) = 1",
        "Polyline(" + hdc + ", 240 points) = 1",
        "GetPixel(" + hdc + ", 5, 128) = 0x0000FF00",
        "CreateDCW(\"Printer \\\"1\\\"\", null, null, null) = null",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(ScreenTest, ConcurrentDrawingOnOneContextLeavesOnlyTheTwoColours) {
    std::vector<POINT> trace;
    for (LONG x = 0; x <= 240; ++x) trace.push_back(POINT{x, 60 + (x % 40)});
    const auto drawOnce = [&] {
        Polyline(dc_, trace.data(), static_cast<int>(trace.size()));
        Rectangle(dc_, 10, 200, 60, 250);
    };
    // The pixels one pass draws in the pen's colour, to compare the race's result against.
    UsePen(kGreen);
    drawOnce();
    const std::vector<std::uint8_t> reference = qd::ReadScreenRgb();
    qd::ClearScreen();

    HPEN red = CreatePen(PS_SOLID, 1, kRed);
    HPEN blue = CreatePen(PS_SOLID, 1, kBlue);
    const auto draw = [&](HPEN pen, std::vector<HGDIOBJ>* previous) {
        for (int i = 0; i < 300; ++i) {
            previous->push_back(SelectObject(dc_, pen));
            drawOnce();
        }
    };
    std::vector<HGDIOBJ> redPrevious, bluePrevious;
    std::thread redThread(draw, red, &redPrevious);
    std::thread blueThread(draw, blue, &bluePrevious);
    std::thread other([] {
        for (int i = 0; i < 100; ++i) {
            DeleteObject(CreateSolidBrush(kGreen));
            (void)qd::ReadScreenRgb();
        }
    });
    redThread.join();
    blueThread.join();
    other.join();

    const std::vector<std::uint8_t> rgb = qd::ReadScreenRgb();
    ASSERT_EQ(rgb.size(), reference.size());
    int penPixels = 0;
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        const COLORREF expected = RGB(reference[i], reference[i + 1], reference[i + 2]);
        const COLORREF actual = RGB(rgb[i], rgb[i + 1], rgb[i + 2]);
        if (expected == kGreen) {
            ++penPixels;
            ASSERT_TRUE(actual == kRed || actual == kBlue) << "pixel " << i / 3;
        } else {
            ASSERT_EQ(actual, expected) << "pixel " << i / 3;
        }
    }
    EXPECT_GT(penPixels, 240 + 196);
    const auto isOurPen = [&](HGDIOBJ pen) {
        return pen == static_cast<HGDIOBJ>(red) || pen == static_cast<HGDIOBJ>(blue);
    };
    for (const auto* previous : {&redPrevious, &bluePrevious}) {
        // Only the very first swap can hand back the pen selected before the race.
        for (std::size_t i = 1; i < previous->size(); ++i) ASSERT_TRUE(isOurPen((*previous)[i]));
    }
}

// The device library loads libpng when it writes a PNG; the test loads the same library
// through the dynamic loader so it can compare decoded pixels, not just the header.
std::vector<std::uint8_t> DecodePng(const std::string& path, int* width, int* height) {
    using Begin = decltype(&png_image_begin_read_from_file);
    using Finish = decltype(&png_image_finish_read);
    void* library = dlopen("libpng16.so.16", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return {};
    const auto begin = reinterpret_cast<Begin>(dlsym(library, "png_image_begin_read_from_file"));
    const auto finish = reinterpret_cast<Finish>(dlsym(library, "png_image_finish_read"));
    if (begin == nullptr || finish == nullptr) return {};
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!begin(&image, path.c_str())) return {};
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!finish(&image, nullptr, pixels.data(), 0, nullptr)) return {};
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return pixels;
}

TEST_F(ScreenTest, WritesThePngAndNamesTheFileOnFailure) {
    ASSERT_TRUE(qd::SetScreenSize(7, 5));
    UseBrush(RGB(10, 20, 30));
    UsePen(RGB(200, 100, 50));
    ASSERT_TRUE(Rectangle(dc_, 1, 1, 6, 4));

    char pattern[] = "/tmp/qwf-screen-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    const std::string path = (dir / "screen.png").string();
    std::string error = "untouched";
    ASSERT_TRUE(qd::WriteScreenPng(path, &error));
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(bytes.size(), 33u);
    EXPECT_EQ(std::memcmp(bytes.data(),
                          "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x07\0\0\0\x05\x08\x02", 26),
              0);  // signature, 7 x 5, 8-bit RGB
    int width = 0, height = 0;
    EXPECT_EQ(DecodePng(path, &width, &height), qd::ReadScreenRgb());
    EXPECT_EQ(width, 7);
    EXPECT_EQ(height, 5);

    const std::string missing = (dir / "no" / "x.png").string();
    EXPECT_FALSE(qd::WriteScreenPng(missing, &error));
    EXPECT_EQ(error, "Cannot write the screen to \"" + missing + "\": No such file or directory.");
    EXPECT_FALSE(qd::WriteScreenPng(missing));
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(qd::WriteScreenPng("/dev/full", &error));
        EXPECT_EQ(error, "Cannot write the screen to \"/dev/full\": No space left on device.");
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
