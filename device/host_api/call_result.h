// How the C host-side API hands back what C cannot own: the failure sentence of the last call
// and strings, kept per thread until that thread's next call.
#ifndef QUORVEL_DEVICE_CALL_RESULT_H
#define QUORVEL_DEVICE_CALL_RESULT_H

#include <string>

#include "quorvel/device.h"

namespace quorvel::device::detail {

// Records `sentence` as this thread's last error and returns `code`.
qwd_result Fail(qwd_result code, std::string sentence);

// Keeps `text` in this thread's slot and returns it, valid until the thread's next call.
const char* ThreadText(std::string text);

// A caller's struct is usable when it is there and at least as large as this version's.
template <typename Struct>
bool Sized(const Struct* value) {
    return value != nullptr && value->struct_size >= sizeof(Struct);
}

// The sentence for a struct Sized() refused.
qwd_result FailSize(const char* what);

}  // namespace quorvel::device::detail

#endif
