// A connection to the PulseAudio server on a threaded mainloop, and one stream on it; the
// backends for both directions (pulse_backend.cpp) build on it.
#include "backends/pulse/pulse_stream.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/wave_format.h"

namespace quorvel::device::detail {
namespace {

const char* const kClientName = "QuorvelWaveForm";

// The server-side buffer for a stream in `format`, counted in quarter seconds: the module's
// blocks at 8000 Hz mono. Playback holds three (PulseBufferLength), asked for one at a time and
// started once one is there; capture comes one at a time.
pa_buffer_attr BufferFor(const WAVEFORMATEX& format) {
    const std::uint32_t quarter = std::max(format.nSamplesPerSec / 4, 1u) * format.nBlockAlign;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = 3 * quarter;
    attr.prebuf = quarter;
    attr.minreq = quarter;
    attr.fragsize = quarter;
    return attr;
}

// Lets an operation run on without waiting for it.
void Forget(pa_operation* operation) {
    if (operation != nullptr) pa_operation_unref(operation);
}

}  // namespace

PulseStream::~PulseStream() {
    if (loop_ == nullptr) return;
    if (context_ != nullptr) {
        const Locked lock(*this);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        if (stream_ != nullptr) {
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_write_callback(stream_, nullptr, nullptr);
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
            pa_stream_set_started_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

bool PulseStream::Connect(const char* client, std::string* problem) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) {
        *problem = "no memory for PulseAudio's mainloop";
        return false;
    }
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), client);
    if (context_ == nullptr) {
        *problem = "no memory for a PulseAudio connection";
        return false;
    }
    pa_context_set_state_callback(context_, &PulseStream::OnContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        *problem = ServerError();
        return false;
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
        *problem = "PulseAudio's mainloop thread did not start";
        return false;
    }
    const Locked lock(*this);
    const auto settled = [this] {
        const pa_context_state_t state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    const bool answered = WaitFor(settled, kPulseAnswerLimit);
    if (answered && pa_context_get_state(context_) == PA_CONTEXT_READY) return true;
    onReady_ = nullptr;  // what it would start waits no longer
    *problem = answered ? ServerError() : "the sound server did not answer within 2 s";
    return false;
}

bool PulseStream::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    timeval deadline{};
    pa_gettimeofday(&deadline);
    pa_timeval_add(&deadline, static_cast<pa_usec_t>(limit.count()) * PA_USEC_PER_MSEC);
    deadlinePassed_ = false;
    pa_time_event* event = api->time_new(api, &deadline, &PulseStream::OnDeadline, this);
    while (!done() && !deadlinePassed_) pa_threaded_mainloop_wait(loop_);
    api->time_free(event);
    return done();
}

void PulseStream::OnContextState(pa_context* context, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY && owner->onReady_) std::exchange(owner->onReady_, nullptr)();
    if (!PA_CONTEXT_IS_GOOD(state)) {
        owner->NoteFailure("that the connection to the sound server ended");
    }
    pa_threaded_mainloop_signal(owner->loop_, 0);
}

void PulseStream::OnDeadline(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                             const struct timeval* /*tv*/, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    owner->deadlinePassed_ = true;
    pa_threaded_mainloop_signal(owner->loop_, 0);
}

bool PulseStream::Open(Direction direction, const std::string& name, const WAVEFORMATEX& format,
                       const std::function<void(pa_stream*)>& setUp, BackendDevice& owner,
                       std::string* error) {
    // The stream is asked for from the mainloop's thread the moment the connection is ready,
    // saving a wake of this thread between the two exchanges with the server.
    bool refused = false;
    std::string refusal;
    onReady_ = [&] { refused = !ConnectStream(direction, name, format, setUp, &refusal); };
    std::string problem;
    if (Connect(kClientName, &problem)) {
        const Locked lock(*this);
        const auto streamSettled = [this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        };
        if (refused) {
            problem = refusal;
        } else if (WaitFor(streamSettled, kPulseAnswerLimit) &&
                   pa_stream_get_state(stream_) == PA_STREAM_READY) {
            owner_ = &owner;
            return true;
        } else {
            problem = ServerError();
        }
    }
    *error = "PulseAudio could not open " + SoundDeviceForPeople(name) + " for " +
             FormatForPeople(format) +
             (direction == Direction::kOutput ? " output (" : " capture (") + problem + ").";
    return false;
}

