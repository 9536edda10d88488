// How quorvel ends, and the one way a problem travels from where it is found to where it is
// said: one sentence for the person and the exit status it gives.
#ifndef QUORVEL_HOST_CLI_PROBLEM_H
#define QUORVEL_HOST_CLI_PROBLEM_H

#include <string>

namespace quorvel::host {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;  // unknown option, bad option value, missing argument
constexpr int kExitFile =
    2;  // a file is missing, unreadable, neither playable nor decodable, or cannot be written
constexpr int kExitDevice = 3;  // the module or a device cannot be loaded, opened or started

constexpr const char* kExitCodesHelp =
    "Exit status: 0 done, 1 usage error (bad option or value), 2 file problem (missing,\n"
    "unreadable, neither playable nor decodable, cannot be written), 3 device problem (the\n"
    "module cannot be loaded, a device cannot be opened or started).";

struct Problem {
    int exitStatus = kExitOk;
    std::string sentence;
};

// Fills *problem and returns false, so a check ends with `return Fail(problem, ...)`. The
// status is decided where the problem is found, which knows what kind it is.
bool Fail(Problem* problem, int exitStatus, std::string sentence);

// Says the problem on standard error and returns its exit status.
int Report(const Problem& problem);

}  // namespace quorvel::host

#endif
