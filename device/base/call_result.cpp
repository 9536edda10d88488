// The per-thread results of the C host-side API, and the library's version.
#include "base/call_result.h"

#include <utility>

namespace quorvel::device::detail {
namespace {

thread_local std::string lastError;
thread_local std::string text;

}  // namespace

qwd_result Fail(qwd_result code, std::string sentence) {
    lastError = std::move(sentence);
    return code;
}

const char* ThreadText(std::string value) {
    text = std::move(value);
    return text.c_str();
}

qwd_result FailSize(const char* what) {
    return Fail(QWD_ERROR_ARGUMENT,
                std::string("The ") + what + " struct is missing or its struct_size is too small.");
}

}  // namespace quorvel::device::detail

extern "C" {

uint32_t qwd_version(void) {
    return QWD_VERSION_NUMBER(QWD_VERSION_MAJOR, QWD_VERSION_MINOR, QWD_VERSION_PATCH);
}

const char* qwd_last_error(void) {
    return quorvel::device::detail::lastError.c_str();
}

}  // extern "C"
