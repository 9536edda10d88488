// Waveform audio output with Windows semantics: waveOut* over a pluggable backend.
//
// Each open device has a thread of its own that delivers its messages one at a time, with no
// lock held, so the callback may call waveOut* on its own device. The backend plays bytes on its
// own schedule through OutputFeed::Play, which completes blocks and posts MM_WOM_DONE; calls
// that queue blocks only enqueue and wake the backend, so the callback never runs inside them.
//
// Closing from inside the device's own callback cannot wait for that callback to return. There
// waveOutClose makes the handle invalid and returns 0 at once; the messages still pending and
// then MM_WOM_CLOSE are delivered after the current callback returns, and nothing after that.
// Closing from any other thread returns only after MM_WOM_CLOSE has been delivered.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backends/audio_backends.h"
#include "core/internal.h"
#include "core/never_destroyed.h"
#include "backends/output_backend.h"
#include "settings/output_settings.h"
#include "core/wave_format.h"

namespace quorvel::device {
namespace detail {
namespace {

// One Win32 call's journal line, written once when its result is known. Calls that post
// messages write it before posting, so the line always comes before the messages it causes.
class CallRecord {
  public:
    explicit CallRecord(bool on) : on_(on) {}

    bool on() const { return on_; }
    void SetText(std::string text) { text_ = std::move(text); }

    MMRESULT Finish(MMRESULT result, const std::string& suffix = std::string()) {
        if (on_ && !finished_) Journal(text_ + " = " + std::to_string(result) + suffix);
        finished_ = true;
        return result;
    }

  private:
    const bool on_;
    bool finished_ = false;
    std::string text_;
};

struct Stats {
    std::atomic<std::uint64_t> opened{0};
    std::atomic<std::uint64_t> closed{0};
    std::atomic<std::uint64_t> blocksQueued{0};
    std::atomic<std::uint64_t> blocksPlayed{0};
    std::atomic<std::uint64_t> bytesPlayed{0};
    std::atomic<std::uint64_t> doneMessages{0};
    std::atomic<std::uint64_t> underrunFrames{0};
    std::atomic<std::uint64_t> idleFrames{0};
    std::atomic<std::uint64_t> devicesLost{0};
};

Stats& OutStats() {
    return NeverDestroyed<Stats>();
}

// Blocks the devices may still complete; negative means no limit.
std::atomic<long> gate{-1};

// Uses one unit of the gate; false when the gate is shut.
bool PassGate() {
    long units = gate.load();
    while (true) {
        if (units < 0) return true;
        if (units == 0) return false;
        if (gate.compare_exchange_weak(units, units - 1)) return true;
    }
}

// How much sooner than a block's length after the one before a done message may come, and the
// longest it is held back for that (see OutputDevice::HoldEarlyDone).
constexpr auto kDoneSlack = std::chrono::milliseconds(2);
constexpr auto kMaxDoneHold = std::chrono::milliseconds(10);

const char* MessageName(UINT message) {
    switch (message) {
        case MM_WOM_OPEN:
            return "MM_WOM_OPEN";
        case MM_WOM_DONE:
            return "MM_WOM_DONE";
        default:
            return "MM_WOM_CLOSE";
    }
}

class OutputDevice;
// The device whose callback this thread is running, if any.
thread_local const OutputDevice* deliveringDevice = nullptr;

class DeliveringScope {
  public:
    explicit DeliveringScope(const OutputDevice* device) : outer_(deliveringDevice) {
        deliveringDevice = device;
    }
    ~DeliveringScope() { deliveringDevice = outer_; }
    DeliveringScope(const DeliveringScope&) = delete;
    DeliveringScope& operator=(const DeliveringScope&) = delete;

  private:
    const OutputDevice* const outer_;
};

// A device may have become idle, or has retired: wakes WaitOutputIdle.
void NoteActivity();
// Called by a device's thread as it ends.
void Retire(const std::shared_ptr<OutputDevice>& device);

class OutputDevice final : public OutputFeed, public std::enable_shared_from_this<OutputDevice> {
  public:
    OutputDevice(HWAVEOUT handle, std::string name, LPWAVECALLBACK callback, DWORD_PTR instance,
                 std::shared_ptr<OutputSink> sink)
        : handle_(handle),
          name_(std::move(name)),
          callback_(callback),
          instance_(instance),
          sink_(std::move(sink)) {}

