// Win32 waveform input (waveIn*) with Windows semantics over the input backends, and the
// host-side input controls of quorvel/device.h.
//
// Each open device has its own thread that delivers MM_WIM_* messages one at a time, never
// holding a lock while the callback runs. Backends hand captured frames to the device, which
// fills the queued buffers or, when none can take them, keeps them in a bounded FIFO.
//
// Every call may be made from inside the device's own callback; messages it causes follow once
// the callback returns. waveInClose there cannot wait for the callback to return: it makes the
// handle invalid and returns 0 at once, and the messages still pending, then MM_WIM_CLOSE, are
// delivered after the current callback returns, and nothing after that (as waveOutClose does).
// From any other thread waveInClose returns only after MM_WIM_CLOSE has been delivered.
//
// Locks are taken in this order only: a device's control mutex (serialises backend Start and
// Stop), the device's mutex, the module mutex, then the journal's.
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "backends/audio_backends.h"
#include "backends/input_backend.h"
#include "core/internal.h"
#include "core/never_destroyed.h"
#include "core/wave_format.h"

namespace quorvel::device {
namespace {

constexpr std::size_t kMaxFifoFrames = 100000000;
constexpr const char* kEnvironmentVariable = "QUORVEL_INPUT";

// ---- Module-wide state ------------------------------------------------------------------

class InputDevice;

using FactoryList = std::vector<std::shared_ptr<const detail::InputBackendFactory>>;

struct InputModule {
    std::mutex mutex;
    std::condition_variable dataHandled;
    // The counts WaitInputData callers wait for: they are woken only once one is reached,
    // not at every buffer (a thread switch per buffer in fast capture).
    std::multiset<std::uint64_t> awaitedData;
    InputSettings settings;
    FactoryList factories;       // in the order to try them; empty until first needed
    bool settled = false;        // ConfigureInput was called or the environment was read
    std::string activeBackend;   // of the device opened last
    std::string fallbackNotice;  // of the device opened last
    long gate = -1;
    InputStats stats;
    std::map<HWAVEIN, std::shared_ptr<InputDevice>> devices;
};

InputModule& Module() {
    return detail::NeverDestroyed<InputModule>();
}

bool GateAllowsFill() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    return module.gate != 0;
}

void UseGateUnit() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    if (module.gate > 0) --module.gate;
}

void CountCapture(std::uint64_t captured, std::uint64_t dropped) {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    module.stats.framesCaptured += captured;
    module.stats.framesDropped += dropped;
}

void CountDataHandled(bool full) {
    InputModule& module = Module();
    bool reached = false;
    {
        const std::lock_guard<std::mutex> lock(module.mutex);
        ++module.stats.dataMessages;
        if (full) ++module.stats.buffersFilled;
        reached =
            !module.awaitedData.empty() && module.stats.dataMessages >= *module.awaitedData.begin();
    }
    if (reached) module.dataHandled.notify_all();
}

// The factories of every backend the settings may open, in the order to try them; empty, with a
// sentence in *error, for an unknown backend or settings a backend refuses.
FactoryList BuildFactories(const InputSettings& settings, std::string* error) {
    if (!detail::IsKnownAudioBackend(settings.backend)) {
        *error = "Unknown input backend \"" + settings.backend + "\" (expected " +
                 detail::AudioBackendChoices() + ").";
        return {};
    }
    if (settings.fifoFrames > kMaxFifoFrames) {
        *error = "Input FIFO size " + std::to_string(settings.fifoFrames) +
                 " is above the limit of " + std::to_string(kMaxFifoFrames) + " samples.";
        return {};
    }
    FactoryList factories;
    for (const detail::AudioBackendEntry* entry : detail::AudioBackendsToTry(settings.backend)) {
        auto factory = entry->inputFactory(settings, error);
        if (!factory) return {};
        factories.push_back(std::move(factory));
    }
    return factories;
}

