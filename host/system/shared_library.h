// The one way quorvel loads a library at run time: the module, the window plugin, and the
// libraries only some files need (libsndfile), so that a program that never needs them never
// maps them.
#ifndef QUORVEL_HOST_SHARED_LIBRARY_H
#define QUORVEL_HOST_SHARED_LIBRARY_H

#include <string>
#include <vector>

namespace quorvel::host {

struct LoadedLibrary {
    void* handle = nullptr;  // null when none loaded
    std::string path;        // the candidate that loaded
};

// Loads the first of `candidates` that loads (a name without a slash goes through the dynamic
// loader's own search), symbols resolved now and kept local. When none loads, *reason is the
// loader's words for the last candidate that exists as a file, else for the last one tried.
LoadedLibrary LoadLibrary(const std::vector<std::string>& candidates, std::string* reason);

void UnloadLibrary(void* handle);

// The address `name` has in the library, as `Function`; null when it has none.
void* FindSymbolAddress(void* handle, const char* name);
template <typename Function>
bool FindSymbol(void* handle, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(FindSymbolAddress(handle, name));
    return *function != nullptr;
}

// The file the dynamic loader mapped for `handle` (through symbolic links); empty when unknown.
std::string LoadedFile(void* handle);

// The folder this program's file is in; empty when the system does not say.
std::string ProgramDirectory();

}  // namespace quorvel::host

#endif
