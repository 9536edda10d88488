// Helpers for the tests that play and record through a real PulseAudio server (scripts/with-pulse
// or one the test starts itself), whichever backend reaches it: choosing the backend, a server of
// a test's own, PulseAudio's own recorder and player run as child processes, and the module
// loaded from its library. The samples they compare are in sound_samples.h.
// Header only, for the tests in tests/device/sound/.
#ifndef QWF_TESTS_SUPPORT_SOUND_SERVER_H
#define QWF_TESTS_SUPPORT_SOUND_SERVER_H

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mmsystem.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device.hpp"
#include "support/sound_samples.h"

extern char** environ;

namespace qwf::sound {

using namespace std::chrono_literals;
// A sanitized program runs several times slower, so its sound may come late: there the tests
// check what is done, not when.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kTimingHolds = false;
#else
constexpr bool kTimingHolds = true;
#endif

// Watches whether the machine keeps time while sound plays: a thread in the real-time class
// (where the system allows it) sleeps 5 ms at a time and notes its longest oversleep. When the
// machine itself stalls (a busy host under a virtual machine), even such a thread wakes late,
// and so do the sound server and the backends' threads: sound then comes late for reasons outside
// this code, and the figures that depend on time say nothing about it.
class StallProbe {
  public:
    // Enough to put a done message outside 4% of a 250 ms block by itself, and to eat much of
    // the sound server's slack of about one 31 ms chunk.
    static constexpr double kStallMs = 10.0;

    StallProbe() : thread_([this] { Run(); }) {}
    ~StallProbe() { Stop(); }
    StallProbe(const StallProbe&) = delete;
    StallProbe& operator=(const StallProbe&) = delete;

    // The longest oversleep in milliseconds, once stopped.
    double Stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        return longestMs_;
    }
    bool Stalled() { return Stop() > kStallMs; }
    std::string Why() {
        return "the machine stalled for " + std::to_string(static_cast<int>(Stop())) +
               " ms while sound played (a real-time thread woke that late), so timing and gaps "
               "were not judged";
    }

  private:
    void Run() {
        const sched_param lowestRealTime{sched_get_priority_min(SCHED_RR)};
        pthread_setschedparam(pthread_self(), SCHED_RR, &lowestRealTime);
        while (running_) {
            const auto before = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(5ms);
            const double late =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
                    .count() -
                5.0;
            if (late > longestMs_) longestMs_ = late;
        }
    }

