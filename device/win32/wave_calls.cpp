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

// A call's journal line: its place taken and its text made as the call begins (the text only
// while the journal is on), its result written as it ends.
struct CallLine {
    MMRESULT Finish(MMRESULT result, const std::string& suffix = std::string()) {
        line.Write([&] { return text + " = " + std::to_string(result) + suffix; });
        return result;
    }

    JournalLine line;
    std::string text;
};

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
    CallLine call;
    if (call.line.on()) {
        const std::string id =
            deviceId == WAVE_MAPPER ? std::string("WAVE_MAPPER") : std::to_string(deviceId);
        call.text =
            std::string(name) + "(" + id + ", " + FormatText(format) + ", " + Hex(flags) + ")";
    }
    if (device != nullptr) *device = nullptr;
    if (const unsigned code = TakeFault(fault)) return call.Finish(code);
    MMRESULT result = CheckOpen(device != nullptr, deviceId, format, callback, flags);
    if (result != MMSYSERR_NOERROR || (flags & WAVE_FORMAT_QUERY) != 0) {
        return call.Finish(result);
    }
    const DWORD_PTR function = (flags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION ? callback : 0;
    std::uintptr_t handle = 0;
    result = WaveDevice::Open(direction, *format, function, instance, &handle);
    if (result != MMSYSERR_NOERROR) return call.Finish(result);
    *device = reinterpret_cast<Handle>(handle);
    return call.Finish(result, " " + HandleName(handle));
}

// A call on a handle: the device it names (null if none), its journal line, and the checks
// every such call makes first. `header` is checked when the call takes one.
template <typename Device>
struct Call {
    template <typename Handle>
    Call(Direction direction, const char* name, qwd_op fault, Handle handle,
         bool takesHeader = false, const WAVEHDR* header = nullptr, UINT size = 0)
        : device(std::static_pointer_cast<Device>(
              WaveDevice::Find(direction, reinterpret_cast<std::uintptr_t>(handle)))) {
        if (line.line.on()) {
            std::string& text = line.text;
            text = std::string(name) + "(" + (device ? HandleName(device->handle()) : "bad");
            if (takesHeader) text += header != nullptr ? ", hdr" : ", null";
            text += ")";
        }
        if (const unsigned code = TakeFault(fault)) {
            result = code;
        } else if (!device) {
            result = MMSYSERR_INVALHANDLE;
        } else if (takesHeader && (header == nullptr || size < sizeof(WAVEHDR))) {
            result = MMSYSERR_INVALPARAM;
        }
    }
    // True when the checks failed; the journal line then has its result.
    bool failed() {
        if (result != MMSYSERR_NOERROR) line.Finish(result);
        return result != MMSYSERR_NOERROR;
    }
    MMRESULT Finish(MMRESULT code) { return line.Finish(code); }

    CallLine line;
    std::shared_ptr<Device> device;
    MMRESULT result = MMSYSERR_NOERROR;
};

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

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    Call<WaveDevice> call(kOut, "waveOutPrepareHeader", QWD_OP_OUT_PREPARE, device, true, header,
                          size);
    return call.failed() ? call.result : call.Finish(call.device->Prepare(header));
}

MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    Call<WaveDevice> call(kIn, "waveInPrepareHeader", QWD_OP_IN_PREPARE, device, true, header,
                          size);
    return call.failed() ? call.result : call.Finish(call.device->Prepare(header));
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    Call<WaveDevice> call(kOut, "waveOutUnprepareHeader", QWD_OP_OUT_UNPREPARE, device, true,
                          header, size);
    return call.failed() ? call.result : call.Finish(call.device->Unprepare(header));
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
    Call<WaveDevice> call(kIn, "waveInUnprepareHeader", QWD_OP_IN_UNPREPARE, device, true, header,
                          size);
    return call.failed() ? call.result : call.Finish(call.device->Unprepare(header));
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
    Call<WaveDevice> call(kOut, "waveOutWrite", QWD_OP_OUT_WRITE, device, true, header, size);
    return call.failed() ? call.result : call.Finish(call.device->Queue(header));
}

MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size) {
    Call<WaveDevice> call(kIn, "waveInAddBuffer", QWD_OP_IN_ADD_BUFFER, device, true, header, size);
    return call.failed() ? call.result : call.Finish(call.device->Queue(header));
}

MMRESULT waveOutPause(HWAVEOUT device) {
    Call<OutputDevice> call(kOut, "waveOutPause", QWD_OP_OUT_PAUSE, device);
    return call.failed() ? call.result : call.Finish(call.device->SetPaused(true));
}

MMRESULT waveOutRestart(HWAVEOUT device) {
    Call<OutputDevice> call(kOut, "waveOutRestart", QWD_OP_OUT_RESTART, device);
    return call.failed() ? call.result : call.Finish(call.device->SetPaused(false));
}

MMRESULT waveOutReset(HWAVEOUT device) {
    Call<OutputDevice> call(kOut, "waveOutReset", QWD_OP_OUT_RESET, device);
    return call.failed() ? call.result : call.Finish(call.device->Reset());
}

MMRESULT waveInStart(HWAVEIN device) {
    Call<InputDevice> call(kIn, "waveInStart", QWD_OP_IN_START, device);
    return call.failed() ? call.result : call.Finish(call.device->Start());
}

MMRESULT waveInStop(HWAVEIN device) {
    Call<InputDevice> call(kIn, "waveInStop", QWD_OP_IN_STOP, device);
    return call.failed() ? call.result : call.Finish(call.device->Stop(false));
}

MMRESULT waveInReset(HWAVEIN device) {
    Call<InputDevice> call(kIn, "waveInReset", QWD_OP_IN_RESET, device);
    return call.failed() ? call.result : call.Finish(call.device->Stop(true));
}

MMRESULT waveOutClose(HWAVEOUT device) {
    Call<WaveDevice> call(kOut, "waveOutClose", QWD_OP_OUT_CLOSE, device);
    return call.failed() ? call.result : call.Finish(call.device->Close());
}

MMRESULT waveInClose(HWAVEIN device) {
    Call<WaveDevice> call(kIn, "waveInClose", QWD_OP_IN_CLOSE, device);
    return call.failed() ? call.result : call.Finish(call.device->Close());
}
