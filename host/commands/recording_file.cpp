#include "commands/recording_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "cli/option_values.h"
#include "cli/text.h"

namespace quorvel::host {

std::string RecordingName(const RecordOptions& options) {
    return options.toStandardOutput ? std::string("standard output") : Quoted(options.file);
}

std::int64_t FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

bool CheckRoomForRecording(const std::string& path, Problem* problem) {
    constexpr std::uint64_t kSmallestRecording = kCaptureHeaderBytes + kCaptureBlockBytes;
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= kSmallestRecording) {
        return true;
    }
    return Fail(problem, kExitFile,
                "Cannot record into " + Quoted(path) + ": the file-size limit (ulimit -f) of " +
                    std::to_string(limit.rlim_cur) + " bytes leaves no room for one block (" +
                    std::to_string(kSmallestRecording) + " bytes with the header).");
}

void TrimToWholeBlocks(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    std::uint8_t dataSize[4];
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        ::pread(fd, dataSize, sizeof dataSize, kCaptureHeaderBytes - 4) == 4) {
        const std::uint64_t whole =
            kCaptureHeaderBytes + (std::uint64_t{dataSize[0]} | std::uint64_t{dataSize[1]} << 8 |
                                   std::uint64_t{dataSize[2]} << 16 |
                                   std::uint64_t{dataSize[3]} << 24);
        if (static_cast<std::uint64_t>(info.st_size) > whole) {
            [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(whole));
        }
    }
    ::close(fd);
}

namespace {

char recordingPath[4096];
struct stat recordingBefore {};  // st_ino 0: there was no file

bool SameFileState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

bool RememberRecording(const std::string& path) {
    if (path.size() >= sizeof recordingPath) return false;
    path.copy(recordingPath, path.size());
    recordingPath[path.size()] = '\0';
    return true;
}

void RememberRecordingState(const struct stat& before) {
    recordingBefore = before;
}

std::string CompleteRecordingNow() {
    if (recordingPath[0] == '\0') return {};
    struct stat info {};
    // The module touches the file only once the device has opened.
    if (::stat(recordingPath, &info) != 0) return {};
    if (recordingBefore.st_ino != 0 && SameFileState(info, recordingBefore)) {
        return Quoted(recordingPath) + " was left as it was";
    }
    TrimToWholeBlocks(recordingPath);
    if (::stat(recordingPath, &info) != 0) return {};
    const std::uint64_t blocks =
        static_cast<std::uint64_t>(info.st_size) > kCaptureHeaderBytes
            ? (static_cast<std::uint64_t>(info.st_size) - kCaptureHeaderBytes) / kCaptureBlockBytes
            : 0;
    return "the recording " + Quoted(recordingPath) + " is complete with " + BlockCount(blocks);
}

bool ReportRecording(const RecordOptions& options, std::int32_t blocks, const std::string& loss,
                     Problem* problem) {
    const double seconds = static_cast<double>(blocks) * kCaptureBlockSeconds;
    const std::string lossNote = loss.empty() ? std::string() : "; " + loss;
    if (options.file.empty()) {
        Say("Showed %s (%s s)%s.\n", BlockCount(static_cast<std::uint64_t>(blocks)).c_str(),
            Seconds(seconds).c_str(), lossNote.c_str());
        return true;
    }
    struct stat info {};
    if (options.toStandardOutput &&
        (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode))) {
        // A stream's size cannot be read back; a pipe whose reader has gone says so instead.
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0) {
            return Fail(problem, kExitFile,
                        "The reader of standard output closed it before the recording of " +
                            BlockCount(static_cast<std::uint64_t>(blocks)) + " ended.");
        }
        Say("Recorded %s (%s s) to standard output%s.\n",
            BlockCount(static_cast<std::uint64_t>(blocks)).c_str(), Seconds(seconds).c_str(),
            lossNote.c_str());
        return true;
    }
    const std::int64_t size = FileSize(options.file);
    const std::uint64_t expected =
        kCaptureHeaderBytes + static_cast<std::uint64_t>(blocks) * kCaptureBlockBytes;
    Say("Recorded %s (%s s) into %s, %" PRId64 " bytes%s.\n",
        BlockCount(static_cast<std::uint64_t>(blocks)).c_str(), Seconds(seconds).c_str(),
        RecordingName(options).c_str(), size, lossNote.c_str());
    if (size >= 0 && static_cast<std::uint64_t>(size) >= expected) return true;
    const std::int64_t kept = size > static_cast<std::int64_t>(kCaptureHeaderBytes)
                                  ? (size - static_cast<std::int64_t>(kCaptureHeaderBytes)) /
                                        static_cast<std::int64_t>(kCaptureBlockBytes)
                                  : 0;
    return Fail(problem, kExitFile,
                "Only " + std::to_string(kept) + " of the " + std::to_string(blocks) +
                    " blocks reached " + RecordingName(options) +
                    "; the disk may be full or a file-size limit reached.");
}

}  // namespace quorvel::host
