// The devices' settings, both directions: what ConfigureOutput / ConfigureInput or the
// QUORVEL_OUTPUT / QUORVEL_INPUT variables chose, checked and made ready once (a sink file
// opened, a source file loaded) for every device opened with them.
#ifndef QUORVEL_DEVICE_SETTINGS_H
#define QUORVEL_DEVICE_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "backends/backend.h"
#include "quorvel/device.h"

namespace quorvel::device::detail {

// One direction's settings, as qwd_configure_* or the text form give them (device.h says what
// each means).
struct OutputSettings {
    std::string backend = QWD_SETTINGS_BACKEND;
    Pace pace = Pace::kRealTime;
    std::string sinkFile;
    bool sinkMemory = false;
    std::string device;  // a sound device by its listed name; empty: the backend's default
};

struct InputSettings {
    std::string backend = QWD_SETTINGS_BACKEND;
    Pace pace = Pace::kRealTime;
    std::string source = QWD_SETTINGS_SOURCE;
    std::size_t fifoFrames = QWD_SETTINGS_FIFO_FRAMES;
    std::string device;
};

// Applies to devices opened afterwards; false, with a sentence in *error, for an unknown
// backend or source, or a sink file that cannot be created.
bool ConfigureOutput(const OutputSettings& settings, std::string* error);
bool ConfigureInput(const InputSettings& settings, std::string* error);
// The text form of QUORVEL_OUTPUT / QUORVEL_INPUT.
bool ParseOutputSettings(const std::string& text, OutputSettings* settings, std::string* error);
bool ParseInputSettings(const std::string& text, InputSettings* settings, std::string* error);

// Moves up to `capacity` of the bytes kept by memory sinks into `bytes`, oldest first.
std::size_t TakePlayedBytes(std::uint8_t* bytes, std::size_t capacity);
// The configured sink file's error sentence, or empty.
std::string OutputSinkError();

// Receives the bytes output devices play, in the order they play them: appends them to a file
// and/or keeps them for TakePlayedBytes. Shared by every device opened with the same settings.
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

// What a device opened now uses.
struct DeviceChoice {
    std::string backend;  // a table name or "default"
    Pace pace = Pace::kRealTime;
    std::shared_ptr<OutputSink> sink;           // output; null when no sink was asked for
    std::shared_ptr<const InputSource> source;  // input
    std::size_t fifoFrames = 0;                 // input
    std::string device;                         // by its listed name; empty: the default
};

// The last Configure call's choice, or else the environment variable's (defaults when it is
// unset or bad, said in one line on standard error), read at the first open after start or
// after ResetSettings.
DeviceChoice ChoiceForNewDevice(Direction direction);

// Back to defaults as at start (the variables will be read again), memory sink emptied.
void ResetSettings();

}  // namespace quorvel::device::detail

#endif
