// The seam between the waveform input devices and what actually captures sound. A backend
// produces samples at its own pace and hands them to the device layer, which owns the FIFO,
// the buffer queue, the header flags, the messages and the callback thread.
#ifndef QUORVEL_DEVICE_INPUT_BACKEND_H
#define QUORVEL_DEVICE_INPUT_BACKEND_H

#include <mmsystem.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "quorvel/device.h"

namespace quorvel::device::detail {

// Receives captured frames; implemented by the device layer.
class InputSink {
  public:
    // `count` whole frames in the device's format, called on the backend's own thread.
    virtual void Capture(const std::uint8_t* frames, std::size_t count) = 0;
    // The sound device went away; `reason` names it for a person. Safe from any thread.
    virtual void Lost(const std::string& reason) = 0;

  protected:
    ~InputSink() = default;
};

// One device's capture. Two kinds exist:
// - paced backends hand frames to the sink from their own thread between Start and Stop;
// - on-demand backends never call the sink: the device asks them through Produce whenever a
//   queued buffer needs samples, so they never run ahead of the buffers.
class InputBackend {
  public:
    virtual ~InputBackend() = default;

    virtual bool OnDemand() const = 0;
    // Begins (or resumes) capture. Called without any device lock held.
    virtual void Start() = 0;
    // Once Stop returns the sink is not called again until the next Start. Called without any
    // device lock held, possibly from the device's callback thread.
    virtual void Stop() = 0;
    // On-demand backends only: writes `count` frames into `out` now. Called with the device
    // lock held, so it must not call back into the device.
    virtual void Produce(std::uint8_t* out, std::size_t count) = 0;
    // Ends capture for good before the device goes: once it returns the backend never calls
    // the sink again. Called without any device lock held.
    virtual void Close() { Stop(); }
    // The table name of the backend ("sdl", "virtual").
    virtual const char* Name() const = 0;
};

// Makes backends for devices opened with one set of input settings.
class InputBackendFactory {
  public:
    virtual ~InputBackendFactory() = default;
    // A backend capturing in `format` (already checked as valid PCM) for one device. On failure
    // returns null, puts the MMRESULT for waveInOpen into *result and a sentence saying why into
    // *problem.
    virtual std::unique_ptr<InputBackend> Open(const WAVEFORMATEX& format, InputSink& sink,
                                               MMRESULT* result, std::string* problem) const = 0;
};

// The virtual backend: checks the source ("silence", "tone:HZ", "ramp", "file:PATH") and loads
// a file source once, so every device opened with these settings shares it. Null, with a
// sentence naming the bad value in *error, when the source is unknown or cannot be read.
std::shared_ptr<const InputBackendFactory> MakeVirtualInputFactory(const InputSettings& settings,
                                                                   std::string* error);

// Checks only the text of a virtual source (not whether a file can be read), for parsing.
bool CheckVirtualSourceText(const std::string& source, std::string* error);

}  // namespace quorvel::device::detail

#endif
