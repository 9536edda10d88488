#include "view/live_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "cli/text.h"
#include "quorvel/device.hpp"
#include "view/chafa_picture.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(40);
constexpr const char* kUpperHalfBlock = "\u2580";
// Below this a picture says nothing; the status line is shown alone.
constexpr int kSmallestColumns = 16;
constexpr int kSmallestTextRows = 4;
// The status line and the summary printed after the session.
constexpr int kTextRowsKept = 2;

void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Cuts `text` to `columns` characters so it never wraps (which would break redrawing in place).
std::string FitToWidth(const std::string& text, int columns) {
    int characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lead = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (lead && ++characters > columns) return text.substr(0, i);
    }
    return text;
}

int TerminalColumns() {
    int columns = 0;
    int rows = 0;
    return TerminalSize(&columns, &rows) ? columns : kUnknownTerminalColumns;
}

void AppendColor(std::string* out, const char* layer, const Rgb& color) {
    char text[32];
    std::snprintf(text, sizeof text, "\x1b[%s;2;%d;%d;%dm", layer, color.r, color.g, color.b);
    *out += text;
}

// The picture pixel (px, py): the first non-background colour in its box of screen pixels.
Rgb SamplePixel(const std::vector<std::uint8_t>& rgb, int screenWidth, const Region& region,
                const PictureSize& size, int px, int py, Rgb background) {
    const int x0 = region.x + px * region.width / size.width;
    const int x1 = std::max(x0 + 1, region.x + (px + 1) * region.width / size.width);
    const int y0 = region.y + py * region.height / size.height;
    const int y1 = std::max(y0 + 1, region.y + (py + 1) * region.height / size.height);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const std::size_t at = (static_cast<std::size_t>(y) * screenWidth + x) * 3;
            if (at + 2 >= rgb.size()) continue;
            const Rgb pixel{rgb[at], rgb[at + 1], rgb[at + 2]};
            if (pixel != background) return pixel;
        }
    }
    return background;
}

// No picture: the status line alone (on a terminal).
class StatusOnlyView final : public LiveView {
  public:
    void Update(const std::string& status, bool force) override {
        const Clock::time_point now = Clock::now();
        if (!force && now - lastDraw_ < kRedrawInterval) return;
        lastDraw_ = now;
        line_.Show(status);
    }
    void Finish(const std::string& status) override { line_.Finish(status); }
    bool Shown() const override { return line_.shown(); }

  private:
    StatusLine line_;
    Clock::time_point lastDraw_;
};

// The panel as half-block characters above the status line, redrawn in place.
class TerminalView final : public LiveView {
  public:
    TerminalView(Rgb background, int columns, int rows)
        : background_(background), columns_(columns) {
        const int textRows = rows - kTextRowsKept;
        if (columns >= kSmallestColumns && textRows >= kSmallestTextRows) {
            size_ = FitPicture(kPanelRegion, columns, textRows);
        }
    }

    ~TerminalView() override {
        if (drawn_) Write("\x1b[?25h");
    }

    TerminalView(const TerminalView&) = delete;
    TerminalView& operator=(const TerminalView&) = delete;

    void Update(const std::string& status, bool force) override {
        const Clock::time_point now = Clock::now();
        if (!force && now - lastDraw_ < kRedrawInterval) return;
        const std::uint64_t generation = device::PresentedScreenGeneration();
        if (drawn_ && generation == generation_ && status == status_) return;
        lastDraw_ = now;
        generation_ = generation;
        status_ = status;
        Draw();
    }

    void Finish(const std::string& status) override {
        status_ = status;
        generation_ = device::PresentedScreenGeneration();
        Draw();
        Write("\n\x1b[?25h");
        drawn_ = false;
    }

  private:
    void Draw() {
        std::string frame;
        const int pictureRows = (size_.height + 1) / 2;
        if (drawn_) {
            // Back to the picture's first row: the cursor rests on the status line.
            frame += "\r";
            if (pictureRows > 0) frame += "\x1b[" + std::to_string(pictureRows) + "A";
        } else {
            frame += "\x1b[?25l";  // no cursor flickering over the picture
        }
        if (pictureRows > 0) {
            // The picture is made again only when the screen changed, not for the status line.
            if (rows_.empty() || rowsGeneration_ != generation_) {
                const device::ScreenSize screen = device::GetScreenSize();
                const std::vector<std::uint8_t> rgb = device::ReadPresentedScreenRgb();
                // Half blocks where libchafa is missing: half the resolution, but a picture.
                if (!RenderBraillePicture(rgb, screen.width, kPanelRegion, size_, background_,
                                          &rows_)) {
                    rows_ = RenderHalfBlocks(rgb, screen.width, kPanelRegion, size_, background_);
                }
                rowsGeneration_ = generation_;
            }
            for (const std::string& row : rows_) frame += row + "\x1b[K\n";
        }
        frame += FitToWidth(status_, columns_ - 1) + "\x1b[K";
        Write(frame);
        drawn_ = true;
    }

