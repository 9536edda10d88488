// What play, record and monitor share: the checks of the files they write, the module, keys,
// signals and view of a live session, and the one loop that drives a session pass by pass.
#ifndef QUORVEL_HOST_SESSION_H
#define QUORVEL_HOST_SESSION_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session/console.h"
#include "view/frames.h"
#include "view/live_view.h"
#include "system/module_loader.h"
#include "system/targets.h"

namespace quorvel::host {

// What every live command shares.
struct SessionOptions {
    std::string modulePath;  // empty: search for the module
    std::uint32_t traceColor = 0;
    std::uint32_t backColor = 0;
    ViewKind view = ViewKind::kNone;
    std::string png;     // the screen when the command ends
    std::string frames;  // a folder for one PNG per drawn block
    bool fast = false;
};

struct Session {
    Module module;
    FrameWriter frames;
    SignalPipe signals;
    std::unique_ptr<KeyReader> keys;
    std::unique_ptr<LiveView> view;
};

// The PNG and the frames folder: checked before anything is opened, created only later.
bool CheckOutputFiles(const SessionOptions& options, Session& session, Problem* problem);
// Loads the module, makes the view, installs the signals and starts reading keys (from
// standard input unless it holds the command's file).
bool StartSession(const SessionOptions& options, const std::string& title, Session& session,
                  bool keysFromStandardInput, Problem* problem);
// Writes the frames summary and the final PNG.
bool FinishScreen(const SessionOptions& options, const Session& session, Problem* problem);

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
    // ends it with *problem.
    std::function<PassState(std::chrono::milliseconds wait, std::chrono::milliseconds* eventWait,
                            Problem* problem)>
        advance;
    std::function<KeyAction(Key key)> onKey;
    std::function<std::string(bool live)> status;
    // Checked after the keys: true ends the loop as if stopped (a device that went away).
    std::function<bool()> gone = [] { return false; };
};

// Runs passes until the device is done, a key stops it, a signal arrives or a pass fails; the
// view shows `status(true)` on every pass. The view's last status is left to the caller.
LoopEnd RunSessionLoop(Session& session, const SessionPass& pass, Problem* problem);

}  // namespace quorvel::host

#endif
