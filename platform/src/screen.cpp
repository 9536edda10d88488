// The device's screen: one process-wide framebuffer that every "DISPLAY" context draws on,
// with the GDI pens, brushes and contexts the module uses, and the host-side views of it.
#include <windows.h>

#include <png.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal.h"

namespace quorvel::device {
namespace {

constexpr int kMaxScreenSide = 4096;
// Wider pens are drawn at this width so that a huge width cannot make a call take forever.
constexpr int kMaxPenWidth = 64;
constexpr COLORREF kBlack = 0x000000;
constexpr COLORREF kWhite = 0xFFFFFF;
// Only the low 24 bits of a COLORREF name a colour; the top byte selects palette modes.
constexpr COLORREF kRgbMask = 0x00FFFFFF;

// A handle's value is its serial number shifted left with its kind in the low bits, so the
// journal can name a handle even after it has been deleted.
enum class Kind : std::uintptr_t { kDc = 1, kPen = 2, kBrush = 3 };
constexpr unsigned kKindBits = 4;
constexpr std::uintptr_t kKindMask = (std::uintptr_t{1} << kKindBits) - 1;

struct GdiObject {
    Kind kind = Kind::kDc;
    COLORREF color = 0;  // pens and brushes
    int penStyle = PS_SOLID;
    int penWidth = 1;
    bool stock = false;
    int selections = 0;        // pens and brushes: contexts this object is selected into
    std::uintptr_t pen = 0;    // contexts: the selected pen
    std::uintptr_t brush = 0;  // contexts: the selected brush
};

struct Screen {
    std::mutex mutex;
    int width = kDefaultScreenWidth;
    int height = kDefaultScreenHeight;
    // Column by column: a trace is mostly steep lines, whose pixels are then neighbours.
    std::vector<COLORREF> pixels =
        std::vector<COLORREF>(static_cast<std::size_t>(width) * height, kBlack);
    std::unordered_map<std::uintptr_t, GdiObject> objects;
    // Stock objects are shared by every context, as on Windows; made with the first one.
    std::uintptr_t stockPen = 0;
    std::uintptr_t stockBrush = 0;
    std::atomic<std::uint64_t> generation{0};

