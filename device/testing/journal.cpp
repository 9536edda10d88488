// The call journal: one line per Win32 call while it is on.
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "core/never_destroyed.h"
#include "host_api/call_result.h"
#include "testing/hooks.h"

namespace quorvel::device::detail {
namespace {

struct JournalState {
    std::mutex mutex;
    std::atomic<bool> on{false};
    std::vector<std::string> lines;
};

JournalState& State() {
    return NeverDestroyed<JournalState>();
}

}  // namespace

bool JournalOn() {
    return State().on.load(std::memory_order_acquire);
}

void Journal(std::string line) {
    JournalState& journal = State();
    if (!journal.on.load(std::memory_order_acquire)) return;
    const std::lock_guard<std::mutex> lock(journal.mutex);
    journal.lines.push_back(std::move(line));
}

void ResetJournal() {
    qwd_enable_journal(0);
    qwd_clear_journal();
}

}  // namespace quorvel::device::detail

namespace qd = quorvel::device::detail;

extern "C" {

void qwd_enable_journal(int32_t on) {
    qd::State().on.store(on != 0, std::memory_order_release);
}

void qwd_clear_journal(void) {
    qd::JournalState& journal = qd::State();
    const std::lock_guard<std::mutex> lock(journal.mutex);
    journal.lines.clear();
}

const char* qwd_journal_entry(uint64_t index) {
    qd::JournalState& journal = qd::State();
    std::string line;
    {
        const std::lock_guard<std::mutex> lock(journal.mutex);
        if (index >= journal.lines.size()) return nullptr;
        line = journal.lines[static_cast<std::size_t>(index)];
    }
    return qd::ThreadText(std::move(line));
}

}  // extern "C"
