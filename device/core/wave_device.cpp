// The waveform device core: what output and input devices share.
#include "core/wave_device.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "backends/table.h"
#include "core/input_device.h"
#include "core/never_destroyed.h"
#include "core/output_device.h"

namespace quorvel::device::detail {
namespace {

// The device whose callback this thread is running, if any.
thread_local const WaveDevice* deliveringDevice = nullptr;

class DeliveringScope {
  public:
    explicit DeliveringScope(const WaveDevice* device) : outer_(deliveringDevice) {
        deliveringDevice = device;
    }
    ~DeliveringScope() { deliveringDevice = outer_; }
    DeliveringScope(const DeliveringScope&) = delete;
    DeliveringScope& operator=(const DeliveringScope&) = delete;

  private:
    const WaveDevice* const outer_;
};

struct Registries {
    DeviceRegistry output;
    DeviceRegistry input;
};

// Handles are serial numbers shifted left with their kind in the low bits, as GDI's are.
constexpr unsigned kHandleKindBits = 4;
constexpr std::uintptr_t kOutputHandleKind = 4;
constexpr std::uintptr_t kInputHandleKind = 5;

void Retire(const std::shared_ptr<WaveDevice>& device) {
    DeviceRegistry& registry = RegistryOf(device->direction());
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        auto& live = registry.live;
        live.erase(std::remove(live.begin(), live.end(), device), live.end());
    }
    NoteActivity(registry);
}

// Counts a done or data message handled, waking those waiting for that count.
void CountMessage(DeviceRegistry& registry) {
    const std::uint64_t count = registry.counters.messages.fetch_add(1) + 1;
    if (count >= registry.nearestAwaited.load()) NoteActivity(registry);
}

}  // namespace

const DirectionNames& NamesOf(Direction direction) {
    static const DirectionNames output{"wout",        MM_WOM_OPEN,    MM_WOM_CLOSE,  MM_WOM_DONE,
                                       "MM_WOM_OPEN", "MM_WOM_CLOSE", "MM_WOM_DONE", "plays"};
    static const DirectionNames input{"win",         MM_WIM_OPEN,    MM_WIM_CLOSE,  MM_WIM_DATA,
                                      "MM_WIM_OPEN", "MM_WIM_CLOSE", "MM_WIM_DATA", "captures"};
    return direction == Direction::kOutput ? output : input;
}

void DeviceCounters::Reset() {
    for (std::atomic<std::uint64_t>* counter :
         {&opened, &closed, &lost, &queued, &completed, &messages, &moved, &dropped,
          &underrunFrames, &idleFrames}) {
        counter->store(0);
    }
}

DeviceRegistry& RegistryOf(Direction direction) {
    Registries& registries = NeverDestroyed<Registries>();
    return direction == Direction::kOutput ? registries.output : registries.input;
}

bool PassGate(DeviceRegistry& registry) {
    long units = registry.gate.load();
    while (true) {
        if (units < 0) return true;
        if (units == 0) return false;
        if (registry.gate.compare_exchange_weak(units, units - 1)) return true;
    }
}

void NoteActivity(DeviceRegistry& registry) {
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        ++registry.activityCount;
    }
    registry.activity.notify_all();
}

std::vector<std::shared_ptr<WaveDevice>> LiveDevices(Direction direction) {
    DeviceRegistry& registry = RegistryOf(direction);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.live;
}

WaveDevice::WaveDevice(Direction direction, const WAVEFORMATEX& format, DWORD_PTR callback,
                       DWORD_PTR instance)
    : direction_(direction),
      registry_(RegistryOf(direction)),
      frameBytes_(format.nBlockAlign),
      handle_(static_cast<std::uintptr_t>(NextSerial()) << kHandleKindBits |
              (direction == Direction::kOutput ? kOutputHandleKind : kInputHandleKind)),
      name_(NamesOf(direction).prefix + std::to_string(handle_ >> kHandleKindBits)),
      callback_(callback),
      instance_(instance) {}

WaveDevice::~WaveDevice() = default;