InputSettings UnconfiguredSettings() {
    InputSettings settings;
    settings.backend = detail::kDefaultBackendName;
    return settings;
}

struct OpenConfig {
    FactoryList factories;
    std::string backend;  // as configured
    std::size_t fifoFrames;
};

// The settings for a device opened now, reading QUORVEL_INPUT when nothing was configured.
OpenConfig CurrentConfig() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    if (!module.settled) {
        module.settled = true;
        module.settings = UnconfiguredSettings();
        module.factories.clear();
        const char* text = std::getenv(kEnvironmentVariable);
        if (text != nullptr && *text != '\0') {
            InputSettings settings;
            std::string error;
            FactoryList factories;
            if (ParseInputSettings(text, &settings, &error))
                factories = BuildFactories(settings, &error);
            if (!factories.empty()) {
                module.settings = settings;
                module.factories = std::move(factories);
            } else {
                std::fprintf(stderr, "QuorvelDevice: %s ignored, using defaults: %s\n",
                             kEnvironmentVariable, error.c_str());
            }
        }
    }
    if (module.factories.empty()) {
        std::string error;
        module.factories = BuildFactories(module.settings, &error);
    }
    return {module.factories, module.settings.backend, module.settings.fifoFrames};
}

void NoteOpened(const std::string& backend, const std::string& fallbackNotice) {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    module.activeBackend = backend;
    module.fallbackNotice = fallbackNotice;
}

void CountLoss() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    ++module.stats.devicesLost;
}

// ---- Journal text -----------------------------------------------------------------------

std::string HeaderText(const WAVEHDR* header) {
    return header != nullptr ? "hdr" : "null";
}

std::string DeviceIdText(UINT deviceId) {
    return deviceId == WAVE_MAPPER ? "WAVE_MAPPER" : std::to_string(deviceId);
}

