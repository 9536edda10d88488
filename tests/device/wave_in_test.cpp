// Waveform input: Win32 error codes, buffer and message order, sample continuity through the
// FIFO, stop/reset/close, virtual sources, gates, faults, settings and the journal.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quorvel/device_testing.hpp"

namespace qd = quorvel::device;
using namespace std::chrono_literals;

namespace {

constexpr WAVEFORMATEX kMono16{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

// 16-bit samples from the little-endian bytes a device delivers, on any host.
std::vector<std::int16_t> DecodeSamples(const void* data, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return samples;
}

// The little-endian bytes of `value`, `size` bytes long, as WAV files hold numbers.
std::string LittleEndian(std::uint32_t value, int size) {
    std::string bytes;
    for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}
constexpr UINT kHeaderSize = sizeof(WAVEHDR);
constexpr auto kPatience = 10000ms;  // generous: sanitizer builds are slow

// A capture buffer whose header stays at one address.
struct Buffer {
    explicit Buffer(std::size_t bytes) : data(bytes, '\x55') {
        header.lpData = data.data();
        header.dwBufferLength = static_cast<DWORD>(bytes);
    }
    std::vector<char> data;
    WAVEHDR header{};
};

// What the callback saw. The handler may requeue each returned buffer, as the module does.
struct Recorder {
    std::mutex mutex;
    std::vector<UINT> messages;
    std::vector<WAVEHDR*> returned;
    std::vector<DWORD> recordedBytes;
    std::vector<std::uint8_t> bytes;  // everything recorded, in delivery order
    std::set<std::thread::id> threads;
    std::atomic<bool> requeue{false};
    std::chrono::milliseconds pauseBeforeRequeue{0};
    std::function<void(HWAVEIN)> onData;
    std::atomic<bool> closeReturned{false};
    std::atomic<bool> calledAfterClose{false};

    std::vector<std::int16_t> Samples() {
        const std::lock_guard<std::mutex> lock(mutex);
        return DecodeSamples(bytes.data(), bytes.size() / 2);
    }
    std::vector<UINT> Messages() {
        const std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
};

void CALLBACK RecordMessage(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                            DWORD_PTR) {
    auto& recorder = *reinterpret_cast<Recorder*>(instance);
    if (recorder.closeReturned) recorder.calledAfterClose = true;
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    {
        const std::lock_guard<std::mutex> lock(recorder.mutex);
        recorder.messages.push_back(message);
        recorder.threads.insert(std::this_thread::get_id());
        if (message == MM_WIM_DATA) {
            recorder.returned.push_back(header);
            recorder.recordedBytes.push_back(header->dwBytesRecorded);
            recorder.bytes.insert(recorder.bytes.end(), header->lpData,
                                  header->lpData + header->dwBytesRecorded);
        }
    }
    if (message != MM_WIM_DATA) return;
    if (recorder.onData) recorder.onData(device);
    if (recorder.requeue) {
        std::this_thread::sleep_for(recorder.pauseBeforeRequeue);
        waveInAddBuffer(device, header, kHeaderSize);
    }
}

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Asserts samples[i] == first + i (as 16-bit) for every sample.
void ExpectRamp(const std::vector<std::int16_t>& samples, std::uint32_t first = 0) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto expected = static_cast<std::int16_t>(static_cast<std::uint16_t>(first + i));
        ASSERT_EQ(samples[i], expected) << "at sample " << i;
    }
}

std::int16_t ToneSample(double hz, std::size_t n) {
    return static_cast<std::int16_t>(std::lround(16384.0 * std::sin(2 * M_PI * hz * n / 8000.0)));
}

qd::InputSettings Settings(const std::string& source, std::int32_t pace,
                           std::size_t fifo = 8000 * 30) {
    qd::InputSettings settings;
    settings.source = settings.Keep(source);
    settings.pace = pace;
    settings.fifo_frames = fifo;
    return settings;
}

class WaveInTest : public ::testing::Test {
  protected:
    void SetUp() override { qd::ResetAll(); }
    void TearDown() override { EXPECT_FALSE(recorder_.calledAfterClose); }