MMRESULT WaveDevice::Open(Direction direction, const WAVEFORMATEX& format, DWORD_PTR callback,
                          DWORD_PTR instance, std::uintptr_t* handle, JournalLine& call) {
    const DeviceChoice choice = ChoiceForNewDevice(direction);
    const std::vector<const BackendEntry*> candidates =
        BackendsToTry(choice.backend, direction, !choice.device.empty());
    if (candidates.empty()) return MMSYSERR_NODRIVER;
    std::shared_ptr<WaveDevice> device;
    try {
        if (direction == Direction::kOutput) {
            device = std::make_shared<OutputDevice>(format, callback, instance, choice.sink);
        } else {
            device = std::make_shared<InputDevice>(format, callback, instance, choice.fifoFrames);
        }
        // "default" goes down the table until a backend opens; a named one must open itself.
        std::string firstProblem;
        const BackendEntry* opened = nullptr;
        for (const BackendEntry* entry : candidates) {
            const BackendRequest request{choice.pace, choice.source, choice.device};
            std::string problem;
            std::unique_ptr<Backend> backend =
                direction == Direction::kOutput
                    ? OpenBackend(*entry, request, static_cast<OutputDevice&>(*device), format,
                                  &problem)
                    : OpenBackend(*entry, request, static_cast<InputDevice&>(*device), format,
                                  &problem);
            if (backend) {
                device->backend_ = std::move(backend);
                opened = entry;
                break;
            }
            if (firstProblem.empty()) firstProblem = problem;
        }
        const DirectionNames& names = NamesOf(direction);
        if (opened == nullptr) {
            std::fprintf(stderr, "QuorvelDevice: no %s device opened: %s\n",
                         direction == Direction::kOutput ? "output" : "input",
                         firstProblem.c_str());
            return MMSYSERR_NODRIVER;
        }
        device->soundDevice_ = opened->soundDevice;
        device->waitsForRequeue_ = opened->waitsForRequeue;
        device->thread_ = std::thread([device] {
            device->Run();
            Retire(device);
        });
        DeviceRegistry& registry = RegistryOf(direction);
        {
            const std::lock_guard<std::mutex> lock(registry.mutex);
            registry.open.emplace(device->handle_, device);
            registry.live.push_back(device);
            registry.activeBackend = opened->name;
            registry.fallbackNotice =
                firstProblem.empty()
                    ? std::string()
                    : firstProblem + " The " + opened->name + " device " + names.verb + " instead.";
        }
    } catch (const std::exception&) {  // no memory or no thread: nothing may escape to C
        return MMSYSERR_NOMEM;
    }
    device->counters().opened.fetch_add(1);
    *handle = device->handle_;
    call.Finish(MMSYSERR_NOERROR, " " + device->name_);
    {
        const std::lock_guard<std::mutex> lock(device->mutex_);
        device->PostLocked({NamesOf(direction).open, nullptr, false});
    }
    if (direction == Direction::kOutput) device->backend_->Start();  // input starts at waveInStart
    return MMSYSERR_NOERROR;
}

std::shared_ptr<WaveDevice> WaveDevice::Find(Direction direction, std::uintptr_t handle) {
    DeviceRegistry& registry = RegistryOf(direction);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.open.find(handle);
    return found == registry.open.end() ? nullptr : found->second;
}

MMRESULT WaveDevice::Prepare(WAVEHDR* header) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    if (header->lpData == nullptr && header->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveDevice::Unprepare(WAVEHDR* header) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    if (IsQueuedLocked(header)) return WAVERR_STILLPLAYING;
    header->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveDevice::Queue(WAVEHDR* header, JournalLine& call) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
        if (lost_) return MMSYSERR_NODRIVER;
        if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
        if (IsQueuedLocked(header)) return WAVERR_STILLPLAYING;
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
        queue_.push_back(header);
        QueueLocked(header);
        call.Finish(MMSYSERR_NOERROR);
    }
    posted_.notify_one();
    WakeBackend();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveDevice::Close(JournalLine& call) {
    std::shared_ptr<Backend> backend;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
        if (!queue_.empty()) return WAVERR_STILLPLAYING;
        closed_ = true;
        ClosingLocked();
        call.Finish(MMSYSERR_NOERROR);
        backend = std::move(backend_);
    }
    {
        const std::lock_guard<std::mutex> lock(registry_.mutex);
        registry_.open.erase(handle_);
    }
    counters().closed.fetch_add(1);
    backend->Stop();
    backend.reset();  // closes it: it never calls the device again
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        PostLocked({NamesOf(direction_).close, nullptr, false});
    }
    if (std::this_thread::get_id() == thread_.get_id()) {
        thread_.detach();  // inside our own callback: the thread finishes by itself
    } else {
        thread_.join();
    }
    return MMSYSERR_NOERROR;
}

bool WaveDevice::Idle() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() && messages_.empty() && !handling_;
}

