// 16-bit string helpers and _wfopen: files named by UTF-16 paths, opened as Windows would.
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "base/internal.h"
#include "testing/journal_line.h"

// _wfopen of a WAV file past 2 GiB, on 32-bit systems too (CMakeLists.txt defines it).
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: define _FILE_OFFSET_BITS=64");

namespace quorvel::device {
namespace {

struct OpenMode {
    int flags;
    std::string stdioMode;  // for fdopen; creation and truncation are done by open(2)
    bool reading;           // "r" modes: only regular files may be opened
};

// "r", "w" or "a", then at most one "b" and one "+" in either order.
bool ParseMode(const char16_t* mode, OpenMode* parsed) {
    if (mode[0] != u'r' && mode[0] != u'w' && mode[0] != u'a') return false;
    const std::u16string rest = mode + 1;
    if (rest != u"" && rest != u"b" && rest != u"+" && rest != u"b+" && rest != u"+b") return false;
    const bool update = rest.find(u'+') != std::u16string::npos;
    const int write = (update ? O_RDWR : O_WRONLY) | O_CREAT;
    const bool reading = mode[0] == u'r';
    const int flags = reading           ? (update ? O_RDWR : O_RDONLY)
                      : mode[0] == u'w' ? write | O_TRUNC
                                        : write | O_APPEND;
    *parsed = {flags, std::string(1, static_cast<char>(mode[0])) + (update ? "+" : ""), reading};
    return true;
}

// A stream over `fd` whose reads fail past byte `readable` of the file, for QWD_OP_FILE_READ.
struct FailingReads {
    int fd;
    off64_t readable;
};

ssize_t ReadUntilFailure(void* cookie, char* buffer, std::size_t size) {
    const auto* stream = static_cast<FailingReads*>(cookie);
    const off64_t at = ::lseek64(stream->fd, 0, SEEK_CUR);
    if (at < 0) return -1;
    if (at >= stream->readable) {
        errno = EIO;
        return -1;
    }
    const auto left = static_cast<std::size_t>(stream->readable - at);
    return ::read(stream->fd, buffer, std::min(size, left));
}

ssize_t WriteThrough(void* cookie, const char* buffer, std::size_t size) {
    return ::write(static_cast<FailingReads*>(cookie)->fd, buffer, size);
}

int SeekThrough(void* cookie, off64_t* offset, int whence) {
    const off64_t at = ::lseek64(static_cast<FailingReads*>(cookie)->fd, *offset, whence);
    if (at < 0) return -1;
    *offset = at;
    return 0;
}

int CloseThrough(void* cookie) {
    const auto* stream = static_cast<FailingReads*>(cookie);
    const int closed = ::close(stream->fd);
    delete stream;
    return closed;
}

FILE* OpenFailingReads(int fd, const char* mode, off64_t readable) {
    auto* cookie = new FailingReads{fd, readable};
    FILE* file = ::fopencookie(
        cookie, mode,
        cookie_io_functions_t{ReadUntilFailure, WriteThrough, SeekThrough, CloseThrough});
    if (file == nullptr) delete cookie;
    return file;
}

// Null with errno set to `code`, once `fd` (unless -1) is closed.
FILE* Refuse(int code, int fd = -1) {
    if (fd >= 0) ::close(fd);
    errno = code;
    return nullptr;
}

// `failReadsAt` > 0: the stream's reads fail past that byte (an injected fault).
FILE* OpenFile(const char16_t* path, const char16_t* mode, unsigned failReadsAt) {
    OpenMode parsed{};
    if (path == nullptr || mode == nullptr || !ParseMode(mode, &parsed)) return Refuse(EINVAL);
    std::string utf8Path;
    if (!detail::Utf16ToUtf8(path, false, &utf8Path)) return Refuse(EILSEQ);
    // Non-blocking while we look at what was opened, so a FIFO cannot hang the caller.
    const int fd = ::open(utf8Path.c_str(), parsed.flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return nullptr;
    struct stat status {};
    if (::fstat(fd, &status) != 0) return Refuse(errno, fd);
    if (S_ISDIR(status.st_mode)) return Refuse(EISDIR, fd);
    if (parsed.reading && !S_ISREG(status.st_mode)) return Refuse(EACCES, fd);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return Refuse(errno, fd);
    FILE* file = failReadsAt > 0 ? OpenFailingReads(fd, parsed.stdioMode.c_str(), failReadsAt)
                                 : ::fdopen(fd, parsed.stdioMode.c_str());
    return file != nullptr ? file : Refuse(errno, fd);
}

}  // namespace
}  // namespace quorvel::device

int lstrlenW(LPCWSTR text) {
    if (text == nullptr) return 0;
    int length = 0;
    while (text[length] != 0) ++length;
    return length;
}

LPWSTR lstrcpynW(LPWSTR destination, LPCWSTR source, int max) {
    if (destination == nullptr || max <= 0) return destination;
    int copied = 0;
    for (; source != nullptr && copied < max - 1 && source[copied] != 0; ++copied) {
        destination[copied] = source[copied];
    }
    destination[copied] = 0;
    return destination;
}

FILE* _wfopen(LPCWSTR path, LPCWSTR mode) {
    namespace qd = quorvel::device::detail;
    qd::JournalLine line;
    FILE* file = quorvel::device::OpenFile(path, mode, qd::TakeFault(QWD_OP_FILE_READ));
    const int saved = errno;
    line.Write([&] {
        return "_wfopen(" + qd::Quoted(path) + ", " + qd::Quoted(mode) +
               ") = " + (file != nullptr ? "1" : "0");
    });
    errno = saved;
    return file;
}
