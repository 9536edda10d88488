// The values quorvel's options take besides the devices: colours and the capture's length.
#ifndef QUORVEL_HOST_CLI_OPTION_VALUES_H
#define QUORVEL_HOST_CLI_OPTION_VALUES_H

#include <cstdint>
#include <string>

#include "QuorvelWaveForm.h"

namespace quorvel::host {

constexpr const char* kDefaultTraceColor = "#33FF33";  // a phosphor green
constexpr const char* kDefaultBackColor = "#000000";

// "#RRGGBB" (the '#' may be left out, since an unquoted '#' starts a shell comment) into a
// COLORREF, 0x00BBGGRR. False for anything else.
bool ParseColor(const std::string& text, std::uint32_t* colorref);

// A capture block: 2000 samples at the capture rate, a quarter of a second.
constexpr double kCaptureBlockSeconds =
    static_cast<double>(QWF_BLOCK_BYTES) / (QWF_CAPTURE_RATE * QWF_CAPTURE_FRAME_BYTES);
// The longest capture, in whole seconds: its WAV sizes must fit in 32 bits, and the RIFF size
// counts the header's 36 bytes after it as well as the data.
constexpr std::uint64_t kMaxCaptureBlocks =
    (std::uint64_t{0xFFFFFFFF} - (QWF_WAV_HEADER_BYTES - 8)) / QWF_BLOCK_BYTES;
constexpr double kMaxCaptureSeconds =
    static_cast<double>(static_cast<std::uint64_t>(kMaxCaptureBlocks * kCaptureBlockSeconds));

// The capture format for a sentence: "8000 Hz mono 16-bit", or with ", " between its parts.
std::string CaptureFormatText(const char* separator = " ");

// The whole capture blocks (a quarter second each) that cover `seconds`; at least one.
std::uint64_t BlocksForSeconds(double seconds);

}  // namespace quorvel::host

#endif
