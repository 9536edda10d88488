// The file an input reads as its source (--input file:PATH): the virtual device takes samples
// in the capture format (8000 Hz mono 16-bit), so a file in any other format libsndfile reads
// is decoded, mixed down to mono and resampled (libsamplerate) into a temporary WAV the device
// reads instead.
#ifndef QUORVEL_HOST_INPUT_FILE_H
#define QUORVEL_HOST_INPUT_FILE_H

#include <string>

#include "system/temp_file.h"

#include "cli/problem.h"

namespace quorvel::host {

// Sets *sourceFile to the file the services read for `path`: `path` itself when they read it as
// it is (a WAV in the capture format, raw samples, or anything libsndfile cannot open, which
// they judge themselves), else "/proc/self/fd/N" of the converted copy in `converted`, with a
// line for the user in *note. False, with a file problem naming the file, when the conversion
// fails.
bool PrepareInputFile(const std::string& path, TempFile* converted, std::string* sourceFile,
                      std::string* note, Problem* problem);

}  // namespace quorvel::host

#endif
