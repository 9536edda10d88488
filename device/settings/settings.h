// The devices' settings, both directions: what qwd_configure_* or the QUORVEL_OUTPUT /
// QUORVEL_INPUT variables chose, checked and made ready once (a sink file opened, a source file
// loaded) for every device opened with them.
#ifndef QUORVEL_DEVICE_SETTINGS_H
#define QUORVEL_DEVICE_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "backends/backend.h"
#include "quorvel/device.h"

namespace quorvel::device::detail {

// One direction's settings, as the C structs or the text form give them (device.h says what
// each means); the other direction's fields keep their defaults.
struct Settings {
    std::string backend = QWD_SETTINGS_BACKEND;
    Pace pace = Pace::kRealTime;
    std::string device;    // a sound device by its listed name; empty: the backend's default
    std::string sinkFile;  // output
    bool sinkMemory = false;
    std::string source = QWD_SETTINGS_SOURCE;  // input
    std::size_t fifoFrames = QWD_SETTINGS_FIFO_FRAMES;
};

// Applies to devices opened afterwards; false, with a sentence in *error, for an unknown
// backend or source, or a sink file that cannot be created.
bool Configure(Direction direction, const Settings& settings, std::string* error);
// The text form of QUORVEL_OUTPUT / QUORVEL_INPUT.
bool ParseSettings(Direction direction, const std::string& text, Settings* settings,
                   std::string* error);

// Moves up to `capacity` of the bytes kept by memory sinks into `bytes`, oldest first.
std::size_t TakePlayedBytes(std::uint8_t* bytes, std::size_t capacity);
// The configured sink file's error sentence, or empty.
std::string OutputSinkError();

// Sees every byte output devices play, in the order they play it, before the block's done
// message goes out: the sinks.
class PlaybackTap {
  public:
    virtual void Played(const std::uint8_t* bytes, std::size_t count) = 0;

  protected:
    ~PlaybackTap() = default;
};

// What a device opened now uses: its settings, made ready.
struct DeviceChoice {
    Settings settings;
    std::shared_ptr<PlaybackTap> tap;           // output; null when no sink was asked for
    std::shared_ptr<const InputSource> source;  // input
};

// The last Configure call's choice, or else the environment variable's (defaults when it is
// unset or bad, said in one line on standard error), read at the first open after start or
// after ResetSettings.
DeviceChoice ChoiceForNewDevice(Direction direction);

// Back to defaults as at start (the variables will be read again), memory sink emptied.
void ResetSettings();

}  // namespace quorvel::device::detail

#endif
