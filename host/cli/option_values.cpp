#include "cli/option_values.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace quorvel::host {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const int lower = std::tolower(static_cast<unsigned char>(c));
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
    return -1;
}

}  // namespace

bool ParseColor(const std::string& text, std::uint32_t* colorref) {
    const std::string digits = (!text.empty() && text[0] == '#') ? text.substr(1) : text;
    if (digits.size() != 6) return false;
    std::uint32_t rgb = 0;
    for (const char c : digits) {
        const int value = HexDigit(c);
        if (value < 0) return false;
        rgb = (rgb << 4) | static_cast<std::uint32_t>(value);
    }
    const std::uint32_t red = (rgb >> 16) & 0xFF;
    const std::uint32_t green = (rgb >> 8) & 0xFF;
    const std::uint32_t blue = rgb & 0xFF;
    *colorref = red | (green << 8) | (blue << 16);
    return true;
}

std::string CaptureFormatText(const char* separator) {
    return std::to_string(QWF_CAPTURE_RATE) + " Hz" + separator +
           (QWF_CAPTURE_CHANNELS == 1 ? std::string("mono")
                                      : std::to_string(QWF_CAPTURE_CHANNELS) + " channels") +
           separator + std::to_string(QWF_CAPTURE_BITS) + "-bit";
}

std::uint64_t BlocksForSeconds(double seconds) {
    const double blocks = std::ceil(seconds / kCaptureBlockSeconds - 1e-9);
    return blocks < 1 ? 1 : static_cast<std::uint64_t>(blocks);
}

}  // namespace quorvel::host
