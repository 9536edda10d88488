// The sound device through PulseAudio's own client library: one connection and one stream per
// device, on a threaded mainloop of its own. What playback and capture share: connecting with a
// deadline, the stream for a wave format, waiting on the mainloop, and noticing the server's loss.
#ifndef QUORVEL_DEVICE_PULSE_STREAM_H
#define QUORVEL_DEVICE_PULSE_STREAM_H

#include <mmsystem.h>
#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backends/backend.h"

namespace quorvel::device::detail {

// A connection to the sound server with one stream. Every call but Open and the destructor is
// made with the mainloop locked (Locked), or on the mainloop's thread, whose callbacks hold it.
class PulseStream {
  public:
    // Called once, on the mainloop's thread, when the server or the stream goes away.
    using LostHandler = std::function<void(const std::string& reason)>;

    PulseStream() = default;
    // Disconnects (a stream still open is closed without draining) and stops the mainloop.
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Connects to the default server (no autospawn) and opens a stream of `direction` in
    // exactly `format` on the sink or source `device` (empty: the server's default), corked,
    // with `attr` as the server-side buffer. `setUp` runs with the
    // mainloop locked before the stream connects, to install the stream's callbacks. False,
    // with the reason in *problem, when the server cannot be reached within about 2 s or
    // refuses the stream.
    bool Open(Direction direction, const std::string& device, const WAVEFORMATEX& format,
              const pa_buffer_attr& attr, const std::function<void(pa_stream*)>& setUp,
              LostHandler onLost, std::string* problem);

    pa_stream* stream() const { return stream_; }
    bool failed() const { return failed_; }

    // Holds the mainloop's lock for a scope.
    class Locked {
      public:
        explicit Locked(PulseStream& owner) : loop_(owner.loop_) {
            pa_threaded_mainloop_lock(loop_);
        }
        ~Locked() { pa_threaded_mainloop_unlock(loop_); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

      private:
        pa_threaded_mainloop* loop_;
    };

    // Locked: corks or uncorks the stream without waiting for the server's answer.
    void Cork(bool corked);
    // Locked: drops what the server holds of the stream, without waiting.
    void Flush();
    // Locked: how long what was written takes to be heard (the server's buffer and the sink's
    // latency), interpolated between the server's timing reports, in *latency (0 once the
    // stream ran dry); false while the server has given no timing report since the stream
    // was flushed or started.
    bool Latency(std::chrono::microseconds* latency);
    // Locked: waits until the server has played what the stream holds, at most `limit`; gives up
    // at once when the stream failed.
    void Drain(std::chrono::milliseconds limit);

  private:
    static void OnContextState(pa_context* context, void* self);
    static void OnStreamState(pa_stream* stream, void* self);
    static void OnDeadline(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                           void* self);
    static void OnOperationDone(pa_stream* stream, int success, void* self);

    // Locked: waits for `done` or for `limit` to pass; true when `done` came.
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // The server's reason for the last failure, for sentences.
    std::string ServerError() const;
    // On the mainloop's thread: the connection or stream failed once it was up.
    void NoteFailure(const char* what);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    LostHandler onLost_;
    bool ready_ = false;   // the stream was ready: later failures are losses
    bool failed_ = false;  // the connection or stream failed
    bool deadlinePassed_ = false;
    bool operationDone_ = false;
};

// The server-side buffer for a stream in `format`, counted in quarter seconds: the module's
// blocks at 8000 Hz mono, one of which is in flight at a time. Playback holds three, asked for
// one at a time and started once one is there; capture comes one at a time.
pa_buffer_attr PulseBufferFor(const WAVEFORMATEX& format);
// How long the playback buffer of PulseBufferFor lasts.
std::chrono::milliseconds PulseBufferLength();

std::unique_ptr<Backend> CreatePulseOutput(const std::string& device);
std::unique_ptr<Backend> CreatePulseInput(const std::string& device);
std::vector<NamedDevice> ListPulseDevices(Direction direction);

}  // namespace quorvel::device::detail

#endif
