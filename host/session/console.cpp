#include "session/console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <string>
#include <thread>

#include "cli/problem.h"

namespace quorvel::host {
namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler: the main thread's loop reads the one, the watch thread the other.
volatile std::sig_atomic_t signalWriteFd = -1;
volatile std::sig_atomic_t watchWriteFd = -1;

// What the watch thread needs, set before the session's first device call.
std::atomic<SignalPipe::TimeoutAction> timeoutAction{nullptr};
std::atomic<bool> sessionOver{false};
// The terminal's modes while keys are read raw, to put back when leaving without the session.
std::atomic<bool> terminalRaw{false};
termios savedTerminal{};

extern "C" void OnEndingSignal(int number) {
    const int savedErrno = errno;
    if (signalWriteFd < 0) {
        // No session listens: the signal does what it does by default.
        ::signal(number, SIG_DFL);
        ::raise(number);
        errno = savedErrno;
        return;
    }
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t toLoop = ::write(signalWriteFd, &byte, 1);
    if (watchWriteFd >= 0) {
        [[maybe_unused]] const ssize_t toWatch = ::write(watchWriteFd, &byte, 1);
    }
    errno = savedErrno;
}

void WriteError(const std::string& text) {
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

// The watch thread: it sleeps until a signal comes, gives the session its grace, and leaves
// for it if it is still running.
void Watch(int readFd) {
    unsigned char number = 0;
    while (::read(readFd, &number, 1) != 1) {
        if (errno != EINTR) return;
    }
    std::this_thread::sleep_for(kSignalGrace);
    if (sessionOver.load()) return;
    if (terminalRaw.load()) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    const SignalPipe::TimeoutAction action = timeoutAction.load();
    const std::string files = action != nullptr ? action() : std::string();
    if (::isatty(STDERR_FILENO) != 0) WriteError("\x1b[0m\x1b[?25h\n");
    const char* name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    WriteError(std::string("quorvel: Stopped by ") + name + " while a call to the sound device " +
               "had not returned after " + std::to_string(kSignalGrace.count()) +
               " ms, so quorvel left without it" + (files.empty() ? "" : "; " + files) + ".\n");
    ::_exit(kExitDevice);
}

}  // namespace

void TakeOverEndingSignals() {
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : kEndingSignals) ::sigaction(number, &action, nullptr);
}

bool SignalPipe::Install() {
    int fds[2];
    int watch[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    if (::pipe2(watch, O_CLOEXEC) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    timeoutAction.store(onTimeout_);
    sessionOver.store(false);
    // Detached: it outlives the session only to sleep, and ends with the process.
    std::thread(Watch, watch[0]).detach();
    readFd_ = fds[0];
    watchWriteFd = watch[1];
    signalWriteFd = fds[1];
    TakeOverEndingSignals();
    return true;
}

SignalPipe::~SignalPipe() {
    if (readFd_ < 0) return;
    sessionOver.store(true);
    const int writeFd = signalWriteFd;
    signalWriteFd = -1;
    ::close(writeFd);
    ::close(readFd_);
}

int SignalPipe::Take() {
    unsigned char bytes[16];
    ssize_t got = 0;
    while (readFd_ >= 0 && (got = ::read(readFd_, bytes, sizeof bytes)) > 0) {
        if (caught_ == 0) caught_ = bytes[0];
    }
    return caught_;
}

KeyReader::KeyReader(bool fromStandardInput) {
    if (!fromStandardInput) return;
    fd_ = STDIN_FILENO;
    if (::fcntl(fd_, F_GETFD) < 0) {
        fd_ = -1;  // closed: there are no keys
        return;
    }
    if (::isatty(fd_) == 0) return;
    // A background job must not touch the terminal's modes or read from it.
    if (::tcgetpgrp(fd_) != ::getpgrp()) {
        fd_ = -1;
        return;
    }
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    // Ctrl-C still raises SIGINT (ISIG stays on).
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    savedTerminal = saved_;
    raw_ = ::tcsetattr(fd_, TCSANOW, &raw) == 0;
    terminalRaw.store(raw_);
}

KeyReader::~KeyReader() {
    terminalRaw.store(false);
    if (raw_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void KeyReader::Read(std::vector<Key>* keys) {
    if (fd_ < 0) return;
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0) return;
    // One slice a pass: a source that never runs dry (/dev/zero, `yes`) cannot keep the
    // session from its signals, its limit or its redraws.
    char bytes[kKeySliceBytes];
    ssize_t got = 0;
    do {
        got = ::read(fd_, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        if (got < 0 && errno == EAGAIN) return;
        fd_ = -1;  // input has ended (or broke): only signals and limits end a session now
        return;
    }
    flooded_ = static_cast<std::size_t>(got) == sizeof bytes;
    for (ssize_t i = 0; i < got; ++i) {
        switch (bytes[i]) {
            case ' ':
                keys->push_back(Key::kSpace);
                break;
            case 'q':
            case 'Q':
                keys->push_back(Key::kQuit);
                break;
            case 'n':
            case 'N':
                keys->push_back(Key::kNext);
                break;
            case '\n':
            case '\r':
                keys->push_back(Key::kEnter);
                break;
            default:
                break;
        }
    }
}

Events WaitForEvents(KeyReader& keys, SignalPipe& signals, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {keys.fd(), POLLIN, 0}};
    // A flood of input is not waited for: it is read a slice a pass, after the wait.
    const bool flooded = keys.Flooded();
    const int count = keys.fd() >= 0 && !flooded ? 2 : 1;
    const int result = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(timeout.count()));
    Events events;
    if (result > 0 || (result < 0 && errno == EINTR) || flooded) {
        keys.Read(&events.keys);
        events.signal = signals.Take();
    }
    return events;
}

void IgnoreWriteSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace quorvel::host
