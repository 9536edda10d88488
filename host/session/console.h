// The terminal side of a live session: keys from standard input, the signals that end a
// session, and the size of the terminal.
#ifndef QUORVEL_HOST_CONSOLE_H
#define QUORVEL_HOST_CONSOLE_H

#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

#include "view/terminal.h"

namespace quorvel::host {

// Takes SIGINT, SIGTERM and SIGHUP over before any device is opened, so no library a backend
// loads (SDL) puts a handler of its own in their place. Outside a session they end quorvel as
// they would by default.
void TakeOverEndingSignals();

// How long a session may take to end after SIGINT, SIGTERM or SIGHUP before quorvel leaves
// without it: a device call on the main thread (an open, a stop) may wait on a sound server
// that no longer answers.
constexpr std::chrono::milliseconds kSignalGrace{700};

// During a session SIGINT, SIGTERM and SIGHUP become bytes on a pipe, so the main thread
// notices them in its own loop and ends the session properly (a recording is completed, never
// cut off). Should it not have ended kSignalGrace later, a watch thread makes the files whole
// with `onTimeout`, says so and ends quorvel with the device problem's status.
class SignalPipe {
  public:
    SignalPipe() = default;
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;
    ~SignalPipe();

    // Run on the watch thread, where the main thread may hold any lock: plain system calls
    // only. Returns a phrase about the files it completed, or "". Set before Install.
    using TimeoutAction = std::string (*)();
    void SetTimeoutAction(TimeoutAction action) { onTimeout_ = action; }
    bool Install();
    int fd() const { return readFd_; }
    // The first signal caught so far (0 for none); drains the pipe.
    int Take();

  private:
    int readFd_ = -1;
    int caught_ = 0;
    TimeoutAction onTimeout_ = nullptr;
};

// Keys from standard input: one at a time without echo when it is the controlling terminal
// and this program is in the foreground, otherwise as bytes from a pipe or file. Space, q, n
// and Enter (newline) count; everything else is ignored. Reads none when standard input
// holds something else (a file given as "-").
class KeyReader {
  public:
    explicit KeyReader(bool fromStandardInput = true);
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;
    ~KeyReader();

    int fd() const { return fd_; }  // -1 once input has ended
    // Reads one slice of what is waiting, without blocking.
    void Read(std::vector<Key>* keys);
    // The last slice was full: more is waiting than any person types.
    bool Flooded() const { return flooded_; }

  private:
    static constexpr int kKeySliceBytes = 64;
    int fd_ = -1;
    bool flooded_ = false;
    bool raw_ = false;
    termios saved_{};
};

struct Events {
    std::vector<Key> keys;
    int signal = 0;
};

// Waits up to `timeout` for keys or a signal; returns early when either arrives.
Events WaitForEvents(KeyReader& keys, SignalPipe& signals, std::chrono::milliseconds timeout);

// Ignores SIGPIPE and SIGXFSZ, so a closed pipe, a full disk or a file-size limit makes a
// write fail instead of killing the program before a recording is completed.
void IgnoreWriteSignals();

}  // namespace quorvel::host

#endif
