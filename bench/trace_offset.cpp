// Trace against sound on a sound server. Blocks of constant, distinct levels are played (by the
// module on the backend named, or, for capture, by this program into the sink the module
// records from); the sink's monitor is listened to with timestamps, and the screen is watched:
// as presented and as drawn for playback, as drawn for capture. For each block the time its
// trace appeared is set against the time its first sample reached the monitor.
// Usage: trace_offset play BACKEND | record BACKEND   (inside scripts/with-pulse)
// Prints one line: "median_ms=... worst_ms=... [drawn_median_ms=... drawn_worst_ms=...]"; for
// capture the figures are the lag from a block's last sample being heard to its trace.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuorvelWaveForm.h"
#include "display/trace_panel.h"
#include "frame/module.h"
#include "quorvel/device.hpp"

namespace {

namespace qd = quorvel::device;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 8000;
constexpr int kBlocks = 24;
constexpr QwfColorRef kTraceColor = 0x00FFFFFF;
constexpr int kColumn = 120;  // where the trace's row is read

std::int16_t Level(int block) {
    return static_cast<std::int16_t>(-23000 + block * 2000);
}

// The block whose trace row this is; -1 for none.
int BlockOfRow(int row) {
    for (int block = 0; block < kBlocks; ++block) {
        if (qwf::TraceRow(Level(block)) == row) return block;
    }
    return -1;
}

double Ms(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

// The trace's row in column kColumn of an RGB screen, -1 when no pixel has the trace colour.
// The panel's outline is drawn with the trace's pen too, so its edges are skipped.
int RowOnScreen(const std::vector<std::uint8_t>& rgb, int width) {
    for (int y = QWF_PANEL_TOP + 1; y < QWF_PANEL_BOTTOM - 1; ++y) {
        const std::uint8_t* pixel =
            rgb.data() + (static_cast<std::size_t>(y) * width + kColumn) * 3;
        if (pixel[0] == 0xFF && pixel[1] == 0xFF && pixel[2] == 0xFF) return y;
    }
    return -1;
}

const pa_sample_spec kSpec{PA_SAMPLE_S16LE, kRate, 1};

// Listens to the monitor of the default sink: when each block's level first arrived there.
class MonitorListener {
  public:
    MonitorListener() : heard_(kBlocks, 0.0) {
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = 80;  // 5 ms
        int error = 0;
        stream_ = pa_simple_new(nullptr, "trace_offset", PA_STREAM_RECORD, "@DEFAULT_MONITOR@",
                                "monitor", &kSpec, nullptr, &attr, &error);
        if (stream_ == nullptr) {
            std::fprintf(stderr, "trace_offset: cannot listen to the monitor: %s\n",
                         pa_strerror(error));
            std::exit(2);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~MonitorListener() {
        stop_ = true;
        thread_.join();
        pa_simple_free(stream_);
    }
    double HeardAt(int block) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return heard_[static_cast<std::size_t>(block)];
    }

  private:
    void Run() {
        std::int16_t chunk[40];
        while (!stop_) {
            int error = 0;
            if (pa_simple_read(stream_, chunk, sizeof chunk, &error) < 0) return;
            const double now = Ms(Clock::now());
            const double latency =
                static_cast<double>(pa_simple_get_latency(stream_, &error)) / 1e3;
            const int count = static_cast<int>(sizeof chunk / sizeof chunk[0]);
            for (int i = 0; i < count; ++i) {
                for (int block = 0; block < kBlocks; ++block) {
                    if (chunk[i] != Level(block)) continue;
                    const std::lock_guard<std::mutex> lock(mutex_);
                    double& heard = heard_[static_cast<std::size_t>(block)];
                    if (heard == 0.0) heard = now - latency - 1e3 * (count - 1 - i) / kRate;
                }
            }
        }
    }

    pa_simple* stream_ = nullptr;
    std::mutex mutex_;
    std::vector<double> heard_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::vector<std::int16_t> LevelSamples() {
    std::vector<std::int16_t> samples;
    for (int block = 0; block < kBlocks; ++block) {
        samples.insert(samples.end(), QWF_BLOCK_SAMPLES, Level(block));
    }
    return samples;
}

std::string WriteLevelsWav() {
    const std::vector<std::int16_t> samples = LevelSamples();
    const std::string path = "/tmp/trace_offset_" + std::to_string(getpid()) + ".wav";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, file); };
    const auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, file); };
    const auto bytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::fwrite("RIFF", 1, 4, file);
    u32(36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, file);
    u32(16);
    u16(1);
    u16(1);
    u32(kRate);
    u32(kRate * 2);
    u16(2);
    u16(16);
    std::fwrite("data", 1, 4, file);
    u32(bytes);
    std::fwrite(samples.data(), 2, samples.size(), file);
    std::fclose(file);
    return path;
}

