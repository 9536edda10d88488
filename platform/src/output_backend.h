// The seam between an output device and whatever plays its audio. The device owns the queue of
// blocks, their flags, the messages and the callback thread; a backend only decides when bytes
// are played (a clock of its own, or a sound card asking for more) and pulls them from the
// device at that moment.
#ifndef QUORVEL_PLATFORM_OUTPUT_BACKEND_H
#define QUORVEL_PLATFORM_OUTPUT_BACKEND_H

#include <mmsystem.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "quorvel/device.h"

namespace quorvel::device::detail {

// The device as a backend sees it.
class OutputFeed {
  public:
    // Plays up to `capacity` bytes of queued audio, in queue order: copies them into
    // `destination` (null when the backend has nowhere to put them), hands them to the sinks and
    // completes every block played to its end. Returns the number of bytes played, which is less
    // than `capacity` when nothing more can play now (queue empty, paused, or the gate holds a
    // block at its end). Safe to call from any thread; never calls the backend back.
    virtual std::size_t Play(std::uint8_t* destination, std::size_t capacity) = 0;

  protected:
    ~OutputFeed() = default;
};

class OutputBackend {
  public:
    virtual ~OutputBackend() = default;

    // Starts pulling audio in `format` from `feed`, which outlives the backend. False, with a
    // sentence in *error, when the backend cannot play.
    virtual bool Start(OutputFeed& feed, const WAVEFORMATEX& format, std::string* error) = 0;
    // Something may have become playable (a block queued, playback restarted, the gate opened).
    // Never blocks; the device calls it without holding its own lock.
    virtual void Wake() = 0;
    // Stops pulling. When it returns the backend never calls the feed again.
    virtual void Stop() = 0;
};

bool IsKnownOutputBackend(const std::string& name);

// The backend named `name`, not yet started; null for an unknown name.
std::unique_ptr<OutputBackend> CreateOutputBackend(const std::string& name, Pace pace);

// Plays on a clock of its own: in real time, or each block at once in fast pace.
std::unique_ptr<OutputBackend> CreateVirtualOutput(Pace pace);

}  // namespace quorvel::device::detail

#endif
