// The screen's rasteriser: GDI's lines and rectangles as pixels, clipped to the screen, in
// integer arithmetic only, so every host draws the same pixels.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "screen/screen.h"

namespace quorvel::device::detail {
namespace {

// Writes pixels clipped to the screen and notes whether any of them changed, and which rows
// of each column it wrote, but for a rectangle's fill (see Screen::RectangleFill).
class Canvas {
  public:
    explicit Canvas(Screen& screen) : screen_(screen) {
        if (screen_.written.size() != static_cast<std::size_t>(screen_.width)) {
            screen_.ForgetFill();
        }
    }

    int width() const { return screen_.width; }
    int height() const { return screen_.height; }
    bool changed() const { return changed_ || differs_ != 0; }

    // A pixel the caller knows is on the screen, in a colour already masked to RGB.
    void PutOnScreen(std::int64_t x, std::int64_t y, COLORREF rgb) {
        COLORREF& pixel = screen_.At(x, y);
        differs_ |= pixel ^ rgb;
        pixel = rgb;
        Wrote(x, y, y + 1);
    }

    void Put(std::int64_t x, std::int64_t y, COLORREF color) {
        if (x < 0 || y < 0 || x >= screen_.width || y >= screen_.height) return;
        COLORREF& pixel = screen_.At(x, y);
        const COLORREF rgb = color & kRgbMask;
        Wrote(x, y, y + 1);
        if (pixel != rgb) {
            pixel = rgb;
            changed_ = true;
        }
    }

    // Pixels y0..y1-1 of column x, already clipped to the screen by the caller.
    void PutColumnRun(std::int64_t x, std::int64_t y0, std::int64_t y1, COLORREF color) {
        if (y0 >= y1) return;
        Wrote(x, y0, y1);
        FillColumnRun(x, y0, y1, color);
    }

    // As PutColumnRun, for the rectangle's fill itself.
    void FillColumnRun(std::int64_t x, std::int64_t y0, std::int64_t y1, COLORREF color) {
        if (y0 >= y1) return;
        const COLORREF rgb = color & kRgbMask;
        // One branch-free pass the compiler can vectorise: any bit set means a pixel changed.
        COLORREF* const begin = &screen_.At(x, y0);
        const auto count = static_cast<std::size_t>(y1 - y0);
        if (changed()) {  // already known: no need to look before writing
            std::fill(begin, begin + count, rgb);
            return;
        }
        COLORREF differs = 0;
        for (std::size_t i = 0; i < count; ++i) {
            differs |= begin[i] ^ rgb;
            begin[i] = rgb;
        }
        changed_ = changed_ || differs != 0;
    }

  private:
    void Wrote(std::int64_t x, std::int64_t y0, std::int64_t y1) {
        Screen::RowSpan& rows = screen_.written[static_cast<std::size_t>(x)];
        rows.low = std::min(rows.low, y0);
        rows.high = std::max(rows.high, y1);
    }

