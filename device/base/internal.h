// Helpers every part of the services shares: handle values and their names,
// the journal's text forms, and opening a file to write without waiting.
#ifndef QUORVEL_DEVICE_INTERNAL_H
#define QUORVEL_DEVICE_INTERNAL_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace quorvel::device::detail {

// Every handle the services give out, GDI's and the waveform devices', is a serial number
// shifted left with its kind in the low bits, so the journal can name one even after it is gone.
enum class HandleKind : std::uintptr_t { kDc = 1, kPen = 2, kBrush = 3, kWaveOut = 4, kWaveIn = 5 };
std::uintptr_t NewHandle(HandleKind kind);
inline bool IsHandleOf(std::uintptr_t value, HandleKind kind) {
    return value != 0 && (value & 0xF) == static_cast<std::uintptr_t>(kind);
}
// "hdc1", "pen2", "brush3", "wout4", "win5"; "null" for 0, hexadecimal for any other value.
std::string HandleName(std::uintptr_t value);

// "0x" and the value in upper-case hexadecimal, at least `digits` of them.
std::string Hex(std::uint64_t value, int digits = 0);

// A UTF-16 string in UTF-8; an unpaired surrogate fails the conversion, or with `lenient`
// becomes U+FFFD.
bool Utf16ToUtf8(const char16_t* text, bool lenient, std::string* out);
// A UTF-16 string quoted for the journal, in UTF-8, with quotes, backslashes and control
// characters escaped so that the line stays one line; "null" for null.
std::string Quoted(const char16_t* text);

// Opens `path` for writing, created if missing, with `flags` added (O_APPEND or O_TRUNC), as a
// stdio stream in `mode`, without ever waiting on the open: a FIFO that no program reads is
// refused, not waited for. Null with the reason for a person in *reason (errno's message, or
// that it is a FIFO with no reader).
std::FILE* OpenForWriting(const std::string& path, int flags, const char* mode,
                          std::string* reason);

}  // namespace quorvel::device::detail

#endif
