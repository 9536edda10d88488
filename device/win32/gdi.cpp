// The GDI calls the module makes, on the device's screen: handles (their kind in the low bits of
// their value, so the journal can name one even after it was deleted), the objects' rules as GDI
// has them, and each call's journal line.
#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

#include "base/internal.h"
#include "screen/screen.h"
#include "testing/journal_line.h"

namespace quorvel::device::detail {
namespace {

using Kind = HandleKind;

std::uintptr_t ValueOf(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

std::string NameOf(const void* handle) {
    return HandleName(ValueOf(handle));
}

bool IsDisplayDriver(LPCWSTR driver) {
    if (driver == nullptr) return false;
    std::u16string name = driver;
    for (char16_t& unit : name) {
        if (unit >= u'a' && unit <= u'z') unit -= u'a' - u'A';
    }
    return name == u"DISPLAY";
}

// Lookups; callers hold the screen's mutex.
GdiObject* Find(Screen& screen, std::uintptr_t value, Kind kind) {
    if (!IsHandleOf(value, kind)) return nullptr;
    const auto found = screen.objects.find(value);
    return found == screen.objects.end() ? nullptr : &found->second;
}

// The pen or brush selected into the context, or null.
GdiObject* Selected(Screen& screen, HDC dc, Kind kind) {
    const GdiObject* context = Find(screen, ValueOf(dc), Kind::kDc);
    if (context == nullptr) return nullptr;
    return Find(screen, kind == Kind::kPen ? context->pen : context->brush, kind);
}

// A new pen or brush's handle, or a stock one's.
std::uintptr_t Add(Screen& screen, Kind kind, GdiObject object) {
    const std::uintptr_t handle = NewHandle(kind);
    screen.objects.emplace(handle, object);
    return handle;
}

template <typename Act>
auto OnScreen(Act act) {
    Screen& screen = TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    return act(screen);
}

// "Name(arg, arg) = result", the journal's form of a call.
std::string CallText(const char* name, std::initializer_list<std::string> args,
                     const std::string& result) {
    std::string text = std::string(name) + "(";
    for (const std::string& arg : args) text += (&arg == args.begin() ? "" : ", ") + arg;
    return text + ") = " + result;
}

}  // namespace
}  // namespace quorvel::device::detail

using namespace quorvel::device::detail;  // the Win32 functions are C symbols at global scope
using std::to_string;

HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR port, const DEVMODEW* init) {
    JournalLine line;
    std::uintptr_t dc = 0;
    if (IsDisplayDriver(driver)) {
        dc = OnScreen([](Screen& screen) {
            const std::uintptr_t handle = NewHandle(Kind::kDc);
            if (screen.stockPen == 0) {
                screen.stockPen = Add(screen, Kind::kPen, {kBlack, PS_SOLID, 1, true});
                screen.stockBrush = Add(screen, Kind::kBrush, {kWhite, PS_SOLID, 1, true});
            }
            GdiObject context;
            context.pen = screen.stockPen;
            context.brush = screen.stockBrush;
            screen.objects[screen.stockPen].selections++;
            screen.objects[screen.stockBrush].selections++;
            screen.objects.emplace(handle, context);
            return handle;
        });
    }
    line.Write([&] {
        return CallText("CreateDCW",
                        {Quoted(driver), Quoted(device), Quoted(port), init ? "devmode" : "null"},
                        HandleName(dc));
    });
    return reinterpret_cast<HDC>(dc);
}

BOOL DeleteDC(HDC dc) {
    JournalLine line;
    const BOOL result = OnScreen([&](Screen& screen) {
        GdiObject* context = Find(screen, ValueOf(dc), Kind::kDc);
        if (context == nullptr) return FALSE;
        // Deleting a context deselects its objects, so they can be deleted afterwards.
        if (GdiObject* pen = Find(screen, context->pen, Kind::kPen)) pen->selections--;
        if (GdiObject* brush = Find(screen, context->brush, Kind::kBrush)) brush->selections--;
        screen.objects.erase(ValueOf(dc));
        return TRUE;
    });
    line.Write([&] { return CallText("DeleteDC", {NameOf(dc)}, to_string(result)); });
    return result;
}

HBRUSH CreateSolidBrush(COLORREF color) {
    JournalLine line;
    const std::uintptr_t brush =
        OnScreen([&](Screen& screen) { return Add(screen, Kind::kBrush, {color & kRgbMask}); });
    line.Write([&] { return CallText("CreateSolidBrush", {Hex(color, 8)}, HandleName(brush)); });
    return reinterpret_cast<HBRUSH>(brush);
}

