// The commands: play, record, monitor (a record without a file), info and devices. Each lives
// in a file of its own (play_command.cpp, record_command.cpp, info_command.cpp,
// devices_command.cpp) and the live ones share session.h.
#ifndef QUORVEL_HOST_COMMANDS_H
#define QUORVEL_HOST_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "view/live_view.h"
#include "cli/option_values.h"

namespace quorvel::host {

// What every live command shares.
struct SessionOptions {
    std::string modulePath;  // empty: search for the module
    std::uint32_t traceColor = 0;
    std::uint32_t backColor = 0;
    ViewKind view = ViewKind::kNone;
    std::string png;     // the screen when the command ends
    std::string frames;  // a folder for one PNG per drawn block
    bool fast = false;
};

struct PlayOptions : SessionOptions {
    std::vector<std::string> files;  // played in turn; "-" is standard input
    bool asIs = false;               // every file to the module untouched, as it reads it
    std::string outputText = "default";
    OutputDevice output;
};

struct RecordOptions : SessionOptions {
    std::string file;  // empty: monitor, the trace only
    std::string inputText = "default";
    InputDevice input;
    double seconds = 0;  // 0: until Enter, q or a signal
};

// Each returns the program's exit status and has said what went wrong in one sentence.
int RunPlay(const PlayOptions& options);
int RunRecord(const RecordOptions& options);
int RunInfo(const std::string& file, bool asIs, bool json);
int RunDevices();

}  // namespace quorvel::host

#endif
