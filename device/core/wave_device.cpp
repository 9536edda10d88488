// The waveform device core: what output and input devices share.
#include "core/wave_device.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "backends/table.h"
#include "base/internal.h"
#include "core/input_device.h"
#include "core/output_device.h"
#include "testing/hooks.h"

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

void Retire(const std::shared_ptr<WaveDevice>& device) {
    DeviceRegistry& registry = RegistryOf(device->direction());
    registry.devices.Retire(device);
    registry.waiters.Notify();
}

}  // namespace

const DirectionNames& NamesOf(Direction direction) {
    static const DirectionNames output{MM_WOM_OPEN,    MM_WOM_CLOSE,  MM_WOM_DONE, "MM_WOM_OPEN",
                                       "MM_WOM_CLOSE", "MM_WOM_DONE", "plays"};
    static const DirectionNames input{MM_WIM_OPEN,    MM_WIM_CLOSE,  MM_WIM_DATA, "MM_WIM_OPEN",
                                      "MM_WIM_CLOSE", "MM_WIM_DATA", "captures"};
    return direction == Direction::kOutput ? output : input;
}

WaveDevice::WaveDevice(Direction direction, const WAVEFORMATEX& format, DWORD_PTR callback,
                       DWORD_PTR instance)
    : direction_(direction),
      registry_(RegistryOf(direction)),
      frameBytes_(format.nBlockAlign),
      handle_(
          NewHandle(direction == Direction::kOutput ? HandleKind::kWaveOut : HandleKind::kWaveIn)),
      callback_(callback),
      instance_(instance) {}

WaveDevice::~WaveDevice() = default;

MMRESULT WaveDevice::Open(Direction direction, const WAVEFORMATEX& format, DWORD_PTR callback,
                          DWORD_PTR instance, std::uintptr_t* handle) {
    const DeviceChoice choice = ChoiceForNewDevice(direction);
    const std::vector<const BackendEntry*> candidates =
        BackendsToTry(choice.settings.backend, direction, !choice.settings.device.empty());
    if (candidates.empty()) return MMSYSERR_NODRIVER;
    std::shared_ptr<WaveDevice> device;
    try {
        if (direction == Direction::kOutput) {
            device = std::make_shared<OutputDevice>(format, callback, instance, choice.tap);
        } else {
            device = std::make_shared<InputDevice>(format, callback, instance,
                                                   choice.settings.fifoFrames);
        }
        // "default" goes down the table until a backend opens; a named one must open itself.
        std::string firstProblem;
        const BackendEntry* opened = nullptr;
        for (const BackendEntry* entry : candidates) {
            const BackendRequest request{choice.settings.pace, choice.source,
                                         choice.settings.device};
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
        device->thread_ = std::thread([device] {
            device->Run();
            Retire(device);
        });
        DeviceRegistry& registry = RegistryOf(direction);
        registry.devices.Add(device, device->handle_);
        registry.notices.Set(opened->name, firstProblem.empty()
                                               ? std::string()
                                               : firstProblem + " The " + opened->name +
                                                     " device " + names.verb + " instead.");
    } catch (const std::exception&) {  // no memory or no thread: nothing may escape to C
        return MMSYSERR_NOMEM;
    }
    device->counters().opened.fetch_add(1);
    *handle = device->handle_;
    {
        const std::lock_guard<std::mutex> lock(device->mutex_);
        device->PostLocked({NamesOf(direction).open, nullptr, false});
    }
    if (direction == Direction::kOutput) device->backend_->Start();  // input starts at waveInStart
    return MMSYSERR_NOERROR;
}

std::shared_ptr<WaveDevice> WaveDevice::Find(Direction direction, std::uintptr_t handle) {
    return RegistryOf(direction).devices.Find(handle);
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

MMRESULT WaveDevice::Queue(WAVEHDR* header) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
        if (lost_) return MMSYSERR_NODRIVER;
        if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
        if (IsQueuedLocked(header)) return WAVERR_STILLPLAYING;
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
        queue_.push_back(header);
        QueueLocked(header);
    }
    posted_.notify_one();
    WakeBackend();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveDevice::Close() {
    std::shared_ptr<Backend> backend;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
        if (!queue_.empty()) return WAVERR_STILLPLAYING;
        closed_ = true;
        ClosingLocked();
        backend = std::move(backend_);
    }
    registry_.devices.CloseHandle(handle_);
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
    std::fprintf(stderr, "QuorvelDevice: %s lost its sound device: %s.\n",
                 HandleName(handle_).c_str(), reason.c_str());
    registry_.waiters.Notify();  // it may be idle now
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
    // A message that will be held in turn waits behind the one held now.
    if (!holding_ || !AwaitsBackendLocked(message)) posted_.notify_one();
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
    const DirectionNames& names = NamesOf(direction_);
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        posted_.wait(lock, [this] { return !messages_.empty(); });
        if (AwaitsBackendLocked(messages_.front()) && backend_) {
            // The backend's own lock comes before ours: it is asked without ours, and its answer
            // stands only while it has read nothing more since.
            const std::uint64_t taken = TakenLocked();
            std::shared_ptr<Backend> player = backend_;
            lock.unlock();
            const std::uint64_t unheard = player->UnheardBytes();
            player.reset();  // never with the lock held: the last reference closes the backend
            lock.lock();
            if (messages_.empty() || TakenLocked() != taken) continue;
            const Clock::duration wait = WaitLocked(unheard, taken);
            if (wait > Clock::duration::zero()) {
                holding_ = true;
                posted_.wait_for(lock, wait);  // or until a block is queued, a pause ends, ...
                holding_ = false;
                continue;
            }
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
        if (message.id == names.data) {
            registry_.waiters.Counted(registry_.counters.messages.fetch_add(1) + 1);
        }
        // Waiters only care about the device running out; waking them for every block would
        // cost a thread switch per block.
        if (Idle()) registry_.waiters.Notify();
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
        Journal("message(" + HandleName(handle_) + ", " + id + ")");
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
    if (timed) NoteHandlerTime(direction_ == Direction::kOutput, Clock::now() - start);
}

}  // namespace quorvel::device::detail
