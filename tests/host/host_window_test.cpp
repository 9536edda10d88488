// --view window's plugin on SDL's offscreen video driver, with no display: the keys it passes on
// and the size it opens at.
#include <SDL.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "quorvel/device.hpp"
#include "view/live_view.h"

namespace quorvel_test {
namespace {

using quorvel::host::Key;
using quorvel::host::LiveView;

std::unique_ptr<LiveView> OpenWindow(std::string* error) {
    ::setenv("SDL_VIDEODRIVER", "offscreen", 1);
    // Without EGL the offscreen driver draws in software; Mesa's EGL would keep allocations the
    // sanitizers' leak check reports.
    ::setenv("SDL_VIDEO_EGL_DRIVER", "/nonexistent/libEGL.so.1", 1);
    void* plugin = ::dlopen(QUORVEL_WINDOW_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        *error = ::dlerror();
        return nullptr;
    }
    using Open = LiveView* (*)(const std::string& title, std::string* error);
    const auto open = reinterpret_cast<Open>(::dlsym(plugin, "quorvel_open_window_view"));
    if (open == nullptr) {
        *error = "no entry point";
        return nullptr;
    }
    return std::unique_ptr<LiveView>(open("quorvel play (2 files)", error));
}

void Press(SDL_Keycode key) {
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.state = SDL_PRESSED;
    event.key.keysym.sym = key;
    ASSERT_EQ(SDL_PushEvent(&event), 1) << SDL_GetError();
}

// The keys reach the session as the terminal's do: n skips to the next file, as the title says.
TEST(Window, PassesOnTheKeysItsTitleNamesAndFitsAnEightHundredBySixHundredScreen) {
    std::string error;
    const std::unique_ptr<LiveView> view = OpenWindow(&error);
    ASSERT_TRUE(view) << error;
    view->Update("1/2 a.wav  (space: pause, n: next, q: quit)", true);
    for (const SDL_Keycode key : {SDLK_n, SDLK_SPACE, SDLK_RETURN, SDLK_q}) Press(key);
    std::vector<Key> keys;
    view->PollKeys(&keys);
    EXPECT_EQ(keys, (std::vector<Key>{Key::kNext, Key::kSpace, Key::kEnter, Key::kQuit}));

    // The whole window, with a title bar above it, fits 800x600 at the screen's shape.
    SDL_Window* window = SDL_GetWindowFromID(1);
    ASSERT_NE(window, nullptr);
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window, &width, &height);
    const quorvel::device::ScreenSize screen = quorvel::device::GetScreenSize();
    EXPECT_LE(width, 800);
    EXPECT_LE(height, 600 - 30);
    EXPECT_GE(height, screen.height) << "shrunk below the device's own size";
    EXPECT_NEAR(static_cast<double>(width) / height,
                static_cast<double>(screen.width) / screen.height, 0.01);
}

}  // namespace
}  // namespace quorvel_test
