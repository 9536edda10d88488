// The sound device through PulseAudio's own client library: one connection and one stream per
// device, on a threaded mainloop of its own. What playback and capture share: connecting with a
// deadline, the stream for a wave format, waiting on the mainloop, and noticing the server's loss.
// The device list (pulse_devices.cpp) connects the same way.
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

// How long the server has to answer: a machine without one falls on to the next backend
// quickly; a busy one still answers.
constexpr auto kPulseAnswerLimit = std::chrono::milliseconds(2000);

// A threaded mainloop of its own with one connection to the default server, which is never
// started for us: without one the next backend takes over. Every call but Connect and the
// destructor is made with the mainloop locked (Locked), or on the mainloop's thread, whose
// callbacks hold it.
class PulseConnection {
  public:
    PulseConnection() = default;
    // Disconnects and stops the mainloop.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Connects as `client`; false, with the reason in *problem, when the server cannot be
    // reached within about 2 s (timedOut() then says so) or refuses. `onFailure` runs on the
    // mainloop's thread whenever the connection is seen failed.
    // `onReady`, when given, runs on the mainloop's thread as soon as the connection is ready,
    // before Connect returns: what needs the connection starts without waiting for us.
    bool Connect(const char* client, std::function<void()> onFailure, std::string* problem,
                 std::function<void()> onReady = nullptr);
    // Locked: waits for `done` or for `limit` to pass; true when `done` came.
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);
    bool timedOut() const { return deadlinePassed_; }
    // Locked: no more calls to `onFailure`.
    void Quiet() { onFailure_ = nullptr; }
    // The server's reason for the last failure, for sentences.
    std::string ServerError() const;
    pa_context* context() const { return context_; }
    pa_threaded_mainloop* loop() const { return loop_; }

    // Holds the mainloop's lock for a scope.
    class Locked {
      public:
        explicit Locked(const PulseConnection& owner) : loop_(owner.loop_) {
            pa_threaded_mainloop_lock(loop_);
        }
        ~Locked() { pa_threaded_mainloop_unlock(loop_); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

      private:
        pa_threaded_mainloop* loop_;
    };

  private:
    static void OnContextState(pa_context* context, void* self);
    static void OnDeadline(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                           void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::function<void()> onFailure_;
    std::function<void()> onReady_;
    bool deadlinePassed_ = false;
};

// A connection to the sound server with one stream. Every call but Open and the destructor is
// made with the mainloop locked (Locked), or on the mainloop's thread.
class PulseStream : public PulseConnection {
  public:
    PulseStream() = default;
    // Disconnects (a stream still open is closed without draining).
    ~PulseStream();

    // Connects and opens a stream of `direction` in exactly `format` on the sink or source
    // `name` (empty: the server's default), with the server-side buffer of PulseBufferLength:
    // capture corked; playback running, held by its prebuffer until the first quarter second
    // is written. `setUp` runs with the mainloop locked before the stream connects, to
    // install the stream's callbacks. False, with a sentence naming the device and format in
    // *error, when the server cannot be reached within about 2 s or refuses the stream. Once
    // open, the loss of the server or the stream is reported to `owner`, on the mainloop's
    // thread.
    bool Open(Direction direction, const std::string& name, const WAVEFORMATEX& format,
              const std::function<void(pa_stream*)>& setUp, BackendDevice& owner,
              std::string* error);

    pa_stream* stream() const { return stream_; }
    bool failed() const { return failed_; }

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
    static void OnStreamState(pa_stream* stream, void* self);
    static void OnOperationDone(pa_stream* stream, int success, void* self);

    bool OpenStream(Direction direction, const std::string& name, const WAVEFORMATEX& format,
                    const std::function<void(pa_stream*)>& setUp, std::string* problem);
    // On the mainloop's thread, once connected: creates and connects the stream; false, with
    // the reason in *problem, when the server refuses it.
    bool ConnectStream(Direction direction, const std::string& name, const WAVEFORMATEX& format,
                       const std::function<void(pa_stream*)>& setUp, std::string* problem);
    // On the mainloop's thread: the connection or stream failed once it was up.
    void NoteFailure(const char* what);

    pa_stream* stream_ = nullptr;
    BackendDevice* owner_ = nullptr;  // until the loss is reported
    bool ready_ = false;              // the stream was ready: later failures are losses
    bool failed_ = false;             // the connection or stream failed
    bool operationDone_ = false;
};

// How long the playback buffer lasts: three quarter seconds.
std::chrono::milliseconds PulseBufferLength();

}  // namespace quorvel::device::detail

#endif
