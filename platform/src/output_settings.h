// The output devices' settings and sinks: what ConfigureOutput or QUORVEL_OUTPUT chose, and
// where the bytes every device plays are copied to.
#ifndef QUORVEL_PLATFORM_OUTPUT_SETTINGS_H
#define QUORVEL_PLATFORM_OUTPUT_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "quorvel/device.h"

namespace quorvel::device::detail {

// Receives the bytes devices play, in the order they play them: appends them to a file and/or
// keeps them for TakePlayedBytes(). Shared by every device opened with the same settings.
class OutputSink {
  public:
    OutputSink(std::FILE* file, std::string path, bool memory)
        : file_(file), path_(std::move(path)), memory_(memory) {}
    ~OutputSink();
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    void Write(const std::uint8_t* bytes, std::size_t count);
    // Empty until the file stops taking bytes; then why, in one sentence naming it.
    std::string FileError();

  private:
    std::mutex mutex_;
    std::FILE* const file_;  // may be null
    const std::string path_;
    const bool memory_;
    std::string fileError_;  // set once: after it the file gets no more bytes
};

struct OutputChoice {
    OutputSettings settings;
    std::shared_ptr<OutputSink> sink;  // null when no sink was asked for
};

// What a device opened now uses: the last ConfigureOutput, or else QUORVEL_OUTPUT (defaults when
// it is unset or bad), read on the first open after start or after ResetOutputSettings.
OutputChoice OutputForNewDevice();

// Back to defaults as at start (QUORVEL_OUTPUT will be read again), memory sink emptied.
void ResetOutputSettings();

}  // namespace quorvel::device::detail

#endif
