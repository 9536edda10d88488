// The output and input backends on PulseAudio. Output: the server asks for audio when a quarter
// second of its three-quarter-second buffer is free, and each queued block is written as soon as
// the device has it; the device sends a block's done message once the stream's latency says its
// end is heard, and the next block is already written by then. Input: the server hands over a
// quarter second at a time, passed straight to the device. Callbacks run on the mainloop's
// thread with its lock held; the device's calls into the backend take that lock first.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "backends/pulse/pulse_stream.h"
#include "base/wave_format.h"

namespace quorvel::device::detail {
namespace {

using Clock = std::chrono::steady_clock;

// The drain at close waits for the buffer to play out, and a little longer.
constexpr auto kDrainSlack = std::chrono::milliseconds(1000);

class PulseOutput final : public OutputBackend {
  public:
    explicit PulseOutput(std::string device) : name_(std::move(device)) {}
    // Plays out what the server holds (a file that ended was reset without a discard), then
    // closes.
    ~PulseOutput() override {
        if (device_ == nullptr) return;
        const PulseStream::Locked lock(stream_);
        running_ = false;
        if (corked_) stream_.Cork(false);
        stream_.Drain(PulseBufferLength() + kDrainSlack);
        EndSilence();
    }
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    bool Open(PlaybackDevice& device, const WAVEFORMATEX& format, std::string* error) override {
        frameBytes_ = format.nBlockAlign;
        rate_ = format.nSamplesPerSec;
        const auto setUp = [this](pa_stream* stream) {
            pa_stream_set_write_callback(stream, &PulseOutput::OnWritable, this);
            pa_stream_set_underflow_callback(stream, &PulseOutput::OnUnderflow, this);
            pa_stream_set_started_callback(stream, &PulseOutput::OnStarted, this);
        };
        if (!stream_.Open(Direction::kOutput, name_, format, setUp, device, error)) return false;
        device_ = &device;
        return true;
    }

    void Start() override {
        const PulseStream::Locked lock(stream_);
        running_ = true;
        Pump();
    }

    void Stop() override {
        const PulseStream::Locked lock(stream_);
        running_ = false;
    }

    void Wake() override {
        const PulseStream::Locked lock(stream_);
        Pump();
    }

    std::uint64_t UnheardBytes() override {
        const PulseStream::Locked lock(stream_);
        // Between timing reports (after a flush, say) the last latency known stands; taking it
        // for 0 would present the newest screen, drawn for blocks not heard for a while yet.
        std::chrono::microseconds latency{};
        if (stream_.Latency(&latency)) lastLatency_ = latency;
        return static_cast<std::uint64_t>(lastLatency_.count()) * rate_ / 1000000 * frameBytes_;
    }

    // Skipping or quitting mid-file stops the sound now, not three quarters of a second later.
    void Discard() override {
        const PulseStream::Locked lock(stream_);
        stream_.Flush();
    }

  private:
    static void OnWritable(pa_stream* /*stream*/, std::size_t /*bytes*/, void* self) {
        static_cast<PulseOutput*>(self)->Pump();
    }
    static void OnUnderflow(pa_stream* /*stream*/, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        if (!output->running_) return;
        output->BeginSilence(PlaybackDevice::AudioExpected(output->device_->Outlook()));
    }
    static void OnStarted(pa_stream* /*stream*/, void* self) {
        static_cast<PulseOutput*>(self)->EndSilence();
    }

    // Locked: writes what the device has into the room the server's buffer has, and holds the
    // buffer while the device is paused.
    void Pump() {
        if (!running_ || stream_.failed()) return;
        pa_stream* const stream = stream_.stream();
        if (device_->Outlook() == PlaybackDevice::Supply::kPaused) {
            if (corked_) return;
            stream_.Cork(true);
            corked_ = true;
            BeginSilence(false);
            return;
        }
        if (corked_) {
            stream_.Cork(false);
            // Resumed, the server may wait for its prebuffer again, which the two blocks it
            // holds (done messages go out as blocks are heard) need not fill: it starts now.
            if (pa_operation* trigger = pa_stream_trigger(stream, nullptr, nullptr)) {
                pa_operation_unref(trigger);
            }
            corked_ = false;
            EndSilence();
        }
        while (true) {
            std::size_t room = pa_stream_writable_size(stream);
            if (room == static_cast<std::size_t>(-1) || room < frameBytes_) return;
            void* buffer = nullptr;
            if (pa_stream_begin_write(stream, &buffer, &room) < 0 || buffer == nullptr) return;
            room -= room % frameBytes_;
            const std::size_t moved =
                device_->ReadPlayback(static_cast<std::uint8_t*>(buffer), room);
            if (moved == 0) {
                pa_stream_cancel_write(stream);
                return;
            }
            pa_stream_write(stream, buffer, moved, nullptr, 0, PA_SEEK_RELATIVE);
            if (moved < room) return;
        }
    }