HPEN CreatePen(int style, int width, COLORREF color) {
    JournalLine line;
    constexpr int kLastPenStyle = 6;  // PS_INSIDEFRAME; dashed styles are drawn solid
    std::uintptr_t pen = 0;
    if (style >= PS_SOLID && style <= kLastPenStyle) {
        pen = OnScreen([&](Screen& screen) {
            return Add(screen, Kind::kPen,
                       {color & kRgbMask, style, std::clamp(width, 1, kMaxPenWidth)});
        });
    }
    line.Write([&] {
        return CallText("CreatePen", {to_string(style), to_string(width), Hex(color, 8)},
                        HandleName(pen));
    });
    return reinterpret_cast<HPEN>(pen);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    JournalLine line;
    const std::uintptr_t previous = OnScreen([&](Screen& screen) -> std::uintptr_t {
        GdiObject* context = Find(screen, ValueOf(dc), Kind::kDc);
        const std::uintptr_t value = ValueOf(object);
        const Kind kind = IsHandleOf(value, Kind::kPen) ? Kind::kPen : Kind::kBrush;
        GdiObject* chosen = Find(screen, value, kind);
        if (context == nullptr || chosen == nullptr) return 0;
        std::uintptr_t& slot = kind == Kind::kPen ? context->pen : context->brush;
        if (GdiObject* old = Find(screen, slot, kind)) old->selections--;
        chosen->selections++;
        return std::exchange(slot, value);
    });
    line.Write([&] {
        return CallText("SelectObject", {NameOf(dc), NameOf(object)}, HandleName(previous));
    });
    return reinterpret_cast<HGDIOBJ>(previous);
}

// An object still selected into a context is not deleted (FALSE), as GDI refuses; stock
// objects are never deleted, but deleting one is harmless (TRUE).
BOOL DeleteObject(HGDIOBJ object) {
    JournalLine line;
    const BOOL result = OnScreen([&](Screen& screen) {
        const std::uintptr_t value = ValueOf(object);
        GdiObject* found = Find(screen, value, Kind::kPen);
        if (found == nullptr) found = Find(screen, value, Kind::kBrush);
        if (found == nullptr || (!found->stock && found->selections != 0)) return FALSE;
        if (!found->stock) screen.objects.erase(value);
        return TRUE;
    });
    line.Write([&] { return CallText("DeleteObject", {NameOf(object)}, to_string(result)); });
    return result;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
    JournalLine line;
    const BOOL result = OnScreen([&](Screen& screen) {
        const GdiObject* brush = Selected(screen, dc, Kind::kBrush);
        const GdiObject* pen = Selected(screen, dc, Kind::kPen);
        if (pen == nullptr || brush == nullptr) return FALSE;
        DrawRectangle(screen, left, top, right, bottom, *pen, brush->color);
        return TRUE;
    });
    line.Write([&] {
        return CallText(
            "Rectangle",
            {NameOf(dc), to_string(left), to_string(top), to_string(right), to_string(bottom)},
            to_string(result));
    });
    return result;
}

BOOL Polyline(HDC dc, const POINT* points, int count) {
    JournalLine line;
    BOOL result = FALSE;
    if (points != nullptr && count >= 2) {
        result = OnScreen([&](Screen& screen) {
            const GdiObject* pen = Selected(screen, dc, Kind::kPen);
            if (pen != nullptr) DrawPolyline(screen, points, count, *pen);
            return pen != nullptr ? TRUE : FALSE;
        });
    }
    line.Write([&] {
        return CallText("Polyline", {NameOf(dc), points ? to_string(count) + " points" : "null"},
                        to_string(result));
    });
    return result;
}

COLORREF GetPixel(HDC dc, int x, int y) {
    JournalLine line;
    const COLORREF color = OnScreen([&](Screen& screen) {
        const bool inside = x >= 0 && y >= 0 && x < screen.width && y < screen.height;
        return Find(screen, ValueOf(dc), Kind::kDc) != nullptr && inside ? screen.At(x, y)
                                                                         : CLR_INVALID;
    });
    line.Write([&] {
        return CallText("GetPixel", {NameOf(dc), to_string(x), to_string(y)}, Hex(color, 8));
    });
    return color;
}