std::string HexText(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

const char* MessageName(UINT message) {
    switch (message) {
        case MM_WIM_OPEN:
            return "MM_WIM_OPEN";
        case MM_WIM_CLOSE:
            return "MM_WIM_CLOSE";
        case MM_WIM_DATA:
            return "MM_WIM_DATA";
        default:
            return "?";
    }
}

// Records "call = result" (plus an optional suffix) when the journal is on.
MMRESULT Record(const std::string& call, MMRESULT result, const std::string& suffix = "") {
    if (!call.empty() && detail::JournalOn()) {  // empty: the journal was off when the call began
        detail::Journal(call + " = " + std::to_string(result) + suffix);
    }
    return result;
}

// ---- FIFO -------------------------------------------------------------------------------

// Bytes of whole frames waiting for a buffer, oldest first. Storage grows on demand up to
// the capacity, so a large FIFO costs nothing until it is used.
class ByteFifo {
  public:
    explicit ByteFifo(std::size_t capacity) : capacity_(capacity) {}

    std::size_t Size() const { return size_; }
    std::size_t Room() const { return capacity_ - size_; }
    void Clear() { head_ = size_ = 0; }

    // `bytes` must not exceed Room().
    void Push(const std::uint8_t* data, std::size_t bytes) {
        if (bytes == 0) return;
        Reserve(size_ + bytes);
        const std::size_t tail = (head_ + size_) % storage_.size();
        const std::size_t first = std::min(bytes, storage_.size() - tail);
        std::memcpy(storage_.data() + tail, data, first);
        std::memcpy(storage_.data(), data + first, bytes - first);
        size_ += bytes;
    }

    // `bytes` must not exceed Size().
    void Pop(void* out, std::size_t bytes) {
        if (bytes == 0) return;
        Copy(static_cast<std::uint8_t*>(out), bytes);
        head_ = (head_ + bytes) % storage_.size();
        size_ -= bytes;
    }

  private:
    void Copy(std::uint8_t* out, std::size_t bytes) const {
        const std::size_t first = std::min(bytes, storage_.size() - head_);
        std::memcpy(out, storage_.data() + head_, first);
        std::memcpy(out + first, storage_.data(), bytes - first);
    }

    void Reserve(std::size_t bytes) {
        if (bytes <= storage_.size()) return;
        const std::size_t grown =
            std::min(capacity_, std::max({bytes, storage_.size() * 2, std::size_t{4096}}));
        std::vector<std::uint8_t> larger(grown);
        if (size_ > 0) Copy(larger.data(), size_);
        storage_.swap(larger);
        head_ = 0;
    }

    std::size_t capacity_;
    std::vector<std::uint8_t> storage_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

// ---- Device -----------------------------------------------------------------------------

struct Message {
    UINT id;
    WAVEHDR* header;
    bool full;  // MM_WIM_DATA for a buffer filled to its end
};

class InputDevice final : public detail::InputSink {
  public:
    InputDevice(std::uint64_t serial, const WAVEFORMATEX& format, DWORD_PTR callback,
                DWORD_PTR instance, std::size_t fifoFrames)
        : handle_(reinterpret_cast<HWAVEIN>(static_cast<std::uintptr_t>(serial) << 4 | 0x8)),
          name_("win" + std::to_string(serial)),
          frameBytes_(format.nBlockAlign),
          callback_(reinterpret_cast<LPWAVEINCALLBACK>(callback)),
          instance_(instance),
          fifo_(fifoFrames * format.nBlockAlign) {}

    InputDevice(const InputDevice&) = delete;
    InputDevice& operator=(const InputDevice&) = delete;
    ~InputDevice() = default;

    HWAVEIN Handle() const { return handle_; }
    const std::string& Name() const { return name_; }

    void AttachBackend(std::unique_ptr<detail::InputBackend> backend) {
        backend_ = std::move(backend);
        onDemand_ = backend_->OnDemand();
    }

    // Starts the device thread, which waits for Release before delivering MM_WIM_OPEN. The
    // thread holds the device, so a device closed from its own callback outlives that call.
    static void Launch(const std::shared_ptr<InputDevice>& device) {
        device->messages_.push_back({MM_WIM_OPEN, nullptr, false});
        device->thread_ = std::thread([device] { device->Run(); });
    }

    void Release() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        wake_.notify_all();
    }

    MMRESULT Prepare(WAVEHDR* header, const std::string& call) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return Record(call, MMSYSERR_INVALHANDLE);
        header->dwFlags |= WHDR_PREPARED;
        return Record(call, MMSYSERR_NOERROR);
    }

    MMRESULT Unprepare(WAVEHDR* header, const std::string& call) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return Record(call, MMSYSERR_INVALHANDLE);
        if (IsQueuedLocked(header)) return Record(call, WAVERR_STILLPLAYING);
        header->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
        return Record(call, MMSYSERR_NOERROR);
    }

    MMRESULT AddBuffer(WAVEHDR* header, const std::string& call) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return Record(call, MMSYSERR_INVALHANDLE);
        if (lost_) return Record(call, MMSYSERR_NODRIVER);
        if ((header->dwFlags & WHDR_PREPARED) == 0) return Record(call, WAVERR_UNPREPARED);
        if (IsQueuedLocked(header)) return Record(call, WAVERR_STILLPLAYING);
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
        header->dwBytesRecorded = 0;
        queue_.push_back(header);
        DrainFifoLocked();
        const MMRESULT result = Record(call, MMSYSERR_NOERROR);
        wake_.notify_all();
        return result;
    }

    MMRESULT Start(const std::string& call) {
        const std::lock_guard<std::mutex> control(control_);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) return Record(call, MMSYSERR_INVALHANDLE);
            if (lost_) return Record(call, MMSYSERR_NODRIVER);
            if (started_) return Record(call, MMSYSERR_NOERROR);
            started_ = true;
            DrainFifoLocked();  // what was kept while stopped comes first
            Record(call, MMSYSERR_NOERROR);
        }
        wake_.notify_all();
        backend_->Start();
        return MMSYSERR_NOERROR;
    }

    // Stop keeps the FIFO, so a later Start continues without losing a sample; Reset empties
    // it and returns every buffer.
    MMRESULT Stop(bool reset, const std::string& call) {
        const std::lock_guard<std::mutex> control(control_);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) return Record(call, MMSYSERR_INVALHANDLE);
        }
        backend_->Stop();  // no lock held: a paced backend may be waiting for ours
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            started_ = false;
            if (reset) {
                while (!queue_.empty()) ReturnHeadLocked(false);
                fifo_.Clear();
            } else if (!queue_.empty() && queue_.front()->dwBytesRecorded > 0) {
                ReturnHeadLocked(false);
            }
            Record(call, MMSYSERR_NOERROR);
        }
        wake_.notify_all();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Close(const std::string& call) {
        {
            const std::lock_guard<std::mutex> control(control_);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (closed_) return Record(call, MMSYSERR_INVALHANDLE);
                if (!queue_.empty()) return Record(call, WAVERR_STILLPLAYING);
                closed_ = true;
                started_ = false;
                fifo_.Clear();
                messages_.push_back({MM_WIM_CLOSE, nullptr, false});
                Record(call, MMSYSERR_NOERROR);
            }
            wake_.notify_all();
            backend_->Close();
            InputModule& module = Module();
            const std::lock_guard<std::mutex> lock(module.mutex);
            module.devices.erase(handle_);
            ++module.stats.closed;
        }
        if (std::this_thread::get_id() == thread_.get_id()) {
            thread_.detach();  // inside our own callback: the thread finishes by itself
        } else {
            // Without the control mutex: a callback still being delivered may call Stop or Reset.
            thread_.join();
        }
        return MMSYSERR_NOERROR;
    }

    // The gate changed: buffers may take what the FIFO holds, or be produced on demand.
    void Pump() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            DrainFifoLocked();
        }
        wake_.notify_all();
    }

    void Capture(const std::uint8_t* frames, std::size_t count) override {
        std::size_t dropped = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!started_ || lost_) return;  // a backend racing its own Stop
            std::size_t bytes = count * frameBytes_;
            DrainFifoLocked();
            while (bytes > 0 && fifo_.Size() == 0 && CanFillLocked()) {
                const std::size_t taken = FillHeadLocked(frames, bytes);
                frames += taken;
                bytes -= taken;
            }
            const std::size_t kept = std::min(bytes, fifo_.Room());
            fifo_.Push(frames, kept);
            dropped = (bytes - kept) / frameBytes_;  // the newest samples go; the FIFO keeps order
            CountCapture(count, dropped);
        }
        wake_.notify_all();
    }

    // The sound device went away: the buffers go back without messages, the FIFO and the
    // messages not yet delivered are dropped, so the callback hears nothing more but the close.
    void Lost(const std::string& reason) override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (lost_ || closed_) return;
            CountLoss();  // before anyone can see the device lost
            lost_ = true;
            started_ = false;
            for (WAVEHDR* header : queue_) {
                header->dwFlags = (header->dwFlags | WHDR_DONE) & ~static_cast<DWORD>(WHDR_INQUEUE);
            }
            queue_.clear();
            fifo_.Clear();
            messages_.erase(
                std::remove_if(messages_.begin(), messages_.end(),
                               [](const Message& message) { return message.id == MM_WIM_DATA; }),
                messages_.end());
        }
        wake_.notify_all();
        std::fprintf(stderr, "QuorvelDevice: %s lost its sound device: %s.\n", name_.c_str(),
                     reason.c_str());
    }

    bool IsLost() const { return lost_.load(); }

  private:
    bool IsQueuedLocked(const WAVEHDR* header) const {
        return (header->dwFlags & WHDR_INQUEUE) != 0 ||
               std::find(queue_.begin(), queue_.end(), header) != queue_.end();
    }

    bool CanFillLocked() const { return started_ && !queue_.empty() && GateAllowsFill(); }

    // Bytes the head buffer can still take, in whole frames.
    std::size_t RoomLocked(const WAVEHDR& header) const {
        const std::size_t usable = header.dwBufferLength / frameBytes_ * frameBytes_;
        return usable > header.dwBytesRecorded ? usable - header.dwBytesRecorded : 0;
    }

    void ReturnHeadLocked(bool full) {
        WAVEHDR* header = queue_.front();
        queue_.pop_front();
        header->dwFlags = (header->dwFlags | WHDR_DONE) & ~static_cast<DWORD>(WHDR_INQUEUE);
        messages_.push_back({MM_WIM_DATA, header, full});
        if (full) UseGateUnit();
    }

    // Copies up to `bytes` into the head buffer and returns it once full; returns bytes taken.
    std::size_t FillHeadLocked(const std::uint8_t* data, std::size_t bytes) {
        WAVEHDR* header = queue_.front();
        const std::size_t taken = std::min(bytes, RoomLocked(*header));
        if (taken > 0) std::memcpy(header->lpData + header->dwBytesRecorded, data, taken);
        header->dwBytesRecorded += static_cast<DWORD>(taken);
        if (RoomLocked(*header) == 0) ReturnHeadLocked(true);
        return taken;
    }

    void DrainFifoLocked() {
        while (fifo_.Size() > 0 && CanFillLocked()) {
            WAVEHDR* header = queue_.front();
            const std::size_t taken = std::min(fifo_.Size(), RoomLocked(*header));
            fifo_.Pop(header->lpData + header->dwBytesRecorded, taken);
            header->dwBytesRecorded += static_cast<DWORD>(taken);
            if (RoomLocked(*header) == 0) ReturnHeadLocked(true);
        }
    }

    bool CanProduceLocked() const { return onDemand_ && !closed_ && CanFillLocked(); }

    void ProduceHeadLocked() {
        WAVEHDR* header = queue_.front();
        const std::size_t frames = RoomLocked(*header) / frameBytes_;
        if (frames > 0) {
            backend_->Produce(
                reinterpret_cast<std::uint8_t*>(header->lpData) + header->dwBytesRecorded, frames);
        }
        header->dwBytesRecorded += static_cast<DWORD>(frames * frameBytes_);
        CountCapture(frames, 0);
        ReturnHeadLocked(true);
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return released_; });
        for (;;) {
            if (CanProduceLocked()) {
                ProduceHeadLocked();
                continue;
            }
            if (messages_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const Message message = messages_.front();
            messages_.pop_front();
            if (detail::JournalOn()) {
                detail::Journal("message(" + name_ + ", " + MessageName(message.id) + ")");
            }
            lock.unlock();
            if (callback_ != nullptr) {
                const bool timed = message.id == MM_WIM_DATA && detail::TimingHandlers();
                const auto start = timed ? std::chrono::steady_clock::now()
                                         : std::chrono::steady_clock::time_point();
                callback_(handle_, message.id, instance_,
                          reinterpret_cast<DWORD_PTR>(message.header), 0);
                if (timed) detail::NoteInputHandlerTime(std::chrono::steady_clock::now() - start);
            }
            if (message.id == MM_WIM_DATA) CountDataHandled(message.full);
            if (message.id == MM_WIM_CLOSE) return;
            lock.lock();
        }
    }

    const HWAVEIN handle_;
    const std::string name_;
    const std::size_t frameBytes_;
    const LPWAVEINCALLBACK callback_;
    const DWORD_PTR instance_;
    std::unique_ptr<detail::InputBackend> backend_;
    bool onDemand_ = false;
    std::thread thread_;

    std::mutex control_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool released_ = false;
    bool started_ = false;
    bool closed_ = false;
    std::atomic<bool> lost_{false};  // written under mutex_, read also without it
    std::deque<WAVEHDR*> queue_;
    std::deque<Message> messages_;
    ByteFifo fifo_;
};

