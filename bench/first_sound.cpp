// Time to first sound of a player on a sound server: listens to the default sink's monitor,
// starts the command given, and prints how long after its start the first loud sample reached
// the monitor. The monitor's own delay (about 5 ms, the same for every player) is left in:
// worked back by the stream's reported latency, the time comes out before the start for some
// players, since the sink mixes a new stream into audio it has already timed.
// Usage: first_sound COMMAND ARGS...   (inside scripts/with-pulse; the file must be loud from
// its first sample). Prints "first_sound_ms=..." and exits 0, or exits 1 when nothing loud was
// heard within two seconds of the command's end.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 8000;
constexpr int kLoud = 4000;  // well above any dither or rounding a server might add

double Ms(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: first_sound COMMAND ARGS...\n");
        return 2;
    }
    const pa_sample_spec monitorFormat{PA_SAMPLE_S16LE, kRate, 1};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = 80;  // 5 ms
    int error = 0;
    pa_simple* monitor =
        pa_simple_new(nullptr, "first_sound", PA_STREAM_RECORD, "@DEFAULT_MONITOR@", "monitor",
                      &monitorFormat, nullptr, &attr, &error);
    if (monitor == nullptr) {
        std::fprintf(stderr, "first_sound: cannot listen to the monitor: %s\n", pa_strerror(error));
        return 2;
    }
    std::atomic<double> started{0.0};  // when the command was started, 0 before
    std::atomic<double> heard{0.0};
    std::atomic<bool> stop{false};
    std::thread listener([&] {
        std::int16_t chunk[40];
        while (!stop) {
            int code = 0;
            if (pa_simple_read(monitor, chunk, sizeof chunk, &code) < 0) return;
            const double now = Ms(Clock::now());
            if (started == 0.0 || heard != 0.0) continue;
            for (const std::int16_t sample : chunk) {
                if (sample >= kLoud || sample <= -kLoud) {
                    heard = now;
                    break;
                }
            }
        }
    });
    // The monitor's stream settles before the command starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", 0, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 1, 0);
    pid_t child = 0;
    started = Ms(Clock::now());
    const int spawned = posix_spawnp(&child, argv[1], &actions, nullptr, argv + 1, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "first_sound: %s did not run to a clean end\n", argv[1]);
        std::_Exit(1);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (heard == 0.0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    listener.join();
    pa_simple_free(monitor);
    if (heard == 0.0) {
        std::fprintf(stderr, "first_sound: nothing loud reached the monitor\n");
        return 1;
    }
    std::printf("first_sound_ms=%.1f\n", heard - started);
    return 0;
}
