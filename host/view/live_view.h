// Live views of the device's screen while a command runs: braille (or half-block) pictures in
// the terminal, an SDL2 window, or just a status line.
#ifndef QUORVEL_HOST_LIVE_VIEW_H
#define QUORVEL_HOST_LIVE_VIEW_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuorvelWaveForm.h"
#include "cli/problem.h"
#include "view/terminal.h"

namespace quorvel::host {

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
    bool operator!=(const Rgb& other) const { return !(*this == other); }
};

struct Region {
    int x, y, width, height;
};

// The trace panel: the only part of the screen the module draws.
constexpr Region kPanelRegion{QWF_PANEL_LEFT, QWF_PANEL_TOP, QWF_PANEL_RIGHT - QWF_PANEL_LEFT,
                              QWF_PANEL_BOTTOM - QWF_PANEL_TOP};

struct PictureSize {
    int width, height;  // pixels; two pixel rows make one text row
};

// `region` scaled down (never up), keeping its shape, to fit `columns` by `textRows` cells.
PictureSize FitPicture(const Region& region, int columns, int textRows);

// Renders `region` of an RGB screen image `screenWidth` pixels wide at `size`, one string per
// text row of upper half blocks with 24-bit colours, each ending in a colour reset. Each
// picture pixel stands for a box of screen pixels and takes the first colour in it that is not
// `background`, so a one-pixel trace survives the scaling.
std::vector<std::string> RenderHalfBlocks(const std::vector<std::uint8_t>& rgb, int screenWidth,
                                          const Region& region, const PictureSize& size,
                                          Rgb background);
// The same cells in braille through libchafa, two by two dots for each of those pixels,
// sampled the same way. False when libchafa cannot be loaded.
bool RenderBraillePicture(const std::vector<std::uint8_t>& rgb, int screenWidth,
                          const Region& region, const PictureSize& size, Rgb background,
                          std::vector<std::string>* rows);

Rgb RgbFromColorRef(std::uint32_t colorref);

class LiveView {
  public:
    virtual ~LiveView() = default;
    // Called on every pass of a session's loop; redraws at a limited rate, or now if `force`.
    virtual void Update(const std::string& status, bool force) = 0;
    virtual void PollKeys(std::vector<Key>* /*keys*/) {}
    // Leaves the last picture and status in place for the summary that follows.
    virtual void Finish(const std::string& status) = 0;
    // Whether anything is shown to a person, who would notice a late redraw.
    virtual bool Shown() const { return true; }
};

enum class ViewKind { kTerminal, kWindow, kNone };

// `backColor` is the panel's background (COLORREF); `title` names the window. Null, with a
// problem (a usage one for the terminal, a device one for the window), when the view
// cannot be shown.
std::unique_ptr<LiveView> MakeView(ViewKind kind, std::uint32_t backColor, const std::string& title,
                                   Problem* problem);

// The SDL2 window, when this program was built with SDL2.
std::unique_ptr<LiveView> MakeWindowView(const std::string& title, Problem* problem);

// A status line redrawn in place on a terminal, nothing otherwise.
class StatusLine {
  public:
    StatusLine();
    void Show(const std::string& status);
    void Finish(const std::string& status);
    bool shown() const { return terminal_; }

  private:
    bool terminal_;
    std::string shown_;
};

}  // namespace quorvel::host

#endif
