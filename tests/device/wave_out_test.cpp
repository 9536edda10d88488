// Waveform audio output of the device services: Win32 semantics, sinks, pace and settings.
#include <gtest/gtest.h>
#include <mmsystem.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/device_testing.hpp"

namespace qd = quorvel::device;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr UINT kHeaderSize = sizeof(WAVEHDR);
constexpr DWORD kPrepared = WHDR_PREPARED;
const WAVEFORMATEX kMono16{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

Bytes Pattern(std::size_t size, int seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(static_cast<std::size_t>(seed) * 31 + i * 7);
    return bytes;
}

void Append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// Keeps its data; held in a deque so that the header never moves.
struct Block {
    explicit Block(Bytes bytes) : data(std::move(bytes)) {
        header.lpData = reinterpret_cast<LPSTR>(data.data());
        header.dwBufferLength = static_cast<DWORD>(data.size());
    }
    Bytes data;
    WAVEHDR header{};
};

thread_local bool insideWrite = false;
thread_local int callbackDepth = 0;

void PrepareAndWrite(HWAVEOUT device, Block& block) {
    ASSERT_EQ(waveOutPrepareHeader(device, &block.header, kHeaderSize), MMSYSERR_NOERROR);
    insideWrite = true;  // a callback run inside the call, on this thread, would see it
    const MMRESULT result = waveOutWrite(device, &block.header, kHeaderSize);
    insideWrite = false;
    ASSERT_EQ(result, MMSYSERR_NOERROR);
}

void CALLBACK IgnoreMessages(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Records one device's messages and counts callbacks made where none may be.
class Listener {
  public:
    struct Event {
        UINT message;
        WAVEHDR* header;
        DWORD flags;  // as the callback saw them, when readFlags is set
        std::thread::id thread;
    };

    MMRESULT Open(HWAVEOUT* device, const WAVEFORMATEX& format = kMono16) {
        return waveOutOpen(device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&Callback),
                           reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }

    bool WaitFor(UINT message, std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            std::size_t seen = 0;
            for (const Event& event : events_) seen += event.message == message ? 1 : 0;
            return seen >= count;
        });
    }

    std::vector<Event> Events() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    std::vector<WAVEHDR*> DoneHeaders() {
        std::vector<WAVEHDR*> headers;
        for (const Event& event : Events()) {
            if (event.message == MM_WOM_DONE) headers.push_back(event.header);
        }
        return headers;
    }

    std::function<void(HWAVEOUT, UINT, WAVEHDR*)> onMessage;  // runs inside the callback
    bool readFlags = true;  // off where the test thread changes headers meanwhile
    std::atomic<bool> closeReturned{false};
    std::atomic<int> misplacedCalls{0};  // nested, inside waveOutWrite, or after close

  private:
    static void CALLBACK Callback(HWAVEOUT device, UINT message, DWORD_PTR instance,
                                  DWORD_PTR param1, DWORD_PTR /*param2*/) {
        auto* self = reinterpret_cast<Listener*>(instance);
        auto* header = reinterpret_cast<WAVEHDR*>(param1);
        if (insideWrite || callbackDepth > 0 || self->closeReturned) ++self->misplacedCalls;
        ++callbackDepth;
        {
            const std::lock_guard<std::mutex> lock(self->mutex_);
            const DWORD flags = self->readFlags && header != nullptr ? header->dwFlags : 0;
            self->events_.push_back({message, header, flags, std::this_thread::get_id()});
        }
        if (self->onMessage) self->onMessage(device, message, header);
        --callbackDepth;
        self->changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

class WaveOutTest : public ::testing::Test {
  protected:
    void SetUp() override { qd::ResetAll(); }
    void TearDown() override {
        EXPECT_EQ(qd::OpenOutputDevices(), 0) << "a test left a device open";
        EXPECT_TRUE(qd::WaitOutputIdle(5s));
    }

    static void Configure(std::int32_t pace, bool memory = true, const std::string& sinkFile = "") {
        qd::OutputSettings settings;
        settings.pace = pace;
        settings.sink_memory = memory ? 1 : 0;
        settings.sink_file = sinkFile.c_str();
        std::string error;
        ASSERT_TRUE(qd::ConfigureOutput(settings, &error)) << error;
    }

    static HWAVEOUT OpenSilent() {
        HWAVEOUT device = nullptr;
        EXPECT_EQ(waveOutOpen(&device, 0, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        return device;
    }
};

TEST_F(WaveOutTest, OpenChecksItsArguments) {
    Configure(QWD_PACE_FAST);
    const auto callback = reinterpret_cast<DWORD_PTR>(&IgnoreMessages);
    HWAVEOUT device = reinterpret_cast<HWAVEOUT>(0x1234);
    EXPECT_EQ(waveOutOpen(&device, 1, &kMono16, callback, 0, CALLBACK_FUNCTION),
              MMSYSERR_BADDEVICEID);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &kMono16, callback, 0, CALLBACK_FUNCTION),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(&device, 0, &kMono16, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(&device, 0, nullptr, callback, 0, CALLBACK_FUNCTION),
              MMSYSERR_INVALPARAM);
    for (const DWORD windowThreadOrEvent : {0x10000u, 0x20000u, 0x50000u}) {
        EXPECT_EQ(waveOutOpen(&device, 0, &kMono16, callback, 0, windowThreadOrEvent),
                  MMSYSERR_INVALFLAG);
    }
    const WAVEFORMATEX floatFormat{3, 1, 8000, 32000, 4, 32, 0};
    const WAVEFORMATEX badAlign{WAVE_FORMAT_PCM, 2, 8000, 16000, 2, 16, 0};
    for (const WAVEFORMATEX* format : {&floatFormat, &badAlign}) {
        EXPECT_EQ(waveOutOpen(&device, 0, format, callback, 0, CALLBACK_FUNCTION),
                  WAVERR_BADFORMAT);
    }
    EXPECT_EQ(qd::OpenOutputDevices(), 0);

    // cbSize 18 on a PCM record is fine; several devices may be open; handles never repeat.
    WAVEFORMATEX withExtra = kMono16;
    withExtra.cbSize = 18;
    Listener listener;
    HWAVEOUT first = nullptr;
    ASSERT_EQ(listener.Open(&first, withExtra), MMSYSERR_NOERROR);
    HWAVEOUT second = OpenSilent();
    EXPECT_EQ(qd::OpenOutputDevices(), 2);
    EXPECT_EQ(waveOutClose(first), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(second), MMSYSERR_NOERROR);
    HWAVEOUT third = OpenSilent();
    EXPECT_TRUE(third != first && third != second && first != second);
    EXPECT_EQ(waveOutClose(third), MMSYSERR_NOERROR);
    EXPECT_EQ(qd::GetOutputStats().opened, 3u);
    EXPECT_EQ(qd::GetOutputStats().closed, 3u);
}

TEST_F(WaveOutTest, EveryCallRejectsBadHandles) {
    Configure(QWD_PACE_FAST);
    HWAVEOUT closed = OpenSilent();
    ASSERT_EQ(waveOutClose(closed), MMSYSERR_NOERROR);
    Block block(Pattern(16, 1));
    block.header.dwFlags = kPrepared;
    for (HWAVEOUT handle : {HWAVEOUT{}, reinterpret_cast<HWAVEOUT>(0x42), closed}) {
        EXPECT_EQ(waveOutPrepareHeader(handle, &block.header, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutWrite(handle, &block.header, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutUnprepareHeader(handle, &block.header, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutPause(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutRestart(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutReset(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutClose(handle), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(block.header.dwFlags, kPrepared);
}

TEST_F(WaveOutTest, HeaderFlagsFollowTheQueue) {
    Configure(QWD_PACE_FAST);
    qd::SetOutputGate(0);
    Listener listener;
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    Block block(Pattern(64, 2));
    WAVEHDR* header = &block.header;

    EXPECT_EQ(waveOutPrepareHeader(device, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(device, header, kHeaderSize - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutWrite(device, header, kHeaderSize), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutUnprepareHeader(device, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, 0u);
    EXPECT_EQ(waveOutPrepareHeader(device, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPrepareHeader(device, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, kPrepared);

    header->dwFlags |= WHDR_DONE;  // as an earlier round leaves it
    EXPECT_EQ(waveOutWrite(device, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, kPrepared | WHDR_INQUEUE);
    EXPECT_EQ(waveOutWrite(device, header, kHeaderSize), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, header, kHeaderSize), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    EXPECT_FALSE(qd::WaitOutputIdle(50ms));             // held by the gate
    EXPECT_EQ(qd::GetOutputStats().blocks_queued, 1u);  // refused writes are not counted

    qd::SetOutputGate(1);
    ASSERT_TRUE(listener.WaitFor(MM_WOM_DONE, 1));
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_EQ(header->dwFlags, kPrepared | WHDR_DONE);
    EXPECT_EQ(listener.Events().back().flags, kPrepared | WHDR_DONE);

    // The gate is used up again; ResetAll opens it for devices already open.
    PrepareAndWrite(device, block);
    EXPECT_FALSE(qd::WaitOutputIdle(50ms));
    qd::ResetAll();
    ASSERT_TRUE(listener.WaitFor(MM_WOM_DONE, 2));
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_EQ(waveOutUnprepareHeader(device, header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, static_cast<DWORD>(WHDR_DONE));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOutTest, MessagesComeInOrderOnTheDeviceThreadOnly) {
    Configure(QWD_PACE_FAST);
    Listener listener;
    // A slow handler keeps done messages pending while the test closes the device.
    listener.onMessage = [](HWAVEOUT, UINT, WAVEHDR*) { std::this_thread::sleep_for(1ms); };
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    std::deque<Block> blocks;
    for (int i = 0; i < 30; ++i) PrepareAndWrite(device, blocks.emplace_back(Pattern(10 + i, i)));
    ASSERT_TRUE(Eventually([&] { return qd::GetOutputStats().blocks_played == blocks.size(); }));
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    listener.closeReturned = true;
    const std::vector<Listener::Event> events = listener.Events();  // complete once close returns

    ASSERT_EQ(events.size(), blocks.size() + 2);
    EXPECT_EQ(events.front().message, static_cast<UINT>(MM_WOM_OPEN));
    EXPECT_EQ(events.back().message, static_cast<UINT>(MM_WOM_CLOSE));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(events[i + 1].message, static_cast<UINT>(MM_WOM_DONE));
        EXPECT_EQ(events[i + 1].header, &blocks[i].header);
        EXPECT_EQ(events[i + 1].flags, kPrepared | WHDR_DONE);
    }
    for (const Listener::Event& event : events) {
        EXPECT_EQ(event.thread, events.front().thread);
        EXPECT_NE(event.thread, std::this_thread::get_id());
    }
    std::this_thread::sleep_for(50ms);  // room for a stray late callback to show itself
    EXPECT_EQ(listener.Events().size(), events.size());
    EXPECT_EQ(listener.misplacedCalls.load(), 0);
}

TEST_F(WaveOutTest, SinksGetExactlyThePlayedBytes) {
    const std::string path =
        ::testing::TempDir() + "wave_out_sink_" + std::to_string(::getpid()) + ".raw";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "HEAD";
    Configure(QWD_PACE_FAST, true, path);
    HWAVEOUT device = OpenSilent();
    std::deque<Block> blocks;
    Bytes expected;
    for (const std::size_t size : {1000u, 3u, 0u, 4097u}) {
        PrepareAndWrite(device, blocks.emplace_back(Pattern(size, static_cast<int>(size))));
        Append(expected, blocks.back().data);
    }
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

    EXPECT_EQ(qd::TakePlayedBytes(), expected);
    EXPECT_TRUE(qd::TakePlayedBytes().empty());
    std::ifstream file(path, std::ios::binary);
    const std::string contents{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(contents, "HEAD" + std::string(expected.begin(), expected.end()));
    EXPECT_EQ(qd::GetOutputStats().blocks_played, 4u);
    EXPECT_EQ(qd::GetOutputStats().bytes_played, expected.size());
    EXPECT_EQ(qd::OutputSinkError(), "");
    std::remove(path.c_str());
}

TEST_F(WaveOutTest, ASinkFileThatStopsTakingBytesIsReportedNamingIt) {
    Configure(QWD_PACE_FAST, true, "/dev/full");
    HWAVEOUT device = OpenSilent();
    Block block(Pattern(4000, 2));
    PrepareAndWrite(device, block);
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(qd::OutputSinkError(),
              "Cannot write to the output sink file \"/dev/full\": No space left on device.");
    // The device played on: the failure is the sink's, not the playback's.
    EXPECT_EQ(qd::TakePlayedBytes(), block.data);
}

TEST_F(WaveOutTest, HandlerTimesCoverEachDoneCallbackWhileTimingIsOn) {
    Configure(QWD_PACE_FAST);
    Listener listener;
    listener.onMessage = [](HWAVEOUT, UINT message, WAVEHDR*) {
        if (message == MM_WOM_DONE) std::this_thread::sleep_for(3ms);
    };
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    std::deque<Block> blocks;
    PrepareAndWrite(device, blocks.emplace_back(Pattern(100, 1)));
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_TRUE(qd::TakeOutputHandlerTimes().empty());

    qd::TimeHandlers(true);
    for (int i = 0; i < 3; ++i) PrepareAndWrite(device, blocks.emplace_back(Pattern(100, i)));
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    qd::TimeHandlers(false);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);  // its close message is not timed

    const std::vector<std::chrono::nanoseconds> times = qd::TakeOutputHandlerTimes();
    ASSERT_EQ(times.size(), 3u);
    for (const std::chrono::nanoseconds time : times) EXPECT_GE(time, 3ms);
    EXPECT_TRUE(qd::TakeOutputHandlerTimes().empty());
    EXPECT_TRUE(qd::TakeInputHandlerTimes().empty());
}

TEST_F(WaveOutTest, CallbackCanRequeueBlocks) {
    Configure(QWD_PACE_FAST);
    constexpr int kBlocks = 40;
    constexpr std::size_t kSize = 250;
    std::deque<Block> buffers;
    int queued = 2;
    std::atomic<int> failures{0};
    Listener listener;
    listener.onMessage = [&](HWAVEOUT device, UINT message, WAVEHDR* header) {
        if (message != MM_WOM_DONE || queued == kBlocks) return;
        const Bytes next = Pattern(kSize, queued++);
        failures += waveOutUnprepareHeader(device, header, kHeaderSize) != MMSYSERR_NOERROR;
        std::copy(next.begin(), next.end(), header->lpData);
        failures += waveOutPrepareHeader(device, header, kHeaderSize) != MMSYSERR_NOERROR;
        failures += waveOutWrite(device, header, kHeaderSize) != MMSYSERR_NOERROR;
    };
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    // Paused while queueing, so the handler cannot requeue the first before the second is in.
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    for (int i = 0; i < 2; ++i) PrepareAndWrite(device, buffers.emplace_back(Pattern(kSize, i)));
    ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(listener.WaitFor(MM_WOM_DONE, kBlocks));
    ASSERT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

    Bytes expected;
    for (int i = 0; i < kBlocks; ++i) Append(expected, Pattern(kSize, i));
    EXPECT_EQ(qd::TakePlayedBytes(), expected);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(qd::GetOutputStats().done_messages, static_cast<std::uint64_t>(kBlocks));
    EXPECT_EQ(listener.misplacedCalls.load(), 0);
}

TEST_F(WaveOutTest, PauseHoldsPlaybackUntilRestart) {
    Configure(QWD_PACE_REALTIME);
    Listener listener;
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    Block block(Pattern(8000, 5));  // half a second
    PrepareAndWrite(device, block);
    Bytes played;
    ASSERT_TRUE(Eventually([&] {
        Append(played, qd::TakePlayedBytes());
        return !played.empty();
    }));
    EXPECT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    Append(played, qd::TakePlayedBytes());
    ASSERT_LT(played.size(), block.data.size());

    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(qd::TakePlayedBytes().empty());
    EXPECT_TRUE(listener.DoneHeaders().empty());
    EXPECT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(listener.WaitFor(MM_WOM_DONE, 1));
    Append(played, qd::TakePlayedBytes());
    EXPECT_EQ(played, block.data);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOutTest, ResetReturnsQueuedBlocksInOrder) {
    Configure(QWD_PACE_REALTIME);
    Listener listener;
    listener.readFlags = false;
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    std::deque<Block> blocks;
    std::vector<WAVEHDR*> queueOrder;
    for (int i = 0; i < 4; ++i) {
        PrepareAndWrite(device, blocks.emplace_back(Pattern(16000, 10 + i)));  // a second each
        queueOrder.push_back(&blocks.back().header);
    }
    Bytes played;
    ASSERT_TRUE(Eventually([&] {
        Append(played, qd::TakePlayedBytes());
        return !played.empty();
    }));
    EXPECT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    for (Block& block : blocks) {
        EXPECT_EQ(block.header.dwFlags, kPrepared | WHDR_DONE);
        EXPECT_EQ(waveOutUnprepareHeader(device, &block.header, kHeaderSize), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(listener.WaitFor(MM_WOM_DONE, blocks.size()));
    EXPECT_EQ(listener.DoneHeaders(), queueOrder);

    // What was played is a beginning of the first block, and nothing more comes later.
    Append(played, qd::TakePlayedBytes());
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(qd::TakePlayedBytes().empty());
    ASSERT_LT(played.size(), blocks[0].data.size());
    EXPECT_TRUE(std::equal(played.begin(), played.end(), blocks[0].data.begin()));
    EXPECT_EQ(qd::GetOutputStats().blocks_played, 0u);
    EXPECT_EQ(qd::GetOutputStats().done_messages, blocks.size());

    // Reset also ended the pause: a new block plays.
    PrepareAndWrite(device, blocks.emplace_back(Pattern(160, 20)));
    EXPECT_TRUE(listener.WaitFor(MM_WOM_DONE, blocks.size()));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

// Chosen behaviour: Reset inside the callback returns the blocks at once; Close inside the
// callback returns 0 at once and MM_WOM_CLOSE follows when the callback returns.
TEST_F(WaveOutTest, ResetAndCloseWorkFromInsideTheCallback) {
    Configure(QWD_PACE_FAST);
    qd::SetOutputGate(1);
    std::deque<Block> blocks;
    std::vector<MMRESULT> results;  // written on the device thread before MM_WOM_CLOSE
    Listener listener;
    listener.onMessage = [&](HWAVEOUT device, UINT message, WAVEHDR* header) {
        if (message == MM_WOM_DONE && header == &blocks[0].header) {
            results.push_back(waveOutReset(device));
        } else if (message == MM_WOM_DONE && header == &blocks[2].header) {
            results.push_back(waveOutClose(device));
            results.push_back(waveOutPause(device));
        }
    };
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);  // all three queued before the reset
    for (int i = 0; i < 3; ++i) PrepareAndWrite(device, blocks.emplace_back(Pattern(32, i)));
    ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(listener.WaitFor(MM_WOM_CLOSE, 1));
    ASSERT_TRUE(qd::WaitOutputIdle(5s));

    EXPECT_EQ(results, (std::vector<MMRESULT>{0, 0, MMSYSERR_INVALHANDLE}));
    EXPECT_EQ(listener.DoneHeaders(),
              (std::vector<WAVEHDR*>{&blocks[0].header, &blocks[1].header, &blocks[2].header}));
    EXPECT_EQ(listener.Events().back().message, static_cast<UINT>(MM_WOM_CLOSE));
    EXPECT_EQ(qd::GetOutputStats().blocks_played, 1u);
    EXPECT_EQ(waveOutReset(device), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveOutTest, InjectedFaultsFailCallsWithoutEffect) {
    Configure(QWD_PACE_FAST);
    HWAVEOUT device = reinterpret_cast<HWAVEOUT>(0x77);
    qd::InjectFault(QWD_OP_OUT_OPEN, MMSYSERR_NOMEM);
    EXPECT_EQ(waveOutOpen(&device, 0, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NOMEM);
    EXPECT_EQ(device, nullptr);  // cleared before anything else, so no failure leaves a handle
    EXPECT_EQ(qd::OpenOutputDevices(), 0);
    device = OpenSilent();

    Block first(Pattern(8, 1)), second(Pattern(8, 2));
    qd::InjectFault(QWD_OP_OUT_PREPARE, MMSYSERR_ERROR);
    EXPECT_EQ(waveOutPrepareHeader(device, &first.header, kHeaderSize), MMSYSERR_ERROR);
    EXPECT_EQ(first.header.dwFlags, 0u);
    qd::SetOutputGate(0);
    qd::InjectFault(QWD_OP_OUT_WRITE, MMSYSERR_NOMEM, 1);  // the second write fails
    PrepareAndWrite(device, first);
    ASSERT_EQ(waveOutPrepareHeader(device, &second.header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(device, &second.header, kHeaderSize), MMSYSERR_NOMEM);
    EXPECT_EQ(second.header.dwFlags, kPrepared);

    for (const qwd_op op : {QWD_OP_OUT_RESET, QWD_OP_OUT_CLOSE, QWD_OP_OUT_UNPREPARE}) {
        qd::InjectFault(op, WAVERR_SYNC, 0, -1);
    }
    EXPECT_EQ(waveOutReset(device), WAVERR_SYNC);
    EXPECT_EQ(waveOutReset(device), WAVERR_SYNC);
    EXPECT_EQ(first.header.dwFlags, kPrepared | WHDR_INQUEUE);
    EXPECT_EQ(waveOutUnprepareHeader(device, &second.header, kHeaderSize), WAVERR_SYNC);
    EXPECT_EQ(second.header.dwFlags, kPrepared);
    EXPECT_EQ(waveOutClose(device), WAVERR_SYNC);
    EXPECT_EQ(qd::OpenOutputDevices(), 1);

    qd::ClearFaults();
    EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOutTest, JournalRecordsCallsAndMessages) {
    Configure(QWD_PACE_FAST);
    qd::SetOutputGate(0);
    qd::EnableJournal(true);
    WAVEFORMATEX format = kMono16;
    format.cbSize = 18;
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, 3, &format, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    Listener listener;
    ASSERT_EQ(listener.Open(&device, format), MMSYSERR_NOERROR);
    ASSERT_TRUE(listener.WaitFor(MM_WOM_OPEN, 1));
    Block block(Pattern(4, 1));
    PrepareAndWrite(device, block);
    EXPECT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(listener.WaitFor(MM_WOM_DONE, 1));
    EXPECT_EQ(waveOutUnprepareHeader(device, &block.header, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPause(device), MMSYSERR_INVALHANDLE);

    const std::vector<std::string> lines = qd::JournalEntries();
    ASSERT_EQ(lines.size(), 13u);
    const std::string name = lines[1].substr(lines[1].rfind(' ') + 1);
    ASSERT_EQ(name.rfind("wout", 0), 0u) << lines[1];
    const std::string fmt = "fmt{1,1,8000,16000,2,16,18}";
    const std::vector<std::string> expected = {
        "waveOutOpen(3, " + fmt + ", 0x0) = 2",
        "waveOutOpen(WAVE_MAPPER, " + fmt + ", 0x30000) = 0 " + name,
        "message(" + name + ", MM_WOM_OPEN)",
        "waveOutPrepareHeader(" + name + ", hdr) = 0",
        "waveOutWrite(" + name + ", hdr) = 0",
        "waveOutPause(" + name + ") = 0",
        "waveOutRestart(" + name + ") = 0",
        "waveOutReset(" + name + ") = 0",
        "message(" + name + ", MM_WOM_DONE)",
        "waveOutUnprepareHeader(" + name + ", hdr) = 0",
        "waveOutClose(" + name + ") = 0",
        "message(" + name + ", MM_WOM_CLOSE)",
        "waveOutPause(bad) = 5",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(WaveOutTest, RealTimePaceUsesRateTimesBlockAlign) {
    Configure(QWD_PACE_REALTIME, false);
    WAVEFORMATEX format = kMono16;
    format.nAvgBytesPerSec = 1000000;  // wrong on purpose: the pace must not follow it
    Listener listener;
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device, format), MMSYSERR_NOERROR);
    Block quarterSecond(Pattern(4000, 3));
    // The second round comes after an idle gap, which must not count as time already played.
    for (std::size_t round = 1; round <= 2; ++round) {
        std::this_thread::sleep_for(round == 2 ? 300ms : 0ms);
        const auto start = std::chrono::steady_clock::now();
        PrepareAndWrite(device, quarterSecond);
        ASSERT_TRUE(listener.WaitFor(MM_WOM_DONE, round, 10s));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, 150ms) << "round " << round;
        EXPECT_LT(elapsed, 5s) << "round " << round;
    }
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOutTest, IdleMeansTheCallbackHasReturned) {
    Configure(QWD_PACE_FAST);
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    Listener listener;
    listener.onMessage = [&](HWAVEOUT, UINT message, WAVEHDR*) {
        if (message != MM_WOM_DONE) return;
        entered = true;
        released.wait();
    };
    HWAVEOUT device = nullptr;
    ASSERT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
    HWAVEOUT other = OpenSilent();
    Block block(Pattern(20, 4));
    PrepareAndWrite(device, block);
    ASSERT_TRUE(Eventually([&] { return entered.load(); }));
    EXPECT_FALSE(qd::WaitOutputIdle(50ms));
    release.set_value();
    EXPECT_TRUE(qd::WaitOutputIdle(5s));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(other), MMSYSERR_NOERROR);
}

// A sound device by name opens only on a backend that lists it: never the virtual device in its
// place, which would play to nobody while the host believes it chose a speaker.
TEST_F(WaveOutTest, ANamedDeviceIsNeverReplacedByTheVirtualOne) {
    qd::OutputSettings settings;
    std::string error;
    ASSERT_TRUE(qd::ParseOutputSettings("default, device=Desk speakers ,fast", &settings, &error))
        << error;
    EXPECT_STREQ(settings.device, "Desk speakers");
    EXPECT_EQ(settings.pace, QWD_PACE_FAST);
    EXPECT_FALSE(qd::ParseOutputSettings("device=", &settings, &error));
    ASSERT_TRUE(qd::ParseOutputSettings("device=hw:0,0 , memory", &settings, &error)) << error;
    EXPECT_STREQ(settings.device, "hw:0,0");  // a pcm name's commas are its own
    EXPECT_EQ(settings.sink_memory, 1);
    for (const char* backend : {"virtual", "null"}) {
        settings = qd::OutputSettings{};
        settings.backend = backend;
        settings.device = "Desk speakers";
        ASSERT_TRUE(qd::ConfigureOutput(settings, &error)) << error;
        HWAVEOUT device = nullptr;
        EXPECT_EQ(waveOutOpen(&device, 0, &kMono16, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER)
            << backend;
        EXPECT_EQ(device, nullptr);
    }
    for (const qd::AudioDevice& listed : qd::ListAudioDevices(qd::Direction::kOutput)) {
        EXPECT_NE(listed.backend, "virtual") << "the virtual device has no named devices";
        EXPECT_FALSE(listed.name.empty());
    }
}

TEST_F(WaveOutTest, SettingsComeFromTextEnvironmentOrConfigure) {
    qd::OutputSettings settings;
    std::string error;
    ASSERT_TRUE(qd::ParseOutputSettings("virtual,fast,sink=/tmp/out.raw", &settings, &error));
    EXPECT_STREQ(settings.backend, "virtual");
    EXPECT_EQ(settings.pace, QWD_PACE_FAST);
    EXPECT_STREQ(settings.sink_file, "/tmp/out.raw");
    EXPECT_FALSE(settings.sink_memory);
    ASSERT_TRUE(qd::ParseOutputSettings("virtual,realtime", &settings, &error));
    EXPECT_EQ(settings.pace, QWD_PACE_REALTIME);
    EXPECT_STREQ(settings.sink_file, "");
    ASSERT_TRUE(qd::ParseOutputSettings("memory", &settings, &error));
    EXPECT_TRUE(settings.sink_memory);
    for (const std::string bad : {"virtual,loud", "oss,fast", "fast,virtual", "sink="}) {
        EXPECT_FALSE(qd::ParseOutputSettings(bad, &settings, &error)) << bad;
        const std::string named = bad == "oss,fast" ? "oss" : bad.substr(bad.find(',') + 1);
        EXPECT_NE(error.find(named), std::string::npos) << error;
        EXPECT_TRUE(settings.sink_memory) << "a failed parse must leave the settings alone";
    }
    settings = qd::OutputSettings{};
    settings.backend = "oss";  // not a backend of the table
    EXPECT_FALSE(qd::ConfigureOutput(settings, &error));
    EXPECT_NE(error.find("oss"), std::string::npos) << error;
    settings = qd::OutputSettings{};
    settings.sink_file = "/nonexistent-quorvel-dir/out.raw";
    EXPECT_FALSE(qd::ConfigureOutput(settings, &error));
    EXPECT_NE(error.find(settings.sink_file), std::string::npos) << error;

    // QUORVEL_OUTPUT applies while nothing was configured; a bad value means defaults.
    const auto memorySinkHearsABlock = [] {
        Listener listener;
        HWAVEOUT device = nullptr;
        EXPECT_EQ(listener.Open(&device), MMSYSERR_NOERROR);
        Block block(Pattern(160, 9));  // 10 ms even in real time
        PrepareAndWrite(device, block);
        EXPECT_TRUE(listener.WaitFor(MM_WOM_DONE, 1));
        EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
        return qd::TakePlayedBytes() == block.data;
    };
    setenv("QUORVEL_OUTPUT", "virtual,fast,memory", 1);
    qd::ResetAll();
    EXPECT_TRUE(memorySinkHearsABlock());
    qd::ResetAll();
    ASSERT_TRUE(qd::ConfigureOutput(qd::OutputSettings{}));
    EXPECT_FALSE(memorySinkHearsABlock());
    setenv("QUORVEL_OUTPUT", "virtual,loud,memory", 1);
    qd::ResetAll();
    EXPECT_FALSE(memorySinkHearsABlock());
    unsetenv("QUORVEL_OUTPUT");
}

}  // namespace
