#include "view/chafa_picture.h"

#include <chafa.h>

#include <cstdio>

#include "system/shared_library.h"

namespace quorvel::host {
namespace {

// libchafa works on cells of 8 x 8 pixels: each dot is drawn as the block of pixels it covers
// there, so libchafa's scaling is one to one and only the choice of symbol is left to it.
constexpr int kCellPixels = 8;

struct ChafaCalls {
    decltype(&chafa_symbol_map_new) symbolMapNew = nullptr;
    decltype(&chafa_symbol_map_add_by_tags) symbolMapAddByTags = nullptr;
    decltype(&chafa_symbol_map_unref) symbolMapUnref = nullptr;
    decltype(&chafa_canvas_config_new) configNew = nullptr;
    decltype(&chafa_canvas_config_set_geometry) configSetGeometry = nullptr;
    decltype(&chafa_canvas_config_set_canvas_mode) configSetCanvasMode = nullptr;
    decltype(&chafa_canvas_config_set_symbol_map) configSetSymbolMap = nullptr;
    decltype(&chafa_canvas_config_set_bg_color) configSetBgColor = nullptr;
    decltype(&chafa_canvas_config_set_fg_only_enabled) configSetFgOnly = nullptr;
    decltype(&chafa_canvas_config_unref) configUnref = nullptr;
    decltype(&chafa_canvas_new) canvasNew = nullptr;
    decltype(&chafa_canvas_draw_all_pixels) canvasDrawAllPixels = nullptr;
    decltype(&chafa_canvas_print) canvasPrint = nullptr;
    decltype(&chafa_canvas_unref) canvasUnref = nullptr;
    decltype(&g_string_free) stringFree = nullptr;  // GLib's, reached through libchafa
};

// One canvas, made again only when the picture's cells or background change.
struct Canvas {
    ChafaSymbolMap* symbols = nullptr;
    ChafaCanvasConfig* config = nullptr;
    ChafaCanvas* canvas = nullptr;
    int columns = 0;
    int rows = 0;
    std::uint32_t background = 0;
};

const ChafaCalls* Chafa(std::string* reason) {
    static std::string why;
    static const ChafaCalls* const loaded = []() -> const ChafaCalls* {
        static ChafaCalls calls;
        void* library = LoadLibrary({"libchafa.so.0"}, &why).handle;
        if (library == nullptr) return nullptr;
        const bool complete =
            FindSymbol(library, "chafa_symbol_map_new", &calls.symbolMapNew) &&
            FindSymbol(library, "chafa_symbol_map_add_by_tags", &calls.symbolMapAddByTags) &&
            FindSymbol(library, "chafa_symbol_map_unref", &calls.symbolMapUnref) &&
            FindSymbol(library, "chafa_canvas_config_new", &calls.configNew) &&
            FindSymbol(library, "chafa_canvas_config_set_geometry", &calls.configSetGeometry) &&
            FindSymbol(library, "chafa_canvas_config_set_canvas_mode",
                       &calls.configSetCanvasMode) &&
            FindSymbol(library, "chafa_canvas_config_set_symbol_map", &calls.configSetSymbolMap) &&
            FindSymbol(library, "chafa_canvas_config_set_bg_color", &calls.configSetBgColor) &&
            FindSymbol(library, "chafa_canvas_config_set_fg_only_enabled",
                       &calls.configSetFgOnly) &&
            FindSymbol(library, "chafa_canvas_config_unref", &calls.configUnref) &&
            FindSymbol(library, "chafa_canvas_new", &calls.canvasNew) &&
            FindSymbol(library, "chafa_canvas_draw_all_pixels", &calls.canvasDrawAllPixels) &&
            FindSymbol(library, "chafa_canvas_print", &calls.canvasPrint) &&
            FindSymbol(library, "chafa_canvas_unref", &calls.canvasUnref) &&
            FindSymbol(library, "g_string_free", &calls.stringFree);
        if (!complete) {
            why = "the libchafa.so.0 found lacks calls quorvel uses";
            return nullptr;
        }
        // A picture is small work: no pool of threads for it.
        decltype(&chafa_set_n_threads) setThreads = nullptr;
        if (FindSymbol(library, "chafa_set_n_threads", &setThreads)) setThreads(1);
        return &calls;
    }();
    if (loaded == nullptr && reason != nullptr) *reason = why;
    return loaded;
}

}  // namespace

bool RenderBraille(const std::vector<std::uint8_t>& dots, int columns, int rows,
                   std::uint32_t background, std::vector<std::string>* out, std::string* reason) {
    const ChafaCalls* chafa = Chafa(reason);
    if (chafa == nullptr) return false;
    const int dotWidth = columns * kBrailleDotColumns;
    const int width = columns * kCellPixels;
    const int height = rows * kCellPixels;
    // Kept between pictures: drawn on the session's thread only.
    static std::vector<std::uint8_t> pixels;
    pixels.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const int dy = y * kBrailleDotRows / kCellPixels;
        for (int x = 0; x < width; ++x) {
            const int dx = x * kBrailleDotColumns / kCellPixels;
            const std::size_t from = (static_cast<std::size_t>(dy) * dotWidth + dx) * 3;
            const std::size_t to = (static_cast<std::size_t>(y) * width + x) * 3;
            for (int c = 0; c < 3; ++c)
                pixels[to + c] = from + 2 < dots.size() ? dots[from + c] : 0;
        }
    }

