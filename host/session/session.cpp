#include "session/session.h"

#include <cinttypes>
#include <cstdio>

#include "cli/problem.h"
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

bool CheckOutputFiles(const SessionOptions& options, Session& session, Problem* problem) {
    if (!options.png.empty() &&
        !CheckTargetFile(options.png, TargetKind::kPng, "PNG file", problem)) {
        return false;
    }
    return options.frames.empty() || session.frames.Check(options.frames, problem);
}

bool StartSession(const SessionOptions& options, const std::string& title, Session& session,
                  bool keysFromStandardInput, Problem* problem) {
    if (!session.module.Load(options.modulePath, problem)) return false;
    session.view = MakeView(options.view, options.backColor, title, problem);
    if (!session.view) return false;
    session.signals.Install();
    session.keys = std::make_unique<KeyReader>(keysFromStandardInput);
    return true;
}

bool FinishScreen(const SessionOptions& options, const Session& session, Problem* problem) {
    if (!options.frames.empty()) {
        Say("Wrote %" PRIu64 " frame(s) to %s.\n", session.frames.count(),
            Quoted(options.frames).c_str());
        if (session.frames.missed() != 0) {
            Warn(std::to_string(session.frames.missed()) +
                 " drawn block(s) got no frame: a sound device cannot be held between blocks "
                 "(the virtual devices, e.g. --output null, can).");
        }
    }
    if (options.png.empty()) return true;
    if (std::string error; !device::WriteScreenPng(options.png, &error)) {
        return Fail(problem, kExitFile, error);
    }
    Say("Wrote the screen to %s.\n", Quoted(options.png).c_str());
    return true;
}

std::string BackendDescription(const std::string& backend, const char* direction) {
    if (backend == "pulse" || backend == "alsa")
        return std::string("the sound device's ") + direction;
    if (backend == "virtual") return std::string("the virtual ") + direction + " (no sound device)";
    return std::string("the default ") + direction + (backend.empty() ? "" : " (" + backend + ")");
}

milliseconds PassWait(const Session& session) {
    const bool attended = session.keys->fd() >= 0 || session.view->Shown();
    return attended ? kPassWait : kUnattendedPassWait;
}

LoopEnd RunSessionLoop(Session& session, const SessionPass& pass, Problem* problem) {
    while (true) {
        const milliseconds wait = PassWait(session);
        milliseconds eventWait = wait;
        const PassState state = pass.advance(wait, &eventWait, problem);
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
