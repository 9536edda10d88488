// One direction's shared state, in parts that change for different reasons: the open devices,
// those waiting on them, what the last open chose, the gate and the counters. Never destroyed:
// device threads use it while the process exits.
#ifndef QUORVEL_DEVICE_REGISTRY_H
#define QUORVEL_DEVICE_REGISTRY_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "backends/backend.h"

namespace quorvel::device::detail {

class WaveDevice;

// The handles that are valid, and the devices whose thread still runs.
class DeviceSet {
  public:
    void Add(const std::shared_ptr<WaveDevice>& device, std::uintptr_t handle);
    void CloseHandle(std::uintptr_t handle);
    void Retire(const std::shared_ptr<WaveDevice>& device);
    std::shared_ptr<WaveDevice> Find(std::uintptr_t handle);
    std::shared_ptr<WaveDevice> NewestOpen();
    std::vector<std::shared_ptr<WaveDevice>> Open();
    std::vector<std::shared_ptr<WaveDevice>> Live();

  private:
    std::mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<WaveDevice>> open_;
    std::vector<std::shared_ptr<WaveDevice>> live_;
};

// Hosts waiting for the devices to run out or for a count of messages.
class Waiters {
  public:
    // A device may have become idle or retired.
    void Notify();
    // `count` messages were handled: wakes whoever waits for that many.
    void Counted(std::uint64_t count);
    // Waits until `done` holds (asked without the lock) or the timeout passes.
    template <typename Done>
    bool WaitFor(std::chrono::milliseconds timeout, Done done);
    bool WaitForCount(const std::atomic<std::uint64_t>& messages, std::uint64_t count,
                      std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;
    std::multiset<std::uint64_t> awaited_;  // the counts WaitForCount callers wait for
    std::atomic<std::uint64_t> nearest_{~std::uint64_t{0}};
};

// What the device opened last chose, for hosts.
class OpenNotices {
  public:
    void Set(std::string backend, std::string fallback);
    std::string Backend();
    std::string Fallback();

  private:
    std::mutex mutex_;
    std::string backend_;
    std::string fallback_;
};

// Blocks or buffers the devices may still complete; negative: no limit.
class Gate {
  public:
    long load() const { return units_.load(); }
    void Set(long units) { units_.store(units); }
    // Uses one unit; false when shut.
    bool Pass();

  private:
    std::atomic<long> units_{-1};
};

// One direction's counters; the host API reads them as OutputStats and InputStats.
struct DeviceCounters {
    std::atomic<std::uint64_t> opened{0};
    std::atomic<std::uint64_t> closed{0};
    std::atomic<std::uint64_t> lost{0};
    std::atomic<std::uint64_t> queued{0};          // blocks written (output)
    std::atomic<std::uint64_t> completed{0};       // blocks played to their end, buffers filled
    std::atomic<std::uint64_t> messages{0};        // done and data messages handed to a callback
    std::atomic<std::uint64_t> moved{0};           // bytes played (output), frames captured (input)
    std::atomic<std::uint64_t> dropped{0};         // frames the FIFO had no room for (input)
    std::atomic<std::uint64_t> underrunFrames{0};  // silence of a sound device (output)
    std::atomic<std::uint64_t> idleFrames{0};
    void Reset();
};

struct DeviceRegistry {
    DeviceSet devices;
    Waiters waiters;
    OpenNotices notices;
    Gate gate;
    DeviceCounters counters;
};
DeviceRegistry& RegistryOf(Direction direction);

inline bool PassGate(DeviceRegistry& registry) {
    return registry.gate.Pass();
}

template <typename Done>
bool Waiters::WaitFor(std::chrono::milliseconds timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        const std::uint64_t seen = changes_;
        lock.unlock();
        const bool reached = done();
        lock.lock();
        if (reached) return true;
        if (!changed_.wait_until(lock, deadline, [&] { return changes_ != seen; })) return false;
    }
}

}  // namespace quorvel::device::detail

#endif