    ~OutputDevice() = default;
    OutputDevice(const OutputDevice&) = delete;
    OutputDevice& operator=(const OutputDevice&) = delete;

    HWAVEOUT handle() const { return handle_; }
    const std::string& name() const { return name_; }
    OutputBackend& backend() { return *backend_; }
    const std::string& backendName() const { return backendName_; }
    bool lost() const { return lost_.load(); }

    // Tries to start `backend` on this device; on success the device keeps it. Once only, before
    // the device is published.
    bool AttachBackend(std::unique_ptr<OutputBackend> backend, const WAVEFORMATEX& format,
                       const std::string& name, std::string* error) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            bytesPerSecond_ = BytesPerSecond(format);
            steadyDone_ = backend->Urgent();
        }
        if (!backend->Start(*this, format, error)) return false;
        backend_ = std::move(backend);
        backendName_ = name;
        return true;
    }

    // Starts the message thread; OPEN is posted separately so its journal line can come after
    // the waveOutOpen line.
    void StartMessages() {
        messageThread_ = std::thread([self = shared_from_this()] {
            // A sound card waits for the callback's requeue, so, like the audio callback
            // thread of Windows, this one runs ahead of ordinary work.
            if (self->backend_->Urgent()) RunAheadOfOrdinaryWork();
            self->DeliverMessages();
            Retire(self);
        });
    }

