// The one waveform device core, for output and input alike: handles, the message thread, the
// open and close protocol, device loss, delivery with journal and timing, the registry of open
// devices and the statistics. The directions add only what differs: the play queue and its
// pacing (output_device.cpp), the buffer queue, the FIFO and filling (input_device.cpp).
//
// Each open device has a thread of its own that delivers its messages one at a time, with no
// lock held, so the callback may call the device's functions on its own device; the messages
// such a call causes follow once the callback returns. Closing from inside the device's own
// callback cannot wait for that callback to return: the handle becomes invalid at once, and the
// messages still pending, then the close message, are delivered after the callback returns, and
// nothing after that. Closing from any other thread returns only after the close message has
// been delivered.
//
// Locks are taken in this order only: an input device's control mutex (it serialises the
// backend's Start and Stop), a backend's own lock, the device's mutex, then the output device's
// stream marks (QueueLocked keeps the screen as drawn: the marks' mutex, then the screen's), a
// part of the registry's, then the journal's. The core never calls its backend with the
// device's mutex held.
#ifndef QUORVEL_DEVICE_WAVE_DEVICE_H
#define QUORVEL_DEVICE_WAVE_DEVICE_H

#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "backends/backend.h"
#include "core/registry.h"
#include "settings/settings.h"

namespace quorvel::device::detail {

using Clock = std::chrono::steady_clock;

// What one direction's messages and handles are called.
struct DirectionNames {
    UINT open, close, data;
    const char* openName;
    const char* closeName;
    const char* dataName;
    const char* verb;  // "plays", "captures": what a fallback device does instead
};
const DirectionNames& NamesOf(Direction direction);

struct Message {
    UINT id;
    WAVEHDR* header;
    // A block played to its end (its callback usually queues the next), a buffer filled to
    // its end.
    bool full;
    std::uint64_t streamEnd = 0;  // output: where a played block ends in the device's stream
    Clock::time_point posted{};   // output: when a played block's message was posted
};

class WaveDevice : public virtual BackendDevice, public std::enable_shared_from_this<WaveDevice> {
  public:
    WaveDevice(Direction direction, const WAVEFORMATEX& format, DWORD_PTR callback,
               DWORD_PTR instance);
    virtual ~WaveDevice();
    WaveDevice(const WaveDevice&) = delete;
    WaveDevice& operator=(const WaveDevice&) = delete;

    // Opens a device of `direction` on the first backend of the settings that starts, and
    // puts its handle into *handle. `callback` is a function or 0.
    static MMRESULT Open(Direction direction, const WAVEFORMATEX& format, DWORD_PTR callback,
                         DWORD_PTR instance, std::uintptr_t* handle);
    // The open device of `direction` that `handle` names; null for any other value.
    static std::shared_ptr<WaveDevice> Find(Direction direction, std::uintptr_t handle);

    Direction direction() const { return direction_; }
    std::uintptr_t handle() const { return handle_; }
    bool lost() const { return lost_.load(); }

    // The calls both directions share, after the handle and the header were checked.
    MMRESULT Prepare(WAVEHDR* header);
    MMRESULT Unprepare(WAVEHDR* header);
    MMRESULT Queue(WAVEHDR* header);  // waveOutWrite, waveInAddBuffer
    MMRESULT Close();

    // Nothing queued, no message pending and no callback running.
    bool Idle();
    // The gate changed: what was held back may move.
    virtual void GateChanged();

    void Lost(const std::string& reason) final;

  protected:
    // Has the backend move what it can, now or, from inside this device's callback, once the
    // callback returns.
    void WakeBackend();
    // With the lock held.
    void PostLocked(const Message& message);
    // Counts of the direction.
    DeviceCounters& counters() { return registry_.counters; }
    // On a sound card (see BackendEntry::soundDevice).
    bool soundDevice() const { return soundDevice_; }
    // The backend, for the directions' own calls; null once closed.
    std::shared_ptr<Backend> backend();

    // What each direction adds, all with the lock held.
    virtual void QueueLocked(WAVEHDR* header) = 0;  // a checked header joins the queue
    virtual void ClosingLocked() {}                 // the handle was just made invalid
    virtual void LostLocked() = 0;                  // the queue was just emptied by a loss
    virtual void DeliveringLocked(const Message& /*message*/) {}  // its callback is next
    virtual void DeliveredLocked(const Message& /*message*/) {}   // its callback returned
    // Whether the next message waits for the backend to have played further: output on a sound
    // card, whose done messages go out as a block's end is heard.
    virtual bool AwaitsBackendLocked(const Message& /*message*/) { return false; }
    // How much longer the next message waits, given the bytes the backend holds unheard (its
    // UnheardBytes, asked without the lock at `taken`, the bytes it had read then); zero: none.
    virtual Clock::duration WaitLocked(std::uint64_t /*unheard*/, std::uint64_t /*taken*/) {
        return Clock::duration::zero();
    }
    // Bytes the backend has read since the open (output); with the lock held.
    virtual std::uint64_t TakenLocked() const { return 0; }

    const Direction direction_;
    DeviceRegistry& registry_;
    const std::size_t frameBytes_;
    std::mutex mutex_;
    std::condition_variable posted_;  // a message was posted, or a held one released
    bool closed_ = false;             // the handle was closed
    std::atomic<bool> lost_{false};   // written under mutex_, read also without it
    std::deque<WAVEHDR*> queue_;      // blocks in play order, buffers in fill order
    std::deque<Message> messages_;

  private:
    bool IsQueuedLocked(const WAVEHDR* header) const;
    void Run();
    void Deliver(const Message& message);

    const std::uintptr_t handle_;
    const DWORD_PTR callback_;  // LPWAVECALLBACK or LPWAVEINCALLBACK; 0 for none
    const DWORD_PTR instance_;
    bool soundDevice_ = false;
    std::shared_ptr<Backend> backend_;  // set before the device is published
    std::thread thread_;
    bool handling_ = false;           // a message is being delivered
    bool holding_ = false;            // the thread sleeps until the first message's block is heard
    bool wakeAfterCallback_ = false;  // the callback asked for the backend
};

}  // namespace quorvel::device::detail

#endif
