// Pieces shared by the device services' parts: handle serial numbers, thread priority, the
// testing hooks, and the reset hooks each part provides.
#ifndef QUORVEL_DEVICE_INTERNAL_H
#define QUORVEL_DEVICE_INTERNAL_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "testing/hooks.h"

namespace quorvel::device::detail {

// Puts the calling thread ahead of ordinary work where the system allows it: in the lowest
// real-time class, or else at a higher priority within the ordinary class; otherwise leaves it.
// For the threads a sound card waits on.
void RunAheadOfOrdinaryWork();

// Serial numbers for handles, shared by every kind so that journal names are unique.
std::uint64_t NextSerial();

// "0x00BBGGRR".
std::string HexColor(std::uint32_t colorref);

// Opens `path` for writing, created if missing, with `flags` added (O_APPEND or O_TRUNC), as a
// stdio stream in `mode`, without ever waiting on the open: a FIFO that no program reads is
// refused, not waited for. Null with the reason for a person in *reason (errno's message, or
// that it is a FIFO with no reader).
std::FILE* OpenForWriting(const std::string& path, int flags, const char* mode,
                          std::string* reason);

// Each part puts its own state back to defaults (called by qwd_reset_all).
void ResetScreenPart();
void ResetDeviceParts();

}  // namespace quorvel::device::detail

#endif