std::shared_ptr<InputDevice> Find(HWAVEIN handle) {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    const auto found = module.devices.find(handle);
    return found != module.devices.end() ? found->second : nullptr;
}

std::string NameOf(const std::shared_ptr<InputDevice>& device) {
    return device ? device->Name() : "bad";
}

// Shared front part of the calls taking a header: fault, handle and header checks.
// Returns 0 when the call may go on.
MMRESULT CheckHeaderCall(Op op, const std::shared_ptr<InputDevice>& device, const WAVEHDR* header,
                         UINT size, const std::string& call) {
    if (const unsigned fault = detail::TakeFault(op)) return Record(call, fault);
    if (!device) return Record(call, MMSYSERR_INVALHANDLE);
    if (header == nullptr || size < sizeof(WAVEHDR)) return Record(call, MMSYSERR_INVALPARAM);
    return MMSYSERR_NOERROR;
}

std::string CallText(const char* name, const std::shared_ptr<InputDevice>& device,
                     const WAVEHDR* header = nullptr, bool withHeader = false) {
    if (!detail::JournalOn()) return {};
    std::string text = std::string(name) + "(" + NameOf(device);
    if (withHeader) text += ", " + HeaderText(header);
    return text + ")";
}

}  // namespace

// ---- Host-side API ----------------------------------------------------------------------

