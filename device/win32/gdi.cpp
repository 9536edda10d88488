// The GDI calls the module makes, on the device's screen: handles (their kind in the low bits of
// their value, so the journal can name one even after it was deleted), the objects' rules as GDI
// has them, and each call's journal line.
#include <windows.h>

#include <algorithm>
#include <string>

#include "base/internal.h"
#include "screen/screen.h"
#include "testing/journal_line.h"

namespace quorvel::device::detail {
namespace {

using Kind = HandleKind;

std::uintptr_t ValueOf(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

template <typename Handle>
Handle HandleOf(std::uintptr_t value) {
    return reinterpret_cast<Handle>(value);
}

std::string NameOf(const void* handle) {
    return HandleName(ValueOf(handle));
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

// Lookups; callers hold the screen's mutex.
GdiObject* Find(Screen& screen, std::uintptr_t value, Kind kind) {
    if (!IsHandleOf(value, kind)) return nullptr;
    const auto found = screen.objects.find(value);
    return found == screen.objects.end() ? nullptr : &found->second;
}

}  // namespace
}  // namespace quorvel::device::detail

using namespace quorvel::device::detail;  // the Win32 functions are C symbols at global scope

HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR port, const DEVMODEW* init) {
    JournalLine line;
    std::uintptr_t dc = 0;
    if (IsDisplayDriver(driver)) {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        dc = NewHandle(Kind::kDc);
        if (screen.stockPen == 0) {
            screen.stockPen = NewHandle(Kind::kPen);
            GdiObject pen;
            pen.kind = Kind::kPen;
            pen.color = kBlack;
            pen.stock = true;
            screen.objects.emplace(screen.stockPen, pen);
            screen.stockBrush = NewHandle(Kind::kBrush);
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
    line.Write([&] {
        return "CreateDCW(" + Quoted(driver) + ", " + Quoted(device) + ", " + Quoted(port) + ", " +
               (init == nullptr ? "null" : "devmode") + ") = " + HandleName(dc);
    });
    return HandleOf<HDC>(dc);
}

BOOL DeleteDC(HDC dc) {
    JournalLine line;
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
    line.Write([&] { return "DeleteDC(" + NameOf(dc) + ") = " + std::to_string(result); });
    return result;
}

HBRUSH CreateSolidBrush(COLORREF color) {
    JournalLine line;
    std::uintptr_t brush = 0;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        brush = NewHandle(Kind::kBrush);
        GdiObject object;
        object.kind = Kind::kBrush;
        object.color = color;
        screen.objects.emplace(brush, object);
    }
    line.Write([&] { return "CreateSolidBrush(" + Hex(color, 8) + ") = " + HandleName(brush); });
    return HandleOf<HBRUSH>(brush);
}

HPEN CreatePen(int style, int width, COLORREF color) {
    JournalLine line;
    constexpr int kLastPenStyle = 6;  // PS_INSIDEFRAME; dashed styles are drawn solid
    std::uintptr_t pen = 0;
    if (style >= PS_SOLID && style <= kLastPenStyle) {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        pen = NewHandle(Kind::kPen);
        GdiObject object;
        object.kind = Kind::kPen;
        object.color = color;
        object.penStyle = style;
        object.penWidth = std::max(width, 1);
        screen.objects.emplace(pen, object);
    }
    line.Write([&] {
        return "CreatePen(" + std::to_string(style) + ", " + std::to_string(width) + ", " +
               Hex(color, 8) + ") = " + HandleName(pen);
    });
    return HandleOf<HPEN>(pen);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    JournalLine line;
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
    line.Write([&] {
        return "SelectObject(" + NameOf(dc) + ", " + NameOf(object) + ") = " + HandleName(previous);
    });
    return HandleOf<HGDIOBJ>(previous);
}

// An object still selected into a context is not deleted (FALSE), as GDI refuses; stock
// objects are never deleted, but deleting one is harmless (TRUE).
BOOL DeleteObject(HGDIOBJ object) {
    JournalLine line;
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
    line.Write([&] { return "DeleteObject(" + NameOf(object) + ") = " + std::to_string(result); });
    return result;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
    JournalLine line;
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
    line.Write([&] {
        return "Rectangle(" + NameOf(dc) + ", " + std::to_string(left) + ", " +
               std::to_string(top) + ", " + std::to_string(right) + ", " + std::to_string(bottom) +
               ") = " + std::to_string(result);
    });
    return result;
}

BOOL Polyline(HDC dc, const POINT* points, int count) {
    JournalLine line;
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
    line.Write([&] {
        return "Polyline(" + NameOf(dc) + ", " +
               (points == nullptr ? std::string("null") : std::to_string(count) + " points") +
               ") = " + std::to_string(result);
    });
    return result;
}

COLORREF GetPixel(HDC dc, int x, int y) {
    JournalLine line;
    COLORREF color = CLR_INVALID;
    {
        Screen& screen = TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        if (Find(screen, ValueOf(dc), Kind::kDc) != nullptr && x >= 0 && y >= 0 &&
            x < screen.width && y < screen.height) {
            color = screen.At(x, y);
        }
    }
    line.Write([&] {
        return "GetPixel(" + NameOf(dc) + ", " + std::to_string(x) + ", " + std::to_string(y) +
               ") = " + Hex(color, 8);
    });
    return color;
}
