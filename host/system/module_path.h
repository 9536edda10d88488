// File paths as the module takes them: NUL-terminated UTF-16 of fewer than 200 code units.
#ifndef QUORVEL_HOST_MODULE_PATH_H
#define QUORVEL_HOST_MODULE_PATH_H

#include <string>

#include "cli/problem.h"

namespace quorvel::host {

constexpr std::size_t kModulePathLimit = 199;  // code units, the terminator not counted

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool Utf8ToUtf16(const std::string& utf8, std::u16string* utf16);

// A path handed to the module. One that is too long or not UTF-8 is opened by the host and
// handed over as /proc/self/fd/N, which names the same file in a few characters.
class ModulePath {
  public:
    ModulePath() = default;
    ModulePath(const ModulePath&) = delete;
    ModulePath& operator=(const ModulePath&) = delete;
    ~ModulePath();

    // For a file the module will read. False, with a file problem, if it cannot be opened.
    bool SetForReading(const std::string& path, Problem* problem);
    // For a file the module will create or overwrite. Nothing is truncated here: a file that
    // is there stays as it was until the module's capture has started.
    bool SetForWriting(const std::string& path, Problem* problem);

    const char16_t* c_str() const { return text_.c_str(); }

  private:
    bool Set(const std::string& path, int openFlags, Problem* problem);

    std::u16string text_;
    int fd_ = -1;
};

}  // namespace quorvel::host

#endif
