// The trace panel: the sample-to-row mapping, which samples a trace shows, the order of the
// panel's set-up calls, and what Clear and Draw leave on the screen.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "display/trace_panel.h"
#include "quorvel/device_testing.hpp"
#include "support/test_support.h"

namespace qwf {
namespace {

namespace device = quorvel::device;

constexpr COLORREF kGreen = 0x0000FF00;
constexpr COLORREF kNavy = 0x00400000;

// Puts `value` into a block as files and devices hold it: two little-endian bytes.
void Store(Sample* block, int index, int value) {
    auto* bytes = reinterpret_cast<unsigned char*>(block + index);
    bytes[0] = static_cast<unsigned char>(value & 0xFF);
    bytes[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

TEST(TraceMapping, ListedSamplesLandOnTheirRows) {
    EXPECT_EQ(TraceRow(0), 128);
    EXPECT_EQ(TraceRow(-240), 127);
    EXPECT_EQ(TraceRow(240), 128);
    EXPECT_EQ(TraceRow(480), 129);
    EXPECT_EQ(TraceRow(-32768), 30);
    EXPECT_EQ(TraceRow(32767), 225);
    // The band at 128 is lopsided: -239..479 all give 128.
    EXPECT_EQ(TraceRow(-239), 128);
    EXPECT_EQ(TraceRow(479), 128);
    for (int s = -479; s <= -240; ++s) ASSERT_EQ(TraceRow(static_cast<Sample>(s)), 127) << s;
    for (int s = 480; s <= 719; ++s) ASSERT_EQ(TraceRow(static_cast<Sample>(s)), 129) << s;
}

TEST(TraceMapping, UsesExactlyTheRows30To225AndMatchesAnIndependentFormula) {
    std::set<int> rows;
    for (int s = -32768; s <= 32767; ++s) {
        const int row = TraceRow(static_cast<Sample>(s));
        ASSERT_EQ(row, test::ExpectedRow(static_cast<Sample>(s))) << s;
        rows.insert(row);
    }
    EXPECT_EQ(rows.size(), 196u);
    EXPECT_EQ(*rows.begin(), 30);
    EXPECT_EQ(*rows.rbegin(), 225);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &TRACE_SCALE, sizeof bits);
    EXPECT_EQ(bits, 0x3FE6DB6DB6DB6DB7ull);
}

TEST(TraceBuilding, PlaybackShowsSamplesFromZeroAndRecordingFromOne) {
    Sample block[BLOCK_SAMPLES];
    // Each sample's value names its index (scaled so every index has its own row band).
    const auto valueAt = [](int i) { return static_cast<Sample>(i * 16 - 16000); };
    for (int i = 0; i < BLOCK_SAMPLES; ++i) Store(block, i, valueAt(i));
    Trace playback;
    Trace recording;
    BuildTrace(playback, block, PLAYBACK_FIRST_SAMPLE);
    BuildTrace(recording, block, RECORDING_FIRST_SAMPLE);
    for (int i = 0; i < TRACE_POINTS; ++i) {
        EXPECT_EQ(playback[i].x, i);
        EXPECT_EQ(recording[i].x, i);
        EXPECT_EQ(playback[i].y, TraceRow(valueAt(8 * i)));
        EXPECT_EQ(recording[i].y, TraceRow(valueAt(8 * i + 1)));
    }

    // Samples outside 0, 8, ..., 1912 (or 1, 9, ..., 1913) never reach a trace.
    Sample marked[BLOCK_SAMPLES] = {};
    for (int i = 0; i < BLOCK_SAMPLES; ++i) {
        if (i % 8 != 0) Store(marked, i, -32768);
    }
    BuildTrace(playback, marked, PLAYBACK_FIRST_SAMPLE);
    for (const POINT& point : playback) EXPECT_EQ(point.y, 128);
    std::memset(marked, 0, sizeof marked);
    Store(marked, 0, 32767);
    for (int i = 1914; i < BLOCK_SAMPLES; ++i) Store(marked, i, 32767);
    BuildTrace(recording, marked, RECORDING_FIRST_SAMPLE);
    for (const POINT& point : recording) EXPECT_EQ(point.y, 128);
}

// A block's bytes are little-endian samples on every host: read in the host's own order, a
// big-endian host would draw 0x0080 (128) for the bytes 00 80 (-32768).
TEST(TraceBuilding, ReadsEachSampleAsTwoLittleEndianBytes) {
    struct Case {
        unsigned char low, high;
        int row;
    };
    const Case cases[] = {{0x00, 0x80, 30},
                          {0xFF, 0x7F, 225},
                          {0x80, 0x00, 128},
                          {0x10, 0x27, TraceRow(10000)},
                          {0xF0, 0xD8, TraceRow(-10000)}};
    for (const Case& c : cases) {
        Sample block[BLOCK_SAMPLES] = {};
        for (int i = 0; i < BLOCK_SAMPLES; ++i) {
            auto* bytes = reinterpret_cast<unsigned char*>(block + i);
            bytes[0] = c.low;
            bytes[1] = c.high;
        }
        Trace trace;
        BuildTrace(trace, block, PLAYBACK_FIRST_SAMPLE);
        for (const POINT& point : trace) {
            ASSERT_EQ(point.y, c.row) << "bytes " << int{c.low} << " " << int{c.high};
        }
    }
}

class PanelScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        device::ResetAll();
        device::ClearScreen(0x00FFFFFF);  // white, so anything the panel leaves is visible
    }
};

TEST_F(PanelScreen, SetUpCreatesContextThenBrushThenPen) {
    device::EnableJournal(true);
    TracePanel panel;
    qwf::SetUp(panel, kGreen, kNavy);
    const std::vector<std::string> entries = device::JournalEntries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].rfind("CreateDCW(\"DISPLAY\", null, null, null) = hdc", 0), 0u)
        << entries[0];
    EXPECT_EQ(entries[1].rfind("CreateSolidBrush(0x00400000) = brush", 0), 0u) << entries[1];
    EXPECT_EQ(entries[2].rfind("SelectObject(hdc", 0), 0u) << entries[2];
    EXPECT_NE(entries[2].find(", brush"), std::string::npos) << entries[2];
    EXPECT_EQ(entries[3].rfind("CreatePen(0, 1, 0x0000FF00) = pen", 0), 0u) << entries[3];
    EXPECT_NE(entries[4].find(", pen"), std::string::npos) << entries[4];
    EXPECT_NE(panel.dc, nullptr);
    EXPECT_NE(panel.pen, nullptr);
    EXPECT_NE(panel.brush, nullptr);
}

