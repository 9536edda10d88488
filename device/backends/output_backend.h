// The seam between an output device and whatever plays its audio. The device owns the queue of
// blocks, their flags, the messages and the callback thread; a backend only decides when bytes
// are played (a clock of its own, or a sound card asking for more) and pulls them from the
// device at that moment. The backends by name are in audio_backends.h.
#ifndef QUORVEL_DEVICE_OUTPUT_BACKEND_H
#define QUORVEL_DEVICE_OUTPUT_BACKEND_H

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

    // What a backend that must deliver audio on time (a sound card) may expect when Play came
    // back short.
    enum class Supply {
        kFlowing,     // queued audio is playable now
        kRequeueDue,  // a block just ended and its done message is still on its way to or in
                      // the callback, which usually queues the next block at once
        kIdle,        // paused, or nothing queued and nothing awaited: silence is expected
    };
    virtual Supply Outlook() = 0;

    // A sound device played `frames` frames of silence: an underrun when `underrun`, else idle.
    virtual void NoteSilence(std::size_t frames, bool underrun) = 0;

    // The sound device went away; `reason` names it for a person. Safe from any thread.
    virtual void Lost(const std::string& reason) = 0;

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
    // True when the device's callbacks must run promptly: a sound card waits for the requeue.
    virtual bool Urgent() const { return false; }
    // True when queued audio may be played as soon as it is queued. A block queued from the
    // device's own callback is then played by the device's thread once the callback returns,
    // without waking the backend: as fast as a thread can go, with no hand-over per block.
    virtual bool PlaysAtOnce() const { return false; }
};

// Plays on a clock of its own: in real time, or each block at once in fast pace.
std::unique_ptr<OutputBackend> CreateVirtualOutput(Pace pace);

}  // namespace quorvel::device::detail

#endif
