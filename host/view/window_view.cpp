// The live view as an SDL2 window showing the whole device screen at up to twice its size:
// quorvel's plugin quorvel-window.so, loaded only for --view window (window_loader.cpp).
#include <SDL.h>

#include <algorithm>
#include <chrono>

#include "view/live_view.h"
#include "quorvel/device.hpp"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using Clock = std::chrono::steady_clock;

constexpr double kZoom = 2;
constexpr auto kRedrawInterval = std::chrono::milliseconds(30);
// The smallest screen the window must fit whole, and the room its title bar and a desktop's
// panel take from the height.
constexpr int kSmallScreenWidth = 800;
constexpr int kSmallScreenHeight = 600;
constexpr int kDecorationHeight = 64;

// The device screen at twice its size, scaled down (keeping its shape) where that would not fit
// an 800x600 screen or the display's usable area. A person can still enlarge the window.
SDL_Point WindowSize(const device::ScreenSize& screen) {
    int width = kSmallScreenWidth;
    int height = kSmallScreenHeight - kDecorationHeight;
    if (SDL_Rect usable; SDL_GetDisplayUsableBounds(0, &usable) == 0) {
        width = std::min(width, usable.w);
        height = std::min(height, usable.h - kDecorationHeight);
    }
    const double scale = std::min({kZoom, static_cast<double>(width) / screen.width,
                                   static_cast<double>(height) / screen.height});
    return SDL_Point{std::max(1, static_cast<int>(screen.width * scale)),
                     std::max(1, static_cast<int>(screen.height * scale))};
}

class WindowView final : public LiveView {
  public:
    explicit WindowView(std::string title) : title_(std::move(title)) {}

    ~WindowView() override {
        if (texture_ != nullptr) SDL_DestroyTexture(texture_);
        if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
        if (window_ != nullptr) SDL_DestroyWindow(window_);
        // Only the video part: the device services may use SDL's audio in this process.
        if (started_) SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    WindowView(const WindowView&) = delete;
    WindowView& operator=(const WindowView&) = delete;

    bool Open(std::string* error) {
        // Ctrl-C and SIGTERM stay with the program, which ends a session properly on them.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
            *error = std::string("Cannot open a window: ") + SDL_GetError() + ".";
            return false;
        }
        started_ = true;
        const SDL_Point size = WindowSize(device::GetScreenSize());
        window_ = SDL_CreateWindow(title_.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                   size.x, size.y, SDL_WINDOW_RESIZABLE);
        if (window_ != nullptr) renderer_ = SDL_CreateRenderer(window_, -1, 0);
        if (renderer_ == nullptr) {
            *error = std::string("Cannot open a window: ") + SDL_GetError() + ".";
            return false;
        }
        return true;
    }

    void Update(const std::string& status, bool force) override {
        const Clock::time_point now = Clock::now();
        if (!force && now - lastDraw_ < kRedrawInterval) return;
        lastDraw_ = now;
        if (status != status_) {
            status_ = status;
            SDL_SetWindowTitle(window_, (title_ + " - " + status).c_str());
        }
        const std::uint64_t generation = device::PresentedScreenGeneration();
        if (drawn_ && generation == generation_) return;
        generation_ = generation;
        Draw();
    }

    void PollKeys(std::vector<Key>* keys) override {
        SDL_Event event;
        while (SDL_PollEvent(&event) != 0) {
            if (event.type == SDL_QUIT) keys->push_back(Key::kQuit);
            if (event.type == SDL_WINDOWEVENT) drawn_ = false;  // exposed or resized: redraw
            if (event.type != SDL_KEYDOWN || event.key.repeat != 0) continue;
            switch (event.key.keysym.sym) {
                case SDLK_SPACE:
                    keys->push_back(Key::kSpace);
                    break;
                case SDLK_n:
                    keys->push_back(Key::kNext);
                    break;
                case SDLK_q:
                case SDLK_ESCAPE:
                    keys->push_back(Key::kQuit);
                    break;
                case SDLK_RETURN:
                case SDLK_KP_ENTER:
                    keys->push_back(Key::kEnter);
                    break;
                default:
                    break;
            }
        }
    }

    void Finish(const std::string& status) override { Update(status, true); }

  private:
    void Draw() {
        const device::ScreenSize screen = device::GetScreenSize();
        if (texture_ == nullptr || screen.width != textureWidth_ ||
            screen.height != textureHeight_) {
            if (texture_ != nullptr) SDL_DestroyTexture(texture_);
            texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB24,
                                         SDL_TEXTUREACCESS_STREAMING, screen.width, screen.height);
            textureWidth_ = screen.width;
            textureHeight_ = screen.height;
            // Scaled to whatever size the window is given, keeping the screen's shape.
            SDL_RenderSetLogicalSize(renderer_, screen.width, screen.height);
        }
        if (texture_ == nullptr) return;
        const std::vector<std::uint8_t> rgb = device::ReadPresentedScreenRgb();
        if (rgb.size() < static_cast<std::size_t>(screen.width) * screen.height * 3) return;
        SDL_UpdateTexture(texture_, nullptr, rgb.data(), screen.width * 3);
        SDL_RenderClear(renderer_);
        SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
        SDL_RenderPresent(renderer_);
        drawn_ = true;
    }

    const std::string title_;
    bool started_ = false;
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    int textureWidth_ = 0;
    int textureHeight_ = 0;
    bool drawn_ = false;
    std::uint64_t generation_ = 0;
    std::string status_;
    Clock::time_point lastDraw_;
};

}  // namespace

}  // namespace quorvel::host

// The plugin's one export: the window opened, or null with a sentence in *error. The status
// line on the terminal is the program's (window_loader.cpp).
extern "C" __attribute__((visibility("default"))) quorvel::host::LiveView* quorvel_open_window_view(
    const std::string& title, std::string* error) {
    auto view = std::make_unique<quorvel::host::WindowView>(title);
    if (!view->Open(error)) return nullptr;
    return view.release();
}