bool ConfigureInput(const InputSettings& settings, std::string* error) {
    std::string sentence;
    FactoryList factories = BuildFactories(settings, &sentence);
    if (factories.empty()) {
        if (error != nullptr) *error = sentence;
        return false;
    }
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    module.settings = settings;
    module.factories = std::move(factories);
    module.settled = true;
    return true;
}

bool ParseInputSettings(const std::string& text, InputSettings* settings, std::string* error) {
    const auto fail = [&](std::string sentence) {
        if (error != nullptr) *error = std::move(sentence);
        return false;
    };
    if (settings == nullptr) return fail("No place was given for the parsed input settings.");
    InputSettings parsed;
    bool first = true;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(',', begin);
        if (end == std::string::npos) end = text.size();
        std::string token = text.substr(begin, end - begin);
        begin = end + 1;
        token.erase(0, token.find_first_not_of(' '));
        token.erase(token.find_last_not_of(' ') + 1);
        if (token.empty()) continue;
        const bool isFirst = first;
        first = false;
        if (detail::IsKnownAudioBackend(token)) {
            if (!isFirst) return fail("Input backend \"" + token + "\" must be the first setting.");
            parsed.backend = token;
        } else if (token == "fast") {
            parsed.pace = Pace::kFast;
        } else if (token == "realtime") {
            parsed.pace = Pace::kRealTime;
        } else if (token.rfind("source=", 0) == 0) {
            parsed.source = token.substr(7);
            std::string sentence;
            if (!detail::CheckVirtualSourceText(parsed.source, &sentence)) return fail(sentence);
        } else if (token.rfind("fifo=", 0) == 0) {
            const std::string number = token.substr(5);
            const bool digits = !number.empty() && number.size() <= 9 &&
                                number.find_first_not_of("0123456789") == std::string::npos;
            const std::size_t frames = digits ? std::stoul(number) : 0;
            if (!digits || frames > kMaxFifoFrames) {
                return fail("Bad FIFO size \"" + number + "\" in input setting \"" + token +
                            "\" (expected a number of samples up to " +
                            std::to_string(kMaxFifoFrames) + ").");
            }
            parsed.fifoFrames = frames;
        } else {
            return fail("Unknown input setting \"" + token + "\" (expected " +
                        detail::AudioBackendChoices() +
                        " first, then fast, realtime, source=SOURCE or fifo=SAMPLES).");
        }
    }
    *settings = parsed;
    return true;
}

