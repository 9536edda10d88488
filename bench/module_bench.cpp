// The cost of one block: the trace, the drawing, and the whole playback and recording handlers
// as the devices call them. The handlers are timed by the device services on the devices' own
// threads (quorvel::device::TimeHandlers), one block at a time through the devices' gates, and
// reported as manual time; the counters give the median and the 99th percentile of all blocks.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "QuorvelWaveForm.h"
#include "display/trace_panel.h"
#include "frame/module.h"
#include "quorvel/device_testing.hpp"

namespace {

namespace qd = quorvel::device;
using Nanos = std::chrono::nanoseconds;

constexpr QwfColorRef kTraceColor = 0x0033FF33;
constexpr QwfColorRef kBackColor = 0x00000000;
// Each handler benchmark runs this many blocks; its file holds a few more.
constexpr int kHandlerBlocks = 3000;

std::vector<qwf::Sample> NoiseBlock(unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    std::vector<qwf::Sample> block(qwf::BLOCK_SAMPLES);
    for (qwf::Sample& value : block) value = static_cast<qwf::Sample>(sample(random));
    return block;
}

// The committed example (speech, then a sweep) as whole blocks, the last one padded with
// silence: what a person plays. Full-scale noise is the worst case for the trace.
std::vector<std::vector<qwf::Sample>> SampleBlocks() {
    std::vector<std::vector<qwf::Sample>> blocks;
    std::FILE* file = std::fopen(QWF_SAMPLE_WAV, "rb");
    if (file == nullptr) throw std::runtime_error("cannot read " QWF_SAMPLE_WAV);
    std::fseek(file, 44, SEEK_SET);
    while (true) {
        std::vector<qwf::Sample> block(qwf::BLOCK_SAMPLES, 0);
        if (std::fread(block.data(), sizeof(qwf::Sample), block.size(), file) == 0) break;
        blocks.push_back(std::move(block));
    }
    std::fclose(file);
    return blocks;
}

enum Signal : std::int64_t { kSample = 0, kNoise = 1 };

std::vector<std::vector<qwf::Sample>> Blocks(std::int64_t signal, std::size_t noiseBlocks) {
    if (signal == kSample) return SampleBlocks();
    std::vector<std::vector<qwf::Sample>> blocks;
    for (std::size_t i = 0; i < noiseBlocks; ++i) {
        blocks.push_back(NoiseBlock(static_cast<unsigned>(i)));
    }
    return blocks;
}

std::u16string Utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string TempPath(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/quorvel-bench-" +
           std::to_string(::getpid()) + "-" + name;
}

// An 8000 Hz mono 16-bit file `blocks` blocks long, cycling through `content`.
void WriteWav(const std::string& path, const std::vector<std::vector<qwf::Sample>>& content,
              int blocks) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(blocks) * qwf::BLOCK_BYTES;
    const auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, file); };
    const auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, file); };
    std::fwrite("RIFF", 1, 4, file);
    u32(36 + dataBytes);
    std::fwrite("WAVEfmt ", 1, 8, file);
    u32(16);
    u16(1);
    u16(1);
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    std::fwrite("data", 1, 4, file);
    u32(dataBytes);
    for (int i = 0; i < blocks; ++i) {
        const std::vector<qwf::Sample>& block =
            content[static_cast<std::size_t>(i) % content.size()];
        std::fwrite(block.data(), sizeof(qwf::Sample), block.size(), file);
    }
    std::fclose(file);
}

void Configure(const char* source) {
    qd::ResetAll();
    qd::OutputSettings output;
    output.backend = "virtual";
    output.pace = QWD_PACE_FAST;
    qd::ConfigureOutput(output);
    qd::InputSettings input;
    input.backend = "virtual";
    input.pace = QWD_PACE_FAST;
    input.source = source;
    qd::ConfigureInput(input);
}

