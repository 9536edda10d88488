// The recording's file: checked before the capture, cut back to whole blocks after it, made
// whole by the signal watch when the module cannot be waited for, and summed up at the end.
#ifndef QUORVEL_HOST_COMMANDS_RECORDING_FILE_H
#define QUORVEL_HOST_COMMANDS_RECORDING_FILE_H

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "QuorvelWaveForm.h"
#include "cli/problem.h"
#include "commands/commands.h"

namespace quorvel::host {

constexpr std::uint64_t kCaptureBlockBytes = QWF_BLOCK_BYTES;
constexpr std::uint64_t kCaptureHeaderBytes = QWF_WAV_HEADER_BYTES;

// How sentences name the recording: its path quoted, or standard output.
std::string RecordingName(const RecordOptions& options);

// The file's size, or -1 when there is none.
std::int64_t FileSize(const std::string& path);

// A file-size limit too small for the header and one block would make the start fail after
// the module has replaced the file; found before anything is touched.
bool CheckRoomForRecording(const std::string& path, Problem* problem);

// A write cut short by a full disk or a file-size limit leaves part of a block after the last
// whole one; the file is cut back to the whole blocks its header describes.
void TrimToWholeBlocks(const std::string& path);

// The recording, for leaving without the module (a signal while a device call hangs): kept
// in plain storage, as the watch thread reads it while the main thread may hold any lock.
// False when the path is too long to keep. The state is the file's before this run, if any.
bool RememberRecording(const std::string& path);
void RememberRecordingState(const struct stat& before);
// The SignalPipe's timeout action: the file is whole up to its last block (the module
// rewrites the header after every block) but for a block being written, which is cut off.
std::string CompleteRecordingNow();

// Says what the capture came to; false, with a file problem, when blocks the module counted
// did not reach the file.
bool ReportRecording(const RecordOptions& options, std::int32_t blocks, const std::string& loss,
                     Problem* problem);

}  // namespace quorvel::host

#endif
