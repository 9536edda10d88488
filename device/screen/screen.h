// The device's screen: one process-wide framebuffer that every "DISPLAY" context draws on, and
// the GDI objects (contexts, pens, brushes) kept with it under one lock, since drawing needs both.
#ifndef QUORVEL_DEVICE_SCREEN_H
#define QUORVEL_DEVICE_SCREEN_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "base/internal.h"
#include "quorvel/device.h"

namespace quorvel::device::detail {

constexpr COLORREF kBlack = 0x000000;
constexpr COLORREF kWhite = 0xFFFFFF;
// Only the low 24 bits of a COLORREF name a colour; the top byte selects palette modes.
constexpr COLORREF kRgbMask = 0x00FFFFFF;
// Wider pens are drawn at this width so that a huge width cannot make a call take forever.
constexpr int kMaxPenWidth = 64;

struct GdiObject {
    COLORREF color = 0;  // pens and brushes, in RGB (kRgbMask)
    int penStyle = PS_SOLID;
    int penWidth = 1;  // 1 to kMaxPenWidth
    bool stock = false;
    int selections = 0;        // pens and brushes: contexts this object is selected into
    std::uintptr_t pen = 0;    // contexts: the selected pen
    std::uintptr_t brush = 0;  // contexts: the selected brush
};

struct Screen {
    std::mutex mutex;
    int width = QWD_DEFAULT_SCREEN_WIDTH;
    int height = QWD_DEFAULT_SCREEN_HEIGHT;
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
    // With the lock held: a pixel changed, so live views redraw.
    void Bump() { generation.fetch_add(1, std::memory_order_acq_rel); }
};

// The one screen; never destroyed, since device threads draw on it.
Screen& TheScreen();

// Back to the size at start, all black (for qwd_reset_all).
void ResetScreen();

// Pixels kept as the screen keeps them (column by column) as rows of R, G, B bytes, top row
// first, into width * height * 3 bytes at `rgb`.
void RgbOfPixels(const COLORREF* pixels, int width, int height, std::uint8_t* rgb);

// The rasteriser, with the screen's lock held; each bumps the generation when a pixel changed.
// A rectangle with `pen` for its outline (inside the rectangle, as wide as the pen) and
// `brushColor` inside, as GDI's Rectangle draws it.
void DrawRectangle(Screen& screen, int left, int top, int right, int bottom, const GdiObject& pen,
                   COLORREF brushColor);
// Lines from each point to the next, the last point left out, as GDI's Polyline draws them.
void DrawPolyline(Screen& screen, const POINT* points, int count, const GdiObject& pen);

}  // namespace quorvel::device::detail

#endif
