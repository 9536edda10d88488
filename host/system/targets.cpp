#include "system/targets.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "cli/problem.h"
#include "cli/text.h"
#include "QuorvelWaveForm.h"

namespace quorvel::host {
namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Which file a path names: the file itself when it exists, otherwise the absolute path it
// would be created at.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string absolute;

    bool operator==(const Identity& other) const {
        if (exists != other.exists) return false;
        return exists ? device == other.device && inode == other.inode : absolute == other.absolute;
    }
};

Identity IdentityOf(const std::string& path) {
    Identity identity;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        identity.exists = true;
        identity.device = info.st_dev;
        identity.inode = info.st_ino;
        return identity;
    }
    char resolved[PATH_MAX];
    const std::string folder = FolderOf(path);
    identity.absolute = ::realpath(folder.c_str(), resolved) != nullptr
                            ? std::string(resolved) + "/" + NameOf(path)
                            : path;
    return identity;
}

// "00042.png": a name the frames writer uses.
bool IsFrameName(const std::string& name) {
    if (name.size() != 9 || name.compare(5, 4, ".png") != 0) return false;
    for (int i = 0; i < 5; ++i) {
        if (name[static_cast<std::size_t>(i)] < '0' || name[static_cast<std::size_t>(i)] > '9')
            return false;
    }
    return true;
}

bool Collide(const NamedPath& a, const NamedPath& b) {
    if (IdentityOf(a.path) == IdentityOf(b.path)) return true;
    for (const auto& [folder, file] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
        if (folder->folderOfFrames && IsFrameName(NameOf(file->path)) &&
            IdentityOf(FolderOf(file->path)) == IdentityOf(folder->path)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CheckTargetFile(const std::string& path, TargetKind kind, const char* what, Problem* problem) {
    const std::string name = Quoted(path);
    const std::string thing = std::string("the ") + what + " " + name;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return Fail(problem, kExitFile,
                        "The " + std::string(what) + " " + name + " is a folder.");
        }
        const bool device = S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode);
        if (!S_ISREG(info.st_mode) && (kind == TargetKind::kRecording || !device)) {
            return Fail(
                problem, kExitFile,
                "Cannot write " + thing + ": it is not a regular file (a FIFO, socket or device).");
        }
        if (::access(path.c_str(), W_OK) != 0) {
            return Fail(problem, kExitFile,
                        "Cannot write " + thing + ": " + std::strerror(errno) + ".");
        }
        return true;
    }
    if (errno != ENOENT) {
        return Fail(problem, kExitFile,
                    "Cannot write " + thing + ": " + std::strerror(errno) + ".");
    }
    // Missing: a dangling link is followed on creation, so its target's folder must exist.
    std::string created = path;
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        const std::string text =
            length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
        created = (text.empty() || text[0] == '/') ? text : FolderOf(path) + "/" + text;
        struct stat folderInfo {};
        if (created.empty() || ::stat(FolderOf(created).c_str(), &folderInfo) != 0) {
            return Fail(problem, kExitFile,
                        "Cannot create " + thing + ": it is a link to a missing folder (" +
                            Quoted(text) + ").");
        }
    }
    const std::string folder = FolderOf(created);
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return Fail(
            problem, kExitFile,
            "Cannot create " + thing + ": its folder " + Quoted(folder) + " does not exist.");
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return Fail(
            problem, kExitFile,
            "Cannot create " + thing + " in " + Quoted(folder) + ": " + std::strerror(errno) + ".");
    }
    return true;
}

bool CheckDistinct(const std::vector<NamedPath>& paths, Problem* problem) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        for (std::size_t j = i + 1; j < paths.size(); ++j) {
            if (paths[i].path.empty() || paths[j].path.empty()) continue;
            if (Collide(paths[i], paths[j])) {
                const auto name = [](const NamedPath& named) {
                    return named.shown.empty() ? Quoted(named.path) : named.shown;
                };
                return Fail(problem, kExitUsage,
                            "The " + paths[j].role.substr(4) + " " + name(paths[j]) +
                                " names the same file as " + paths[i].role + " " + name(paths[i]) +
                                (paths[i].folderOfFrames ? " (or one of its frames)" : "") +
                                "; give it another name.");
            }
        }
    }
    return true;
}

void RemoveCreatedFile(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return;
    struct stat info {};
    if (::lstat(resolved, &info) == 0 && S_ISREG(info.st_mode)) ::unlink(resolved);
}

std::string WhyNotWritable(const std::string& path) {
    struct statvfs disk {};
    if (::statvfs(FolderOf(path).c_str(), &disk) == 0 && disk.f_bavail == 0) {
        return "the disk is full";
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < QWF_WAV_HEADER_BYTES) {
        return "the file-size limit (ulimit -f) is " + std::to_string(limit.rlim_cur) + " bytes";
    }
    struct stat info {};
    const bool existed = ::stat(path.c_str(), &info) == 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    if (!existed) RemoveCreatedFile(path);
    return "the module could not write it";
}

}  // namespace quorvel::host
