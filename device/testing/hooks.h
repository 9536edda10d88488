// The testing hooks as the rest of the services call them: journal lines, injected faults and
// handler timing (quorvel/device_testing.h is their side for tests).
#ifndef QUORVEL_DEVICE_TESTING_HOOKS_H
#define QUORVEL_DEVICE_TESTING_HOOKS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "quorvel/device_testing.h"

namespace quorvel::device::detail {

bool JournalOn();
void Journal(std::string line);
// A place for a line written later (0 while the journal is off), and its line; lines not yet
// written end the journal as readers see it.
std::uint64_t ReserveJournalLine();
void FillJournalLine(std::uint64_t slot, std::string line);

// The code to fail this call of `op` with, or 0 to let it run.
unsigned TakeFault(qwd_op op);

// Handler timing: whether it is on, and one output or input callback's duration.
bool TimingHandlers();
void NoteHandlerTime(bool output, std::chrono::nanoseconds time);

// Timing off and its times forgotten (for qwd_reset_all).
void ResetHandlerTimes();

}  // namespace quorvel::device::detail

#endif
