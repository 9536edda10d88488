// Journal, serial numbers, fault injection and thread priority, shared by every part of the
// services.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "core/internal.h"
#include "core/never_destroyed.h"

namespace quorvel::device {
namespace {

struct Fault {
    unsigned code = 0;
    int skip = 0;
    int count = 0;  // negative: every call
};

constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::kFileRead) + 1;

struct Control {
    std::mutex mutex;
    std::atomic<bool> journalOn{false};
    std::vector<std::string> journal;
    std::array<Fault, kOpCount> faults{};
};

Control& State() {
    return detail::NeverDestroyed<Control>();
}

std::atomic<std::uint64_t> serial{0};

}  // namespace

namespace detail {

bool JournalOn() {
    return State().journalOn.load(std::memory_order_acquire);
}

void Journal(std::string line) {
    Control& control = State();
    if (!control.journalOn.load(std::memory_order_acquire)) return;
    const std::lock_guard<std::mutex> lock(control.mutex);
    control.journal.push_back(std::move(line));
}

void RunAheadOfOrdinaryWork() {
    const sched_param lowestRealTime{sched_get_priority_min(SCHED_RR)};
    if (pthread_setschedparam(pthread_self(), SCHED_RR, &lowestRealTime) == 0) return;
    constexpr int kHigherPriority = -10;  // nice level
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kHigherPriority);
}

std::uint64_t NextSerial() {
    return serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::string HexColor(std::uint32_t colorref) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(colorref));
    return text;
}

unsigned TakeFault(Op op) {
    Control& control = State();
    const std::lock_guard<std::mutex> lock(control.mutex);
    Fault& fault = control.faults[static_cast<std::size_t>(op)];
    if (fault.count == 0) return 0;
    if (fault.skip > 0) {
        --fault.skip;
        return 0;
    }
    if (fault.count > 0) --fault.count;
    return fault.code;
}

}  // namespace detail

void EnableJournal(bool on) {
    State().journalOn.store(on, std::memory_order_release);
}

void ClearJournal() {
    Control& control = State();
    const std::lock_guard<std::mutex> lock(control.mutex);
    control.journal.clear();
}

std::vector<std::string> JournalEntries() {
    Control& control = State();
    const std::lock_guard<std::mutex> lock(control.mutex);
    return control.journal;
}

std::vector<std::string> JournalNames() {
    std::vector<std::string> names;
    for (const std::string& line : JournalEntries())
        names.push_back(line.substr(0, line.find('(')));
    return names;
}

void InjectFault(Op op, unsigned code, int skip, int count) {
    Control& control = State();
    const std::lock_guard<std::mutex> lock(control.mutex);
    control.faults[static_cast<std::size_t>(op)] = Fault{code, skip < 0 ? 0 : skip, count};
}

void ClearFaults() {
    Control& control = State();
    const std::lock_guard<std::mutex> lock(control.mutex);
    control.faults.fill(Fault{});
}

void ResetAll() {
    EnableJournal(false);
    ClearJournal();
    ClearFaults();
    TimeHandlers(false);
    detail::ResetHandlerTimes();
    detail::ResetScreenPart();
    detail::ResetDeviceParts();
}

}  // namespace quorvel::device