    // Opens with the recorder as callback; configures first unless settings is null.
    HWAVEIN Open(const qd::InputSettings* settings, const WAVEFORMATEX& format = kMono16) {
        if (settings != nullptr) {
            EXPECT_TRUE(qd::ConfigureInput(*settings));
        }
        HWAVEIN handle = nullptr;
        EXPECT_EQ(
            waveInOpen(&handle, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&RecordMessage),
                       reinterpret_cast<DWORD_PTR>(&recorder_), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
        return handle;
    }
    HWAVEIN Open(const qd::InputSettings& settings, const WAVEFORMATEX& format = kMono16) {
        return Open(&settings, format);
    }

    Buffer& Queue(HWAVEIN handle, std::size_t bytes) {
        Buffer& buffer = buffers_.emplace_back(bytes);
        EXPECT_EQ(waveInPrepareHeader(handle, &buffer.header, kHeaderSize), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInAddBuffer(handle, &buffer.header, kHeaderSize), MMSYSERR_NOERROR);
        return buffer;
    }

    // Stops requeueing, returns every buffer and closes; a callback in flight may still have
    // requeued its buffer after the first reset, so retry as a module would.
    void Finish(HWAVEIN handle) {
        recorder_.requeue = false;
        MMRESULT closed = MMSYSERR_ERROR;
        for (int attempt = 0; attempt < 100 && closed != MMSYSERR_NOERROR; ++attempt) {
            EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
            closed = waveInClose(handle);
        }
        ASSERT_EQ(closed, MMSYSERR_NOERROR);
        recorder_.closeReturned = true;
        EXPECT_EQ(recorder_.Messages().back(), static_cast<UINT>(MM_WIM_CLOSE));
    }

    Recorder recorder_;
    std::deque<Buffer> buffers_;
};

TEST_F(WaveInTest, OpenChecksItsArguments) {
    const auto callback = reinterpret_cast<DWORD_PTR>(&RecordMessage);
    auto handle = reinterpret_cast<HWAVEIN>(0x1234);
    EXPECT_EQ(waveInOpen(&handle, 1, &kMono16, callback, 0, CALLBACK_FUNCTION),
              MMSYSERR_BADDEVICEID);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(waveInOpen(nullptr, 0, &kMono16, callback, 0, CALLBACK_FUNCTION),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&handle, 0, &kMono16, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&handle, 0, &kMono16, callback, 0, 0x00010000), MMSYSERR_INVALFLAG);
    EXPECT_EQ(waveInOpen(&handle, 0, nullptr, callback, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    WAVEFORMATEX badAlign = kMono16;
    badAlign.nBlockAlign = 4;
    EXPECT_EQ(waveInOpen(&handle, 0, &badAlign, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    EXPECT_EQ(waveInOpen(nullptr, 0, &kMono16, 0, 0, CALLBACK_NULL | WAVE_FORMAT_QUERY),
              MMSYSERR_NOERROR);
    EXPECT_EQ(qd::OpenInputDevices(), 0);
    EXPECT_EQ(qd::GetInputStats().opened, 0u);

    // Callback-less devices work too; every handle is new.
    HWAVEIN first = nullptr;
    HWAVEIN second = nullptr;
    ASSERT_EQ(waveInOpen(&first, 0, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(qd::OpenInputDevices(), 1);
    EXPECT_EQ(waveInClose(first), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&second, WAVE_MAPPER, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(first, second);
    EXPECT_EQ(waveInStart(first), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(second), MMSYSERR_NOERROR);
    EXPECT_EQ(qd::GetInputStats().opened, 2u);
    EXPECT_EQ(qd::GetInputStats().closed, 2u);
}

TEST_F(WaveInTest, HeaderAndQueueErrors) {
    HWAVEIN handle = Open(Settings("silence", QWD_PACE_REALTIME));
    Buffer buffer(64);
    WAVEHDR* header = &buffer.header;
    EXPECT_EQ(waveInPrepareHeader(nullptr, header, kHeaderSize), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInPrepareHeader(handle, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInPrepareHeader(handle, header, kHeaderSize - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInAddBuffer(handle, header, kHeaderSize), WAVERR_UNPREPARED);
    EXPECT_EQ(waveInPrepareHeader(handle, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, static_cast<DWORD>(WHDR_PREPARED));

    header->dwFlags |= WHDR_DONE;
    header->dwBytesRecorded = 99;
    EXPECT_EQ(waveInAddBuffer(handle, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));
    EXPECT_EQ(header->dwBytesRecorded, 0u);
    EXPECT_EQ(waveInAddBuffer(handle, header, kHeaderSize), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(handle, header, kHeaderSize), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInClose(handle), WAVERR_STILLPLAYING);
    EXPECT_EQ(qd::OpenInputDevices(), 1);

    EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInUnprepareHeader(handle, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags & WHDR_PREPARED, 0u);
    EXPECT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
    recorder_.closeReturned = true;
    EXPECT_EQ(waveInAddBuffer(handle, header, kHeaderSize), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(handle), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(reinterpret_cast<HWAVEIN>(0x4242)), MMSYSERR_INVALHANDLE);

    // Open, the returned buffer, then close: each on the device's own thread, in that order.
    const std::vector<UINT> expected{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_CLOSE};
    EXPECT_EQ(recorder_.Messages(), expected);
    EXPECT_EQ(recorder_.threads.size(), 1u);
    EXPECT_EQ(recorder_.threads.count(std::this_thread::get_id()), 0u);
}

TEST_F(WaveInTest, RealTimeRequeueInCallbackLosesNoSample) {
    HWAVEIN handle = Open(Settings("ramp", QWD_PACE_REALTIME));
    recorder_.requeue = true;
    recorder_.pauseBeforeRequeue = 4ms;  // samples arrive meanwhile and wait in the FIFO
    Queue(handle, 2 * 100);              // 12.5 ms: fills up in the middle of a 10 ms step
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(30, kPatience));
    Finish(handle);

    const std::vector<std::int16_t> samples = recorder_.Samples();
    EXPECT_GE(samples.size(), 30u * 100u);
    ExpectRamp(samples);
    const qd::InputStats stats = qd::GetInputStats();
    EXPECT_EQ(stats.frames_dropped, 0u);
    EXPECT_GE(stats.buffers_filled, 30u);
    EXPECT_GE(stats.frames_captured, samples.size());
    const std::lock_guard<std::mutex> lock(recorder_.mutex);
    for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(recorder_.recordedBytes[i], 200u);
}

TEST_F(WaveInTest, FastPaceFillsOnDemandWithContinuousRamp) {
    HWAVEIN handle = Open(Settings("ramp", QWD_PACE_FAST));
    recorder_.requeue = true;
    for (int i = 0; i < 3; ++i) Queue(handle, 2 * 251);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);  // already started is fine
    ASSERT_TRUE(qd::WaitInputData(300, kPatience));    // past the 16-bit wrap
    Finish(handle);
    const std::vector<std::int16_t> samples = recorder_.Samples();
    EXPECT_GE(samples.size(), 300u * 251u);
    ExpectRamp(samples);
    EXPECT_EQ(qd::GetInputStats().frames_dropped, 0u);
}

TEST_F(WaveInTest, StopReturnsPartlyFilledBufferAndStartContinues) {
    HWAVEIN handle = Open(Settings("ramp", QWD_PACE_REALTIME));
    Buffer& partial = Queue(handle, 2 * 80000);  // 10 s: never full here
    Buffer& waiting = Queue(handle, 2 * 100);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([] { return qd::GetInputStats().frames_captured >= 200; }));
    ASSERT_EQ(waveInStop(handle), MMSYSERR_NOERROR);

    EXPECT_EQ(partial.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
    const DWORD kept = partial.header.dwBytesRecorded;
    EXPECT_GE(kept, 400u);
    EXPECT_LT(kept, 160000u);
    EXPECT_EQ(kept % 2, 0u);
    EXPECT_EQ(waiting.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));
    EXPECT_EQ(waveInStop(handle), MMSYSERR_NOERROR);  // an empty buffer stays queued
    EXPECT_EQ(waiting.header.dwFlags & WHDR_DONE, 0u);
    ASSERT_TRUE(qd::WaitInputData(1, kPatience));

    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(2, kPatience));
    Finish(handle);
    const std::vector<std::int16_t> samples = recorder_.Samples();
    ASSERT_EQ(samples.size(), kept / 2 + 100);
    ExpectRamp(samples);  // nothing lost across stop and start
    EXPECT_EQ(qd::GetInputStats().buffers_filled, 1u);
    EXPECT_EQ(qd::GetInputStats().data_messages, 2u);
}

TEST_F(WaveInTest, ResetReturnsEveryBufferInQueueOrderAndEmptiesFifo) {
    HWAVEIN handle = Open(Settings("ramp", QWD_PACE_REALTIME));
    std::vector<WAVEHDR*> order;
    for (int i = 0; i < 3; ++i) order.push_back(&Queue(handle, 2 * 100).header);
    qd::SetInputGate(0);  // samples go to the FIFO only
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([] { return qd::GetInputStats().frames_captured >= 240; }));
    ASSERT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
    for (WAVEHDR* header : order) {
        EXPECT_EQ(header->dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
        EXPECT_EQ(header->dwBytesRecorded, 0u);
    }
    ASSERT_TRUE(qd::WaitInputData(3, kPatience));
    {
        const std::lock_guard<std::mutex> lock(recorder_.mutex);
        EXPECT_EQ(recorder_.returned, order);
    }

    // What the FIFO held is gone; the source itself continues.
    const std::uint64_t produced = qd::GetInputStats().frames_captured;
    qd::SetInputGate(-1);
    Buffer& next = Queue(handle, 2 * 50);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(4, kPatience));
    ExpectRamp(DecodeSamples(next.data.data(), 50), static_cast<std::uint32_t>(produced));
    Finish(handle);
}

TEST_F(WaveInTest, GateLimitsFilledBuffers) {
    HWAVEIN handle = Open(Settings("ramp", QWD_PACE_FAST));
    qd::SetInputGate(2);
    for (int i = 0; i < 4; ++i) Queue(handle, 2 * 10);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(2, kPatience));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(qd::GetInputStats().buffers_filled, 2u);
    EXPECT_EQ(buffers_[2].header.dwFlags & WHDR_DONE, 0u);
    qd::SetInputGate(-1);
    ASSERT_TRUE(qd::WaitInputData(4, kPatience));
    Finish(handle);
    ExpectRamp(recorder_.Samples());
    EXPECT_EQ(recorder_.Samples().size(), 40u);
}

TEST_F(WaveInTest, FifoOverflowIsCountedAndKeepsOldestSamples) {
    HWAVEIN handle = Open(Settings("ramp", QWD_PACE_REALTIME, 100));
    Queue(handle, 2 * 80);  // never requeued
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([] { return qd::GetInputStats().frames_dropped > 0; }));
    const qd::InputStats stats = qd::GetInputStats();
    EXPECT_EQ(stats.frames_captured, 80 + 100 + stats.frames_dropped);

    Queue(handle, 2 * 100);  // filled straight from the FIFO
    ASSERT_TRUE(qd::WaitInputData(2, kPatience));
    ASSERT_EQ(waveInStop(handle), MMSYSERR_NOERROR);
    Finish(handle);
    std::vector<std::int16_t> samples = recorder_.Samples();
    ASSERT_GE(samples.size(), 180u);
    samples.resize(180);
    ExpectRamp(samples);
}

TEST_F(WaveInTest, CallbackMayStopResetAndCloseItsDevice) {
    HWAVEIN handle = Open(Settings("ramp", QWD_PACE_FAST));
    std::vector<MMRESULT> results;
    recorder_.onData = [&results](HWAVEIN device) {
        if (!results.empty()) return;
        results.push_back(waveInStop(device));
        results.push_back(waveInReset(device));
        results.push_back(waveInClose(device));
        results.push_back(waveInAddBuffer(device, nullptr, kHeaderSize));
    };
    Queue(handle, 2 * 10);
    Queue(handle, 2 * 10);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([this] { return recorder_.Messages().size() == 4; }));
    const std::vector<MMRESULT> expectedResults{0, 0, 0, MMSYSERR_INVALHANDLE};
    EXPECT_EQ(results, expectedResults);
    const std::vector<UINT> expected{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_CLOSE};
    EXPECT_EQ(recorder_.Messages(), expected);
    EXPECT_EQ(qd::OpenInputDevices(), 0);
    EXPECT_EQ(waveInClose(handle), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveInTest, ToneAndFormatsProduceExpectedSamples) {
    HWAVEIN handle = Open(Settings("tone:1000", QWD_PACE_FAST));
    Buffer& mono = Queue(handle, 2 * 800);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(1, kPatience));
    Finish(handle);
    const std::vector<std::int16_t> samples = DecodeSamples(mono.data.data(), 800);
    EXPECT_EQ(samples[2], 16384);  // a quarter period in: half of full scale
    for (std::size_t n = 0; n < samples.size(); ++n) {
        ASSERT_NEAR(samples[n], ToneSample(1000, n), 1) << "at sample " << n;
    }

    // 8-bit stereo: unsigned bytes, the same on both channels. The caller's format record
    // is gone right after the call.
    auto format =
        std::make_unique<WAVEFORMATEX>(WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 8000, 16000, 2, 8, 0});
    recorder_.closeReturned = false;
    HWAVEIN stereo = Open(nullptr, *format);
    std::memset(format.get(), 0xFF, sizeof(WAVEFORMATEX));
    format.reset();
    Buffer& bytes = Queue(stereo, 2 * 100);
    ASSERT_EQ(waveInStart(stereo), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(2, kPatience));
    Finish(stereo);
    for (std::size_t n = 0; n < 100; ++n) {
        const int expected = (ToneSample(1000, n) + 32768) >> 8;
        ASSERT_NEAR(static_cast<std::uint8_t>(bytes.data[2 * n]), expected, 1) << "frame " << n;
        ASSERT_EQ(bytes.data[2 * n], bytes.data[2 * n + 1]) << "frame " << n;
    }
}

TEST_F(WaveInTest, FileSourceLoopsWaveDataOrRawBytes) {
    // Names unique to this process: several builds may run their tests at once.
    const std::string prefix = ::testing::TempDir() + "quorvel_input_" + std::to_string(::getpid());
    const std::string wavePath = prefix + ".wav";
    const auto samplesAsBytes = [](const std::vector<int>& samples) {
        std::string bytes;
        for (const int sample : samples)
            bytes += LittleEndian(static_cast<std::uint32_t>(sample), 2);
        return bytes;
    };
    {
        std::ofstream file(wavePath, std::ios::binary);
        file << "RIFF" << LittleEndian(4 + 8 + 16 + 8 + 4 + 8 + 10, 4) << "WAVEfmt "
             << LittleEndian(16, 4) << LittleEndian(kMono16.wFormatTag, 2)
             << LittleEndian(kMono16.nChannels, 2) << LittleEndian(kMono16.nSamplesPerSec, 4)
             << LittleEndian(kMono16.nAvgBytesPerSec, 4) << LittleEndian(kMono16.nBlockAlign, 2)
             << LittleEndian(kMono16.wBitsPerSample, 2);
        // An odd-sized chunk with its pad byte.
        file << "LIST" << LittleEndian(3, 4) << std::string("abc\0", 4) << "data"
             << LittleEndian(10, 4) << samplesAsBytes({1000, -2000, 3000, -4000, 5000});
    }
    const std::string rawPath = prefix + ".raw";
    std::ofstream(rawPath, std::ios::binary) << samplesAsBytes({7, -8, 9});

    HWAVEIN handle = Open(Settings("file:" + wavePath, QWD_PACE_FAST));
    Queue(handle, 2 * 12);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(1, kPatience));
    Finish(handle);
    const std::vector<std::int16_t> fromWave{1000,  -2000, 3000,  -4000, 5000, 1000,
                                             -2000, 3000,  -4000, 5000,  1000, -2000};
    EXPECT_EQ(recorder_.Samples(), fromWave);