TEST_F(PanelScreen, ClearLeavesAnEmptyPanelWithABorderAndNothingOutside) {
    TracePanel panel;
    qwf::SetUp(panel, kGreen, kNavy);
    Clear(panel);
    for (int y = 0; y < 320; ++y) {
        for (int x = 0; x < 240; ++x) {
            COLORREF expected = 0x00FFFFFF;
            if (y >= 26 && y < 228) {
                const bool border = x == 0 || x == 239 || y == 26 || y == 227;
                expected = border ? kGreen : kNavy;
            }
            ASSERT_EQ(device::ScreenPixel(x, y), expected) << x << "," << y;
        }
    }
}

TEST_F(PanelScreen, DrawOfSilenceIsAFlatLineOnRow128) {
    TracePanel panel;
    qwf::SetUp(panel, kGreen, kNavy);
    const Sample silence[BLOCK_SAMPLES] = {};
    Trace trace;
    BuildTrace(trace, silence, PLAYBACK_FIRST_SAMPLE);
    Draw(panel, trace);
    for (int x = 1; x < 239; ++x) {
        for (int y = 27; y < 227; ++y) {
            ASSERT_EQ(device::ScreenPixel(x, y), y == 128 ? kGreen : kNavy) << x << "," << y;
        }
    }
    EXPECT_EQ(device::ScreenPixel(0, 25), 0x00FFFFFFu);
    EXPECT_EQ(device::ScreenPixel(120, 228), 0x00FFFFFFu);
}

TEST_F(PanelScreen, DrawReplacesThePreviousTrace) {
    TracePanel panel;
    qwf::SetUp(panel, kGreen, kNavy);
    Sample loud[BLOCK_SAMPLES];
    for (int i = 0; i < BLOCK_SAMPLES; ++i) Store(loud, i, 32767);
    Trace trace;
    BuildTrace(trace, loud, PLAYBACK_FIRST_SAMPLE);
    Draw(panel, trace);
    EXPECT_EQ(device::ScreenPixel(100, 225), kGreen);
    const Sample silence[BLOCK_SAMPLES] = {};
    BuildTrace(trace, silence, PLAYBACK_FIRST_SAMPLE);
    Draw(panel, trace);
    EXPECT_EQ(device::ScreenPixel(100, 225), kNavy);
    EXPECT_EQ(device::ScreenPixel(100, 128), kGreen);
}

}  // namespace
}  // namespace qwf
