// Running the built quorvel as a user would, for the host's command-line tests: a child
// process with its own standard input, outputs and limits, temporary folders, WAV bytes.
#ifndef QUORVEL_TESTS_HOST_QUORVEL_PROCESS_H
#define QUORVEL_TESTS_HOST_QUORVEL_PROCESS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "program_launcher.h"

namespace quorvel_test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline const std::string kProgram = QUORVEL_PROGRAM;
inline const std::string kSample = std::string(QWF_SOURCE_DIR) + "/examples/sample.wav";
constexpr std::size_t kBlock = 4000;
constexpr std::size_t kHeader = 44;

// ---- Files ----------------------------------------------------------------------------------

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline long FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

inline std::uint32_t U32At(const Bytes& bytes, std::size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

inline std::uint16_t U16At(const Bytes& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

inline void Put(Bytes& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A WAV file: `data` after a fmt chunk and optional extra chunks before the data chunk.
inline Bytes MakeWav(const Bytes& data, std::uint16_t tag = 1, std::uint16_t channels = 1,
                     std::uint32_t rate = 8000, std::uint16_t bits = 16,
                     const Bytes& beforeData = {}) {
    const std::uint16_t align = static_cast<std::uint16_t>(channels * (bits / 8));
    Bytes wav = {'R', 'I', 'F', 'F'};
    Put(wav, static_cast<std::uint32_t>(36 + beforeData.size() + data.size()), 4);
    for (const char c : std::string("WAVEfmt ")) wav.push_back(static_cast<std::uint8_t>(c));
    Put(wav, 16, 4);
    Put(wav, tag, 2);
    Put(wav, channels, 2);
    Put(wav, rate, 4);
    Put(wav, rate * align, 4);
    Put(wav, align, 2);
    Put(wav, bits, 2);
    wav.insert(wav.end(), beforeData.begin(), beforeData.end());
    for (const char c : std::string("data")) wav.push_back(static_cast<std::uint8_t>(c));
    Put(wav, static_cast<std::uint32_t>(data.size()), 4);
    wav.insert(wav.end(), data.begin(), data.end());
    return wav;
}

// Loud samples that differ in every block, so every block draws a different trace.
inline Bytes Pattern(std::size_t bytes) {
    Bytes data(bytes);
    for (std::size_t i = 0; i < bytes; i += 2) {
        const int step = static_cast<int>((i / 2) % 97);
        const int block = static_cast<int>(i / kBlock);
        const auto sample = static_cast<std::int16_t>(step * 600 - 29000 + block * 300);
        data[i] = static_cast<std::uint8_t>(sample & 0xFF);
        if (i + 1 < bytes) data[i + 1] = static_cast<std::uint8_t>((sample >> 8) & 0xFF);
    }
    return data;
}

// What the device plays for a file: its bytes from offset 44 in whole blocks, the last one
// completed with the format's silence (0x80 for 8-bit; a file ending on a block boundary gets a
// silent block), a trailing half of a 16-bit sample silenced.
inline Bytes ExpectedPlayed(const Bytes& file) {
    const bool eightBit = file[34] == 8 && file[35] == 0;
    const std::uint8_t silence = eightBit ? 0x80 : 0;
    Bytes stream(file.begin() + kHeader, file.end());
    if (!eightBit && stream.size() % 2 != 0) stream.back() = silence;
    stream.resize((stream.size() / kBlock + 1) * kBlock, silence);
    return stream;
}

// A recorded WAV's header must describe exactly the whole blocks in the file.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/quorvel-cli.XXXXXX";
        path_ = ::mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        ::chmod(path_.c_str(), 0755);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// ---- Running quorvel ---------------------------------------------------------------------

struct Result {
    int status = -1;  // exit status, or -1 when ended by a signal
    std::string out;
    std::string err;
};

struct Launch {
    Launch(std::vector<std::string> arguments, std::vector<std::string> environment = {})
        : args(std::move(arguments)), env(std::move(environment)) {}
    std::vector<std::string> args;
    std::vector<std::string> env;  // NAME=value, over the test's own environment
    rlim_t fileSizeLimit = RLIM_INFINITY;
    bool asNobody = false;
    // Standard input: the test's pipe when empty, else this file ("-" for none at all).
    std::string input;
    // Standard error: the test's pipe when empty, else this file (a terminal, say).
    std::string errorTo;
};

inline int CountLines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// quorvel in a child process, standard input a pipe the test writes to.
class Process {
  public:
    explicit Process(const Launch& launch) {
        int in[2], out[2], err[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return;
        std::vector<std::string> env = {"QUORVEL_OUTPUT=virtual", "QUORVEL_INPUT=virtual"};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (text.rfind("QUORVEL_", 0) != 0 && text.rfind("DISPLAY=", 0) != 0)
                env.push_back(text);
        }
        for (const std::string& entry : launch.env) {
            const std::string name = entry.substr(0, entry.find('=') + 1);
            env.erase(std::remove_if(env.begin(), env.end(),
                                     [&](const std::string& e) { return e.rfind(name, 0) == 0; }),
                      env.end());
            env.push_back(entry);
        }
        std::vector<std::string> args = QUORVEL_PROGRAM_LAUNCHER;
        args.push_back(kProgram);
        args.insert(args.end(), launch.args.begin(), launch.args.end());
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        envp.reserve(env.size() + 1);
        for (std::string& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            if (launch.input == "-") {
                ::close(0);
            } else if (!launch.input.empty()) {
                ::dup2(::open(launch.input.c_str(), O_RDONLY | O_CLOEXEC), 0);
            }
            ::dup2(out[1], 1);
            ::dup2(
                launch.errorTo.empty() ? err[1] : ::open(launch.errorTo.c_str(), O_RDWR | O_NOCTTY),
                2);
            for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
            const rlimit limit{launch.fileSizeLimit, launch.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            if (launch.asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(125);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(126);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        input_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }

    ~Process() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {input_, out_, err_}) {
            if (fd >= 0) ::close(fd);
        }
    }

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void Type(const std::string& text) {
        if (input_ >= 0) {
            [[maybe_unused]] const ssize_t written = ::write(input_, text.data(), text.size());
        }
    }
    void CloseInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    void Signal(int number) { ::kill(pid_, number); }

    // Reads both outputs to their end and waits for the exit; kills the child after `timeout`.
    Result Wait(std::chrono::seconds timeout = 120s) {
        CloseInput();
        Result result;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out_ >= 0 || err_ >= 0) {
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
                ADD_FAILURE() << "quorvel did not finish in time";
                ::kill(pid_, SIGKILL);
                break;
            }
            for (int i = 0; i < 2; ++i) {
                int& fd = i == 0 ? out_ : err_;
                if (fd < 0 || fds[i].revents == 0) continue;
                char buffer[4096];
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got <= 0) {
                    ::close(fd);
                    fd = -1;
                } else {
                    (i == 0 ? result.out : result.err)
                        .append(buffer, static_cast<std::size_t>(got));
                }
            }
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

  private:
    pid_t pid_ = -1;
    bool waited_ = false;
    int input_ = -1;
    int out_ = -1;
    int err_ = -1;
};

inline Result RunQuorvel(const Launch& launch) {
    return Process(launch).Wait();
}
inline Result RunQuorvel(std::vector<std::string> args) {
    return RunQuorvel(Launch(std::move(args)));
}

// quorvel with a terminal as standard error; `err` is everything shown on it. With `size`, the
// terminal reports that size.
inline Result RunOnTerminal(Launch launch, const winsize* size = nullptr) {
    Result result;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ADD_FAILURE() << "no terminal to run on";
        return result;
    }
    launch.errorTo = ::ptsname(master);
    const int slave = ::open(launch.errorTo.c_str(), O_RDWR | O_NOCTTY);
    if (size != nullptr && ::ioctl(slave, TIOCSWINSZ, size) != 0) {
        ADD_FAILURE() << "the terminal's size cannot be set";
    }
    std::string shown;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(master, buffer, sizeof buffer)) > 0) {
            shown.append(buffer, static_cast<std::size_t>(got));
        }
    });
    result = RunQuorvel(launch);
    ::close(slave);  // the reader ends when no one holds the terminal
    reader.join();
    ::close(master);
    result.err = shown;
    return result;
}