    Recorder& recorder = recorder_;
    recorder.bytes.clear();
    recorder.closeReturned = false;
    const qd::InputSettings rawSettings = Settings("file:" + rawPath, QWD_PACE_FAST);
    handle = Open(rawSettings);
    Queue(handle, 2 * 7);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(2, kPatience));
    Finish(handle);
    const std::vector<std::int16_t> fromRaw{7, -8, 9, 7, -8, 9, 7};
    EXPECT_EQ(recorder_.Samples(), fromRaw);

    // A WAV file without a data chunk, or no file at all, is refused by name.
    std::ofstream(wavePath, std::ios::binary).write("RIFF\x04\0\0\0WAVE", 12);
    for (const std::string& path : {wavePath, prefix + "_missing.wav"}) {
        std::string error;
        EXPECT_FALSE(qd::ConfigureInput(Settings("file:" + path, QWD_PACE_FAST), &error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
    std::remove(wavePath.c_str());
    std::remove(rawPath.c_str());
}

TEST_F(WaveInTest, SettingsTextAndConfigurationErrors) {
    qd::InputSettings parsed;
    std::string error;
    ASSERT_TRUE(qd::ParseInputSettings("virtual, fast ,source=tone:440,fifo=123", &parsed, &error));
    EXPECT_STREQ(parsed.backend, "virtual");
    EXPECT_EQ(parsed.pace, QWD_PACE_FAST);
    EXPECT_STREQ(parsed.source, "tone:440");
    EXPECT_EQ(parsed.fifo_frames, 123u);
    const std::pair<const char*, const char*> badTexts[] = {
        {"bogus", "\"bogus\""},        {"fast,virtual", "\"virtual\""},
        {"source=noise", "\"noise\""}, {"source=tone:abc", "\"abc\""},
        {"source=tone:0", "\"0\""},    {"fifo=-1", "\"-1\""},
        {"fifo=x", "\"x\""},           {"source=file:", "\"file:\""}};
    for (const auto& [bad, named] : badTexts) {
        error.clear();
        EXPECT_FALSE(qd::ParseInputSettings(bad, &parsed, &error)) << bad;
        EXPECT_NE(error.find(named), std::string::npos) << error;
    }
    // No frequency from a number strtod would take only in part, after blanks or as empty.
    for (const char* bad :
         {"source=tone:", "source=tone: 440", "source=tone:inf", "source=tone:1x"}) {
        EXPECT_FALSE(qd::ParseInputSettings(bad, &parsed, &error)) << bad;
    }
    EXPECT_EQ(parsed.fifo_frames, 123u);  // a failed parse leaves the settings alone

    qd::InputSettings unknownBackend;
    unknownBackend.backend = "oss";  // not a backend of the table
    EXPECT_FALSE(qd::ConfigureInput(unknownBackend, &error));
    EXPECT_NE(error.find("\"oss\""), std::string::npos) << error;
    EXPECT_FALSE(qd::ConfigureInput(Settings("tone:-5", QWD_PACE_FAST), &error));
    EXPECT_NE(error.find("-5"), std::string::npos) << error;

    // Without ConfigureInput the first open reads QUORVEL_INPUT.
    ::setenv("QUORVEL_INPUT", "virtual,fast,source=ramp", 1);
    qd::ResetAll();
    HWAVEIN handle = Open(nullptr);
    ::unsetenv("QUORVEL_INPUT");
    Queue(handle, 2 * 10);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(1, kPatience));
    Finish(handle);
    ExpectRamp(recorder_.Samples());
    EXPECT_EQ(recorder_.Samples().size(), 10u);
}

TEST_F(WaveInTest, InjectedFaultsFailOneCallWithoutEffect) {
    qd::InjectFault(QWD_OP_IN_OPEN, MMSYSERR_NOMEM);
    auto handle = reinterpret_cast<HWAVEIN>(0x1234);
    EXPECT_EQ(waveInOpen(&handle, 0, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOMEM);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(qd::OpenInputDevices(), 0);

    const qd::InputSettings settings = Settings("ramp", QWD_PACE_FAST);
    handle = Open(settings);
    Buffer buffer(20);
    qd::InjectFault(QWD_OP_IN_PREPARE, MMSYSERR_ERROR);
    EXPECT_EQ(waveInPrepareHeader(handle, &buffer.header, kHeaderSize), MMSYSERR_ERROR);
    EXPECT_EQ(buffer.header.dwFlags, 0u);
    EXPECT_EQ(waveInPrepareHeader(handle, &buffer.header, kHeaderSize), MMSYSERR_NOERROR);
    qd::InjectFault(QWD_OP_IN_ADD_BUFFER, MMSYSERR_NOMEM, 1);  // the second call fails
    EXPECT_EQ(waveInAddBuffer(handle, &buffer.header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(handle, &buffer.header, kHeaderSize), MMSYSERR_NOMEM);
    EXPECT_EQ(buffer.header.dwFlags & WHDR_INQUEUE, 0u);
    qd::InjectFault(QWD_OP_IN_CLOSE, MMSYSERR_ERROR);
    EXPECT_EQ(waveInClose(handle), MMSYSERR_ERROR);
    EXPECT_EQ(qd::OpenInputDevices(), 1);
    Finish(handle);
}

TEST_F(WaveInTest, JournalRecordsCallsAndMessages) {
    qd::EnableJournal(true);
    HWAVEIN handle = Open(Settings("silence", QWD_PACE_FAST));
    ASSERT_TRUE(WaitFor([this] { return recorder_.Messages().size() == 1; }));
    Buffer& buffer = Queue(handle, 16);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(qd::WaitInputData(1, kPatience));
    EXPECT_EQ(waveInStop(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInUnprepareHeader(handle, &buffer.header, kHeaderSize), MMSYSERR_NOERROR);
    Finish(handle);
    EXPECT_EQ(waveInStart(handle), MMSYSERR_INVALHANDLE);

    const std::vector<std::string> entries = qd::JournalEntries();
    ASSERT_FALSE(entries.empty());
    const std::string name = entries[0].substr(entries[0].rfind(' ') + 1);
    const std::vector<std::string> expected{
        "waveInOpen(WAVE_MAPPER, fmt{1,1,8000,16000,2,16,0}, 0x30000) = 0 " + name,
        "message(" + name + ", MM_WIM_OPEN)",
        "waveInPrepareHeader(" + name + ", hdr) = 0",
        "waveInAddBuffer(" + name + ", hdr) = 0",
        "waveInStart(" + name + ") = 0",
        "message(" + name + ", MM_WIM_DATA)",
        "waveInStop(" + name + ") = 0",
        "waveInUnprepareHeader(" + name + ", hdr) = 0",
        "waveInReset(" + name + ") = 0",
        "waveInClose(" + name + ") = 0",
        "message(" + name + ", MM_WIM_CLOSE)",
        "waveInStart(bad) = 5",
    };
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(name.rfind("win", 0), 0u);
}

}  // namespace
