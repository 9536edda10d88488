// Temporary files that vanish however quorvel ends: created without a name (or unlinked at
// once) in $TMPDIR or /tmp, and handed to the module and to libsndfile as /proc/self/fd/N.
#ifndef QUORVEL_HOST_TEMP_FILE_H
#define QUORVEL_HOST_TEMP_FILE_H

#include <cstdint>
#include <string>

#include "cli/problem.h"

namespace quorvel::host {

class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    // False, with a sentence in *problem, when no temporary file can be made.
    bool Create(Problem* problem);
    int fd() const { return fd_; }
    // "/proc/self/fd/N": the file by a name that works as long as it is open.
    std::string alias() const;
    // The folder it lives in, for messages.
    const std::string& folder() const { return folder_; }

    // Writes all of `bytes` at `offset`; false with errno set when the disk refuses.
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count);

  private:
    int fd_ = -1;
    std::string folder_;
};

// Standard input stored whole, at most `limit` bytes, for a command that was given "-" as its
// file. False, with a sentence in *problem, when it cannot be stored or is too long.
bool StoreStandardInput(TempFile* file, std::uint64_t limit, Problem* problem);

}  // namespace quorvel::host

#endif
