// The file an input reads as its source (--input file:PATH): the virtual device takes 8000 Hz
// mono 16-bit samples, so a file in any other format libsndfile reads is decoded, mixed down to
// mono and resampled (libsamplerate) into a temporary WAV the device reads instead.
#ifndef QUORVEL_HOST_INPUT_FILE_H
#define QUORVEL_HOST_INPUT_FILE_H

#include <string>

#include "system/temp_file.h"

namespace quorvel::host {

// Sets *source to the services' source text for `path`: "file:PATH" for a file they read as it
// is (an 8000 Hz mono 16-bit PCM WAV, raw samples, or anything libsndfile cannot open, which
// they judge themselves), else "file:/proc/self/fd/N" of the converted copy in `converted`,
// with a line for the user in *note. False, with one sentence naming the file in *problem, when
// the conversion fails.
bool PrepareInputFile(const std::string& path, TempFile* converted, std::string* source,
                      std::string* note, std::string* problem);

}  // namespace quorvel::host

#endif
