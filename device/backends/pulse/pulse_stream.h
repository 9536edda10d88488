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
#include <string>

#include "backends/backend.h"

namespace quorvel::device::detail {

// How long the server has to answer: a machine without one falls on to the next backend
// quickly; a busy one still answers.
constexpr auto kPulseAnswerLimit = std::chrono::milliseconds(2000);

// How long the playback buffer lasts: three quarter seconds.
constexpr std::chrono::milliseconds PulseBufferLength() {
    return std::chrono::milliseconds(750);
}

// A threaded mainloop of its own with one connection to the default server, which is never
// started for us (without one the next backend takes over), and once open one stream on it.
// Every call but Connect, Open and the destructor is made with the mainloop locked (Locked), or
// on the mainloop's thread, whose callbacks hold it.
class PulseStream {
  public:
    PulseStream() = default;
    // Disconnects (a stream still open is closed without draining) and stops the mainloop.
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Connects as `client`; false, with the reason in *problem, when the server cannot be
    // reached within kPulseAnswerLimit (timedOut() then says so) or refuses.
    bool Connect(const char* client, std::string* problem);
    // Connects and opens a stream of `direction` in exactly `format` on the sink or source
    // `name` (empty: the server's default), with a server-side buffer of PulseBufferLength():
    // capture corked; playback running, held by its prebuffer until the first quarter second
    // is written. `setUp` runs with the mainloop locked before the stream connects, to install
    // the stream's callbacks. False, with a sentence naming the device and format in *error,
    // when the server cannot be reached in time or refuses the stream. Once open, the loss of
    // the server or the stream is reported to `owner`, on the mainloop's thread.
    bool Open(Direction direction, const std::string& name, const WAVEFORMATEX& format,
              const std::function<void(pa_stream*)>& setUp, BackendDevice& owner,
              std::string* error);

    // Waits for `done` or for `limit` to pass; true when `done` came.
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);
    bool timedOut() const { return deadlinePassed_; }
    std::string ServerError() const { return pa_strerror(pa_context_errno(context_)); }
    pa_context* context() const { return context_; }
    pa_threaded_mainloop* loop() const { return loop_; }
    pa_stream* stream() const { return stream_; }
    bool failed() const { return failed_; }

    // Corks or uncorks the stream, or drops what the server holds of it, without waiting for
    // the server's answer.
    void Cork(bool corked);
    void Flush();
    // How long what was written takes to be heard (the server's buffer and the sink's
    // latency), interpolated between the server's timing reports, in *latency (0 once the
    // stream ran dry); false while the server has given no timing report since the stream
    // was flushed or started.
    bool Latency(std::chrono::microseconds* latency);
    // Waits until the server has played what the stream holds, at most `limit`; gives up at
    // once when the stream failed.
    void Drain(std::chrono::milliseconds limit);

    // Holds the mainloop's lock for a scope.
    class Locked {
      public:
        explicit Locked(const PulseStream& owner) : loop_(owner.loop_) {
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
    static void OnStreamState(pa_stream* stream, void* self);
    static void OnDeadline(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                           void* self);
    static void OnOperationDone(pa_stream* stream, int success, void* self);

    // On the mainloop's thread, once connected: creates and connects the stream; false, with
    // the reason in *problem, when the server refuses it.
    bool ConnectStream(Direction direction, const std::string& name, const WAVEFORMATEX& format,
                       const std::function<void(pa_stream*)>& setUp, std::string* problem);
    bool Usable() const { return stream_ != nullptr && !failed_; }
    // On the mainloop's thread: the connection or stream failed.
    void NoteFailure(const char* what);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::function<void()> onReady_;   // on the mainloop's thread, once connected
    BackendDevice* owner_ = nullptr;  // once open, until the loss is reported
    bool deadlinePassed_ = false;
    bool failed_ = false;  // the connection or stream failed
    bool operationDone_ = false;
};

}  // namespace quorvel::device::detail

#endif
