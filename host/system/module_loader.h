// Loads the QuorvelWaveForm module at run time, as any host would, and resolves its four
// entry points by name.
#ifndef QUORVEL_HOST_MODULE_LOADER_H
#define QUORVEL_HOST_MODULE_LOADER_H

#include <string>
#include <vector>

#include "QuorvelWaveForm.h"
#include "cli/problem.h"

namespace quorvel::host {

constexpr const char* kModuleSoname = "libQuorvelWaveForm.so.1";
constexpr const char* kModuleEnvironment = "QUORVEL_MODULE";

class Module {
  public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    // Unloading the module ends whatever it still plays or captures.
    ~Module() { Unload(); }

    // Loads `explicitPath`, or else $QUORVEL_MODULE, when given; otherwise the first that
    // loads of ModuleCandidates(). False, with a device problem, when none loads or an entry
    // point is missing.
    bool Load(const std::string& explicitPath, Problem* problem);
    void Unload();

    const std::string& path() const { return path_; }
    // The file the dynamic loader mapped (path() may be a bare SONAME it searched for).
    std::string LoadedFile() const;
    // The FILEVERSION of the version note the module carries, e.g. "1.0.0.1"; empty when the
    // loaded file has none.
    std::string FileVersion() const;

    PlayWavWaveFormFn play = nullptr;
    PlayWavWaveFormStopFn playStop = nullptr;
    WaveRecordWaveFormFn record = nullptr;
    WaveRecordWaveFormStopFn recordStop = nullptr;

  private:
    // Empty when loaded, else the dynamic loader's reason.
    std::string LoadFrom(const std::string& path);

    void* handle_ = nullptr;
    std::string path_;
};

// Where Load looks when no path is given, in order: next to this program, in ../lib beside it,
// and the SONAME through the dynamic loader's own search.
std::vector<std::string> ModuleCandidates();

}  // namespace quorvel::host

#endif