void SetInputGate(long buffers) {
    std::vector<std::shared_ptr<InputDevice>> devices;
    {
        InputModule& module = Module();
        const std::lock_guard<std::mutex> lock(module.mutex);
        module.gate = buffers < 0 ? -1 : buffers;
        for (const auto& entry : module.devices) devices.push_back(entry.second);
    }
    for (const auto& device : devices) device->Pump();
}

InputStats GetInputStats() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    return module.stats;
}

bool WaitInputData(std::uint64_t count, std::chrono::milliseconds timeout) {
    InputModule& module = Module();
    std::unique_lock<std::mutex> lock(module.mutex);
    const auto awaited = module.awaitedData.insert(count);
    const bool reached = module.dataHandled.wait_for(
        lock, timeout, [&] { return module.stats.dataMessages >= count; });
    module.awaitedData.erase(awaited);
    return reached;
}

std::string ActiveInputBackend() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    return module.activeBackend;
}

std::string InputFallbackNotice() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    return module.fallbackNotice;
}

bool InputDeviceLost() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    return std::any_of(module.devices.begin(), module.devices.end(),
                       [](const auto& entry) { return entry.second->IsLost(); });
}

int OpenInputDevices() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    return static_cast<int>(module.devices.size());
}

namespace detail {

void ResetInputPart() {
    {
        InputModule& module = Module();
        const std::lock_guard<std::mutex> lock(module.mutex);
        module.settings = InputSettings{};
        module.factories.clear();
        module.settled = false;  // the next open reads QUORVEL_INPUT again
        module.activeBackend.clear();
        module.fallbackNotice.clear();
        module.stats = InputStats{};
    }
    SetInputGate(-1);
}

void ResetInputStats() {
    InputModule& module = Module();
    const std::lock_guard<std::mutex> lock(module.mutex);
    module.stats = InputStats{};
}

}  // namespace detail
}  // namespace quorvel::device

