// play: each file in turn through the module, as it is or decoded, with the live trace; space
// pauses, n skips to the next file, q quits. Every file and every path is checked first.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/problem.h"
#include "cli/text.h"
#include "commands/commands.h"
#include "commands/play_turn.h"
#include "media/play_items.h"
#include "session/session.h"
#include "system/devices.h"
#include "system/temp_file.h"

namespace quorvel::host {
namespace {

// Standard input is stored whole before it plays; past this it is refused.
constexpr std::uint64_t kStandardInputLimit = std::uint64_t{2} << 30;

void PrintSummary(const std::vector<PlayItem>& items, const std::vector<Outcome>& outcomes) {
    std::size_t played = 0;
    for (const Outcome& outcome : outcomes) played += outcome.ending == Ending::kPlayed ? 1 : 0;
    Say("Played %zu of %zu files:\n", played, items.size());
    std::size_t width = 0;
    for (const PlayItem& item : items) width = std::max(width, item.label.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Outcome& outcome = outcomes[i];
        const double heard = static_cast<double>(outcome.blocksPlayed * kModuleBlockBytes) /
                             std::max(1.0, outcome.bytesPerSecond);
        std::string what;
        switch (outcome.ending) {
            case Ending::kPlayed:
                what = "played, " + Seconds(outcome.seconds) + " s";
                break;
            case Ending::kSkipped:
                what = "skipped after " + Seconds(heard) + " of " + Seconds(outcome.seconds) + " s";
                break;
            case Ending::kQuit:
                what = "stopped after " + Seconds(heard) + " of " + Seconds(outcome.seconds) + " s";
                break;
            case Ending::kNotReached:
                what = "not played";
                break;
        }
        Say("  %zu. %-*s  %s\n", i + 1, static_cast<int>(width), items[i].label.c_str(),
            what.c_str());
    }
}

// Standard input as a path the same-file check can compare, when it is a file that could be
// written; a pipe or terminal cannot be.
NamedPath StandardInputPath() {
    struct stat info {};
    const bool file = ::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode);
    return {"the file being played", file ? "/dev/stdin" : "", false, "(standard input)"};
}

}  // namespace

int RunPlay(const PlayOptions& options) {
    Problem problem;
    std::vector<PlayItem> items;
    TempFile standardInput;
    for (const std::string& file : options.files) {
        PlayItem item;
        item.file = file;
        item.path = file;
        item.name = Quoted(file);
        item.label = BaseName(file);
        if (file == kStandardInputName) {
            if (standardInput.fd() >= 0) {
                return Report(
                    {kExitUsage, "Standard input (\"-\") can hold only one of the files to play."});
            }
            if (!StoreStandardInput(&standardInput, kStandardInputLimit, &problem)) {
                return Report(problem);
            }
            item.path = standardInput.alias();
            item.name = "the file on standard input";
            item.label = "standard input";
        }
        items.push_back(item);
    }
    // Every file is checked before any plays or anything is written.
    for (PlayItem& item : items) {
        if (!PreparePlayItem(options.asIs, &item, &problem)) return Report(problem);
    }
    const bool toFile = options.output.kind == DeviceOption::Kind::kSinkFile;
    const std::vector<NamedPath> outputs = {{"the output file", toFile ? options.output.path : ""},
                                            {"the frames folder", options.frames, true},
                                            {"the PNG file", options.png}};
    if (!CheckDistinct(outputs, &problem)) return Report(problem);
    // A file may be played more than once, but none may be written.
    for (const PlayItem& item : items) {
        // Standard input is the file it was redirected from, which no output may overwrite.
        std::vector<NamedPath> paths = {{"the file being played", item.file}};
        if (item.file == kStandardInputName) paths.front() = StandardInputPath();
        paths.insert(paths.end(), outputs.begin(), outputs.end());
        if (!CheckDistinct(paths, &problem)) return Report(problem);
    }
    if (toFile &&
        !CheckTargetFile(options.output.path, TargetKind::kOutputFile, "output file", &problem)) {
        return Report(problem);
    }
    Session session;
    if (!CheckOutputFiles(options, session, &problem)) return Report(problem);
    for (const PlayItem& item : items) {
        if (item.decode) continue;
        for (const std::string& warning : item.wav.warnings) Warn(warning);
    }

    const std::string title = items.size() == 1
                                  ? "quorvel play " + items.front().label
                                  : "quorvel play (" + std::to_string(items.size()) + " files)";
    const bool keysFromStandardInput = standardInput.fd() < 0;
    if (!StartSession(options, title, session, keysFromStandardInput, &problem)) {
        return Report(problem);
    }
    if (!keysFromStandardInput) {
        Say("Keys are not read: standard input holds the file (Ctrl-C stops).\n");
    }
    // Only now, with every check passed, is anything opened for writing.
    if (!ApplyOutput(options.output, options.fast, &problem)) return Report(problem);
    if (!session.frames.Open(&problem)) return Report(problem);

    std::vector<Outcome> outcomes(items.size());
    int exitStatus = kExitOk;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Turn turn(options, session, items[i], i, items.size());
        if (!turn.Play(&outcomes[i], &problem)) {
            exitStatus = Report(problem);
            break;
        }
        if (outcomes[i].ending == Ending::kQuit) break;
    }
    // Unloading the module ends a playback still running (after q or a signal).
    session.module.Unload();
    if (items.size() > 1) PrintSummary(items, outcomes);
    if (!FinishScreen(options, session, &problem)) {
        const int screenStatus = Report(problem);
        if (exitStatus == kExitOk) exitStatus = screenStatus;
    }
    return exitStatus;
}

}  // namespace quorvel::host
