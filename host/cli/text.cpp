#include "cli/text.h"

#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace quorvel::host {
namespace {

bool quiet = false;

// Length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return 0;
    }
    const auto second = static_cast<unsigned char>(text[at + 1]);
    // Overlong forms, surrogates and code points past Unicode.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
        return 0;
    }
    // C1 controls (U+0080..U+009F) act on some terminals.
    if (lead == 0xC2 && second < 0xA0) return 0;
    return length;
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += text[i++];
            continue;
        }
        if (const std::size_t length = byte >= 0x80 ? Utf8Length(text, i) : 0; length != 0) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        out += escaped;
        ++i;
    }
    return out;
}

}  // namespace

std::string Quoted(const std::string& text) {
    return "\"" + Printable(text) + "\"";
}

std::string JsonLine(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

std::string BlockCount(std::uint64_t blocks) {
    return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return Printable(slash == std::string::npos ? path : path.substr(slash + 1));
}

void Error(const std::string& sentence) {
    std::fprintf(stderr, "quorvel: %s\n", sentence.c_str());
}

void Warn(const std::string& sentence) {
    if (quiet) return;
    std::fprintf(stderr, "quorvel: warning: %s\n", sentence.c_str());
}

void SetQuiet(bool on) {
    quiet = on;
}

bool Quiet() {
    return quiet;
}

void Say(const char* format, ...) {
    if (quiet) return;
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

}  // namespace quorvel::host