// ---- Win32 calls --------------------------------------------------------------------------

using quorvel::device::InputDevice;
using quorvel::device::Op;

MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags) {
    namespace qd = quorvel::device;
    const std::string call = qd::detail::JournalOn() ? "waveInOpen(" + qd::DeviceIdText(deviceId) +
                                                           ", " + qd::detail::FormatText(format) +
                                                           ", " + qd::HexText(flags) + ")"
                                                     : std::string();
    if (device != nullptr) *device = nullptr;
    if (const unsigned fault = qd::detail::TakeFault(Op::kInOpen)) return qd::Record(call, fault);
    const bool queryOnly = (flags & WAVE_FORMAT_QUERY) != 0;
    if (device == nullptr && !queryOnly) return qd::Record(call, MMSYSERR_INVALPARAM);
    if (deviceId != 0 && deviceId != WAVE_MAPPER) return qd::Record(call, MMSYSERR_BADDEVICEID);
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    const bool knownFlags =
        (flags & ~static_cast<DWORD>(CALLBACK_TYPEMASK | WAVE_FORMAT_QUERY)) == 0;
    if (!knownFlags || (callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL)) {
        return qd::Record(call, MMSYSERR_INVALFLAG);
    }
    if (callbackType == CALLBACK_FUNCTION && callback == 0) {
        return qd::Record(call, MMSYSERR_INVALPARAM);
    }
    if (const MMRESULT check = qd::detail::CheckPcmFormat(format)) return qd::Record(call, check);
    if (queryOnly) return qd::Record(call, MMSYSERR_NOERROR);

    const qd::OpenConfig config = qd::CurrentConfig();
    const WAVEFORMATEX copy = *format;  // the caller's record may be gone after this call
    std::shared_ptr<InputDevice> opened;
    try {
        opened = std::make_shared<InputDevice>(qd::detail::NextSerial(), copy,
                                               callbackType == CALLBACK_FUNCTION ? callback : 0,
                                               instance, config.fifoFrames);
        MMRESULT result = MMSYSERR_NODRIVER;
        std::unique_ptr<qd::detail::InputBackend> backend;
        std::string firstProblem;
        for (const auto& factory : config.factories) {
            std::string problem;
            backend = factory->Open(copy, *opened, &result, &problem);
            if (backend) break;
            if (firstProblem.empty()) firstProblem = problem;
        }
        if (!backend) {
            std::fprintf(stderr, "QuorvelDevice: no input device opened: %s\n",
                         firstProblem.c_str());
            return qd::Record(call, result != 0 ? result : MMSYSERR_ERROR);
        }
        const bool fellBack =
            config.backend == qd::detail::kDefaultBackendName && !firstProblem.empty();
        qd::NoteOpened(backend->Name(), fellBack ? firstProblem + " The " + backend->Name() +
                                                       " device captures instead."
                                                 : std::string());
        opened->AttachBackend(std::move(backend));
        InputDevice::Launch(opened);
    } catch (const std::exception&) {
        return qd::Record(call, MMSYSERR_NOMEM);
    }
    {
        qd::InputModule& module = qd::Module();
        const std::lock_guard<std::mutex> lock(module.mutex);
        module.devices[opened->Handle()] = opened;
        ++module.stats.opened;
    }
    *device = opened->Handle();
    qd::Record(call, MMSYSERR_NOERROR, " " + opened->Name());
    opened->Release();  // MM_WIM_OPEN follows the journal line of the call
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT size) {
    namespace qd = quorvel::device;
    const auto device = qd::Find(handle);
    const std::string call = qd::CallText("waveInPrepareHeader", device, header, true);
    if (const MMRESULT check = qd::CheckHeaderCall(Op::kInPrepare, device, header, size, call)) {
        return check;
    }
    if (header->lpData == nullptr && header->dwBufferLength > 0) {
        return qd::Record(call, MMSYSERR_INVALPARAM);
    }
    return device->Prepare(header, call);
}