    COLORREF& At(std::int64_t x, std::int64_t y) {
        return pixels[static_cast<std::size_t>(x) * static_cast<std::size_t>(height) +
                      static_cast<std::size_t>(y)];
    }
    COLORREF At(std::int64_t x, std::int64_t y) const {
        return pixels[static_cast<std::size_t>(x) * static_cast<std::size_t>(height) +
                      static_cast<std::size_t>(y)];
    }
};

// Never destroyed: a module unloaded at process exit releases its contexts, pens and brushes
// after this library's static objects would have been destroyed.
Screen& State() {
    static auto* const screen = new Screen;
    return *screen;
}

std::uintptr_t NewHandleValue(Kind kind) {
    return (static_cast<std::uintptr_t>(detail::NextSerial()) << kKindBits) |
           static_cast<std::uintptr_t>(kind);
}

std::uintptr_t ValueOf(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

template <typename Handle>
Handle HandleOf(std::uintptr_t value) {
    return reinterpret_cast<Handle>(value);
}

std::string HandleName(std::uintptr_t value) {
    if (value == 0) return "null";
    const std::uintptr_t serial = value >> kKindBits;
    switch (value & kKindMask) {
        case static_cast<std::uintptr_t>(Kind::kDc):
            return "hdc" + std::to_string(serial);
        case static_cast<std::uintptr_t>(Kind::kPen):
            return "pen" + std::to_string(serial);
        case static_cast<std::uintptr_t>(Kind::kBrush):
            return "brush" + std::to_string(serial);
        default:
            break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string HandleName(const void* handle) {
    return HandleName(ValueOf(handle));
}

// Quoted for the journal; anything but printable ASCII is escaped so the line stays one line.
std::string QuotedWide(LPCWSTR text) {
    if (text == nullptr) return "null";
    constexpr int kMaxShown = 256;
    std::string quoted = "\"";
    int shown = 0;
    for (; *text != 0 && shown < kMaxShown; ++text, ++shown) {
        const char16_t unit = *text;
        if (unit == u'"' || unit == u'\\') {
            quoted += '\\';
            quoted += static_cast<char>(unit);
        } else if (unit >= 0x20 && unit < 0x7F) {
            quoted += static_cast<char>(unit);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
            quoted += escape;
        }
    }
    if (*text != 0) quoted += "...";
    return quoted + "\"";
}

bool IsDisplayDriver(LPCWSTR driver) {
    if (driver == nullptr) return false;
    const char* expected = "DISPLAY";
    for (; *expected != 0; ++driver, ++expected) {
        const char16_t unit = *driver;
        const char16_t upper = (unit >= u'a' && unit <= u'z') ? unit - (u'a' - u'A') : unit;
        if (upper != static_cast<char16_t>(*expected)) return false;
    }
    return *driver == 0;
}

void Record(const std::string& call, const std::string& result) {
    if (detail::JournalOn()) detail::Journal(call + " = " + result);
}

// Lookups; callers hold the screen's mutex.
GdiObject* Find(Screen& screen, std::uintptr_t value, Kind kind) {
    if (value == 0 || (value & kKindMask) != static_cast<std::uintptr_t>(kind)) return nullptr;
    const auto found = screen.objects.find(value);
    return found == screen.objects.end() ? nullptr : &found->second;
}

// Writes pixels clipped to the screen and notes whether any of them changed.
class Canvas {
  public:
    explicit Canvas(Screen& screen) : screen_(screen) {}

    int width() const { return screen_.width; }
    int height() const { return screen_.height; }
    bool changed() const { return changed_ || differs_ != 0; }

    // A pixel the caller knows is on the screen, in a colour already masked to RGB.
    void PutOnScreen(std::int64_t x, std::int64_t y, COLORREF rgb) {
        COLORREF& pixel = screen_.At(x, y);
        differs_ |= pixel ^ rgb;
        pixel = rgb;
    }

    void Put(std::int64_t x, std::int64_t y, COLORREF color) {
        if (x < 0 || y < 0 || x >= screen_.width || y >= screen_.height) return;
        COLORREF& pixel = screen_.At(x, y);
        const COLORREF rgb = color & kRgbMask;
        if (pixel != rgb) {
            pixel = rgb;
            changed_ = true;
        }
    }

    // Pixels y0..y1-1 of column x, already clipped to the screen by the caller.
    void PutColumnRun(std::int64_t x, std::int64_t y0, std::int64_t y1, COLORREF color) {
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

void Bump(Screen& screen) {
    screen.generation.fetch_add(1, std::memory_order_acq_rel);
}

std::vector<std::uint8_t> RgbLocked(const Screen& screen) {
    std::vector<std::uint8_t> rgb;
    rgb.reserve(screen.pixels.size() * 3);
    for (int y = 0; y < screen.height; ++y) {
        for (int x = 0; x < screen.width; ++x) {
            const COLORREF pixel = screen.At(x, y);
            rgb.push_back(GetRValue(pixel));
            rgb.push_back(GetGValue(pixel));
            rgb.push_back(GetBValue(pixel));
        }
    }
    return rgb;
}

void FillLocked(Screen& screen, COLORREF color) {
    std::fill(screen.pixels.begin(), screen.pixels.end(), color & kRgbMask);
    Bump(screen);
}

// libpng reports errors by calling this and expects it not to return.
struct PngFailure {
    char message[128];
    int savedErrno;
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
    failure->savedErrno = errno;
    std::snprintf(failure->message, sizeof failure->message, "%s", message);
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Kept free of objects with destructors: a libpng error leaves through longjmp.
bool EncodePng(FILE* file, int width, int height, const std::uint8_t* rgb, PngFailure* failure) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, failure, OnPngError, OnPngWarning);
    if (png == nullptr) {
        std::snprintf(failure->message, sizeof failure->message, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(failure->message, sizeof failure->message, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int row = 0; row < height; ++row) {
        png_write_row(png, rgb + static_cast<std::size_t>(row) * stride);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

// ---- Host side -------------------------------------------------------------------------

bool SetScreenSize(int width, int height) {
    if (width < 1 || height < 1 || width > kMaxScreenSide || height > kMaxScreenSide) {
        return false;
    }
    Screen& screen = State();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    screen.width = width;
    screen.height = height;
    screen.pixels.assign(static_cast<std::size_t>(width) * height, kBlack);
    Bump(screen);
    return true;
}

ScreenSize GetScreenSize() {
    Screen& screen = State();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    return ScreenSize{screen.width, screen.height};
}

void ClearScreen(std::uint32_t colorref) {
    Screen& screen = State();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    FillLocked(screen, colorref);
}

std::uint32_t ScreenPixel(int x, int y) {
    Screen& screen = State();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    if (x < 0 || y < 0 || x >= screen.width || y >= screen.height) return CLR_INVALID;
    return screen.At(x, y);
}

std::vector<std::uint8_t> ReadScreenRgb() {
    Screen& screen = State();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    return RgbLocked(screen);
}

bool WriteScreenPng(const std::string& path, std::string* error) {
    ScreenSize size{};
    std::vector<std::uint8_t> rgb;
    {
        // Copy the pixels so the file is written without holding the lock.
        Screen& screen = State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        size = ScreenSize{screen.width, screen.height};
        rgb = RgbLocked(screen);
    }
    const auto fail = [&](const std::string& reason) {
        if (error != nullptr)
            *error = "Cannot write the screen to \"" + path + "\": " + reason + ".";
        return false;
    };

    FILE* file = std::fopen(path.c_str(), "wbe");
    if (file == nullptr) return fail(std::strerror(errno));
    PngFailure failure{};
    errno = 0;
    if (!EncodePng(file, size.width, size.height, rgb.data(), &failure)) {
        std::fclose(file);
        return fail(failure.savedErrno != 0 ? std::strerror(failure.savedErrno) : failure.message);
    }
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
        const int saved = errno;
        std::fclose(file);
        return fail(std::strerror(saved != 0 ? saved : EIO));
    }
    if (std::fclose(file) != 0) return fail(std::strerror(errno));
    return true;
}

std::uint64_t ScreenGeneration() {
    return State().generation.load(std::memory_order_acquire);
}

std::size_t LiveScreenObjects() {
    Screen& screen = State();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    const std::size_t stock = screen.stockPen != 0 ? 2 : 0;  // made together, never deleted
    return screen.objects.size() - stock;
}

namespace detail {

void ResetScreenPart() {
    Screen& screen = State();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    screen.width = kDefaultScreenWidth;
    screen.height = kDefaultScreenHeight;
    screen.pixels.assign(static_cast<std::size_t>(screen.width) * screen.height, kBlack);
    Bump(screen);
}

}  // namespace detail
}  // namespace quorvel::device

// ---- Win32 names ---------------------------------------------------------------------------

using quorvel::device::GdiObject;
using quorvel::device::Kind;
using quorvel::device::Screen;
namespace qd = quorvel::device;

HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR port, const DEVMODEW* init) {
    std::uintptr_t dc = 0;
    if (qd::IsDisplayDriver(driver)) {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        dc = qd::NewHandleValue(Kind::kDc);
        if (screen.stockPen == 0) {
            screen.stockPen = qd::NewHandleValue(Kind::kPen);
            GdiObject pen;
            pen.kind = Kind::kPen;
            pen.color = qd::kBlack;
            pen.stock = true;
            screen.objects.emplace(screen.stockPen, pen);
            screen.stockBrush = qd::NewHandleValue(Kind::kBrush);
            GdiObject brush;
            brush.kind = Kind::kBrush;
            brush.color = qd::kWhite;
            brush.stock = true;
            screen.objects.emplace(screen.stockBrush, brush);
        }
        GdiObject context;
        context.kind = Kind::kDc;
        context.pen = screen.stockPen;
        context.brush = screen.stockBrush;
        screen.objects[screen.stockPen].selections++;
        screen.objects[screen.stockBrush].selections++;
        screen.objects.emplace(dc, context);
    }
    qd::Record("CreateDCW(" + qd::QuotedWide(driver) + ", " + qd::QuotedWide(device) + ", " +
                   qd::QuotedWide(port) + ", " + (init == nullptr ? "null" : "devmode") + ")",
               qd::HandleName(dc));
    return qd::HandleOf<HDC>(dc);
}

BOOL DeleteDC(HDC dc) {
    BOOL result = FALSE;
    {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        if (GdiObject* context = qd::Find(screen, qd::ValueOf(dc), Kind::kDc)) {
            // Deleting a context deselects its objects, so they can be deleted afterwards.
            if (GdiObject* pen = qd::Find(screen, context->pen, Kind::kPen)) pen->selections--;
            if (GdiObject* brush = qd::Find(screen, context->brush, Kind::kBrush)) {
                brush->selections--;
            }
            screen.objects.erase(qd::ValueOf(dc));
            result = TRUE;
        }
    }
    qd::Record("DeleteDC(" + qd::HandleName(dc) + ")", std::to_string(result));
    return result;
}

HBRUSH CreateSolidBrush(COLORREF color) {
    std::uintptr_t brush = 0;
    {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        brush = qd::NewHandleValue(Kind::kBrush);
        GdiObject object;
        object.kind = Kind::kBrush;
        object.color = color;
        screen.objects.emplace(brush, object);
    }
    qd::Record("CreateSolidBrush(" + qd::detail::HexColor(color) + ")", qd::HandleName(brush));
    return qd::HandleOf<HBRUSH>(brush);
}

HPEN CreatePen(int style, int width, COLORREF color) {
    constexpr int kLastPenStyle = 6;  // PS_INSIDEFRAME; dashed styles are drawn solid
    std::uintptr_t pen = 0;
    if (style >= PS_SOLID && style <= kLastPenStyle) {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        pen = qd::NewHandleValue(Kind::kPen);
        GdiObject object;
        object.kind = Kind::kPen;
        object.color = color;
        object.penStyle = style;
        object.penWidth = std::max(width, 1);
        screen.objects.emplace(pen, object);
    }
    qd::Record("CreatePen(" + std::to_string(style) + ", " + std::to_string(width) + ", " +
                   qd::detail::HexColor(color) + ")",
               qd::HandleName(pen));
    return qd::HandleOf<HPEN>(pen);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    std::uintptr_t previous = 0;
    {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        GdiObject* context = qd::Find(screen, qd::ValueOf(dc), Kind::kDc);
        const std::uintptr_t value = qd::ValueOf(object);
        GdiObject* pen = qd::Find(screen, value, Kind::kPen);
        GdiObject* brush = qd::Find(screen, value, Kind::kBrush);
        if (context != nullptr && (pen != nullptr || brush != nullptr)) {
            std::uintptr_t& slot = pen != nullptr ? context->pen : context->brush;
            previous = slot;
            if (GdiObject* old =
                    qd::Find(screen, previous, pen != nullptr ? Kind::kPen : Kind::kBrush)) {
                old->selections--;
            }
            (pen != nullptr ? pen : brush)->selections++;
            slot = value;
        }
    }
    qd::Record("SelectObject(" + qd::HandleName(dc) + ", " + qd::HandleName(object) + ")",
               qd::HandleName(previous));
    return qd::HandleOf<HGDIOBJ>(previous);
}

// An object still selected into a context is not deleted (FALSE), as GDI refuses; stock
// objects are never deleted, but deleting one is harmless (TRUE).
BOOL DeleteObject(HGDIOBJ object) {
    BOOL result = FALSE;
    {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        const std::uintptr_t value = qd::ValueOf(object);
        GdiObject* found = qd::Find(screen, value, Kind::kPen);
        if (found == nullptr) found = qd::Find(screen, value, Kind::kBrush);
        if (found != nullptr && found->stock) {
            result = TRUE;
        } else if (found != nullptr && found->selections == 0) {
            screen.objects.erase(value);
            result = TRUE;
        }
    }
    qd::Record("DeleteObject(" + qd::HandleName(object) + ")", std::to_string(result));
    return result;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
    BOOL result = FALSE;
    {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        GdiObject* context = qd::Find(screen, qd::ValueOf(dc), Kind::kDc);
        const GdiObject* pen =
            context == nullptr ? nullptr : qd::Find(screen, context->pen, Kind::kPen);
        const GdiObject* brush =
            context == nullptr ? nullptr : qd::Find(screen, context->brush, Kind::kBrush);
        if (pen != nullptr && brush != nullptr) {
            result = TRUE;
            std::int64_t l = std::min(left, right), r = std::max(left, right);
            std::int64_t t = std::min(top, bottom), b = std::max(top, bottom);
            // Without a pen GDI draws the rectangle one pixel smaller each way.
            const bool outlined = pen->penStyle != PS_NULL;
            if (!outlined) {
                --r;
                --b;
            }
            // The outline lies inside the rectangle, as wide as the pen.
            const std::int64_t border = outlined ? std::min(pen->penWidth, qd::kMaxPenWidth) : 0;
            qd::Canvas canvas(screen);
            const std::int64_t x0 = std::max<std::int64_t>(l, 0);
            const std::int64_t x1 = std::min<std::int64_t>(r, canvas.width());
            const std::int64_t y0 = std::max<std::int64_t>(t, 0);
            const std::int64_t y1 = std::min<std::int64_t>(b, canvas.height());
            // Each column is at most three runs: top border, inside, bottom border.
            const std::int64_t insideTop = std::clamp(t + border, y0, std::max(y0, y1));
            const std::int64_t insideBottom = std::clamp(b - border, insideTop, std::max(y0, y1));
            for (std::int64_t x = x0; x < x1; ++x) {
                const bool borderColumn = x < l + border || x >= r - border;
                if (borderColumn) {
                    canvas.PutColumnRun(x, y0, y1, pen->color);
                } else {
                    canvas.PutColumnRun(x, y0, insideTop, pen->color);
                    canvas.PutColumnRun(x, insideTop, insideBottom, brush->color);
                    canvas.PutColumnRun(x, insideBottom, y1, pen->color);
                }
            }
            if (canvas.changed()) qd::Bump(screen);
        }
    }
    if (qd::detail::JournalOn()) {
        qd::Record("Rectangle(" + qd::HandleName(dc) + ", " + std::to_string(left) + ", " +
                       std::to_string(top) + ", " + std::to_string(right) + ", " +
                       std::to_string(bottom) + ")",
                   std::to_string(result));
    }
    return result;
}

BOOL Polyline(HDC dc, const POINT* points, int count) {
    BOOL result = FALSE;
    if (points != nullptr && count >= 2) {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        const GdiObject* context = qd::Find(screen, qd::ValueOf(dc), Kind::kDc);
        const GdiObject* pen =
            context == nullptr ? nullptr : qd::Find(screen, context->pen, Kind::kPen);
        if (pen != nullptr) {
            result = TRUE;
            if (pen->penStyle != PS_NULL) {
                qd::Canvas canvas(screen);
                const qd::PenReach reach = qd::ReachOf(pen->penWidth);
                for (int i = 0; i + 1 < count; ++i) {
                    qd::DrawSegment(canvas, points[i], points[i + 1], reach, pen->color);
                }
                if (canvas.changed()) qd::Bump(screen);
            }
        }
    }
    if (qd::detail::JournalOn()) {
        qd::Record(
            "Polyline(" + qd::HandleName(dc) + ", " +
                (points == nullptr ? std::string("null") : std::to_string(count) + " points") + ")",
            std::to_string(result));
    }
    return result;
}

COLORREF GetPixel(HDC dc, int x, int y) {
    COLORREF color = CLR_INVALID;
    {
        Screen& screen = qd::State();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        if (qd::Find(screen, qd::ValueOf(dc), Kind::kDc) != nullptr && x >= 0 && y >= 0 &&
            x < screen.width && y < screen.height) {
            color = screen.At(x, y);
        }
    }
    qd::Record("GetPixel(" + qd::HandleName(dc) + ", " + std::to_string(x) + ", " +
                   std::to_string(y) + ")",
               qd::detail::HexColor(color));
    return color;
}