// Lets one more block through a device's gate and waits for the time of its handler.
template <typename Open, typename Take>
void TimeBlocks(benchmark::State& state, Open openGate, Take take) {
    std::vector<Nanos> all;
    all.reserve(kHandlerBlocks);
    for (auto _ : state) {
        openGate();
        std::vector<Nanos> times;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((times = take()).empty()) {
            if (std::chrono::steady_clock::now() > deadline) {
                state.SkipWithError("the device's handler did not run");
                return;
            }
            std::this_thread::yield();
        }
        state.SetIterationTime(std::chrono::duration<double>(times.back()).count());
        all.insert(all.end(), times.begin(), times.end());
    }
    std::sort(all.begin(), all.end());
    const auto at = [&](double share) {
        return static_cast<double>(all[static_cast<std::size_t>(share * (all.size() - 1))].count());
    };
    state.counters["median_ns"] = at(0.5);
    state.counters["p99_ns"] = at(0.99);
    state.counters["blocks"] = static_cast<double>(all.size());
}

void BM_BuildTrace(benchmark::State& state) {
    const std::vector<qwf::Sample> block = NoiseBlock(1);
    qwf::Trace trace{};
    for (auto _ : state) {
        qwf::BuildTrace(trace, block.data(), qwf::PLAYBACK_FIRST_SAMPLE);
        benchmark::DoNotOptimize(trace);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BuildTrace);

void BM_Draw(benchmark::State& state) {
    qd::ResetAll();
    qwf::TracePanel panel;
    qwf::SetUp(panel, kTraceColor, kBackColor);
    const std::vector<std::vector<qwf::Sample>> blocks = Blocks(state.range(0), 16);
    std::vector<qwf::Trace> traces(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        qwf::BuildTrace(traces[i], blocks[i].data(), qwf::PLAYBACK_FIRST_SAMPLE);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        qwf::Draw(panel, traces[next]);
        next = (next + 1) % traces.size();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Draw)->ArgName("noise")->Arg(kSample)->Arg(kNoise);

// Unprepare, read 4000 bytes, trace, prepare, draw, write.
void BM_PlaybackHandler(benchmark::State& state) {
    const std::string path = TempPath("play.wav");
    WriteWav(path, Blocks(state.range(0), 64), kHandlerBlocks + 10);
    Configure("silence");
    qd::SetOutputGate(0);
    PlayWavWaveForm(reinterpret_cast<const QwfChar16*>(Utf16(path).c_str()), kTraceColor,
                    kBackColor);
    qd::TimeHandlers(true);
    TimeBlocks(
        state, [] { qd::SetOutputGate(1); }, [] { return qd::TakeOutputHandlerTimes(); });
    qd::TimeHandlers(false);
    qd::SetOutputGate(-1);
    PlayWavWaveForm(nullptr, kTraceColor, kBackColor);  // ends the playback
    std::remove(path.c_str());
}
BENCHMARK(BM_PlaybackHandler)
    ->ArgName("noise")
    ->Arg(kSample)
    ->Arg(kNoise)
    ->UseManualTime()
    ->Iterations(kHandlerBlocks);

// Copy, trace, requeue, draw, append, header refresh.
void BM_RecordingHandler(benchmark::State& state) {
    const std::string path = TempPath("record.wav");
    Configure("file:" QWF_SAMPLE_WAV);
    qd::SetInputGate(0);
    if (WaveRecordWaveForm(reinterpret_cast<const QwfChar16*>(Utf16(path).c_str()), kTraceColor,
                           kBackColor) != WF_DONE) {
        state.SkipWithError("the recording did not start");
        return;
    }
    qd::TimeHandlers(true);
    TimeBlocks(
        state, [] { qd::SetInputGate(1); }, [] { return qd::TakeInputHandlerTimes(); });
    qd::TimeHandlers(false);
    qd::SetInputGate(-1);
    WaveRecordWaveFormStop();
    std::remove(path.c_str());
}
BENCHMARK(BM_RecordingHandler)->UseManualTime()->Iterations(kHandlerBlocks);

}  // namespace

int main(int argc, char** argv) {
    qwf::ModuleAttach();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    qwf::ModuleDetach();
    return 0;
}
