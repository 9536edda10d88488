// The backend contract: what a backend must do to play or capture for a waveform device, on
// which thread, what it may call, and what it reports. Reading and writing are kept apart: an
// output backend reads the bytes that play from a PlaybackDevice, an input backend writes the
// bytes it captured into a CaptureDevice, and each direction sees only the calls that mean
// something for it.
//
// The device core (core/) owns everything Win32 promises: handles, the queue of blocks or
// buffers and their flags, the FIFO, the messages, the callback thread, the gate, the journal
// and the statistics. A backend only decides when bytes move.
//
// Threads. Open, Start, Stop, UnheardBytes and the destructor are called by the core without any
// device lock held, on the thread making the Win32 call (Stop possibly on the device's own callback
// thread). Wake and Discard may be called on any thread, also without a lock. The device's calls
// may be made from any thread, the backend's own or inside Wake, but never while the backend
// holds a lock the device could wait for: they take the device's lock themselves. How to add a
// backend: docs/ARCHITECTURE.md.
#ifndef QUORVEL_DEVICE_BACKEND_H
#define QUORVEL_DEVICE_BACKEND_H

#include <mmsystem.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::device::detail {

enum class Direction { kOutput, kInput };

// Real time: at the format's own rate; fast: as fast as the module queues blocks.
enum class Pace { kRealTime, kFast };

struct InputSource;  // a virtual input's samples (backends/virtual/source.h)

// What every device offers its backend.
class BackendDevice {
  public:
    // The sound device went away; `reason` names it for a person. Once only, from any thread.
    virtual void Lost(const std::string& reason) = 0;

  protected:
    ~BackendDevice() = default;
};

// An output device as its backend sees it.
class PlaybackDevice : public virtual BackendDevice {
  public:
    // Copies up to `bytes` of the audio that plays now into `out` (null when the backend has
    // nowhere to put it), in queue order, completing every block played to its end. Returns
    // the bytes read, less than `bytes` when nothing more can play now: queue empty, paused,
    // or the gate holding a block at its end.
    virtual std::size_t ReadPlayback(std::uint8_t* out, std::size_t bytes) = 0;

    // What a backend that must deliver audio on time (a sound card) may expect when a read
    // came back short.
    enum class Supply {
        kFlowing,     // audio can move now
        kRequeueDue,  // a block just ended and its done message is on its way to or in the
                      // callback, which usually queues the next block at once
        kIdle,        // nothing queued and nothing awaited: silence is expected
        kPaused,      // paused: silence is expected, and audio buffered ahead should wait
    };
    virtual Supply Outlook() = 0;
    // Silence now would be a gap in the audio: an underrun.
    static bool AudioExpected(Supply supply) {
        return supply == Supply::kFlowing || supply == Supply::kRequeueDue;
    }

    // A sound device played `frames` frames of silence: an underrun when `underrun`, else idle.
    virtual void NoteSilence(std::size_t frames, bool underrun) = 0;

  protected:
    ~PlaybackDevice() = default;
};

// An input device as its backend sees it.
class CaptureDevice : public virtual BackendDevice {
  public:
    // Takes `bytes` captured bytes (whole frames) from `data` into the queued buffers, or the
    // FIFO when none can take them; what finds no room is dropped and counted.
    virtual void WriteCapture(const std::uint8_t* data, std::size_t bytes) = 0;
    // The bytes the queued buffers can take now, while started and the gate open (never the
    // FIFO): for backends that capture only as much as the device has room for.
    virtual std::size_t CaptureRoom() = 0;
    // The sound device lost `frames` captured frames before they reached the backend (an
    // overrun): counted as dropped.
    virtual void NoteOverrun(std::size_t frames) = 0;

  protected:
    ~CaptureDevice() = default;
};

// What a device asks of its backend when it opens.
struct BackendRequest {
    Pace pace;                                  // the virtual device's; others keep their own
    std::shared_ptr<const InputSource> source;  // input: the virtual device's samples
    std::string device;  // a sound device by the name the backend lists; empty: its default
};

// A sound device a backend can open by name.
struct NamedDevice {
    std::string name;         // what BackendRequest::device takes
    std::string description;  // for a person, as the sound server gives it
    bool isDefault = false;   // the one opened when none is named
};

// What the core asks of a backend of either direction, once it is open.
class Backend {
  public:
    // Closes the backend: once it returns the backend never calls the device again.
    virtual ~Backend() = default;

    // Begins or resumes moving audio: output devices start at open, input devices at
    // waveInStart.
    virtual void Start() = 0;
    // Once it returns the backend reads or writes nothing until the next Start.
    virtual void Stop() = 0;
    // Something may be able to move now: a block or buffer queued, playback paused or
    // restarted, capture started, the gate opened, a callback returned. Never blocks for long; a
    // backend that moves audio as soon as the device has it may move it from inside.
    virtual void Wake() {}
    // Output: of the bytes read, how many are not yet heard (still in the backend's or its
    // sound server's buffers), as well as the backend can tell; 0 for a backend that plays
    // what it reads at once. The device shows hosts the screen drawn for the block heard now.
    virtual std::uint64_t UnheardBytes() { return 0; }
    // Output: the device was reset with blocks still queued or about to be (a done message on
    // its way to the callback), so playback was cut short; audio the backend holds beyond what
    // the device has (blocks already done) need not be heard. Called like Wake.
    virtual void Discard() {}
};

// Open gets ready to move audio in `format` (already checked as PCM the devices accept) for
// `device`, which outlives the backend; nothing moves before Start. False, with a sentence
// naming the device and format in *error, when it cannot.
class OutputBackend : public Backend {
  public:
    virtual bool Open(PlaybackDevice& device, const WAVEFORMATEX& format, std::string* error) = 0;
};
class InputBackend : public Backend {
  public:
    virtual bool Open(CaptureDevice& device, const WAVEFORMATEX& format, std::string* error) = 0;
};

// A backend's line in the table.
struct BackendEntry {
    const char* name;  // as settings and QUORVEL_OUTPUT / QUORVEL_INPUT name it
    // A backend not yet opened, never null; the function is null for a direction it lacks.
    std::unique_ptr<OutputBackend> (*createOutput)(const BackendRequest& request);
    std::unique_ptr<InputBackend> (*createInput)(const BackendRequest& request);
    // The sound devices it can open by name for a direction, or null for a backend without
    // named devices. Called on any thread; an empty list where its server cannot be reached.
    std::vector<NamedDevice> (*listDevices)(Direction direction);
    // Whether it opens a sound device by a name it does not list (ALSA's hw:0,0 or a pcm of an
    // asoundrc), or null.
    bool (*opensDevice)(Direction direction, const std::string& name);
    // A sound card: done messages keep the blocks' pace.
    bool soundDevice;

    bool Serves(Direction direction) const {
        return direction == Direction::kOutput ? createOutput != nullptr : createInput != nullptr;
    }
};

}  // namespace quorvel::device::detail

#endif
