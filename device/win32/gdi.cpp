// The GDI calls the module makes, on the device's screen: handles (their kind in the low bits of
// their value, so the journal can name one even after it was deleted), the objects' rules as GDI
// has them, and each call's journal line.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/internal.h"
#include "screen/screen.h"

namespace quorvel::device::detail {
namespace {

using Kind = GdiKind;

// A handle's value is its serial number shifted left with its kind in the low bits, so the
// journal can name a handle even after it has been deleted.
constexpr unsigned kKindBits = 4;
constexpr std::uintptr_t kKindMask = (std::uintptr_t{1} << kKindBits) - 1;

std::uintptr_t NewHandleValue(Kind kind) {
    return (static_cast<std::uintptr_t>(NextSerial()) << kKindBits) |
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
    if (JournalOn()) Journal(call + " = " + result);
}

// Lookups; callers hold the screen's mutex.
GdiObject* Find(Screen& screen, std::uintptr_t value, Kind kind) {
    if (value == 0 || (value & kKindMask) != static_cast<std::uintptr_t>(kind)) return nullptr;
    const auto found = screen.objects.find(value);
    return found == screen.objects.end() ? nullptr : &found->second;
}

}  // namespace
}  // namespace quorvel::device::detail

using namespace quorvel::device::detail;  // the Win32 functions are C symbols at global scope

HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR port, const DEVMODEW* init) {
    std::uintptr_t dc = 0;
    if (IsDisplayDriver(driver)) {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        dc = NewHandleValue(Kind::kDc);
        if (screen.stockPen == 0) {
            screen.stockPen = NewHandleValue(Kind::kPen);
            GdiObject pen;
            pen.kind = Kind::kPen;
            pen.color = kBlack;
            pen.stock = true;
            screen.objects.emplace(screen.stockPen, pen);
            screen.stockBrush = NewHandleValue(Kind::kBrush);
            GdiObject brush;
            brush.kind = Kind::kBrush;
            brush.color = kWhite;
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
    Record("CreateDCW(" + QuotedWide(driver) + ", " + QuotedWide(device) + ", " + QuotedWide(port) +
               ", " + (init == nullptr ? "null" : "devmode") + ")",
           HandleName(dc));
    return HandleOf<HDC>(dc);
}

BOOL DeleteDC(HDC dc) {
    BOOL result = FALSE;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        if (GdiObject* context = Find(screen, ValueOf(dc), Kind::kDc)) {
            // Deleting a context deselects its objects, so they can be deleted afterwards.
            if (GdiObject* pen = Find(screen, context->pen, Kind::kPen)) pen->selections--;
            if (GdiObject* brush = Find(screen, context->brush, Kind::kBrush)) {
                brush->selections--;
            }
            screen.objects.erase(ValueOf(dc));
            result = TRUE;
        }
    }
    Record("DeleteDC(" + HandleName(dc) + ")", std::to_string(result));
    return result;
}

HBRUSH CreateSolidBrush(COLORREF color) {
    std::uintptr_t brush = 0;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        brush = NewHandleValue(Kind::kBrush);
        GdiObject object;
        object.kind = Kind::kBrush;
        object.color = color;
        screen.objects.emplace(brush, object);
    }
    Record("CreateSolidBrush(" + HexColor(color) + ")", HandleName(brush));
    return HandleOf<HBRUSH>(brush);
}

