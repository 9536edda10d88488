// The testing hooks of quorvel/device_testing.h in C++ terms, inline over the C functions,
// beside the host-side API of quorvel/device.hpp.
#ifndef QUORVEL_DEVICE_TESTING_HPP
#define QUORVEL_DEVICE_TESTING_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quorvel/device.hpp"
#include "quorvel/device_testing.h"

namespace quorvel::device {

// ---- Call journal -----------------------------------------------------------------------
inline void EnableJournal(bool on) {
    qwd_enable_journal(on ? 1 : 0);
}
inline constexpr auto& ClearJournal = qwd_clear_journal;
inline std::vector<std::string> JournalEntries() {
    std::vector<std::string> entries;
    for (const char* line; (line = qwd_journal_entry(entries.size())) != nullptr;)
        entries.emplace_back(line);
    return entries;
}
// Just the names of the recorded calls, in order ("CreateDCW", "SelectObject", ...).
inline std::vector<std::string> JournalNames() {
    std::vector<std::string> names;
    for (const std::string& line : JournalEntries())
        names.push_back(line.substr(0, line.find('(')));
    return names;
}

// ---- Injected faults --------------------------------------------------------------------
inline void InjectFault(qwd_op op, unsigned code, int skip = 0, int count = 1) {
    qwd_inject_fault(op, code, skip, count);
}
inline constexpr auto& ClearFaults = qwd_clear_faults;

// ---- Handler timing ---------------------------------------------------------------------
inline void TimeHandlers(bool on) {
    qwd_time_handlers(on ? 1 : 0);
}

namespace c_api {

inline std::vector<std::chrono::nanoseconds> TakeTimes(std::size_t (*take)(std::int64_t*,
                                                                           std::size_t)) {
    // A piece at a time: benchmarks poll this while the devices run.
    constexpr std::size_t kPiece = 256;
    std::int64_t piece[kPiece];
    std::vector<std::chrono::nanoseconds> times;
    std::size_t taken = 0;
    do {
        taken = take(piece, kPiece);
        for (std::size_t i = 0; i < taken; ++i) times.emplace_back(piece[i]);
    } while (taken == kPiece);
    return times;
}

}  // namespace c_api

inline std::vector<std::chrono::nanoseconds> TakeOutputHandlerTimes() {
    return c_api::TakeTimes(qwd_take_output_handler_times);
}
inline std::vector<std::chrono::nanoseconds> TakeInputHandlerTimes() {
    return c_api::TakeTimes(qwd_take_input_handler_times);
}

}  // namespace quorvel::device

#endif
