// The exit statuses of quorvel, listed in every command's --help and in the README.
#ifndef QUORVEL_HOST_EXIT_CODES_H
#define QUORVEL_HOST_EXIT_CODES_H

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

}  // namespace quorvel::host

#endif
