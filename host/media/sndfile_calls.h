// libsndfile's calls, loaded the first time a file needs decoding: a canonical WAV goes to the
// module as it stands, so playing one never maps libsndfile and the codecs it brings.
#ifndef QUORVEL_HOST_SNDFILE_CALLS_H
#define QUORVEL_HOST_SNDFILE_CALLS_H

#include <sndfile.h>

#include <string>

namespace quorvel::host {

struct SndfileCalls {
    decltype(&sf_open_virtual) open_virtual = nullptr;
    decltype(&sf_close) close = nullptr;
    decltype(&sf_command) command = nullptr;
    decltype(&sf_error) error = nullptr;
    decltype(&sf_strerror) strerror = nullptr;
    decltype(&sf_get_string) get_string = nullptr;
    decltype(&sf_readf_float) readf_float = nullptr;
    decltype(&sf_readf_int) readf_int = nullptr;
};

// The calls, loaded once and kept; null when libsndfile cannot be loaded, with one sentence
// saying so in *reason.
const SndfileCalls* Sndfile(std::string* reason);

}  // namespace quorvel::host

#endif
