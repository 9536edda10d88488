// quorvel --version: what is running, for a bug report or a check after an upgrade.
#include <cstdio>
#include <string>

#include "commands/commands.h"
#include "quorvel/device.h"
#include "system/module_loader.h"

namespace quorvel::host {

int RunVersion(const std::string& modulePath) {
    // Loading only maps the module: nothing plays, and no device opens.
    Module module;
    Problem problem;
    if (!module.Load(modulePath, &problem)) return Report(problem);
    std::string moduleVersion = module.FileVersion();
    if (moduleVersion.empty()) moduleVersion = "unknown (the file carries no version note)";
    const std::uint32_t services = qwd_version();
    std::printf("quorvel %s\nmodule %s (%s)\ndevice services %u.%u.%u\n", QUORVEL_VERSION,
                moduleVersion.c_str(), module.LoadedFile().c_str(), (services >> 16) & 0xFFu,
                (services >> 8) & 0xFFu, services & 0xFFu);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
}

}  // namespace quorvel::host
