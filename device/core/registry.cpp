#include "core/registry.h"

#include <algorithm>
#include <array>

#include "base/never_destroyed.h"

namespace quorvel::device::detail {
DeviceRegistry& RegistryOf(Direction direction) {
    return NeverDestroyed<std::array<DeviceRegistry, 2>>()[direction == Direction::kOutput ? 0 : 1];
}

void DeviceSet::Add(const std::shared_ptr<WaveDevice>& device, std::uintptr_t handle) {
    const std::lock_guard<std::mutex> lock(mutex_);
    open_.emplace(handle, device);
    live_.push_back(device);
}

void DeviceSet::CloseHandle(std::uintptr_t handle) {
    const std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(handle);
}

void DeviceSet::Retire(const std::shared_ptr<WaveDevice>& device) {
    const std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(std::remove(live_.begin(), live_.end(), device), live_.end());
}

std::shared_ptr<WaveDevice> DeviceSet::Find(std::uintptr_t handle) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(handle);
    return found == open_.end() ? nullptr : found->second;
}

std::shared_ptr<WaveDevice> DeviceSet::NewestOpen() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return open_.empty() ? nullptr : open_.rbegin()->second;
}

std::vector<std::shared_ptr<WaveDevice>> DeviceSet::Open() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<WaveDevice>> devices;
    for (const auto& entry : open_) devices.push_back(entry.second);
    return devices;
}

std::vector<std::shared_ptr<WaveDevice>> DeviceSet::Live() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return live_;
}

void Waiters::Notify() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++changes_;
    }
    changed_.notify_all();
}

void Waiters::Counted(std::uint64_t count) {
    if (count >= nearest_.load()) Notify();
}

bool Waiters::WaitForCount(const std::atomic<std::uint64_t>& messages, std::uint64_t count,
                           std::chrono::milliseconds timeout) {
    const auto nearest = [this] {
        nearest_.store(awaited_.empty() ? ~std::uint64_t{0} : *awaited_.begin());
    };
    std::multiset<std::uint64_t>::iterator awaited;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        awaited = awaited_.insert(count);
        nearest();
    }
    const bool reached = WaitFor(timeout, [&] { return messages.load() >= count; });
    const std::lock_guard<std::mutex> lock(mutex_);
    awaited_.erase(awaited);
    nearest();
    return reached;
}

void OpenNotices::Set(std::string backend, std::string fallback) {
    const std::lock_guard<std::mutex> lock(mutex_);
    backend_ = std::move(backend);
    fallback_ = std::move(fallback);
}

std::string OpenNotices::Backend() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return backend_;
}

std::string OpenNotices::Fallback() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fallback_;
}

bool Gate::Pass() {
    long units = units_.load();
    while (true) {
        if (units < 0) return true;
        if (units == 0) return false;
        if (units_.compare_exchange_weak(units, units - 1)) return true;
    }
}

void DeviceCounters::Reset() {
    for (std::atomic<std::uint64_t>* counter :
         {&opened, &closed, &lost, &queued, &completed, &messages, &moved, &dropped,
          &underrunFrames, &idleFrames}) {
        counter->store(0);
    }
}

}  // namespace quorvel::device::detail
