// The screen's rasteriser: GDI's lines and rectangles as pixels, clipped to the screen, in
// integer arithmetic only, so every host draws the same pixels.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "screen/screen.h"

namespace quorvel::device::detail {
namespace {

// Fills rectangles of pixels clipped to the screen, noting whether any pixel changed: drawing
// the same pixels again is no change.
class Canvas {
  public:
    explicit Canvas(Screen& screen) : screen_(screen) {}
    ~Canvas() {
        if (differs_ != 0) screen_.Bump();
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    // Pixels x0..x1-1 by y0..y1-1, in an RGB colour.
    void Fill(std::int64_t x0, std::int64_t x1, std::int64_t y0, std::int64_t y1, COLORREF rgb) {
        x0 = std::max<std::int64_t>(x0, 0);
        x1 = std::min<std::int64_t>(x1, screen_.width);
        y0 = std::max<std::int64_t>(y0, 0);
        y1 = std::min<std::int64_t>(y1, screen_.height);
        if (y0 >= y1) return;
        const auto count = static_cast<std::size_t>(y1 - y0);
        COLORREF differs = 0;
        for (std::int64_t x = x0; x < x1; ++x) {
            // Column by column the pixels are contiguous: one branch-free pass that vectorises.
            COLORREF* const column = &screen_.At(x, y0);
            for (std::size_t i = 0; i < count; ++i) {
                differs |= column[i] ^ rgb;
                column[i] = rgb;
            }
        }
        differs_ |= differs;
    }

  private:
    Screen& screen_;
    COLORREF differs_ = 0;  // any bit set: a pixel changed
};

// One Bresenham segment from `from` to `to`, the end pixel left out, with `pen`: a square as
// wide as the pen around each pixel. Only the steps whose pixels can reach the screen along
// the major axis are visited (a few thousand at most), so far-away coordinates cost nothing.
void DrawSegment(Canvas& canvas, const Screen& screen, POINT from, POINT to, const GdiObject& pen) {
    const std::int64_t dx = std::int64_t{to.x} - from.x;
    const std::int64_t dy = std::int64_t{to.y} - from.y;
    const bool xMajor = std::abs(dx) >= std::abs(dy);
    const std::int64_t majorStart = xMajor ? from.x : from.y;
    const std::int64_t minorStart = xMajor ? from.y : from.x;
    const std::int64_t majorDelta = xMajor ? dx : dy;
    const std::int64_t minorDelta = xMajor ? dy : dx;
    const auto run = static_cast<std::uint64_t>(std::abs(majorDelta));
    const auto rise = static_cast<std::uint64_t>(std::abs(minorDelta));
    if (run == 0) return;
    const int majorSign = majorDelta > 0 ? 1 : -1;
    const int minorSign = minorDelta >= 0 ? 1 : -1;
    const int low = -((pen.penWidth - 1) / 2);  // the pen square spans offsets low..high
    const int high = pen.penWidth / 2;

    // Steps whose pen square reaches the screen along the major axis.
    const std::int64_t majorLow = -high;
    const std::int64_t majorHigh = (xMajor ? screen.width : screen.height) - 1 - low;
    std::int64_t first = majorSign > 0 ? majorLow - majorStart : majorStart - majorHigh;
    std::int64_t last = majorSign > 0 ? majorHigh - majorStart : majorStart - majorLow;
    first = std::max<std::int64_t>(first, 0);
    last = std::min<std::int64_t>(last, static_cast<std::int64_t>(run) - 1);
    if (first > last) return;

    // The minor offset at a step is step * rise / run rounded half up, kept from the first
    // step on as step * rise = quotient * run + remainder (below 2^64: both factors are below
    // 2^32). The steps sharing an offset sweep the pen square along the major axis: one
    // rectangle, a column run of a steep line or a pixel of a shallow one.
    std::uint64_t quotient = static_cast<std::uint64_t>(first) * rise / run;
    std::uint64_t remainder = static_cast<std::uint64_t>(first) * rise % run;
    for (std::int64_t step = first; step <= last;) {
        const bool roundsUp = 2 * remainder >= run;
        const std::uint64_t offset = quotient + (roundsUp ? 1 : 0);
        // The offset goes up once 2 * remainder + run reaches the next multiple of 2 * run.
        const std::uint64_t toNext = roundsUp ? 3 * run - 2 * remainder : run - 2 * remainder;
        const std::uint64_t steps = rise == 0 ? run : (toNext + 2 * rise - 1) / (2 * rise);
        const std::int64_t runFirst = step;
        step = std::min(last + 1, step + static_cast<std::int64_t>(steps));
        remainder += static_cast<std::uint64_t>(step - runFirst) * rise;
        quotient += remainder / run;
        remainder %= run;
        const std::int64_t minor = minorStart + minorSign * static_cast<std::int64_t>(offset);
        const std::int64_t majorA = majorStart + majorSign * runFirst;
        const std::int64_t majorB = majorStart + majorSign * (step - 1);
        const std::int64_t major0 = std::min(majorA, majorB) + low;
        const std::int64_t major1 = std::max(majorA, majorB) + high + 1;
        if (xMajor) {
            canvas.Fill(major0, major1, minor + low, minor + high + 1, pen.color);
        } else {
            canvas.Fill(minor + low, minor + high + 1, major0, major1, pen.color);
        }
    }
}

}  // namespace

void DrawRectangle(Screen& screen, int left, int top, int right, int bottom, const GdiObject& pen,
                   COLORREF brushColor) {
    std::int64_t l = std::min(left, right), r = std::max(left, right);
    std::int64_t t = std::min(top, bottom), b = std::max(top, bottom);
    // Without a pen GDI draws the rectangle one pixel smaller each way.
    const bool outlined = pen.penStyle != PS_NULL;
    if (!outlined) {
        --r;
        --b;
    }
    if (l >= r || t >= b) return;
    // The outline lies inside the rectangle, as wide as the pen: bands above and below, then
    // the sides and the inside between them, each pixel written once.
    const std::int64_t border = outlined ? pen.penWidth : 0;
    const std::int64_t insideTop = std::min(t + border, b);
    const std::int64_t insideBottom = std::max(b - border, insideTop);
    const std::int64_t insideLeft = std::min(l + border, r);
    const std::int64_t insideRight = std::max(r - border, insideLeft);
    Canvas canvas(screen);
    canvas.Fill(l, r, t, insideTop, pen.color);
    canvas.Fill(l, insideLeft, insideTop, insideBottom, pen.color);
    canvas.Fill(insideLeft, insideRight, insideTop, insideBottom, brushColor);
    canvas.Fill(insideRight, r, insideTop, insideBottom, pen.color);
    canvas.Fill(l, r, insideBottom, b, pen.color);
}

void DrawPolyline(Screen& screen, const POINT* points, int count, const GdiObject& pen) {
    if (pen.penStyle == PS_NULL) return;
    Canvas canvas(screen);
    for (int i = 0; i + 1 < count; ++i) {
        DrawSegment(canvas, screen, points[i], points[i + 1], pen);
    }
}

}  // namespace quorvel::device::detail
