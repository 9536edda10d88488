// The call journal: one line per Win32 call while it is on.
#include <atomic>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/call_result.h"
#include "base/never_destroyed.h"
#include "testing/hooks.h"

namespace quorvel::device::detail {
namespace {

// A slot is the line's index plus one, with the clearing it was reserved after in the high bits.
constexpr unsigned kIndexBits = 40;

struct JournalState {
    std::mutex mutex;
    std::atomic<bool> on{false};
    std::vector<std::optional<std::string>> lines;  // empty while reserved and not yet written
    std::size_t unwritten = 0;
    std::uint64_t clearings = 0;
};

JournalState& State() {
    return NeverDestroyed<JournalState>();
}

}  // namespace

bool JournalOn() {
    return State().on.load(std::memory_order_acquire);
}

void Journal(std::string line) {
    if (const std::uint64_t slot = ReserveJournalLine()) FillJournalLine(slot, std::move(line));
}

std::uint64_t ReserveJournalLine() {
    JournalState& journal = State();
    if (!JournalOn()) return 0;
    const std::lock_guard<std::mutex> lock(journal.mutex);
    journal.lines.emplace_back();
    ++journal.unwritten;
    return journal.clearings << kIndexBits | journal.lines.size();
}

void FillJournalLine(std::uint64_t slot, std::string line) {
    JournalState& journal = State();
    const std::lock_guard<std::mutex> lock(journal.mutex);
    const std::size_t index = (slot & ((std::uint64_t{1} << kIndexBits) - 1)) - 1;
    if (slot >> kIndexBits != journal.clearings || index >= journal.lines.size()) return;
    journal.lines[index] = std::move(line);
    --journal.unwritten;
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
    journal.unwritten = 0;
    ++journal.clearings;
}

const char* qwd_journal_entry(uint64_t index) {
    qd::JournalState& journal = qd::State();
    std::string line;
    {
        const std::lock_guard<std::mutex> lock(journal.mutex);
        if (index >= journal.lines.size()) return nullptr;
        for (std::uint64_t i = 0; journal.unwritten > 0 && i <= index; ++i) {
            if (!journal.lines[i]) return nullptr;
        }
        line = *journal.lines[static_cast<std::size_t>(index)];
    }
    return qd::ThreadText(std::move(line));
}

}  // extern "C"