HPEN CreatePen(int style, int width, COLORREF color) {
    constexpr int kLastPenStyle = 6;  // PS_INSIDEFRAME; dashed styles are drawn solid
    std::uintptr_t pen = 0;
    if (style >= PS_SOLID && style <= kLastPenStyle) {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        pen = NewHandleValue(Kind::kPen);
        GdiObject object;
        object.kind = Kind::kPen;
        object.color = color;
        object.penStyle = style;
        object.penWidth = std::max(width, 1);
        screen.objects.emplace(pen, object);
    }
    Record("CreatePen(" + std::to_string(style) + ", " + std::to_string(width) + ", " +
               HexColor(color) + ")",
           HandleName(pen));
    return HandleOf<HPEN>(pen);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    std::uintptr_t previous = 0;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        GdiObject* context = Find(screen, ValueOf(dc), Kind::kDc);
        const std::uintptr_t value = ValueOf(object);
        GdiObject* pen = Find(screen, value, Kind::kPen);
        GdiObject* brush = Find(screen, value, Kind::kBrush);
        if (context != nullptr && (pen != nullptr || brush != nullptr)) {
            std::uintptr_t& slot = pen != nullptr ? context->pen : context->brush;
            previous = slot;
            if (GdiObject* old =
                    Find(screen, previous, pen != nullptr ? Kind::kPen : Kind::kBrush)) {
                old->selections--;
            }
            (pen != nullptr ? pen : brush)->selections++;
            slot = value;
        }
    }
    Record("SelectObject(" + HandleName(dc) + ", " + HandleName(object) + ")",
           HandleName(previous));
    return HandleOf<HGDIOBJ>(previous);
}

// An object still selected into a context is not deleted (FALSE), as GDI refuses; stock
// objects are never deleted, but deleting one is harmless (TRUE).
BOOL DeleteObject(HGDIOBJ object) {
    BOOL result = FALSE;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        const std::uintptr_t value = ValueOf(object);
        GdiObject* found = Find(screen, value, Kind::kPen);
        if (found == nullptr) found = Find(screen, value, Kind::kBrush);
        if (found != nullptr && found->stock) {
            result = TRUE;
        } else if (found != nullptr && found->selections == 0) {
            screen.objects.erase(value);
            result = TRUE;
        }
    }
    Record("DeleteObject(" + HandleName(object) + ")", std::to_string(result));
    return result;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
    BOOL result = FALSE;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        GdiObject* context = Find(screen, ValueOf(dc), Kind::kDc);
        const GdiObject* pen =
            context == nullptr ? nullptr : Find(screen, context->pen, Kind::kPen);
        const GdiObject* brush =
            context == nullptr ? nullptr : Find(screen, context->brush, Kind::kBrush);
        if (pen != nullptr && brush != nullptr) {
            result = TRUE;
            DrawRectangle(screen, left, top, right, bottom, *pen, brush->color);
        }
    }
    if (JournalOn()) {
        Record("Rectangle(" + HandleName(dc) + ", " + std::to_string(left) + ", " +
                   std::to_string(top) + ", " + std::to_string(right) + ", " +
                   std::to_string(bottom) + ")",
               std::to_string(result));
    }
    return result;
}

BOOL Polyline(HDC dc, const POINT* points, int count) {
    BOOL result = FALSE;
    if (points != nullptr && count >= 2) {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        const GdiObject* context = Find(screen, ValueOf(dc), Kind::kDc);
        const GdiObject* pen =
            context == nullptr ? nullptr : Find(screen, context->pen, Kind::kPen);
        if (pen != nullptr) {
            result = TRUE;
            DrawPolyline(screen, points, count, *pen);
        }
    }
    if (JournalOn()) {
        Record("Polyline(" + HandleName(dc) + ", " +
                   (points == nullptr ? std::string("null") : std::to_string(count) + " points") +
                   ")",
               std::to_string(result));
    }
    return result;
}

COLORREF GetPixel(HDC dc, int x, int y) {
    COLORREF color = CLR_INVALID;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        if (Find(screen, ValueOf(dc), Kind::kDc) != nullptr && x >= 0 && y >= 0 &&
            x < screen.width && y < screen.height) {
            color = screen.At(x, y);
        }
    }
    Record("GetPixel(" + HandleName(dc) + ", " + std::to_string(x) + ", " + std::to_string(y) + ")",
           HexColor(color));
    return color;
}
