// The screen's state and the host-side views of it.
#include "screen/screen.h"

#include <algorithm>
#include <string>

#include "base/call_result.h"
#include "base/never_destroyed.h"

namespace quorvel::device {
namespace detail {

Screen& TheScreen() {
    return NeverDestroyed<Screen>();
}

void RgbOfPixels(const COLORREF* pixels, int width, int height, std::uint8_t* rgb) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const COLORREF pixel = pixels[static_cast<std::size_t>(x) * height + y];
            *rgb++ = GetRValue(pixel);
            *rgb++ = GetGValue(pixel);
            *rgb++ = GetBValue(pixel);
        }
    }
}

}  // namespace detail
}  // namespace quorvel::device

namespace qd = quorvel::device::detail;

extern "C" {

qwd_result qwd_screen_set_size(int32_t width, int32_t height) {
    if (width < 1 || height < 1 || width > QWD_MAX_SCREEN_SIDE || height > QWD_MAX_SCREEN_SIDE) {
        return qd::Fail(QWD_ERROR_ARGUMENT, "Screen size " + std::to_string(width) + "x" +
                                                std::to_string(height) + " is outside 1.." +
                                                std::to_string(QWD_MAX_SCREEN_SIDE) + " each way.");
    }
    qd::Screen& screen = qd::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    screen.width = width;
    screen.height = height;
    screen.pixels.assign(static_cast<std::size_t>(width) * height, qd::kBlack);
    screen.Bump();
    return QWD_OK;
}

void qwd_screen_size(int32_t* width, int32_t* height) {
    qd::Screen& screen = qd::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    if (width != nullptr) *width = screen.width;
    if (height != nullptr) *height = screen.height;
}

void qwd_screen_clear(uint32_t colorref) {
    qd::Screen& screen = qd::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    std::fill(screen.pixels.begin(), screen.pixels.end(), colorref & qd::kRgbMask);
    screen.Bump();
}

uint32_t qwd_screen_pixel(int32_t x, int32_t y) {
    qd::Screen& screen = qd::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    if (x < 0 || y < 0 || x >= screen.width || y >= screen.height) return CLR_INVALID;
    return screen.At(x, y);
}

qwd_result qwd_screen_read_rgb(uint8_t* rgb, size_t capacity, size_t* needed) {
    qd::Screen& screen = qd::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    const std::size_t size = screen.pixels.size() * 3;
    if (needed != nullptr) *needed = size;
    if (capacity < size || rgb == nullptr) {
        return qd::Fail(QWD_ERROR_BUFFER, "The screen needs " + std::to_string(size) +
                                              " bytes; the buffer holds " +
                                              std::to_string(capacity) + ".");
    }
    qd::RgbOfPixels(screen.pixels.data(), screen.width, screen.height, rgb);
    return QWD_OK;
}

uint64_t qwd_screen_generation(void) {
    return qd::TheScreen().generation.load(std::memory_order_acquire);
}

uint64_t qwd_screen_live_objects(void) {
    qd::Screen& screen = qd::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    const std::size_t stock = screen.stockPen != 0 ? 2 : 0;  // made together, never deleted
    return screen.objects.size() - stock;
}

}  // extern "C"

void quorvel::device::detail::ResetScreen() {
    qwd_screen_set_size(QWD_DEFAULT_SCREEN_WIDTH, QWD_DEFAULT_SCREEN_HEIGHT);
}
