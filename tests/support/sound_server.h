// Helpers for the tests that play and record through a real PulseAudio server (scripts/with-pulse
// or one the test starts itself): PulseAudio's own recorder and player run as child processes,
// known signals, WAV files, sample-exact comparison, and the module loaded from its library.
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
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device.hpp"

extern char** environ;

namespace qwf::sound {

using namespace std::chrono_literals;
using Samples = std::vector<std::int16_t>;

constexpr int kRate = 8000;
constexpr std::size_t kBlockSamples = 2000;  // the module's block

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
// and so do the sound server and SDL's thread: sound then comes late for reasons outside this
// code, and the figures that depend on time say nothing about it.
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

// Why the sound tests cannot run here, or empty when a server was named.
inline std::string MissingServer() {
    const char* server = std::getenv("PULSE_SERVER");
    if (server == nullptr || *server == '\0') {
        return "PULSE_SERVER is not set: run the sound tests through scripts/test-sound "
               "(or scripts/with-pulse).";
    }
    return {};
}

// Why no sound device opens for 8000 Hz mono 16-bit output and capture, or empty when both do.
// Leaves the device services with their defaults.
inline std::string MissingSoundDevice() {
    namespace qd = quorvel::device;
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
    qd::ResetAll();
    qd::OutputSettings output;
    output.backend = "default";
    qd::InputSettings input;
    input.backend = "default";
    std::string missing;
    if (!qd::ConfigureOutput(output) || !qd::ConfigureInput(input)) return "bad settings";
    HWAVEOUT out = nullptr;
    if (waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR) {
        if (qd::ActiveOutputBackend() != "sdl") missing = qd::OutputFallbackNotice();
        waveOutClose(out);
    }
    HWAVEIN in = nullptr;
    if (missing.empty() &&
        waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR) {
        if (qd::ActiveInputBackend() != "sdl") missing = qd::InputFallbackNotice();
        waveInClose(in);
    }
    qd::ResetAll();
    return missing;
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

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

inline Samples ToSamples(const std::vector<std::uint8_t>& bytes, std::size_t offset = 0) {
    Samples samples(bytes.size() > offset ? (bytes.size() - offset) / 2 : 0);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::size_t at = offset + 2 * i;
        samples[i] = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(bytes[at] | static_cast<unsigned>(bytes[at + 1]) << 8));
    }
    return samples;
}

inline void WriteRaw(const std::string& path, const Samples& samples) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const std::int16_t sample : samples) {
        const auto word = static_cast<std::uint16_t>(sample);
        file.put(static_cast<char>(word & 0xFF));
        file.put(static_cast<char>(word >> 8));
    }
}

inline void PutU32(std::ofstream& file, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) file.put(static_cast<char>(value >> (8 * i) & 0xFF));
}

inline void PutU16(std::ofstream& file, std::uint16_t value) {
    file.put(static_cast<char>(value & 0xFF));
    file.put(static_cast<char>(value >> 8));
}

// A 44-byte-header PCM WAV file of 8000 Hz mono 16-bit samples.
inline void WriteWav(const std::string& path, const Samples& samples) {
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
        file.write("RIFF", 4);
        PutU32(file, 36 + dataBytes);
        file.write("WAVEfmt ", 8);
        PutU32(file, 16);
        PutU16(file, 1);
        PutU16(file, 1);
        PutU32(file, kRate);
        PutU32(file, kRate * 2);
        PutU16(file, 2);
        PutU16(file, 16);
        file.write("data", 4);
        PutU32(file, dataBytes);
    }
    std::ofstream file(path, std::ios::binary | std::ios::app);
    for (const std::int16_t sample : samples) PutU16(file, static_cast<std::uint16_t>(sample));
}

// Noise that differs from sample to sample and never holds a zero, so that a recording of it
// shows where it begins and any sample lost, repeated or replaced by silence.
inline Samples KnownSignal(std::size_t count, std::uint32_t seed) {
    Samples samples(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::int16_t& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>((state >> 16) / 2);  // half of full scale
        if (sample == 0) sample = 1;
    }
    return samples;
}

// How a recording holds `expected`: where it starts (the first non-zero sample) and the first
// place it differs. Empty when the whole of `expected` is there, sample for sample.
inline std::string FindExactly(const Samples& recorded, const Samples& expected,
                               std::size_t* startOut = nullptr) {
    std::size_t start = 0;
    while (start < recorded.size() && recorded[start] == 0) ++start;
    if (startOut != nullptr) *startOut = start;
    if (start == recorded.size()) return "the recording is silent";
    std::size_t differing = 0;
    std::size_t first = expected.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool missing = start + i >= recorded.size();
        if (missing || recorded[start + i] != expected[i]) {
            if (first == expected.size()) first = i;
            ++differing;
        }
    }
    if (differing == 0) return {};
    // A gap shows as silence where the signal should go on.
    std::size_t silence = 0;
    while (start + first + silence < recorded.size() && recorded[start + first + silence] == 0) {
        ++silence;
    }
    return std::to_string(differing) + " of " + std::to_string(expected.size()) +
           " samples differ, the first at sample " + std::to_string(first) + " (" +
           std::to_string(first * 1000 / kRate) + " ms) of the signal, which starts at sample " +
           std::to_string(start) + " of the recording; there the recording holds " +
           std::to_string(silence) + " samples of silence";
}

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

// Reports about PulseAudio's client library, which is not instrumented, are not about this
// code: it passes packets between its threads through lock-free lists ThreadSanitizer cannot see
// into, and SDL keeps its connection for the hot-plug watch to the end of the process. Defined
// here once per test program (each includes this header in one file).
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulsecommon\n"
           "race:libpulse.so\n";
}
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpulse.so\n";
}

#endif