bool PulseStream::ConnectStream(Direction direction, const std::string& name,
                                const WAVEFORMATEX& format,
                                const std::function<void(pa_stream*)>& setUp,
                                std::string* problem) {
    pa_sample_spec sample{};
    sample.format = format.wBitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sample.rate = format.nSamplesPerSec;
    sample.channels = static_cast<std::uint8_t>(format.nChannels);
    pa_channel_map map{};
    pa_channel_map_init_extend(&map, sample.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_ = pa_stream_new(context_, kClientName, &sample, &map);
    if (stream_ == nullptr) {
        *problem = ServerError();
        return false;
    }
    setUp(stream_);
    pa_stream_set_state_callback(stream_, &PulseStream::OnStreamState, this);
    // Capture starts corked, at the device's start, and asks the source for a latency of one
    // fragment: otherwise the server passes on each piece as the source produces it, many
    // times a second. Playback starts running: its prebuffer holds it silent until the first
    // quarter second is there, so no uncork has to reach the server before the first sound;
    // it keeps the server's timing at hand, interpolated, for the latency of what it wrote.
    const auto flags = static_cast<pa_stream_flags_t>(
        direction == Direction::kInput
            ? PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY
            : PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    const char* const device = name.empty() ? nullptr : name.c_str();
    const pa_buffer_attr attr = BufferFor(format);
    const int connected =
        direction == Direction::kOutput
            ? pa_stream_connect_playback(stream_, device, &attr, flags, nullptr, nullptr)
            : pa_stream_connect_record(stream_, device, &attr, flags);
    if (connected < 0) *problem = ServerError();
    return connected >= 0;
}

void PulseStream::Cork(bool corked) {
    if (Usable()) Forget(pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr));
}

void PulseStream::Flush() {
    if (Usable()) Forget(pa_stream_flush(stream_, nullptr, nullptr));
}

bool PulseStream::Latency(std::chrono::microseconds* latency) {
    pa_usec_t usec = 0;
    int negative = 0;
    if (!Usable() || pa_stream_get_latency(stream_, &usec, &negative) < 0) return false;
    *latency = std::chrono::microseconds(negative != 0 ? 0 : usec);
    return true;
}

void PulseStream::Drain(std::chrono::milliseconds limit) {
    if (!Usable()) return;
    operationDone_ = false;
    pa_operation* operation = pa_stream_drain(stream_, &PulseStream::OnOperationDone, this);
    if (operation == nullptr) return;
    if (!WaitFor([this] { return operationDone_ || failed_; }, limit)) {
        pa_operation_cancel(operation);  // its callback must not come once we are gone
    }
    pa_operation_unref(operation);
}

void PulseStream::NoteFailure(const char* what) {
    failed_ = true;
    if (owner_ == nullptr) return;  // not open yet, or the loss is reported already
    std::exchange(owner_, nullptr)
        ->Lost(std::string("PulseAudio reports ") + what + " (" + ServerError() + ")");
}

void PulseStream::OnStreamState(pa_stream* stream, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        owner->NoteFailure("that the sound server ended the stream");
    }
    pa_threaded_mainloop_signal(owner->loop_, 0);
}

void PulseStream::OnOperationDone(pa_stream* /*stream*/, int /*success*/, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    owner->operationDone_ = true;
    pa_threaded_mainloop_signal(owner->loop_, 0);
}

}  // namespace quorvel::device::detail
