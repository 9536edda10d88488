#include "media/sndfile_calls.h"

#include "system/shared_library.h"

namespace quorvel::host {
namespace {

constexpr const char* kSndfileSoname = "libsndfile.so.1";

struct Loaded {
    SndfileCalls calls;
    std::string reason;  // empty when loaded
};

Loaded Load() {
    Loaded loaded;
    std::string why;
    void* library = LoadLibrary({kSndfileSoname}, &why).handle;
    SndfileCalls& calls = loaded.calls;
    const bool complete = library != nullptr &&
                          FindSymbol(library, "sf_open_virtual", &calls.open_virtual) &&
                          FindSymbol(library, "sf_close", &calls.close) &&
                          FindSymbol(library, "sf_command", &calls.command) &&
                          FindSymbol(library, "sf_error", &calls.error) &&
                          FindSymbol(library, "sf_strerror", &calls.strerror) &&
                          FindSymbol(library, "sf_get_string", &calls.get_string) &&
                          FindSymbol(library, "sf_readf_float", &calls.readf_float) &&
                          FindSymbol(library, "sf_readf_int", &calls.readf_int);
    if (library == nullptr) {
        loaded.reason = std::string("libsndfile, which decodes it, cannot be loaded (") + why + ")";
    } else if (!complete) {
        loaded.reason = std::string("the ") + kSndfileSoname + " found lacks calls quorvel uses";
    }
    return loaded;
}

}  // namespace

const SndfileCalls* Sndfile(std::string* reason) {
    // Loaded by the first thread that needs it; never unloaded, as files may be open till exit.
    static const Loaded loaded = Load();
    if (!loaded.reason.empty()) {
        if (reason != nullptr) *reason = loaded.reason;
        return nullptr;
    }
    return &loaded.calls;
}

}  // namespace quorvel::host