    // The server plays silence for this stream from now on: an underrun, or idle.
    void BeginSilence(bool underrun) {
        if (silentSince_ != Clock::time_point{}) return;
        silentSince_ = Clock::now();
        silenceIsUnderrun_ = underrun;
    }
    // The stream sounds again: the silence is counted by its length.
    void EndSilence() {
        if (silentSince_ == Clock::time_point{}) return;
        const auto silent = std::chrono::duration_cast<std::chrono::microseconds>(
            Clock::now() - std::exchange(silentSince_, Clock::time_point{}));
        device_->NoteSilence(static_cast<std::size_t>(silent.count() * rate_ / 1000000),
                             silenceIsUnderrun_);
    }

    PulseStream stream_;      // first: destroyed last, after the drain
    const std::string name_;  // of the sink; empty: the server's default
    PlaybackDevice* device_ = nullptr;
    std::size_t frameBytes_ = 1;
    std::uint64_t rate_ = 0;
    // With the mainloop locked.
    bool running_ = false;
    bool corked_ = false;  // the stream opens running, held by its prebuffer
    Clock::time_point silentSince_{};
    bool silenceIsUnderrun_ = false;
    // Until the first timing report: the buffer the stream starts with.
    std::chrono::microseconds lastLatency_ = PulseBufferLength();
};

class PulseInput final : public InputBackend {
  public:
    explicit PulseInput(std::string device) : name_(std::move(device)) {}
    ~PulseInput() override = default;
    PulseInput(const PulseInput&) = delete;
    PulseInput& operator=(const PulseInput&) = delete;

    // Opens the stream corked.
    bool Open(CaptureDevice& device, const WAVEFORMATEX& format, std::string* error) override {
        silence_ = format.wBitsPerSample == 8 ? 0x80 : 0;
        const auto setUp = [this](pa_stream* stream) {
            pa_stream_set_read_callback(stream, &PulseInput::OnReadable, this);
        };
        if (!stream_.Open(Direction::kInput, name_, format, setUp, device, error)) return false;
        device_ = &device;
        return true;
    }

    void Start() override {
        const PulseStream::Locked lock(stream_);
        capturing_ = true;
        stream_.Cork(false);
    }

    // Callbacks hold the lock, so once it is ours no fragment is being handed over, and the
    // flag turns away any that arrive until the next Start.
    void Stop() override {
        const PulseStream::Locked lock(stream_);
        capturing_ = false;
        stream_.Cork(true);
    }

  private:
    static void OnReadable(pa_stream* stream, std::size_t /*bytes*/, void* self) {
        static_cast<PulseInput*>(self)->Take(stream);
    }

    void Take(pa_stream* stream) {
        while (pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
            if (capturing_) {
                if (data == nullptr) {  // a hole the server lost: silence keeps the time
                    holeFill_.assign(bytes, silence_);
                    data = holeFill_.data();
                }
                device_->WriteCapture(static_cast<const std::uint8_t*>(data), bytes);
            }
            pa_stream_drop(stream);
        }
    }

    PulseStream stream_;
    const std::string name_;  // of the source; empty: the server's default
    CaptureDevice* device_ = nullptr;
    std::uint8_t silence_ = 0;
    bool capturing_ = false;  // with the mainloop locked
    std::vector<std::uint8_t> holeFill_;
};

}  // namespace

std::unique_ptr<OutputBackend> CreatePulseOutput(const BackendRequest& request) {
    return std::make_unique<PulseOutput>(request.device);
}

std::unique_ptr<InputBackend> CreatePulseInput(const BackendRequest& request) {
    return std::make_unique<PulseInput>(request.device);
}

}  // namespace quorvel::device::detail
