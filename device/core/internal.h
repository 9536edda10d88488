// Pieces shared by the device services' parts: the call journal, handle serial numbers,
// injected faults, and the reset hooks each part provides.
#ifndef QUORVEL_DEVICE_INTERNAL_H
#define QUORVEL_DEVICE_INTERNAL_H

#include <chrono>
#include <cstdint>
#include <string>

#include "quorvel/device.h"

namespace quorvel::device::detail {

bool JournalOn();
void Journal(std::string line);

// Puts the calling thread ahead of ordinary work where the system allows it: in the lowest
// real-time class, or else at a higher priority within the ordinary class; otherwise leaves it.
// For the threads a sound card waits on.
void RunAheadOfOrdinaryWork();

// Handler timing: whether it is on, and one callback's duration.
bool TimingHandlers();
void NoteOutputHandlerTime(std::chrono::nanoseconds time);
void NoteInputHandlerTime(std::chrono::nanoseconds time);

// Serial numbers for handles, shared by every kind so that journal names are unique.
std::uint64_t NextSerial();

// "0x00BBGGRR".
std::string HexColor(std::uint32_t colorref);

// The code to fail this call of `op` with, or 0 to let it run.
unsigned TakeFault(Op op);

// Each part puts its own state back to defaults (called by ResetAll).
void ResetScreenPart();
void ResetDeviceParts();
void ResetHandlerTimes();

}  // namespace quorvel::device::detail

#endif