    Screen& screen_;
    bool changed_ = false;
    COLORREF differs_ = 0;  // any bit set: a pixel put on screen changed
};

// A pen of width w covers a w x w square around each pixel of the line: offsets low..high.
struct PenReach {
    int low;
    int high;
};

PenReach ReachOf(int width) {
    const int side = std::clamp(width, 1, kMaxPenWidth);
    return PenReach{-((side - 1) / 2), side / 2};
}

void PutPenPixel(Canvas& canvas, std::int64_t x, std::int64_t y, PenReach reach, COLORREF color) {
    for (int dy = reach.low; dy <= reach.high; ++dy) {
        for (int dx = reach.low; dx <= reach.high; ++dx) canvas.Put(x + dx, y + dy, color);
    }
}

// Offset along the minor axis at step i of a line rising `rise` over `run` steps: i*rise/run
// rounded half up, all in 64 bits (i < 2^32 and rise < 2^32, so i*rise cannot overflow).
std::int64_t MinorOffset(std::uint64_t i, std::uint64_t rise, std::uint64_t run) {
    const std::uint64_t product = i * rise;
    const std::uint64_t quotient = product / run;
    const std::uint64_t remainder = product % run;
    return static_cast<std::int64_t>(quotient + (2 * remainder >= run ? 1 : 0));
}

// One Bresenham segment from `from` to `to`, the end pixel left out. Only the steps whose
// pixels can reach the screen are visited, so far-away coordinates cost nothing.
void DrawSegment(Canvas& canvas, POINT from, POINT to, PenReach reach, COLORREF color) {
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

    // Centres whose pen square touches the screen, on each axis.
    const std::int64_t majorLow = -reach.high;
    const std::int64_t majorHigh = (xMajor ? canvas.width() : canvas.height()) - 1 - reach.low;
    const std::int64_t minorLow = -reach.high;
    const std::int64_t minorHigh = (xMajor ? canvas.height() : canvas.width()) - 1 - reach.low;

    // Steps whose major coordinate is on screen.
    std::int64_t first = majorSign > 0 ? majorLow - majorStart : majorStart - majorHigh;
    std::int64_t last = majorSign > 0 ? majorHigh - majorStart : majorStart - majorLow;
    first = std::max<std::int64_t>(first, 0);
    last = std::min<std::int64_t>(last, static_cast<std::int64_t>(run) - 1);
    if (first > last) return;

    // The minor offset never decreases with the step, so the on-screen steps are a range.
    const std::int64_t offsetLow = minorSign > 0 ? minorLow - minorStart : minorStart - minorHigh;
    const std::int64_t offsetHigh = minorSign > 0 ? minorHigh - minorStart : minorStart - minorLow;
    const auto offsetAt = [&](std::int64_t step) {
        return MinorOffset(static_cast<std::uint64_t>(step), rise, run);
    };
    // Searched for only where an end leaves the screen; most segments lie wholly on it.
    if (offsetAt(first) < offsetLow) {
        std::int64_t low = first, high = last + 1;  // first step with offset >= offsetLow
        while (low < high) {
            const std::int64_t middle = low + (high - low) / 2;
            if (offsetAt(middle) < offsetLow)
                low = middle + 1;
            else
                high = middle;
        }
        first = low;
        if (first > last) return;
    }
    if (offsetAt(last) > offsetHigh) {
        std::int64_t low = first, high = last + 1;  // first step with offset > offsetHigh
        while (low < high) {
            const std::int64_t middle = low + (high - low) / 2;
            if (offsetAt(middle) <= offsetHigh)
                low = middle + 1;
            else
                high = middle;
        }
        last = low - 1;
    }

    const bool thin = reach.low == 0 && reach.high == 0;
    const COLORREF rgb = color & kRgbMask;
    if (thin && !xMajor) {
        // A steep one-pixel line is a few vertical runs, one per column it crosses (most trace
        // segments cross one or two), and each is contiguous in the column-major pixels: drawn
        // a run at a time, from the last step of each offset, not a pixel at a time.
        std::int64_t step = first;
        while (step <= last) {
            const std::int64_t offset = offsetAt(step);
            std::int64_t runEnd = last;
            // The offset stays at most `offset` while 2*s*rise + run < 2*run*(offset + 1): the
            // run ends at step (run * (2 * offset + 1) - 1) / (2 * rise).
            if (rise > 0 && offset < (std::int64_t{1} << 30)) {
                // run < 2^32, so run * (2 * offset + 1) < 2^63: plain 64-bit arithmetic.
                const std::uint64_t limit = run * (2 * static_cast<std::uint64_t>(offset) + 1);
                const std::uint64_t end = (limit - 1) / (2 * rise);
                if (end < static_cast<std::uint64_t>(last)) runEnd = static_cast<std::int64_t>(end);
            } else if (rise > 0) {
                // The product reaches 2^65 and 32-bit targets have no 128-bit integer: with run =
                // whole * rise + part and part * offset = spread (< 2^64, as offset <= rise), the
                // same quotient is whole * offset + spread / rise + the rest's share below.
                const auto unsignedOffset = static_cast<std::uint64_t>(offset);
                const std::uint64_t whole = run / rise;
                const std::uint64_t spread = (run % rise) * unsignedOffset;
                const std::uint64_t end = whole * unsignedOffset + spread / rise +
                                          (2 * (spread % rise) + run - 1) / (2 * rise);
                if (end < static_cast<std::uint64_t>(last)) runEnd = static_cast<std::int64_t>(end);
            }
            const std::int64_t x = minorStart + minorSign * offset;
            const std::int64_t yFirst = majorStart + majorSign * step;
            const std::int64_t yLast = majorStart + majorSign * runEnd;
            canvas.PutColumnRun(x, std::min(yFirst, yLast), std::max(yFirst, yLast) + 1, rgb);
            step = runEnd + 1;
        }
        return;
    }
    // From the first step on, the offset is carried forward instead of divided out again:
    // step*rise = quotient*run + remainder, rounded half up.
    std::uint64_t quotient = static_cast<std::uint64_t>(first) * rise / run;
    std::uint64_t remainder = static_cast<std::uint64_t>(first) * rise % run;
    for (std::int64_t step = first; step <= last; ++step) {
        const std::int64_t offset =
            static_cast<std::int64_t>(quotient + (2 * remainder >= run ? 1 : 0));
        remainder += rise;
        if (remainder >= run) {  // rise <= run: at most one carry a step
            remainder -= run;
            ++quotient;
        }
        const std::int64_t major = majorStart + majorSign * step;
        const std::int64_t minor = minorStart + minorSign * offset;
        const std::int64_t x = xMajor ? major : minor;
        const std::int64_t y = xMajor ? minor : major;
        // A one-pixel pen's steps were all clipped to the screen above.
        if (thin)
            canvas.PutOnScreen(x, y, rgb);
        else
            PutPenPixel(canvas, x, y, reach, color);
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
    // The outline lies inside the rectangle, as wide as the pen.
    const std::int64_t border = outlined ? std::min(pen.penWidth, kMaxPenWidth) : 0;
    Canvas canvas(screen);
    Screen::RectangleFill fill;
    fill.x0 = std::max<std::int64_t>(l, 0);
    fill.x1 = std::min<std::int64_t>(r, canvas.width());
    fill.y0 = std::max<std::int64_t>(t, 0);
    fill.y1 = std::min<std::int64_t>(b, canvas.height());
    // Each column is at most three runs: top border, inside, bottom border.
    fill.insideTop = std::clamp(t + border, fill.y0, std::max(fill.y0, fill.y1));
    fill.insideBottom = std::clamp(b - border, fill.insideTop, std::max(fill.y0, fill.y1));
    fill.borderLeft = l + border;
    fill.borderRight = r - border;
    fill.pen = pen.color & kRgbMask;
    fill.brush = brushColor & kRgbMask;
    // The same rectangle again: only the rows written since can differ from its fill.
    const bool again = screen.fillKnown && screen.lastFill == fill;
    for (std::int64_t x = fill.x0; x < fill.x1; ++x) {
        std::int64_t from = fill.y0;
        std::int64_t to = fill.y1;
        if (again) {
            const Screen::RowSpan rows = screen.written[static_cast<std::size_t>(x)];
            from = std::max(from, rows.low);
            to = std::min(to, rows.high);
        }
        if (from >= to) continue;
        if (x < fill.borderLeft || x >= fill.borderRight) {
            canvas.FillColumnRun(x, from, to, fill.pen);
        } else {
            canvas.FillColumnRun(x, from, std::min(to, fill.insideTop), fill.pen);
            canvas.FillColumnRun(x, std::max(from, fill.insideTop), std::min(to, fill.insideBottom),
                                 fill.brush);
            canvas.FillColumnRun(x, std::max(from, fill.insideBottom), to, fill.pen);
        }
    }
    // Inside the rectangle every pixel is its fill now; rows outside it never matter to it.
    std::fill(screen.written.begin(), screen.written.end(), Screen::RowSpan{});
    screen.lastFill = fill;
    screen.fillKnown = true;
    if (canvas.changed()) Bump(screen);
}

void DrawPolyline(Screen& screen, const POINT* points, int count, const GdiObject& pen) {
    if (pen.penStyle == PS_NULL) return;
    Canvas canvas(screen);
    const PenReach reach = ReachOf(pen.penWidth);
    for (int i = 0; i + 1 < count; ++i) {
        DrawSegment(canvas, points[i], points[i + 1], reach, pen.color);
    }
    if (canvas.changed()) Bump(screen);
}

}  // namespace quorvel::device::detail