    std::atomic<bool> running_{true};
    double longestMs_ = 0.0;
    std::thread thread_;
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (hadOld_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

// Why the sound tests cannot run here, or empty when a server was named.
inline std::string MissingServer() {
    const char* server = std::getenv("PULSE_SERVER");
    if (server == nullptr || *server == '\0') {
        return "PULSE_SERVER is not set: run the sound tests through scripts/test-sound "
               "(or scripts/with-pulse).";
    }
    return {};
}

// An ALSA configuration of the tests' own, in place of the machine's: "default" and two pcms
// through ALSA's pulse plugin to the server PULSE_SERVER names, one listed with a hint and one
// not, and no sound card at all. Its path.
inline std::string TestAsoundrc() {
    static const std::string path = [] {
        const std::string file = ::testing::TempDir() + "qwf_sound_asoundrc";
        std::FILE* out = std::fopen(file.c_str(), "w");
        if (out != nullptr) {
            std::fputs(
                "pcm.!default { type pulse }\n"
                "ctl.!default { type pulse }\n"
                "pcm.quorvel_listed { type pulse hint { show on description \"Quorvel test\" } }\n"
                "pcm.quorvel_unlisted { type pulse }\n",
                out);
            std::fclose(out);
        }
        return file;
    }();
    return path;
}

// Resets the device services and names `backend` for both directions (ALSA's on the tests'
// own configuration); false when this build has no such backend.
inline bool UseBackend(const std::string& backend) {
    namespace qd = quorvel::device;
    if (backend == "alsa") setenv("ALSA_CONFIG_PATH", TestAsoundrc().c_str(), 1);
    qd::ResetAll();
    qd::OutputSettings output;
    output.backend = backend.c_str();
    qd::InputSettings input;
    input.backend = backend.c_str();
    return qd::ConfigureOutput(output) && qd::ConfigureInput(input);
}

// The sound backends the services were built with, for the tests that run on each; the sound
// tests' CMakeLists.txt defines which.
inline std::vector<std::string> BuiltSoundBackends() {
    return {
#if QWF_WITH_PULSE
        "pulse",
#endif
#if QWF_WITH_ALSA
            "alsa",
#endif
    };
}

// Why the tests of `backend` cannot run here (no server named, or no device of the backend opens
// for 8000 Hz mono 16-bit output and capture), or empty once the device services use `backend`
// in both directions.
inline std::string PrepareSoundBackend(const std::string& backend) {
    const std::string missing = MissingServer();
    if (!missing.empty()) return missing;
    if (!UseBackend(backend)) return "this build has no \"" + backend + "\" backend";
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
    HWAVEOUT out = nullptr;
    const bool plays = waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == 0;
    if (plays) waveOutClose(out);
    HWAVEIN in = nullptr;
    const bool captures = waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == 0;
    if (captures) waveInClose(in);
    if (!UseBackend(backend)) return "cannot name the \"" + backend + "\" backend again";
    if (plays && captures) return {};
    return "no \"" + backend + "\" device opens for 8000 Hz mono 16-bit " +
           (plays ? "capture" : "output") + " (the device services said why on standard error)";
}

inline std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "qwf_sound_" + std::to_string(::getpid()) + "_" + name;
}

// A child process with standard output sent to a file (or left alone when `output` is empty),
// and the test's environment unless one is given.
class Child {
  public:
    Child() = default;
    Child(const std::vector<std::string>& arguments, const std::string& output,
          const std::vector<std::string>& environment = {}, bool discardErrors = false) {
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& variable : environment) {
            envp.push_back(const_cast<char*>(variable.c_str()));
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!output.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        if (discardErrors) {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        }
        char** const env = environment.empty() ? environ : envp.data();
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), env) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    Child& operator=(Child&& other) noexcept {
        Stop();
        pid_ = other.pid_;
        other.pid_ = -1;
        return *this;
    }

