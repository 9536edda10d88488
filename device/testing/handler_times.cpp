// Handler timing: how long the module's callbacks take on the devices' threads, for
// benchmarks. Off by default, so a device pays one relaxed load per message.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "base/never_destroyed.h"
#include "testing/hooks.h"

namespace quorvel::device::detail {
namespace {

std::atomic<bool> timing{false};

struct Times {
    std::mutex mutex;
    std::deque<std::chrono::nanoseconds> kept[2];  // output, input
};

Times& State() {
    return NeverDestroyed<Times>();
}

std::size_t Take(bool output, std::int64_t* nanoseconds, std::size_t capacity) {
    const std::lock_guard<std::mutex> lock(State().mutex);
    std::deque<std::chrono::nanoseconds>& kept = State().kept[output ? 0 : 1];
    const std::size_t count = nanoseconds == nullptr ? 0 : std::min(capacity, kept.size());
    for (std::size_t i = 0; i < count; ++i) nanoseconds[i] = kept[i].count();
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

}  // namespace

bool TimingHandlers() {
    return timing.load(std::memory_order_relaxed);
}

void NoteHandlerTime(bool output, std::chrono::nanoseconds time) {
    const std::lock_guard<std::mutex> lock(State().mutex);
    std::deque<std::chrono::nanoseconds>& kept = State().kept[output ? 0 : 1];
    if (kept.size() == QWD_HANDLER_TIMES_KEPT) kept.pop_front();
    kept.push_back(time);
}

void ResetHandlerTimes() {
    timing.store(false);
    const std::lock_guard<std::mutex> lock(State().mutex);
    for (auto& kept : State().kept) kept.clear();
}

}  // namespace quorvel::device::detail

namespace qd = quorvel::device::detail;

extern "C" {

void qwd_time_handlers(int32_t on) {
    qd::timing.store(on != 0);
}

size_t qwd_take_output_handler_times(int64_t* nanoseconds, size_t capacity) {
    return qd::Take(true, nanoseconds, capacity);
}

size_t qwd_take_input_handler_times(int64_t* nanoseconds, size_t capacity) {
    return qd::Take(false, nanoseconds, capacity);
}

}  // extern "C"
