// The files a command will write, checked before anything is opened for writing, so that a
// mistake is found before any file the user had is touched.
#ifndef QUORVEL_HOST_TARGETS_H
#define QUORVEL_HOST_TARGETS_H

#include <string>
#include <vector>

#include "cli/problem.h"

namespace quorvel::host {

enum class TargetKind {
    kRecording,   // a regular file only: it is written, rewritten at its start and trimmed
    kOutputFile,  // a regular file or a device such as /dev/null; never a FIFO or socket
    kPng,         // as an output file
};

// A file the command will create or replace: not a folder, not something an open would block
// on, in a folder that exists and that this user may write. `what` names it in a sentence
// ("recording", "PNG file").
bool CheckTargetFile(const std::string& path, TargetKind kind, const char* what, Problem* problem);

// The role a path plays in a command, for CheckDistinct.
struct NamedPath {
    NamedPath(std::string roleText, std::string pathText, bool folder = false,
              std::string shownText = {})
        : role(std::move(roleText)),
          path(std::move(pathText)),
          folderOfFrames(folder),
          shown(std::move(shownText)) {}
    std::string role;  // "the recording", "the PNG file", "the played file", ...
    std::string path;  // empty: not used by this run
    bool folderOfFrames = false;
    std::string shown;  // how a sentence names it, when not by its path ("(standard input)")
};

// No file may be written twice or written over a file the command reads: two paths naming
// the same file (through links too), or a path that would be one of the frames, are a usage
// error.
bool CheckDistinct(const std::vector<NamedPath>& paths, Problem* problem);

// A file that did not exist before this run and that quorvel created, removed again: the file
// itself, not a link that led to it.
void RemoveCreatedFile(const std::string& path);

// Why a file cannot be created or written, as a phrase ("the disk is full", "File name too
// long"), found without leaving anything behind.
std::string WhyNotWritable(const std::string& path);

}  // namespace quorvel::host

#endif