    void PostOpen() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back({MM_WOM_OPEN, nullptr, false});
        }
        messagePosted_.notify_one();
    }

    MMRESULT Prepare(WAVEHDR* header, UINT size) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return MMSYSERR_INVALHANDLE;
        if (!HeaderUsable(header, size)) return MMSYSERR_INVALPARAM;
        if (header->lpData == nullptr && header->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
        header->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Unprepare(WAVEHDR* header, UINT size) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return MMSYSERR_INVALHANDLE;
        if (!HeaderUsable(header, size)) return MMSYSERR_INVALPARAM;
        if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
        header->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(WAVEHDR* header, UINT size, CallRecord& call) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!open_) return MMSYSERR_INVALHANDLE;
            if (!HeaderUsable(header, size)) return MMSYSERR_INVALPARAM;
            if (lost_) return MMSYSERR_NODRIVER;
            if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
            if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
            header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
            queue_.push_back(header);
            call.Finish(MMSYSERR_NOERROR);
            if (deliveringDevice == this && backend_->PlaysAtOnce()) {
                playAfterCallback_ = true;  // played once the callback returns, on this thread
                return MMSYSERR_NOERROR;
            }
        }
        backend_->Wake();
        return MMSYSERR_NOERROR;
    }

    MMRESULT SetPaused(bool paused, CallRecord& call) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!open_) return MMSYSERR_INVALHANDLE;
            if (lost_) return MMSYSERR_NODRIVER;
            paused_ = paused;
            call.Finish(MMSYSERR_NOERROR);  // before the messages a restart may cause
        }
        if (!paused) backend_->Wake();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Reset(CallRecord& call) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!open_) return MMSYSERR_INVALHANDLE;
            call.Finish(MMSYSERR_NOERROR);
            for (WAVEHDR* header : queue_) MarkDone(header, false);
            queue_.clear();
            playedOfHead_ = 0;
            paused_ = false;
            // Done messages still pending no longer promise a requeue: playback was ended.
            for (Message& message : messages_) {
                ForgetRequeue(message);
                message.notBefore = {};
            }
        }
        messagePosted_.notify_one();
        return MMSYSERR_NOERROR;
    }

    // Makes the handle unusable if nothing is queued; the caller then calls FinishClose.
    MMRESULT BeginClose(CallRecord& call) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return MMSYSERR_INVALHANDLE;
        if (!queue_.empty()) return WAVERR_STILLPLAYING;
        open_ = false;
        call.Finish(MMSYSERR_NOERROR);
        return MMSYSERR_NOERROR;
    }

    void FinishClose() {
        backend_->Stop();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back({MM_WOM_CLOSE, nullptr, false});
        }
        messagePosted_.notify_one();
        if (std::this_thread::get_id() == messageThread_.get_id()) {
            messageThread_.detach();  // inside our own callback: the thread finishes by itself
        } else {
            messageThread_.join();
        }
    }

    // Nothing queued, no message pending and no callback running.
    bool Idle() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return queue_.empty() && messages_.empty() && !handling_;
    }

    std::size_t Play(std::uint8_t* destination, std::size_t capacity) override {
        std::size_t played = 0;
        bool completed = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (paused_) return 0;
            while (!queue_.empty()) {
                WAVEHDR* header = queue_.front();
                const std::size_t count = std::min<std::size_t>(
                    header->dwBufferLength - playedOfHead_, capacity - played);
                if (count > 0) {
                    const auto* bytes =
                        reinterpret_cast<const std::uint8_t*>(header->lpData) + playedOfHead_;
                    if (destination != nullptr) std::memcpy(destination + played, bytes, count);
                    if (sink_) sink_->Write(bytes, count);
                    playedOfHead_ += count;
                    played += count;
                }
                // A block played to its end waits there until the gate lets it complete.
                if (playedOfHead_ < header->dwBufferLength || !PassGate()) break;
                queue_.pop_front();
                playedOfHead_ = 0;
                MarkDone(header, true);
                // A block ending with the chunk leaves the pull nothing to wait for.
                if (played == capacity) HoldEarlyDone(*header);
                OutStats().blocksPlayed.fetch_add(1);
                completed = true;
            }
            // Counted under the lock so that whoever sees the done message also sees the bytes.
            OutStats().bytesPlayed.fetch_add(played);
        }
        if (completed) messagePosted_.notify_one();
        return played;
    }

    Supply Outlook() override {
        Supply supply = Supply::kIdle;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (paused_ || lost_) return Supply::kIdle;
            if (!queue_.empty()) {
                supply = playedOfHead_ < queue_.front()->dwBufferLength ? Supply::kFlowing
                                                                        : Supply::kRequeueDue;
            } else if (requeuesAwaited_ > 0) {
                supply = Supply::kRequeueDue;
            }
            if (supply != Supply::kRequeueDue || !ReleaseHeldLocked()) return supply;
        }
        messagePosted_.notify_one();  // a pull waits for the requeue: no holding back now
        return supply;
    }

    void NoteSilence(std::size_t frames, bool underrun) override {
        (underrun ? OutStats().underrunFrames : OutStats().idleFrames).fetch_add(frames);
    }

    // The sound device went away: the queued blocks go back without messages and the done
    // messages not yet delivered are dropped, so the callback hears nothing more but the close.
    void Lost(const std::string& reason) override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (lost_ || !open_) return;
            OutStats().devicesLost.fetch_add(1);  // before anyone can see the device lost
            lost_ = true;
            for (WAVEHDR* header : queue_) {
                header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
            }
            queue_.clear();
            playedOfHead_ = 0;
            for (Message& message : messages_) ForgetRequeue(message);
            messages_.erase(
                std::remove_if(messages_.begin(), messages_.end(),
                               [](const Message& message) { return message.id == MM_WOM_DONE; }),
                messages_.end());
        }
        std::fprintf(stderr, "QuorvelDevice: %s lost its sound device: %s.\n", name_.c_str(),
                     reason.c_str());
        NoteActivity();  // it may be idle now
    }

  private:
    using Clock = std::chrono::steady_clock;

    struct Message {
        UINT id;
        WAVEHDR* header;
        bool requeueAwaited;  // a block played to its end: its callback usually queues the next
        Clock::time_point notBefore{};  // held back until then (see HoldEarlyDone)
    };

    // A sound card pulls in chunks when its server asks, on a grid of several milliseconds, so a
    // block's end is pulled up to a grid step or two early or late. A done message for a block
    // that ended with its chunk may wait until the block's length (less a little) after the one
    // before, a few milliseconds at most: the module's done messages then keep the blocks' pace,
    // and the next pull is a whole chunk away. With the lock held, for the last message posted.
    void HoldEarlyDone(const WAVEHDR& header) {
        if (!steadyDone_ || bytesPerSecond_ == 0 || lastPlayedDone_ == Clock::time_point{}) return;
        const auto length = std::chrono::microseconds(std::uint64_t{header.dwBufferLength} *
                                                      1000000 / bytesPerSecond_);
        const Clock::time_point paced = lastPlayedDone_ + length - kDoneSlack;
        messages_.back().notBefore = std::min(paced, Clock::now() + kMaxDoneHold);
    }

    // With the lock held; true when a message was being held.
    bool ReleaseHeldLocked() {
        bool released = false;
        for (Message& message : messages_) {
            released = released || message.notBefore != Clock::time_point{};
            message.notBefore = {};
        }
        return released;
    }

    // With the lock held.
    void ForgetRequeue(Message& message) {
        if (message.requeueAwaited) --requeuesAwaited_;
        message.requeueAwaited = false;
    }

    static bool HeaderUsable(const WAVEHDR* header, UINT size) {
        return header != nullptr && size >= sizeof(WAVEHDR);
    }

    // With the lock held.
    void MarkDone(WAVEHDR* header, bool played) {
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
        messages_.push_back({MM_WOM_DONE, header, played});
        if (played) ++requeuesAwaited_;
    }

    // Runs on the device's thread until MM_WOM_CLOSE has been delivered.
    void DeliverMessages() {
        while (true) {
            std::unique_lock<std::mutex> lock(mutex_);
            messagePosted_.wait(lock, [this] { return !messages_.empty(); });
            const Clock::time_point due = messages_.front().notBefore;
            if (Clock::now() < due) {
                messagePosted_.wait_until(lock, due);  // or until the hold is released
                continue;
            }
            const Message message = messages_.front();
            messages_.pop_front();
            handling_ = true;
            lock.unlock();
            Deliver(message);
            lock.lock();
            handling_ = false;
            if (message.requeueAwaited) {
                --requeuesAwaited_;
                lastPlayedDone_ = Clock::now();
            }
            const bool playNow = playAfterCallback_;
            playAfterCallback_ = false;
            lock.unlock();
            if (message.id == MM_WOM_CLOSE) return;
            if (playNow) {
                Play(nullptr, std::numeric_limits<std::size_t>::max());
            } else if (message.requeueAwaited) {
                // A backend waiting for the requeue learns at once whether it came.
                backend_->Wake();
            }
            // Waiters only care about the device running out; waking them for every block
            // would cost a thread switch per block.
            if (Idle()) NoteActivity();
        }
    }

    void Deliver(const Message& message) {
        if (callback_ == nullptr) return;
        const DeliveringScope scope(this);
        if (JournalOn()) {
            Journal("message(" + name_ + ", " + MessageName(message.id) + ")");
        }
        if (message.id == MM_WOM_DONE) OutStats().doneMessages.fetch_add(1);
        const bool timed = message.id == MM_WOM_DONE && TimingHandlers();
        const Clock::time_point start = timed ? Clock::now() : Clock::time_point();
        callback_(handle_, message.id, instance_, reinterpret_cast<DWORD_PTR>(message.header), 0);
        if (timed) NoteOutputHandlerTime(Clock::now() - start);
    }

    const HWAVEOUT handle_;
    const std::string name_;
    const LPWAVECALLBACK callback_;
    const DWORD_PTR instance_;
    const std::shared_ptr<OutputSink> sink_;
    std::unique_ptr<OutputBackend> backend_;  // set before the device is published
    std::string backendName_;
    std::thread messageThread_;

    std::mutex mutex_;
    std::condition_variable messagePosted_;
    bool open_ = true;  // false once waveOutClose has been accepted
    bool paused_ = false;
    std::deque<WAVEHDR*> queue_;    // blocks in play order
    std::size_t playedOfHead_ = 0;  // bytes of queue_.front() played so far
    std::deque<Message> messages_;
    bool handling_ = false;           // a message is being delivered
    bool playAfterCallback_ = false;  // the callback queued a block a fast backend plays
    // Done messages of blocks played to their end, pending or being delivered.
    std::size_t requeuesAwaited_ = 0;
    unsigned bytesPerSecond_ = 0;
    bool steadyDone_ = false;             // done messages keep the blocks' pace (a sound card)
    Clock::time_point lastPlayedDone_{};  // when the last one for a played block was delivered
    std::atomic<bool> lost_{false};       // written under mutex_, read also without it
};