    static Canvas made;
    if (made.canvas == nullptr || made.columns != columns || made.rows != rows ||
        made.background != background) {
        if (made.canvas != nullptr) {
            chafa->canvasUnref(made.canvas);
            chafa->configUnref(made.config);
            chafa->symbolMapUnref(made.symbols);
        }
        made.symbols = chafa->symbolMapNew();
        chafa->symbolMapAddByTags(made.symbols, CHAFA_SYMBOL_TAG_BRAILLE);
        made.config = chafa->configNew();
        chafa->configSetGeometry(made.config, columns, rows);
        chafa->configSetCanvasMode(made.config, CHAFA_CANVAS_MODE_TRUECOLOR);
        chafa->configSetSymbolMap(made.config, made.symbols);
        // The dots in the trace's colour over the panel's, which each row sets itself:
        // libchafa would otherwise blend the two into the spaces between the dots.
        chafa->configSetBgColor(made.config, background);
        chafa->configSetFgOnly(made.config, TRUE);
        made.canvas = chafa->canvasNew(made.config);
        made.columns = columns;
        made.rows = rows;
        made.background = background;
    }
    ChafaCanvas* canvas = made.canvas;
    chafa->canvasDrawAllPixels(canvas, CHAFA_PIXEL_RGB8, pixels.data(), width, height, width * 3);
    GString* text = chafa->canvasPrint(canvas, nullptr);
    char backdrop[32];
    std::snprintf(backdrop, sizeof backdrop, "\x1b[48;2;%u;%u;%um", (background >> 16) & 0xFFu,
                  (background >> 8) & 0xFFu, background & 0xFFu);
    // Each row stands alone, in the background colour and the dots' colour it starts with:
    // libchafa sends a colour only where it changes.
    out->clear();
    const std::string all(text->str, text->len);
    std::string foreground;
    for (std::size_t start = 0;
         start < all.size() && out->size() < static_cast<std::size_t>(rows);) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        const std::string row = all.substr(start, end - start);
        out->push_back(backdrop + foreground + row + "\x1b[0m");
        for (std::size_t at = row.find("\x1b[38;"); at != std::string::npos;
             at = row.find("\x1b[38;", at + 1)) {
            foreground = row.substr(at, row.find('m', at) + 1 - at);
        }
        start = end + 1;
    }
    chafa->stringFree(text, TRUE);
    return true;
}

}  // namespace quorvel::host
