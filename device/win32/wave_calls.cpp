// The waveOut* and waveIn* calls: the Win32 argument checks, one order for both directions, each
// call's journal line and injected fault, then the device core.
//
// waveOutOpen and waveInOpen clear *device first, so no failure leaves a handle behind, then
// check, in the order Wine's winmm does: the handle pointer (unless only querying), the flags and
// callback, the device number, the format. The other calls check the handle, then the header.
#include <mmsystem.h>

#include <memory>
#include <string>

#include "base/internal.h"
#include "base/wave_format.h"
#include "core/input_device.h"
#include "core/output_device.h"
#include "testing/journal_line.h"

namespace quorvel::device::detail {
namespace {

constexpr Direction kOut = Direction::kOutput;
constexpr Direction kIn = Direction::kInput;

MMRESULT CheckOpen(bool haveHandlePointer, UINT deviceId, LPCWAVEFORMATEX format,
                   DWORD_PTR callback, DWORD flags) {
    const bool queryOnly = (flags & WAVE_FORMAT_QUERY) != 0;
    if (!haveHandlePointer && !queryOnly) return MMSYSERR_INVALPARAM;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if ((flags & ~static_cast<DWORD>(CALLBACK_TYPEMASK | WAVE_FORMAT_QUERY)) != 0 ||
        (callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL)) {
        return MMSYSERR_INVALFLAG;
    }
    if (callbackType == CALLBACK_FUNCTION && callback == 0) return MMSYSERR_INVALPARAM;
    if (deviceId != 0 && deviceId != WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    return CheckPcmFormat(format);
}

template <typename Handle>
MMRESULT Open(Direction direction, const char* name, qwd_op fault, Handle* device, UINT deviceId,
              LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    JournalLine line;
    if (device != nullptr) *device = nullptr;
    std::uintptr_t handle = 0;
    MMRESULT result = TakeFault(fault);
    if (result == MMSYSERR_NOERROR) {
        result = CheckOpen(device != nullptr, deviceId, format, callback, flags);
    }
    if (result == MMSYSERR_NOERROR && (flags & WAVE_FORMAT_QUERY) == 0) {
        const DWORD_PTR function = (flags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION ? callback : 0;
        result = WaveDevice::Open(direction, *format, function, instance, &handle);
        if (result == MMSYSERR_NOERROR) *device = reinterpret_cast<Handle>(handle);
    }
    line.Write([&] {
        const std::string id =
            deviceId == WAVE_MAPPER ? std::string("WAVE_MAPPER") : std::to_string(deviceId);
        return std::string(name) + "(" + id + ", " + FormatText(format) + ", " + Hex(flags) +
               ") = " + std::to_string(result) + (handle != 0 ? " " + HandleName(handle) : "");
    });
    return result;
}

// A call on a handle: its journal line, the checks every such call makes first (the fault, the
// handle, and the header when it takes one), then `act` on the device the handle names.
template <typename Device, typename Handle, typename Act>
MMRESULT OnDevice(Direction direction, const char* name, qwd_op fault, Handle handle,
                  bool takesHeader, const WAVEHDR* header, UINT size, Act act) {
    JournalLine line;
    const std::shared_ptr<Device> device = std::static_pointer_cast<Device>(
        WaveDevice::Find(direction, reinterpret_cast<std::uintptr_t>(handle)));
    const bool badHeader = takesHeader && (header == nullptr || size < sizeof(WAVEHDR));
    MMRESULT result = TakeFault(fault);
    if (result == MMSYSERR_NOERROR && !device) result = MMSYSERR_INVALHANDLE;
    if (result == MMSYSERR_NOERROR && badHeader) result = MMSYSERR_INVALPARAM;
    if (result == MMSYSERR_NOERROR) result = act(*device);
    line.Write([&] {
        std::string text =
            std::string(name) + "(" + (device ? HandleName(device->handle()) : "bad");
        if (takesHeader) text += header != nullptr ? ", hdr" : ", null";
        return text + ") = " + std::to_string(result);
    });
    return result;
}

}  // namespace
}  // namespace quorvel::device::detail

// The Win32 functions are C symbols at global scope.
using namespace quorvel::device::detail;

MMRESULT waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
    return Open(kOut, "waveOutOpen", QWD_OP_OUT_OPEN, device, deviceId, format, callback, instance,
                flags);
}

MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags) {
    return Open(kIn, "waveInOpen", QWD_OP_IN_OPEN, device, deviceId, format, callback, instance,
                flags);
}

// The calls on a header, the same for both directions but in name.
#define QWD_HEADER_CALL(name, Handle, direction, fault, method)                             \
    MMRESULT name(Handle device, LPWAVEHDR header, UINT size) {                             \
        return OnDevice<WaveDevice>(direction, #name, fault, device, true, header, size,    \
                                    [&](WaveDevice& open) { return open.method(header); }); \
    }
QWD_HEADER_CALL(waveOutPrepareHeader, HWAVEOUT, kOut, QWD_OP_OUT_PREPARE, Prepare)
QWD_HEADER_CALL(waveInPrepareHeader, HWAVEIN, kIn, QWD_OP_IN_PREPARE, Prepare)
QWD_HEADER_CALL(waveOutUnprepareHeader, HWAVEOUT, kOut, QWD_OP_OUT_UNPREPARE, Unprepare)
QWD_HEADER_CALL(waveInUnprepareHeader, HWAVEIN, kIn, QWD_OP_IN_UNPREPARE, Unprepare)
QWD_HEADER_CALL(waveOutWrite, HWAVEOUT, kOut, QWD_OP_OUT_WRITE, Queue)
QWD_HEADER_CALL(waveInAddBuffer, HWAVEIN, kIn, QWD_OP_IN_ADD_BUFFER, Queue)

// The calls on the device alone.
#define QWD_DEVICE_CALL(name, Handle, Device, direction, fault, call)               \
    MMRESULT name(Handle device) {                                                  \
        return OnDevice<Device>(direction, #name, fault, device, false, nullptr, 0, \
                                [](Device& open) { return open.call; });            \
    }
QWD_DEVICE_CALL(waveOutPause, HWAVEOUT, OutputDevice, kOut, QWD_OP_OUT_PAUSE, SetPaused(true))
QWD_DEVICE_CALL(waveOutRestart, HWAVEOUT, OutputDevice, kOut, QWD_OP_OUT_RESTART, SetPaused(false))
QWD_DEVICE_CALL(waveOutReset, HWAVEOUT, OutputDevice, kOut, QWD_OP_OUT_RESET, Reset())
QWD_DEVICE_CALL(waveInStart, HWAVEIN, InputDevice, kIn, QWD_OP_IN_START, Start())
QWD_DEVICE_CALL(waveInStop, HWAVEIN, InputDevice, kIn, QWD_OP_IN_STOP, Stop(false))
QWD_DEVICE_CALL(waveInReset, HWAVEIN, InputDevice, kIn, QWD_OP_IN_RESET, Stop(true))
QWD_DEVICE_CALL(waveOutClose, HWAVEOUT, WaveDevice, kOut, QWD_OP_OUT_CLOSE, Close())
QWD_DEVICE_CALL(waveInClose, HWAVEIN, WaveDevice, kIn, QWD_OP_IN_CLOSE, Close())
