#include "system/module_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdlib>
#include <cstring>

#include "system/shared_library.h"

namespace quorvel::host {
namespace {

struct NoteSearch {
    ElfW(Addr) base = 0;
    std::string description;
};

// Reads the version note from the module's mapped PT_NOTE segments, so the version shown is
// the one of the very file loaded, whichever candidate that was.
int FindVersionNote(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<NoteSearch*>(data);
    if (info->dlpi_addr != search->base) return 0;
    static constexpr char kOwner[] = "QuorvelWaveForm";
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        const char* at = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
        const char* end = at + segment.p_memsz;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) header;
            std::memcpy(&header, at, sizeof header);
            const char* name = at + sizeof header;
            const char* desc = name + ((header.n_namesz + 3u) & ~3u);
            const char* next = desc + ((header.n_descsz + 3u) & ~3u);
            if (next > end) break;
            if (header.n_namesz == sizeof kOwner && std::memcmp(name, kOwner, sizeof kOwner) == 0) {
                search->description.assign(desc, ::strnlen(desc, header.n_descsz));
                return 1;
            }
            at = next;
        }
    }
    return 1;
}

}  // namespace

std::string Module::LoadedFile() const {
    const std::string file = quorvel::host::LoadedFile(handle_);
    return file.empty() ? path_ : file;
}

std::string Module::FileVersion() const {
    struct link_map* map = nullptr;
    if (handle_ == nullptr || ::dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return {};
    }
    NoteSearch search;
    search.base = map->l_addr;
    ::dl_iterate_phdr(FindVersionNote, &search);
    // "FILEVERSION 1,0,0,1" is the note's first line.
    const std::string key = "FILEVERSION ";
    if (search.description.compare(0, key.size(), key) != 0) return {};
    std::string version = search.description.substr(key.size());
    version = version.substr(0, version.find('\n'));
    for (char& c : version) {
        if (c == ',') c = '.';
    }
    return version;
}

std::vector<std::string> ModuleCandidates() {
    std::vector<std::string> candidates;
    const std::string directory = ProgramDirectory();
    if (!directory.empty()) {
        candidates.push_back(directory + "/" + kModuleSoname);
        candidates.push_back(directory + "/../" QUORVEL_INSTALL_LIBDIR "/" + kModuleSoname);
    }
    // No slash: the dynamic loader's own search (this program's RUNPATH, ld.so.cache).
    candidates.emplace_back(kModuleSoname);
    return candidates;
}

std::string Module::LoadFrom(const std::string& path) {
    std::string reason;
    handle_ = LoadLibrary({path}, &reason).handle;
    if (handle_ == nullptr) return reason;
    path_ = path;
    return {};
}

bool Module::Load(const std::string& explicitPath, Problem* problem) {
    Unload();
    std::string chosen = explicitPath;
    const char* fromEnvironment = std::getenv(kModuleEnvironment);
    if (chosen.empty() && fromEnvironment != nullptr) chosen = fromEnvironment;
    if (!chosen.empty()) {
        // A module asked for by name is the one used, or none: never a different one found.
        if (const std::string reason = LoadFrom(chosen); !reason.empty()) {
            return Fail(problem, kExitDevice,
                        "Cannot load the module \"" + chosen + "\": " + reason + ".");
        }
    } else {
        std::string tried;
        for (const std::string& candidate : ModuleCandidates()) {
            if (LoadFrom(candidate).empty()) break;
            tried += (tried.empty() ? "" : ", ") + candidate;
        }
        if (handle_ == nullptr) {
            return Fail(problem, kExitDevice,
                        "Cannot find the module " + std::string(kModuleSoname) + " (tried " +
                            tried + "); give its path with --module or $" + kModuleEnvironment +
                            ".");
        }
    }
    const bool complete = FindSymbol(handle_, "PlayWavWaveForm", &play) &&
                          FindSymbol(handle_, "PlayWavWaveFormStop", &playStop) &&
                          FindSymbol(handle_, "WaveRecordWaveForm", &record) &&
                          FindSymbol(handle_, "WaveRecordWaveFormStop", &recordStop);
    if (!complete) {
        const std::string sentence =
            "The module \"" + path_ + "\" does not export all four entry points.";
        Unload();
        return Fail(problem, kExitDevice, sentence);
    }
    return true;
}

void Module::Unload() {
    UnloadLibrary(handle_);
    handle_ = nullptr;
    play = nullptr;
    playStop = nullptr;
    record = nullptr;
    recordStop = nullptr;
    path_.clear();
}

}  // namespace quorvel::host