struct Registry {
    std::mutex mutex;
    std::map<HWAVEOUT, std::shared_ptr<OutputDevice>> open;  // handles that are valid
    std::vector<std::shared_ptr<OutputDevice>> live;         // devices whose thread still runs
    std::condition_variable activity;  // a device may have become idle, or retired
    std::uint64_t activityCount = 0;
    std::string activeBackend;   // of the device opened last
    std::string fallbackNotice;  // of the device opened last
};

Registry& Devices() {
    return NeverDestroyed<Registry>();
}

void NoteActivity() {
    Registry& registry = Devices();
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        ++registry.activityCount;
    }
    registry.activity.notify_all();
}

void Retire(const std::shared_ptr<OutputDevice>& device) {
    Registry& registry = Devices();
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        auto& live = registry.live;
        live.erase(std::remove(live.begin(), live.end(), device), live.end());
    }
    NoteActivity();
}

std::shared_ptr<OutputDevice> FindOpen(HWAVEOUT handle) {
    Registry& registry = Devices();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.open.find(handle);
    return found == registry.open.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<OutputDevice>> LiveDevices() {
    Registry& registry = Devices();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.live;
}

void WakeAll() {
    for (const auto& device : LiveDevices()) device->backend().Wake();
}

std::string Hex(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

// The journal text of a call on `device` (null for an unknown handle).
std::string CallText(const char* name, const std::shared_ptr<OutputDevice>& device,
                     bool withHeader) {
    std::string text = std::string(name) + "(" + (device ? device->name() : "bad");
    if (withHeader) text += ", hdr";
    return text + ")";
}

// A call on a handle: the device it names (null if none) and its journal line to be.
struct Call {
    Call(const char* name, HWAVEOUT handle, bool withHeader)
        : record(JournalOn()), device(FindOpen(handle)) {
        if (record.on()) record.SetText(CallText(name, device, withHeader));
    }
    CallRecord record;
    std::shared_ptr<OutputDevice> device;
};

HWAVEOUT HandleFor(std::uint64_t serial) {
    // Serial numbers never repeat, so neither do handles.
    return reinterpret_cast<HWAVEOUT>(static_cast<std::uintptr_t>(0x5700000 + serial * 16));
}

MMRESULT CheckOpen(LPHWAVEOUT out, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                   DWORD flags) {
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if ((flags & ~static_cast<DWORD>(CALLBACK_TYPEMASK | WAVE_FORMAT_QUERY)) != 0 ||
        (callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL)) {
        return MMSYSERR_INVALFLAG;
    }
    if (deviceId != 0 && deviceId != WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    const MMRESULT formatResult = CheckPcmFormat(format);
    if (formatResult != MMSYSERR_NOERROR) return formatResult;
    if ((flags & WAVE_FORMAT_QUERY) != 0) return MMSYSERR_NOERROR;
    if (out == nullptr) return MMSYSERR_INVALPARAM;
    if (callbackType == CALLBACK_FUNCTION && callback == 0) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

MMRESULT OpenDevice(LPHWAVEOUT out, const WAVEFORMATEX& format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags, CallRecord& call) {
    OutputChoice choice = OutputForNewDevice();
    const std::vector<const AudioBackendEntry*> candidates =
        AudioBackendsToTry(choice.settings.backend);
    if (candidates.empty()) return MMSYSERR_NODRIVER;

    const std::uint64_t serial = NextSerial();
    const auto callbackFunction = (flags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION
                                      ? reinterpret_cast<LPWAVECALLBACK>(callback)
                                      : nullptr;
    auto device =
        std::make_shared<OutputDevice>(HandleFor(serial), "wout" + std::to_string(serial),
                                       callbackFunction, instance, std::move(choice.sink));
    // "default" goes down the table until a backend starts; a named one must start itself.
    std::string firstProblem;
    bool started = false;
    for (const AudioBackendEntry* entry : candidates) {
        std::string problem;
        started = device->AttachBackend(entry->createOutput(choice.settings.pace), format,
                                        entry->name, &problem);
        if (started) break;
        if (firstProblem.empty()) firstProblem = problem;
    }
    if (!started) {
        std::fprintf(stderr, "QuorvelDevice: no output device opened: %s\n", firstProblem.c_str());
        return MMSYSERR_NODRIVER;
    }
    const bool fellBack = !firstProblem.empty();
    device->StartMessages();
    {
        Registry& registry = Devices();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        registry.open.emplace(device->handle(), device);
        registry.live.push_back(device);
        registry.activeBackend = device->backendName();
        registry.fallbackNotice =
            fellBack ? firstProblem + " The " + device->backendName() + " device plays instead."
                     : std::string();
    }
    OutStats().opened.fetch_add(1);
    *out = device->handle();
    call.Finish(MMSYSERR_NOERROR, " " + device->name());
    device->PostOpen();
    return MMSYSERR_NOERROR;
}

}  // namespace

void ResetOutputStats() {
    Stats& stats = OutStats();
    stats.opened = 0;
    stats.closed = 0;
    stats.blocksQueued = 0;
    stats.blocksPlayed = 0;
    stats.bytesPlayed = 0;
    stats.doneMessages = 0;
    stats.underrunFrames = 0;
    stats.idleFrames = 0;
    stats.devicesLost = 0;
}

void ResetOutputPart() {
    ResetOutputSettings();
    {
        Registry& registry = Devices();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        registry.activeBackend.clear();
        registry.fallbackNotice.clear();
    }
    gate.store(-1);
    ResetOutputStats();
    WakeAll();
}

}  // namespace detail
}  // namespace quorvel::device

// The Win32 functions are C symbols at global scope.
namespace detail = quorvel::device::detail;
using detail::Call;
using quorvel::device::Op;

MMRESULT waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
    detail::CallRecord call(detail::JournalOn());
    if (call.on()) {
        const std::string id =
            deviceId == WAVE_MAPPER ? std::string("WAVE_MAPPER") : std::to_string(deviceId);
        call.SetText("waveOutOpen(" + id + ", " + detail::FormatText(format) + ", " +
                     detail::Hex(flags) + ")");
    }
    if (const unsigned fault = detail::TakeFault(Op::kOutOpen)) return call.Finish(fault);
    if (device != nullptr) *device = nullptr;
    MMRESULT result = detail::CheckOpen(device, deviceId, format, callback, flags);
    if (result == MMSYSERR_NOERROR && (flags & WAVE_FORMAT_QUERY) == 0) {
        try {
            result = detail::OpenDevice(device, *format, callback, instance, flags, call);
        } catch (const std::exception&) {  // no memory or no thread: nothing may escape to C
            result = MMSYSERR_NOMEM;
        }
    }
    return call.Finish(result);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    Call call("waveOutPrepareHeader", device, true);
    if (const unsigned fault = detail::TakeFault(Op::kOutPrepare)) return call.record.Finish(fault);
    if (!call.device) return call.record.Finish(MMSYSERR_INVALHANDLE);
    return call.record.Finish(call.device->Prepare(header, size));
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    Call call("waveOutWrite", device, true);
    if (const unsigned fault = detail::TakeFault(Op::kOutWrite)) return call.record.Finish(fault);
    if (!call.device) return call.record.Finish(MMSYSERR_INVALHANDLE);
    const MMRESULT result = call.device->Write(header, size, call.record);
    if (result == MMSYSERR_NOERROR) detail::OutStats().blocksQueued.fetch_add(1);
    return call.record.Finish(result);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    Call call("waveOutUnprepareHeader", device, true);
    if (const unsigned fault = detail::TakeFault(Op::kOutUnprepare)) {
        return call.record.Finish(fault);
    }
    if (!call.device) return call.record.Finish(MMSYSERR_INVALHANDLE);
    return call.record.Finish(call.device->Unprepare(header, size));
}

MMRESULT waveOutPause(HWAVEOUT device) {
    Call call("waveOutPause", device, false);
    if (const unsigned fault = detail::TakeFault(Op::kOutPause)) return call.record.Finish(fault);
    if (!call.device) return call.record.Finish(MMSYSERR_INVALHANDLE);
    return call.record.Finish(call.device->SetPaused(true, call.record));
}

MMRESULT waveOutRestart(HWAVEOUT device) {
    Call call("waveOutRestart", device, false);
    if (const unsigned fault = detail::TakeFault(Op::kOutRestart)) return call.record.Finish(fault);
    if (!call.device) return call.record.Finish(MMSYSERR_INVALHANDLE);
    return call.record.Finish(call.device->SetPaused(false, call.record));
}

MMRESULT waveOutReset(HWAVEOUT device) {
    Call call("waveOutReset", device, false);
    if (const unsigned fault = detail::TakeFault(Op::kOutReset)) return call.record.Finish(fault);
    if (!call.device) return call.record.Finish(MMSYSERR_INVALHANDLE);
    return call.record.Finish(call.device->Reset(call.record));
}

MMRESULT waveOutClose(HWAVEOUT device) {
    Call call("waveOutClose", device, false);
    if (const unsigned fault = detail::TakeFault(Op::kOutClose)) return call.record.Finish(fault);
    if (!call.device) return call.record.Finish(MMSYSERR_INVALHANDLE);
    const MMRESULT result = call.device->BeginClose(call.record);
    if (result != MMSYSERR_NOERROR) return call.record.Finish(result);
    {
        detail::Registry& registry = detail::Devices();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        registry.open.erase(device);
    }
    detail::OutStats().closed.fetch_add(1);
    call.device->FinishClose();
    return MMSYSERR_NOERROR;
}

namespace quorvel::device {

void SetOutputGate(long blocks) {
    detail::gate.store(blocks < 0 ? -1 : blocks);
    detail::WakeAll();
}

OutputStats GetOutputStats() {
    const detail::Stats& stats = detail::OutStats();
    OutputStats copy;
    copy.opened = stats.opened.load();
    copy.closed = stats.closed.load();
    copy.blocksQueued = stats.blocksQueued.load();
    copy.blocksPlayed = stats.blocksPlayed.load();
    copy.bytesPlayed = stats.bytesPlayed.load();
    copy.doneMessages = stats.doneMessages.load();
    copy.underrunFrames = stats.underrunFrames.load();
    copy.idleFrames = stats.idleFrames.load();
    copy.devicesLost = stats.devicesLost.load();
    return copy;
}

std::string ActiveOutputBackend() {
    detail::Registry& registry = detail::Devices();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.activeBackend;
}

std::string OutputFallbackNotice() {
    detail::Registry& registry = detail::Devices();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.fallbackNotice;
}

bool OutputDeviceLost() {
    detail::Registry& registry = detail::Devices();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return std::any_of(registry.open.begin(), registry.open.end(),
                       [](const auto& entry) { return entry.second->lost(); });
}

bool WaitOutputIdle(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    detail::Registry& registry = detail::Devices();
    std::unique_lock<std::mutex> lock(registry.mutex);
    while (true) {
        const std::uint64_t seen = registry.activityCount;
        const std::vector<std::shared_ptr<detail::OutputDevice>> devices = registry.live;
        lock.unlock();
        const bool idle = std::all_of(devices.begin(), devices.end(),
                                      [](const auto& device) { return device->Idle(); });
        lock.lock();
        if (idle) return true;
        const bool changed = registry.activity.wait_until(
            lock, deadline, [&] { return registry.activityCount != seen; });
        if (!changed) return false;
    }
}

int OpenOutputDevices() {
    detail::Registry& registry = detail::Devices();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return static_cast<int>(registry.open.size());
}

}  // namespace quorvel::device