    bool Started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Waits for the process to end by itself; its exit status, or -1.
    int Wait() {
        if (pid_ <= 0) return -1;
        int status = 0;
        const pid_t waited = waitpid(pid_, &status, 0);
        pid_ = -1;
        return waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Ends the process with `signal` and waits for it.
    void Stop(int signal = SIGTERM) {
        if (pid_ <= 0) return;
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

inline bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A PulseAudio server of a test's own, for tests that kill it, with a null sink "lossy" whose
// monitor is the default source, on a socket in a temporary folder, started as scripts/with-pulse
// starts its server.
class PrivateServer {
  public:
    PrivateServer() : dir_(TempPath("server")) {
        for (const std::string& sub : {std::string(), std::string("/home"), std::string("/runtime"),
                                       std::string("/state")}) {
            ::mkdir((dir_ + sub).c_str(), 0700);
        }
        address_ = "unix:" + dir_ + "/native";
        const std::vector<std::string> environment = {
            "HOME=" + dir_ + "/home", "XDG_RUNTIME_DIR=" + dir_ + "/runtime",
            "PULSE_RUNTIME_PATH=" + dir_ + "/runtime", "PULSE_STATE_PATH=" + dir_ + "/state",
            "PATH=/usr/bin:/bin"};
        server_ = Child(
            {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--realtime=no", "--high-priority=no", "--system=false", "--disallow-exit",
             "--log-target=file:" + dir_ + "/server.log", "-L",
             "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1", "-L",
             "module-null-sink sink_name=lossy rate=8000 channels=1 format=s16le norewinds=1"},
            "", environment);
        ready_ = server_.Started() && Eventually([this] { return Pactl({"info"}) == 0; }, 10s) &&
                 Pactl({"set-default-sink", "lossy"}) == 0 &&
                 Pactl({"set-default-source", "lossy.monitor"}) == 0;
    }
    ~PrivateServer() {
        server_.Stop(SIGKILL);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }
    void Kill() { server_.Stop(SIGKILL); }
    // SIGSTOP: the server keeps its socket and answers nothing, as a hung server does; SIGCONT.
    void Freeze(bool frozen) { ::kill(server_.pid(), frozen ? SIGSTOP : SIGCONT); }

  private:
    int Pactl(const std::vector<std::string>& arguments) const {
        std::vector<std::string> command = {"pactl", "--server=" + address_};
        command.insert(command.end(), arguments.begin(), arguments.end());
        Child pactl(command, "/dev/null", {}, true);  // refused until the server is up
        return pactl.Wait();
    }

    std::string dir_;
    std::string address_;
    Child server_;
    bool ready_ = false;
};

// PulseAudio's recorder on a source (the sink's monitor by default) at 8000 Hz mono 16-bit with
// a low latency, which also keeps the null sink from holding new streams back.
class Recorder {
  public:
    explicit Recorder(const std::string& name, const std::string& source = "ci.monitor")
        : path_(TempPath(name + ".raw")),
          child_({"parec", "--latency-msec=20", "-d", source, "--format=s16le", "--rate=8000",
                  "--channels=1", "--raw"},
                 path_) {}
    ~Recorder() { std::remove(path_.c_str()); }

    // True once the recorder has been delivering for a while.
    bool Settle() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (Size() == 0) {
            if (!child_.Started() || std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(500ms);
        return true;
    }

    Samples Finish() {
        std::this_thread::sleep_for(300ms);  // what is still in the server's buffers
        child_.Stop();
        return ToSamples(ReadBytes(path_));
    }

  private:
    std::size_t Size() const {
        struct stat info {};
        return ::stat(path_.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
    }

    std::string path_;
    Child child_;
};

// PulseAudio's player sending raw 8000 Hz mono 16-bit samples into the default sink.
inline Child PlayIntoSink(const std::string& rawPath) {
    return Child(
        {"pacat", "--playback", "--raw", "--format=s16le", "--rate=8000", "--channels=1", rawPath},
        "");
}

// The module, loaded from its library as a host loads it.
struct Module {
    using Play = std::int32_t (*)(const char16_t*, std::uint32_t, std::uint32_t);
    using Toggle = std::int32_t (*)();

    Module() {
        handle = dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        play = reinterpret_cast<Play>(dlsym(handle, "PlayWavWaveForm"));
        pause = reinterpret_cast<Toggle>(dlsym(handle, "PlayWavWaveFormStop"));
        record = reinterpret_cast<Play>(dlsym(handle, "WaveRecordWaveForm"));
        stopRecording = reinterpret_cast<Toggle>(dlsym(handle, "WaveRecordWaveFormStop"));
    }
    ~Module() {
        if (handle != nullptr) dlclose(handle);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    bool Loaded() const { return play && pause && record && stopRecording; }

    void* handle = nullptr;
    Play play = nullptr;
    Toggle pause = nullptr;
    Play record = nullptr;
    Toggle stopRecording = nullptr;
};

inline std::u16string Utf16(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

}  // namespace qwf::sound

// Reports about PulseAudio's client library and alsa-lib, which are not instrumented, are not
// about this code: libpulse passes packets between its threads through lock-free lists
// ThreadSanitizer cannot see into, and alsa-lib keeps its configuration for the life of the
// process. Defined here once per test program (each includes this header in one file).
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulsecommon\n"
           "race:libpulse.so\n"
           "race:libasound\n";
}
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpulse.so\n"
           "leak:libasound\n";
}

#endif
