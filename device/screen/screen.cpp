// The screen's state and the host-side views of it.
#include "screen/screen.h"

#include <algorithm>

#include "core/never_destroyed.h"
#include "screen/drawn_states.h"

namespace quorvel::device {
namespace detail {

Screen& TheScreen() {
    return NeverDestroyed<Screen>();
}

void Bump(Screen& screen) {
    screen.generation.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace detail

namespace {

constexpr int kMaxScreenSide = 4096;

}  // namespace

bool SetScreenSize(int width, int height) {
    if (width < 1 || height < 1 || width > kMaxScreenSide || height > kMaxScreenSide) {
        return false;
    }
    detail::Screen& screen = detail::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    screen.width = width;
    screen.height = height;
    screen.pixels.assign(static_cast<std::size_t>(width) * height, detail::kBlack);
    detail::Bump(screen);
    return true;
}

ScreenSize GetScreenSize() {
    detail::Screen& screen = detail::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    return ScreenSize{screen.width, screen.height};
}

void ClearScreen(std::uint32_t colorref) {
    detail::Screen& screen = detail::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    std::fill(screen.pixels.begin(), screen.pixels.end(), colorref & detail::kRgbMask);
    detail::Bump(screen);
}

std::uint32_t ScreenPixel(int x, int y) {
    detail::Screen& screen = detail::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    if (x < 0 || y < 0 || x >= screen.width || y >= screen.height) return CLR_INVALID;
    return screen.At(x, y);
}

std::vector<std::uint8_t> ReadScreenRgb() {
    detail::ScreenImage image;
    detail::CopyScreen(&image);
    return detail::RgbOf(image);
}

std::uint64_t ScreenGeneration() {
    return detail::TheScreen().generation.load(std::memory_order_acquire);
}

std::size_t LiveScreenObjects() {
    detail::Screen& screen = detail::TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    const std::size_t stock = screen.stockPen != 0 ? 2 : 0;  // made together, never deleted
    return screen.objects.size() - stock;
}

namespace detail {

void ResetScreenPart() {
    Screen& screen = TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    screen.width = kDefaultScreenWidth;
    screen.height = kDefaultScreenHeight;
    screen.pixels.assign(static_cast<std::size_t>(screen.width) * screen.height, kBlack);
    Bump(screen);
}

}  // namespace detail
}  // namespace quorvel::device