MMRESULT waveInAddBuffer(HWAVEIN handle, LPWAVEHDR header, UINT size) {
    namespace qd = quorvel::device;
    const auto device = qd::Find(handle);
    const std::string call = qd::CallText("waveInAddBuffer", device, header, true);
    if (const MMRESULT check = qd::CheckHeaderCall(Op::kInAddBuffer, device, header, size, call)) {
        return check;
    }
    return device->AddBuffer(header, call);
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT size) {
    namespace qd = quorvel::device;
    const auto device = qd::Find(handle);
    const std::string call = qd::CallText("waveInUnprepareHeader", device, header, true);
    if (const MMRESULT check = qd::CheckHeaderCall(Op::kInUnprepare, device, header, size, call)) {
        return check;
    }
    return device->Unprepare(header, call);
}

namespace {

// The calls taking only a handle.
template <typename Action>
MMRESULT HandleCall(const char* name, Op op, HWAVEIN handle, Action action) {
    namespace qd = quorvel::device;
    const auto device = qd::Find(handle);
    const std::string call = qd::CallText(name, device);
    if (const unsigned fault = qd::detail::TakeFault(op)) return qd::Record(call, fault);
    if (!device) return qd::Record(call, MMSYSERR_INVALHANDLE);
    return action(*device, call);
}

}  // namespace

MMRESULT waveInStart(HWAVEIN handle) {
    return HandleCall(
        "waveInStart", Op::kInStart, handle,
        [](InputDevice& device, const std::string& call) { return device.Start(call); });
}

MMRESULT waveInStop(HWAVEIN handle) {
    return HandleCall(
        "waveInStop", Op::kInStop, handle,
        [](InputDevice& device, const std::string& call) { return device.Stop(false, call); });
}

MMRESULT waveInReset(HWAVEIN handle) {
    return HandleCall(
        "waveInReset", Op::kInReset, handle,
        [](InputDevice& device, const std::string& call) { return device.Stop(true, call); });
}

MMRESULT waveInClose(HWAVEIN handle) {
    return HandleCall(
        "waveInClose", Op::kInClose, handle,
        [](InputDevice& device, const std::string& call) { return device.Close(call); });
}