// Polls until `path` is at least `bytes` long.
inline bool WaitForSize(const std::string& path, long bytes, std::chrono::seconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (FileSize(path) < bytes) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Standard error holds one error or warning line ("quorvel: ..."), besides the status lines of
// a command that had started, and it names `name`.
inline ::testing::AssertionResult OneSentenceNaming(const Result& result, const std::string& name) {
    std::string said;
    int lines = 0;
    for (std::size_t at = 0; at < result.err.size();) {
        const std::size_t end = result.err.find('\n', at);
        const std::string line = result.err.substr(at, end == std::string::npos ? end : end - at);
        if (line.rfind("quorvel: ", 0) == 0) {
            said = line;
            ++lines;
        }
        at = end == std::string::npos ? result.err.size() : end + 1;
    }
    if (lines != 1) return ::testing::AssertionFailure() << "not one line: " << result.err;
    if (said.find(name) == std::string::npos) {
        return ::testing::AssertionFailure() << "does not name " << name << ": " << result.err;
    }
    return ::testing::AssertionSuccess();
}

// Whether a terminal's text holds the live picture: braille (U+2800 to U+28FF), or half blocks
// where libchafa is missing.
inline bool ShowsPicture(const std::string& text) {
    for (const char* cell : {"\u2580", "\xe2\xa0", "\xe2\xa1", "\xe2\xa2", "\xe2\xa3"})
        if (text.find(cell) != std::string::npos) return true;
    return false;
}

}  // namespace quorvel_test

#endif
