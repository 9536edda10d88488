// How the C host-side API hands back what C cannot own: the failure sentence of the last call
// and strings, kept per thread until that thread's next call.
#ifndef QUORVEL_DEVICE_CALL_RESULT_H
#define QUORVEL_DEVICE_CALL_RESULT_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "quorvel/device.h"

namespace quorvel::device::detail {

// Records `sentence` as this thread's last error and returns `code`.
qwd_result Fail(qwd_result code, std::string sentence);

// Keeps `text` in this thread's slot and returns it, valid until the thread's next call.
const char* ThreadText(std::string text);

// The size of a struct's 2.0 layout, whose last field was `last`: every caller's struct holds
// at least that much, and fields added since lie beyond it.
#define QWD_SIZE_THROUGH(type, last) (offsetof(type, last) + sizeof(type::last))

// A caller's struct is usable when it is there and holds the 2.0 layout (`firstSize` bytes).
template <typename Struct>
bool Sized(const Struct* value, std::size_t firstSize) {
    return value != nullptr && value->struct_size >= firstSize;
}

// The caller's struct as this version's: the fields its struct_size covers, and `defaults`
// beyond them. Nothing past its struct_size is read.
template <typename Struct>
Struct SizedIn(const Struct& caller, Struct defaults) {
    std::memcpy(&defaults, &caller, std::min<std::size_t>(caller.struct_size, sizeof(Struct)));
    return defaults;
}

// Writes `value` into the caller's struct as far as its struct_size covers; nothing past it.
template <typename Struct>
void SizedOut(Struct value, Struct* caller) {
    value.struct_size = caller->struct_size;
    std::memcpy(caller, &value, std::min<std::size_t>(caller->struct_size, sizeof(Struct)));
}

// The sentence for a struct Sized() refused.
qwd_result FailSize(const char* what);

}  // namespace quorvel::device::detail

#endif
