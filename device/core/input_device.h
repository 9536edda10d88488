// The input side of the waveform device: the buffer queue, the FIFO and filling.
#ifndef QUORVEL_DEVICE_INPUT_DEVICE_H
#define QUORVEL_DEVICE_INPUT_DEVICE_H

#include "core/byte_fifo.h"
#include "core/wave_device.h"

namespace quorvel::device::detail {

class InputDevice final : public WaveDevice, public CaptureDevice {
  public:
    InputDevice(const WAVEFORMATEX& format, DWORD_PTR callback, DWORD_PTR instance,
                std::size_t fifoFrames);

    MMRESULT Start();
    // Stop keeps the FIFO, so a later Start continues without losing a sample; Reset empties
    // it and returns every buffer.
    MMRESULT Stop(bool reset);

    void WriteCapture(const std::uint8_t* data, std::size_t bytes) override;
    std::size_t CaptureRoom() override;
    void NoteOverrun(std::size_t frames) override { counters().dropped.fetch_add(frames); }
    void GateChanged() override;

  private:
    void QueueLocked(WAVEHDR* header) override;
    void ClosingLocked() override { LostLocked(); }  // nothing more is captured either way
    void LostLocked() override;
    void DeliveredLocked(const Message& message) override;

    bool CanFillLocked() const;
    std::size_t RoomLocked(const WAVEHDR& header) const;
    void ReturnHeadLocked(bool full);
    template <typename Copy>
    std::size_t FillHeadLocked(std::size_t bytes, Copy copy);
    void DrainFifoLocked();

    std::mutex control_;  // serialises the backend's Start and Stop
    bool started_ = false;
    ByteFifo fifo_;
    // The buffer filling now, once asked whether a testing fault hands it back short, and the
    // bytes it then holds (0: none).
    const WAVEHDR* askedFor_ = nullptr;
    std::size_t shortBytes_ = 0;
};

}  // namespace quorvel::device::detail

#endif
