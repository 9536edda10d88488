// Serialises a host's calls of one kind (playback's two entry points, or recording's two), so
// that calls made at once from several threads behave as if made one after another. The
// handlers never take it: a start or stop may hold it while it waits for a handler to leave.
// A flag rather than a mutex, so that taking it allocates nothing on any platform.
#ifndef QWF_COMMON_ENTRY_LOCK_H
#define QWF_COMMON_ENTRY_LOCK_H

#include <atomic>
#include <chrono>
#include <thread>

namespace qwf {

class EntryLock {
  public:
    void Lock() {
        // A start or stop may wait up to a second for a device to close: after a few quick
        // tries the waiter sleeps rather than spins.
        constexpr int QUICK_TRIES = 64;
        for (int tries = 0; taken_.exchange(true, std::memory_order_acquire); ++tries) {
            if (tries < QUICK_TRIES) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    void Unlock() { taken_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> taken_{false};
};

class EntryScope {
  public:
    explicit EntryScope(EntryLock& lock) : lock_(lock) { lock_.Lock(); }
    ~EntryScope() { lock_.Unlock(); }
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;

  private:
    EntryLock& lock_;
};

}  // namespace qwf

#endif
