// Serial numbers, shared by every part of the services, and the reset of them all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

extern "C" void qwd_reset_all(void) {
    namespace qd = quorvel::device::detail;
    qd::ResetJournal();
    qd::ResetFaults();
    qd::ResetHandlerTimes();
    qd::ResetScreenPart();
    qd::ResetDeviceParts();
}
