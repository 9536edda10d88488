// What play, record and monitor share: the checks of the files they write, the module, keys,
// signals and view of a live session, and the one loop that drives a session pass by pass.
#ifndef QUORVEL_HOST_SESSION_H
#define QUORVEL_HOST_SESSION_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "session/console.h"
#include "view/frames.h"
#include "view/live_view.h"
#include "system/module_loader.h"
#include "system/targets.h"

namespace quorvel::host {

struct Session {
    Module module;
    FrameWriter frames;
    SignalPipe signals;
    std::unique_ptr<KeyReader> keys;
    std::unique_ptr<LiveView> view;
};

// The PNG and the frames folder: checked before anything is opened, created only later.
int CheckOutputFiles(const SessionOptions& options, Session& session);
// Every file the command writes is a file of its own, and none is a file it reads.
int CheckPathsDistinct(const std::vector<NamedPath>& paths);
// Loads the module, makes the view, installs the signals and starts reading keys (from
// standard input unless it holds the command's file). Returns an exit status.
int StartSession(const SessionOptions& options, const std::string& title, Session& session,
                 bool keysFromStandardInput = true);
// Writes the frames summary and the final PNG. Returns an exit status.
int FinishScreen(const SessionOptions& options, const Session& session);

// The default device as the services opened it, e.g. "the sound device's output".
std::string BackendDescription(const std::string& backend, const char* direction);

// While stepping block by block for frames: short waits, so fast devices stay fast.
constexpr std::chrono::milliseconds kStepWait{2};
// How long a pass may wait: short while a person may press keys or watch, longer when nobody
// can. Keys and signals end such a wait at once.
std::chrono::milliseconds PassWait(const Session& session);
// A wait on the device cannot notice a signal, so none is longer than this.
constexpr std::chrono::milliseconds kDeviceWaitLimit{250};

enum class PassState { kRunning, kFinished, kFailed };
enum class KeyAction { kNone, kRedraw, kStop };
enum class LoopEnd { kFinished, kStopped, kSignal, kFailed };

struct SessionPass {
    // Waits for the device up to `wait` (at most kDeviceWaitLimit) and sets *eventWait to 0,
    // or does not wait and leaves in *eventWait, which starts at `wait` and may be shortened,
    // how long the pass then waits for keys and signals. kFinished ends the loop; kFailed
    // ends it with *error.
    std::function<PassState(std::chrono::milliseconds wait, std::chrono::milliseconds* eventWait,
                            std::string* error)>
        advance;
    std::function<KeyAction(Key key)> onKey;
    std::function<std::string(bool live)> status;
    // Checked after the keys: true ends the loop as if stopped (a device that went away).
    std::function<bool()> gone = [] { return false; };
};

// Runs passes until the device is done, a key stops it, a signal arrives or a pass fails; the
// view shows `status(true)` on every pass. The view's last status is left to the caller.
LoopEnd RunSessionLoop(Session& session, const SessionPass& pass, std::string* error);

}  // namespace quorvel::host

#endif
