// Serial numbers, shared by every part of the services, and the reset of them all.
#include <atomic>
#include <cstdio>

#include "core/internal.h"

namespace quorvel::device::detail {
namespace {

std::atomic<std::uint64_t> serial{0};

}  // namespace

std::uint64_t NextSerial() {
    return serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::string HexColor(std::uint32_t colorref) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(colorref));
    return text;
}

}  // namespace quorvel::device::detail

extern "C" void qwd_reset_all(void) {
    namespace qd = quorvel::device::detail;
    qd::ResetJournal();
    qd::ResetFaults();
    qd::ResetHandlerTimes();
    qd::ResetScreenPart();
    qd::ResetDeviceParts();
}