// When each block's trace first showed, read through `read` until `done` holds.
template <typename Read, typename Done>
std::vector<double> WatchTraces(Read read, Done done) {
    std::vector<double> shown(kBlocks, 0.0);
    const int width = qd::GetScreenSize().width;
    while (!done()) {
        const int block = BlockOfRow(RowOnScreen(read(), width));
        const double now = Ms(Clock::now());
        if (block >= 0 && shown[static_cast<std::size_t>(block)] == 0.0) {
            shown[static_cast<std::size_t>(block)] = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return shown;
}

// Prints the median and the worst of the offsets, or nan when there are none.
void Summarize(const char* prefix, std::vector<double> offsets) {
    if (offsets.empty()) {
        std::printf("%smedian_ms=nan %sworst_ms=nan ", prefix, prefix);
        return;
    }
    std::sort(offsets.begin(), offsets.end());
    const double median = offsets[offsets.size() / 2];
    const double worst =
        std::abs(offsets.front()) > std::abs(offsets.back()) ? offsets.front() : offsets.back();
    std::printf("%smedian_ms=%.1f %sworst_ms=%.1f %sblocks=%zu ", prefix, median, prefix, worst,
                prefix, offsets.size());
}

// The blocks judged: 2 to kBlocks - 2 (the first and last meet the stream's start and end).
constexpr int kFirstJudged = 2;
constexpr int kLastJudged = kBlocks - 2;

// Offsets of the judged blocks: when the trace showed against when the block was first heard.
void Report(const char* prefix, const std::vector<double>& shown, MonitorListener& monitor) {
    std::vector<double> offsets;
    const bool verbose = std::getenv("TRACE_OFFSET_VERBOSE") != nullptr;
    for (int block = kFirstJudged; block <= kLastJudged; ++block) {
        const double heard = monitor.HeardAt(block);
        const double at = shown[static_cast<std::size_t>(block)];
        if (verbose)
            std::fprintf(stderr, "%sblock %d: heard %.1f, shown %.1f\n", prefix, block, heard, at);
        if (heard != 0.0 && at != 0.0) offsets.push_back(at - heard);
    }
    Summarize(prefix, offsets);
}

std::u16string Utf16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// The samples of a recording the module wrote (16-bit mono after its fixed header).
std::vector<std::int16_t> ReadTake(const std::string& path) {
    std::vector<std::int16_t> samples;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return samples;
    std::fseek(file, QWF_WAV_HEADER_BYTES, SEEK_SET);
    std::int16_t chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, sizeof chunk[0], 4096, file)) > 0) {
        samples.insert(samples.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return samples;
}

// For capture, a level first shows in the watched column with the first block whose sample
// there has that level, and that block can only be drawn once its last sample is captured.
// The lag judged is from that last sample reaching the monitor to the trace, so it does not
// depend on where the capture's blocks happen to fall against the levels.
std::vector<double> CaptureLags(const std::vector<std::int16_t>& take,
                                const std::vector<double>& shown, MonitorListener& monitor) {
    constexpr int kWatchedSample = qwf::RECORDING_FIRST_SAMPLE + kColumn * qwf::TRACE_STRIDE;
    constexpr double kSamplesPerMs = kRate / 1000.0;
    const bool verbose = std::getenv("TRACE_OFFSET_VERBOSE") != nullptr;
    std::vector<double> lags;
    for (int level = kFirstJudged; level <= kLastJudged; ++level) {
        const auto first = std::find(take.begin(), take.end(), Level(level));
        if (first == take.end()) continue;
        const std::size_t levelStart = static_cast<std::size_t>(first - take.begin());
        std::size_t blockStart = levelStart / QWF_BLOCK_SAMPLES * QWF_BLOCK_SAMPLES;
        while (blockStart + kWatchedSample < take.size() &&
               take[blockStart + kWatchedSample] != Level(level)) {
            blockStart += QWF_BLOCK_SAMPLES;
        }
        if (blockStart + QWF_BLOCK_SAMPLES > take.size()) continue;
        const double heard = monitor.HeardAt(level);
        const double at = shown[static_cast<std::size_t>(level)];
        if (heard == 0.0 || at == 0.0) continue;
        const std::size_t lastSample = blockStart + QWF_BLOCK_SAMPLES - 1;
        const double lastHeard =
            heard + static_cast<double>(lastSample - levelStart) / kSamplesPerMs;
        if (verbose)
            std::fprintf(stderr, "level %d: block at %zu, its end heard %.1f, shown %.1f\n", level,
                         blockStart, lastHeard, at);
        lags.push_back(at - lastHeard);
    }
    return lags;
}

int Play(const std::string& backend) {
    qd::OutputSettings settings;
    settings.backend = backend.c_str();
    std::string error;
    if (!qd::ConfigureOutput(settings, &error)) {
        std::fprintf(stderr, "trace_offset: %s\n", error.c_str());
        return 2;
    }
    const std::string path = WriteLevelsWav();
    MonitorListener monitor;
    // A block counts as played once the server holds it, well before it is heard: the watch
    // goes on until the server's buffer has played out.
    Clock::time_point allPlayed{};
    const auto heardOut = [&allPlayed] {
        if (allPlayed == Clock::time_point{}) {
            if (qd::GetOutputStats().blocks_played >= kBlocks) allPlayed = Clock::now();
            return false;
        }
        return Clock::now() - allPlayed > std::chrono::milliseconds(1200);
    };
    std::vector<double> drawn;
    std::thread drawnWatch([&] {
        drawn = WatchTraces([] { return qd::ReadScreenRgb(); },
                            [] { return qd::GetOutputStats().blocks_played >= kBlocks; });
    });
    qd::EnablePresentation();  // keep the drawn states from the first block on
    PlayWavWaveForm(reinterpret_cast<const QwfChar16*>(Utf16(path).c_str()), kTraceColor, 0);
    const std::vector<double> presented =
        WatchTraces([] { return qd::ReadPresentedScreenRgb(); }, heardOut);
    drawnWatch.join();
    std::printf("backend=%s ", qd::ActiveOutputBackend().c_str());
    Report("", presented, monitor);
    Report("drawn_", drawn, monitor);
    std::printf("\n");
    PlayWavWaveForm(nullptr, kTraceColor, 0);
    std::remove(path.c_str());
    return 0;
}

int Record(const std::string& backend) {
    qd::InputSettings settings;
    settings.backend = backend.c_str();
    std::string error;
    if (!qd::ConfigureInput(settings, &error)) {
        std::fprintf(stderr, "trace_offset: %s\n", error.c_str());
        return 2;
    }
    const std::string path = "/tmp/trace_offset_" + std::to_string(getpid()) + "_take.wav";
    if (WaveRecordWaveForm(reinterpret_cast<const QwfChar16*>(Utf16(path).c_str()), kTraceColor,
                           0) != WF_DONE) {
        std::fprintf(stderr, "trace_offset: the capture did not start\n");
        return 2;
    }
    // The levels start once the capture delivers: what is measured is the lag of a running
    // capture, not its start.
    const auto started = Clock::now();
    while (qd::GetInputStats().frames_captured == 0 &&
           Clock::now() - started < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    MonitorListener monitor;
    std::atomic<bool> played{false};
    std::thread player([&] {
        int code = 0;
        pa_simple* out = pa_simple_new(nullptr, "trace_offset", PA_STREAM_PLAYBACK, nullptr,
                                       "levels", &kSpec, nullptr, nullptr, &code);
        if (out != nullptr) {
            const std::vector<std::int16_t> samples = LevelSamples();
            pa_simple_write(out, samples.data(), samples.size() * 2, &code);
            pa_simple_drain(out, &code);
            pa_simple_free(out);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the last block's trace
        played = true;
    });
    const std::vector<double> shown =
        WatchTraces([] { return qd::ReadScreenRgb(); }, [&] { return played.load(); });
    player.join();
    WaveRecordWaveFormStop();
    const std::vector<std::int16_t> take = ReadTake(path);
    std::remove(path.c_str());
    std::printf("backend=%s ", qd::ActiveInputBackend().c_str());
    Summarize("", CaptureLags(take, shown, monitor));
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: trace_offset play|record BACKEND\n");
        return 2;
    }
    qwf::ModuleAttach();
    const std::string mode = argv[1];
    const int status = mode == "play" ? Play(argv[2]) : Record(argv[2]);
    qwf::ModuleDetach();
    return status;
}
