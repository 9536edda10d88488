// The terminal picture in braille, two by four dots a character cell: twice the half blocks'
// resolution each way, and a glyph nearly every terminal font has. libchafa picks the
// symbols and writes the text; it (and GLib) are loaded the first time a picture is drawn, so
// a command without a terminal picture never maps them.
#ifndef QUORVEL_HOST_CHAFA_PICTURE_H
#define QUORVEL_HOST_CHAFA_PICTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::host {

constexpr int kBrailleDotColumns = 2;
constexpr int kBrailleDotRows = 4;

// `dots` is an RGB image of `columns` x `rows` cells' dots, two colours at most: `background`
// (0xRRGGBB) and the trace's. One string per text row, each starting in the background colour
// and ending in a colour reset. False, with the reason, when libchafa cannot be loaded.
bool RenderBraille(const std::vector<std::uint8_t>& dots, int columns, int rows,
                   std::uint32_t background, std::vector<std::string>* out, std::string* reason);

}  // namespace quorvel::host

#endif
