// Handler timing: how long the module's callbacks take on the devices' threads, for
// benchmarks. Off by default, so a device pays one relaxed load per message.
#include <atomic>
#include <deque>
#include <mutex>

#include "core/internal.h"
#include "core/never_destroyed.h"

namespace quorvel::device {
namespace detail {
namespace {

std::atomic<bool> timing{false};

struct Times {
    std::mutex mutex;
    std::deque<std::chrono::nanoseconds> output;
    std::deque<std::chrono::nanoseconds> input;
};

Times& State() {
    return NeverDestroyed<Times>();
}

void Note(std::deque<std::chrono::nanoseconds>& kept, std::chrono::nanoseconds time) {
    if (kept.size() == kHandlerTimesKept) kept.pop_front();
    kept.push_back(time);
}

std::vector<std::chrono::nanoseconds> Take(std::deque<std::chrono::nanoseconds>& kept) {
    std::vector<std::chrono::nanoseconds> taken(kept.begin(), kept.end());
    kept.clear();
    return taken;
}

}  // namespace

bool TimingHandlers() {
    return timing.load(std::memory_order_relaxed);
}

void NoteOutputHandlerTime(std::chrono::nanoseconds time) {
    const std::lock_guard<std::mutex> lock(State().mutex);
    Note(State().output, time);
}

void NoteInputHandlerTime(std::chrono::nanoseconds time) {
    const std::lock_guard<std::mutex> lock(State().mutex);
    Note(State().input, time);
}

void ResetHandlerTimes() {
    const std::lock_guard<std::mutex> lock(State().mutex);
    State().output.clear();
    State().input.clear();
}

}  // namespace detail

void TimeHandlers(bool on) {
    detail::timing.store(on);
}

std::vector<std::chrono::nanoseconds> TakeOutputHandlerTimes() {
    const std::lock_guard<std::mutex> lock(detail::State().mutex);
    return detail::Take(detail::State().output);
}

std::vector<std::chrono::nanoseconds> TakeInputHandlerTimes() {
    const std::lock_guard<std::mutex> lock(detail::State().mutex);
    return detail::Take(detail::State().input);
}

}  // namespace quorvel::device