void WaveDevice::GateChanged() {
    WakeBackend();
}

// The sound device went away: the queued blocks and buffers go back without messages and the
// data messages not yet delivered are dropped, so the callback hears nothing more but the close.
void WaveDevice::Lost(const std::string& reason) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (lost_ || closed_) return;
        counters().lost.fetch_add(1);  // before anyone can see the device lost
        lost_ = true;
        for (WAVEHDR* header : queue_) {
            header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
        }
        queue_.clear();
        LostLocked();
        const UINT data = NamesOf(direction_).data;
        messages_.erase(
            std::remove_if(messages_.begin(), messages_.end(),
                           [data](const Message& message) { return message.id == data; }),
            messages_.end());
    }
    posted_.notify_one();
    std::fprintf(stderr, "QuorvelDevice: %s lost its sound device: %s.\n", name_.c_str(),
                 reason.c_str());
    NoteActivity(registry_);  // it may be idle now
}

void WaveDevice::WakeBackend() {
    std::shared_ptr<Backend> backend;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (deliveringDevice == this) {
            wakeAfterCallback_ = true;  // on this thread, once the callback returns
            return;
        }
        backend = backend_;
    }
    if (backend) backend->Wake();
}

void WaveDevice::PostLocked(const Message& message) {
    messages_.push_back(message);
    posted_.notify_one();
}

std::shared_ptr<Backend> WaveDevice::backend() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return backend_;
}

bool WaveDevice::IsQueuedLocked(const WAVEHDR* header) const {
    return (header->dwFlags & WHDR_INQUEUE) != 0 ||
           std::find(queue_.begin(), queue_.end(), header) != queue_.end();
}

// Runs on the device's thread until the close message has been delivered.
void WaveDevice::Run() {
    // A sound card waits for the output callback's requeue, so, like the audio callback thread
    // of Windows, this one runs ahead of ordinary work. Input has its FIFO to wait in.
    if (waitsForRequeue_ && direction_ == Direction::kOutput) RunAheadOfOrdinaryWork();
    const DirectionNames& names = NamesOf(direction_);
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        posted_.wait(lock, [this] { return !messages_.empty(); });
        const Clock::time_point due = messages_.front().notBefore;
        if (Clock::now() < due) {
            posted_.wait_until(lock, due);  // or until the hold is released
            continue;
        }
        const Message message = messages_.front();
        messages_.pop_front();
        DeliveringLocked(message);
        handling_ = true;
        lock.unlock();
        Deliver(message);
        lock.lock();
        handling_ = false;
        DeliveredLocked(message);
        // A backend waiting for the requeue learns at once whether it came.
        const bool wake = std::exchange(wakeAfterCallback_, false) || message.id == names.data;
        std::shared_ptr<Backend> backend = wake ? backend_ : nullptr;
        lock.unlock();
        if (message.id == names.close) return;
        if (backend) backend->Wake();
        backend.reset();  // never with the lock held: the last reference closes the backend
        if (message.id == names.data) CountMessage(registry_);
        // Waiters only care about the device running out; waking them for every block would
        // cost a thread switch per block.
        if (Idle()) NoteActivity(registry_);
        lock.lock();
    }
}

void WaveDevice::Deliver(const Message& message) {
    if (callback_ == 0) return;
    const DeliveringScope scope(this);
    const DirectionNames& names = NamesOf(direction_);
    if (JournalOn()) {
        const char* id = message.id == names.open    ? names.openName
                         : message.id == names.close ? names.closeName
                                                     : names.dataName;
        Journal("message(" + name_ + ", " + id + ")");
    }
    const bool timed = message.id == names.data && TimingHandlers();
    const Clock::time_point start = timed ? Clock::now() : Clock::time_point();
    const auto param = reinterpret_cast<DWORD_PTR>(message.header);
    if (direction_ == Direction::kOutput) {
        reinterpret_cast<LPWAVECALLBACK>(callback_)(reinterpret_cast<HWAVEOUT>(handle_), message.id,
                                                    instance_, param, 0);
    } else {
        reinterpret_cast<LPWAVEINCALLBACK>(callback_)(reinterpret_cast<HWAVEIN>(handle_),
                                                      message.id, instance_, param, 0);
    }
    if (!timed) return;
    const auto time = Clock::now() - start;
    if (direction_ == Direction::kOutput) {
        NoteOutputHandlerTime(time);
    } else {
        NoteInputHandlerTime(time);
    }
}

}  // namespace quorvel::device::detail
