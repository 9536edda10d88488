// Handle values and names, the journal's text forms, and opening a file to
// write.
#include "base/internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace quorvel::device::detail {
namespace {

// Shared by every kind, so that journal names are unique.
std::atomic<std::uint64_t> serial{0};

constexpr unsigned kKindBits = 4;

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendUtf8(char32_t code, std::string* out) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
        return;
    }
    const int continuations = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    // The lead byte: as many high ones as bytes in all (0xC0, 0xE0, 0xF0), then the top bits.
    *out += static_cast<char>((0xFF00 >> (continuations + 1)) | (code >> (6 * continuations)));
    for (int shift = 6 * (continuations - 1); shift >= 0; shift -= 6) {
        *out += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
    }
}

}  // namespace

std::uintptr_t NewHandle(HandleKind kind) {
    const std::uint64_t number = serial.fetch_add(1, std::memory_order_relaxed) + 1;
    return static_cast<std::uintptr_t>(number) << kKindBits | static_cast<std::uintptr_t>(kind);
}

std::string HandleName(std::uintptr_t value) {
    static const char* const kNames[] = {nullptr, "hdc", "pen", "brush", "wout", "win"};
    if (value == 0) return "null";
    const std::uintptr_t kind = value & ((std::uintptr_t{1} << kKindBits) - 1);
    if (kind == 0 || kind >= std::size(kNames)) return Hex(value);
    return kNames[kind] + std::to_string(value >> kKindBits);
}

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

bool Utf16ToUtf8(const char16_t* text, bool lenient, std::string* out) {
    constexpr char16_t kReplacement = 0xFFFD;
    out->clear();
    for (; *text != 0; ++text) {
        char32_t code = *text;
        if (IsHighSurrogate(code) && IsLowSurrogate(text[1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(text[1]) - 0xDC00);
            ++text;
        } else if (IsHighSurrogate(code) || IsLowSurrogate(code)) {
            if (!lenient) return false;
            code = kReplacement;
        }
        AppendUtf8(code, out);
    }
    return true;
}

std::string Quoted(const char16_t* text) {
    if (text == nullptr) return "null";
    std::string utf8;
    Utf16ToUtf8(text, true, &utf8);
    std::string quoted = "\"";
    for (const char c : utf8) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::FILE* OpenForWriting(const std::string& path, int flags, const char* mode,
                          std::string* reason) {
    // Opening a FIFO for writing waits, deaf to signals, until a reader comes; without O_NONBLOCK
    // it fails at once (ENXIO) instead. Writes block again once it is open.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | flags, 0666);
    if (fd < 0) {
        const int failure = errno;
        struct stat status {};
        *reason = failure == ENXIO && ::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)
                      ? "it is a FIFO that no program is reading"
                      : std::strerror(failure);
        return nullptr;
    }
    const int current = ::fcntl(fd, F_GETFL);
    std::FILE* file = current >= 0 && ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) == 0
                          ? ::fdopen(fd, mode)
                          : nullptr;
    if (file == nullptr) {
        *reason = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

}  // namespace quorvel::device::detail
