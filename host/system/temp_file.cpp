#include "system/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/text.h"

namespace quorvel::host {

TempFile::~TempFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool TempFile::Create(Problem* problem) {
    const char* tmpdir = std::getenv("TMPDIR");
    folder_ = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    // A file with no name is gone even after SIGKILL; where the file system cannot make one,
    // a named one is unlinked at once.
    fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        std::string pattern = folder_ + "/quorvel-XXXXXX";
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ >= 0) ::unlink(pattern.c_str());
    }
    if (fd_ < 0) {
        return Fail(problem, kExitFile,
                    "Cannot make a temporary file in " + Quoted(folder_) + ": " +
                        std::strerror(errno) + " (set TMPDIR to a folder that can hold one).");
    }
    return true;
}

std::string TempFile::alias() const {
    return "/proc/self/fd/" + std::to_string(fd_);
}

bool TempFile::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t wrote =
            ::pwrite(fd_, data + done, count - done, static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            if (wrote == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool StoreStandardInput(TempFile* file, std::uint64_t limit, Problem* problem) {
    if (!file->Create(problem)) return false;
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint64_t stored = 0;
    while (true) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            return Fail(problem, kExitFile,
                        std::string("Cannot read the file from standard input: ") +
                            std::strerror(errno) + ".");
        }
        if (got == 0) break;
        if (stored + static_cast<std::uint64_t>(got) > limit) {
            return Fail(problem, kExitFile,
                        "The file on standard input is longer than " + std::to_string(limit >> 20) +
                            " MiB, more than quorvel stores for play -.");
        }
        if (!file->WriteAt(stored, buffer.data(), static_cast<std::size_t>(got))) {
            return Fail(problem, kExitFile,
                        "Cannot store standard input in " + Quoted(file->folder()) + ": " +
                            std::strerror(errno) + ".");
        }
        stored += static_cast<std::uint64_t>(got);
    }
    return true;
}

}  // namespace quorvel::host
