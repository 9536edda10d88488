#include "session/session.h"

#include <cinttypes>
#include <cstdio>

#include "cli/exit_codes.h"
#include "quorvel/device.hpp"
#include "cli/text.h"

namespace quorvel::host {
namespace {

namespace device = quorvel::device;
using std::chrono::milliseconds;

constexpr milliseconds kPassWait{30};
// Unattended, a recording wakes about once a second instead of once a block.
constexpr milliseconds kUnattendedPassWait{1000};

}  // namespace

int CheckOutputFiles(const SessionOptions& options, Session& session) {
    TargetProblem problem;
    if (!options.png.empty() &&
        !CheckTargetFile(options.png, TargetKind::kPng, "PNG file", &problem)) {
        Error(problem.sentence);
        return problem.exitCode;
    }
    std::string error;
    if (!options.frames.empty() && !session.frames.Check(options.frames, &error)) {
        Error(error);
        return kExitFile;
    }
    return kExitOk;
}

int CheckPathsDistinct(const std::vector<NamedPath>& paths) {
    TargetProblem problem;
    if (CheckDistinct(paths, &problem)) return kExitOk;
    Error(problem.sentence);
    return problem.exitCode;
}

int StartSession(const SessionOptions& options, const std::string& title, Session& session,
                 bool keysFromStandardInput) {
    std::string error;
    if (!session.module.Load(options.modulePath, &error)) {
        Error(error);
        return kExitDevice;
    }
    session.view = MakeView(options.view, options.backColor, title, &error);
    if (!session.view) {
        Error(error);
        return options.view == ViewKind::kWindow ? kExitDevice : kExitUsage;
    }
    session.signals.Install();
    session.keys = std::make_unique<KeyReader>(keysFromStandardInput);
    return kExitOk;
}

int FinishScreen(const SessionOptions& options, const Session& session) {
    if (!options.frames.empty()) {
        std::fprintf(stderr, "Wrote %" PRIu64 " frame(s) to %s.\n", session.frames.count(),
                     Quoted(options.frames).c_str());
        if (session.frames.missed() != 0) {
            Warn(std::to_string(session.frames.missed()) +
                 " drawn block(s) got no frame: a sound device cannot be held between blocks "
                 "(the virtual devices, e.g. --output null, can).");
        }
    }
    if (options.png.empty()) return kExitOk;
    std::string error;
    if (!device::WriteScreenPng(options.png, &error)) {
        Error(error);
        return kExitFile;
    }
    std::fprintf(stderr, "Wrote the screen to %s.\n", Quoted(options.png).c_str());
    return kExitOk;
}

std::string BackendDescription(const std::string& backend, const char* direction) {
    if (backend == "pulse" || backend == "sdl")
        return std::string("the sound device's ") + direction;
    if (backend == "virtual") return std::string("the virtual ") + direction + " (no sound device)";
    return std::string("the default ") + direction + (backend.empty() ? "" : " (" + backend + ")");
}

milliseconds PassWait(const Session& session) {
    const bool attended = session.keys->fd() >= 0 || session.view->Shown();
    return attended ? kPassWait : kUnattendedPassWait;
}

LoopEnd RunSessionLoop(Session& session, const SessionPass& pass, std::string* error) {
    while (true) {
        const milliseconds wait = PassWait(session);
        milliseconds eventWait = wait;
        const PassState state = pass.advance(wait, &eventWait, error);
        if (state == PassState::kFailed) return LoopEnd::kFailed;
        if (state == PassState::kFinished) return LoopEnd::kFinished;
        Events events = WaitForEvents(*session.keys, session.signals, eventWait);
        session.view->PollKeys(&events.keys);
        bool stop = false;
        bool redraw = false;
        for (const Key key : events.keys) {
            const KeyAction action = pass.onKey(key);
            stop = stop || action == KeyAction::kStop;
            redraw = redraw || action == KeyAction::kRedraw;
        }
        if (events.signal != 0) return LoopEnd::kSignal;
        if (stop || pass.gone()) return LoopEnd::kStopped;
        session.view->Update(pass.status(true), redraw);
    }
}

}  // namespace quorvel::host
