// The commands: play, record, monitor (a record without a file), info and devices. Each lives
// in a file of its own (play_command.cpp, record_command.cpp, info_command.cpp,
// devices_command.cpp) and the live ones share session.h.
#ifndef QUORVEL_HOST_COMMANDS_H
#define QUORVEL_HOST_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli/device_options.h"
#include "session/session.h"

namespace quorvel::host {

struct PlayOptions : SessionOptions {
    std::vector<std::string> files;  // played in turn; "-" is standard input
    bool asIs = false;               // every file to the module untouched, as it reads it
    DeviceOption output;
};

struct RecordOptions : SessionOptions {
    std::string file;               // empty: monitor, the trace only; "-" standard output
    bool toStandardOutput = false;  // set by RunRecord for "-": file is then its /proc alias
    DeviceOption input;
    double seconds = 0;  // 0: until Enter, q or a signal
};

// Each returns the program's exit status and has said what went wrong in one sentence.
int RunPlay(const PlayOptions& options);
int RunRecord(const RecordOptions& options);
// Each file's report in turn (with --json one object a line); the worst status.
int RunInfo(const std::vector<std::string>& files, bool asIs, bool json);
// With `namesOf` "output" or "input", only that direction's values, one a line (for completion).
int RunDevices(const std::string& namesOf);
// quorvel's, the module's (from the note in the file loaded) and the device services' versions.
int RunVersion(const std::string& modulePath);

}  // namespace quorvel::host

#endif