    const Rgb background_;
    const int columns_;
    PictureSize size_{0, 0};
    bool drawn_ = false;
    std::uint64_t generation_ = 0;
    std::vector<std::string> rows_;  // the picture last made, for the screen of rowsGeneration_
    std::uint64_t rowsGeneration_ = 0;
    std::string status_;
    Clock::time_point lastDraw_;
};

}  // namespace

PictureSize FitPicture(const Region& region, int columns, int textRows) {
    const double scale = std::max({1.0, static_cast<double>(region.width) / columns,
                                   static_cast<double>(region.height) / (2.0 * textRows)});
    return PictureSize{std::max(1, static_cast<int>(region.width / scale)),
                       std::max(1, static_cast<int>(region.height / scale))};
}

std::vector<std::string> RenderHalfBlocks(const std::vector<std::uint8_t>& rgb, int screenWidth,
                                          const Region& region, const PictureSize& size,
                                          Rgb background) {
    std::vector<std::string> rows;
    for (int py = 0; py < size.height; py += 2) {
        std::string row;
        bool first = true;
        Rgb foreground{};
        Rgb backdrop{};
        for (int px = 0; px < size.width; ++px) {
            const Rgb top = SamplePixel(rgb, screenWidth, region, size, px, py, background);
            // An odd last row leaves the lower halves in the background colour.
            const Rgb bottom = py + 1 < size.height ? SamplePixel(rgb, screenWidth, region, size,
                                                                  px, py + 1, background)
                                                    : background;
            // Colours are sent only where they change.
            if (first || top != foreground) AppendColor(&row, "38", top);
            if (first || bottom != backdrop) AppendColor(&row, "48", bottom);
            first = false;
            foreground = top;
            backdrop = bottom;
            row += kUpperHalfBlock;
        }
        row += "\x1b[0m";
        rows.push_back(row);
    }
    return rows;
}

bool RenderBraillePicture(const std::vector<std::uint8_t>& rgb, int screenWidth,
                          const Region& region, const PictureSize& size, Rgb background,
                          std::vector<std::string>* rows) {
    const int columns = size.width;
    const int textRows = (size.height + 1) / 2;
    // Two by two dots for each half-block pixel: the same cells, twice the detail each way.
    const PictureSize dotSize{columns * kBrailleDotColumns, size.height * 2};
    const int dotWidth = columns * kBrailleDotColumns;
    std::vector<std::uint8_t> dots(static_cast<std::size_t>(dotWidth) * textRows * kBrailleDotRows *
                                   3);
    for (std::size_t at = 0; at < dots.size(); at += 3) {
        dots[at] = background.r;
        dots[at + 1] = background.g;
        dots[at + 2] = background.b;
    }
    for (int dy = 0; dy < dotSize.height; ++dy) {
        for (int dx = 0; dx < dotSize.width; ++dx) {
            const Rgb dot = SamplePixel(rgb, screenWidth, region, dotSize, dx, dy, background);
            const std::size_t at = (static_cast<std::size_t>(dy) * dotWidth + dx) * 3;
            dots[at] = dot.r;
            dots[at + 1] = dot.g;
            dots[at + 2] = dot.b;
        }
    }
    const std::uint32_t packed =
        (std::uint32_t{background.r} << 16) | (std::uint32_t{background.g} << 8) | background.b;
    return RenderBraille(dots, columns, textRows, packed, rows, nullptr);
}

Rgb RgbFromColorRef(std::uint32_t colorref) {
    return Rgb{static_cast<std::uint8_t>(colorref & 0xFF),
               static_cast<std::uint8_t>((colorref >> 8) & 0xFF),
               static_cast<std::uint8_t>((colorref >> 16) & 0xFF)};
}

StatusLine::StatusLine() : terminal_(StderrIsTerminal() && !Quiet()) {}

void StatusLine::Show(const std::string& status) {
    if (!terminal_ || status == shown_) return;
    shown_ = status;
    Write("\r" + FitToWidth(status, TerminalColumns() - 1) + "\x1b[K");
}

void StatusLine::Finish(const std::string& status) {
    if (!terminal_) return;
    Show(status);
    Write("\n");
}

std::unique_ptr<LiveView> MakeView(ViewKind kind, std::uint32_t backColor, const std::string& title,
                                   Problem* problem) {
    // Views show the screen drawn for the block heard now; the keeping starts before the first
    // block is drawn.
    if (kind != ViewKind::kNone) device::EnablePresentation();
    switch (kind) {
        case ViewKind::kWindow:
            return MakeWindowView(title, problem);
        case ViewKind::kTerminal: {
            int columns = 0;
            int rows = 0;
            if (!TerminalSize(&columns, &rows)) {
                Fail(problem, kExitUsage, "--view terminal needs a terminal on standard error.");
                return nullptr;
            }
            return std::make_unique<TerminalView>(RgbFromColorRef(backColor), columns, rows);
        }
        case ViewKind::kNone:
            break;
    }
    return std::make_unique<StatusOnlyView>();
}

}  // namespace quorvel::host
