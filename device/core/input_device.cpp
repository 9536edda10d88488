// The input side of the waveform device: captured bytes fill the queued buffers in order, each
// returned with a data message when full; bytes no buffer can take wait in a bounded FIFO.
#include "core/input_device.h"

#include <algorithm>
#include <cstring>

#include "testing/hooks.h"

namespace quorvel::device::detail {

InputDevice::InputDevice(const WAVEFORMATEX& format, DWORD_PTR callback, DWORD_PTR instance,
                         std::size_t fifoFrames)
    : WaveDevice(Direction::kInput, format, callback, instance),
      fifo_(fifoFrames * format.nBlockAlign) {}

MMRESULT InputDevice::Start() {
    const std::lock_guard<std::mutex> control(control_);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
        if (lost_) return MMSYSERR_NODRIVER;
        if (started_) return MMSYSERR_NOERROR;
        started_ = true;
        DrainFifoLocked();  // what was kept while stopped comes first
    }
    posted_.notify_one();
    if (const std::shared_ptr<Backend> backend = this->backend()) backend->Start();
    WakeBackend();
    return MMSYSERR_NOERROR;
}

MMRESULT InputDevice::Stop(bool reset) {
    const std::lock_guard<std::mutex> control(control_);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return MMSYSERR_INVALHANDLE;
    }
    // No lock held: a paced backend may be waiting for ours.
    if (const std::shared_ptr<Backend> backend = this->backend()) backend->Stop();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        started_ = false;
        if (reset) {
            while (!queue_.empty()) ReturnHeadLocked(false);
            fifo_.Clear();
        } else if (!queue_.empty() && queue_.front()->dwBytesRecorded > 0) {
            ReturnHeadLocked(false);
        }
    }
    posted_.notify_one();
    return MMSYSERR_NOERROR;
}

void InputDevice::WriteCapture(const std::uint8_t* data, std::size_t bytes) {
    bool posted = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || lost_ || closed_) return;  // a backend racing its own Stop
        const std::size_t messagesBefore = messages_.size();
        const std::size_t frames = bytes / frameBytes_;
        std::size_t left = frames * frameBytes_;
        DrainFifoLocked();
        while (left > 0 && fifo_.Size() == 0 && CanFillLocked()) {
            const std::size_t taken = FillHeadLocked(
                left, [&](LPSTR to, std::size_t count) { std::memcpy(to, data, count); });
            data += taken;
            left -= taken;
        }
        const std::size_t kept = std::min(left, fifo_.Room());
        fifo_.Push(data, kept);
        counters().moved.fetch_add(frames);
        // The newest samples go; the FIFO keeps their order.
        counters().dropped.fetch_add((left - kept) / frameBytes_);
        posted = messages_.size() > messagesBefore;
    }
    // Only for a filled buffer: waking the device's thread for every piece the sound server
    // passes on (many a second) would cost a thread switch each.
    if (posted) posted_.notify_one();
}

std::size_t InputDevice::CaptureRoom() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || lost_ || closed_) return 0;
    const long gate = registry_.gate.load();
    std::size_t room = 0;
    std::size_t buffers = 0;
    for (const WAVEHDR* header : queue_) {
        if (gate >= 0 && buffers == static_cast<std::size_t>(gate)) break;
        room += RoomLocked(*header);
        ++buffers;
    }
    return room > fifo_.Size() ? room - fifo_.Size() : 0;
}

void InputDevice::GateChanged() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        DrainFifoLocked();
    }
    posted_.notify_one();
    WakeBackend();
}

void InputDevice::QueueLocked(WAVEHDR* header) {
    header->dwBytesRecorded = 0;
    DrainFifoLocked();
}

void InputDevice::LostLocked() {
    started_ = false;
    fifo_.Clear();
    askedFor_ = nullptr;
}

void InputDevice::DeliveredLocked(const Message& message) {
    if (message.full) counters().completed.fetch_add(1);
}

bool InputDevice::CanFillLocked() const {
    return started_ && !queue_.empty() && registry_.gate.load() != 0;
}

// Bytes the buffer can still take, in whole frames.
std::size_t InputDevice::RoomLocked(const WAVEHDR& header) const {
    std::size_t usable = header.dwBufferLength / frameBytes_ * frameBytes_;
    if (&header == askedFor_ && shortBytes_ > 0) {
        usable = std::min(usable, shortBytes_ / frameBytes_ * frameBytes_);
    }
    return usable > header.dwBytesRecorded ? usable - header.dwBytesRecorded : 0;
}

void InputDevice::ReturnHeadLocked(bool full) {
    WAVEHDR* header = queue_.front();
    queue_.pop_front();
    askedFor_ = nullptr;
    header->dwFlags = (header->dwFlags | WHDR_DONE) & ~static_cast<DWORD>(WHDR_INQUEUE);
    PostLocked({MM_WIM_DATA, header, full});
    if (full) PassGate(registry_);
}

// Moves up to `bytes` into the head buffer with `copy(to, count)` and returns the buffer once
// full; returns the bytes taken.
template <typename Copy>
std::size_t InputDevice::FillHeadLocked(std::size_t bytes, Copy copy) {
    WAVEHDR* header = queue_.front();
    if (askedFor_ != header) {  // once for each filling of a buffer: the fault's skip counts them
        askedFor_ = header;
        shortBytes_ = TakeFault(QWD_OP_IN_SHORT_BUFFER);
    }
    const std::size_t taken = std::min(bytes, RoomLocked(*header));
    if (taken > 0) copy(header->lpData + header->dwBytesRecorded, taken);
    header->dwBytesRecorded += static_cast<DWORD>(taken);
    if (RoomLocked(*header) == 0) ReturnHeadLocked(true);
    return taken;
}

void InputDevice::DrainFifoLocked() {
    while (fifo_.Size() > 0 && CanFillLocked()) {
        FillHeadLocked(fifo_.Size(), [&](LPSTR to, std::size_t count) { fifo_.Pop(to, count); });
    }
}

}  // namespace quorvel::device::detail
