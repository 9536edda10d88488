// The DLL's four exports (named in QuorvelWaveForm.def). The two that open a wave device first
// pin the DLL in memory for the rest of the process, so FreeLibrary never unloads it while a
// device may be open. Unloading would have to close the device from DllMain, under the
// loader lock, and closing one waits for the audio system's worker thread to end, which needs
// the loader lock itself: FreeLibrary would hang (under Wine the winepulse timer thread does
// exactly this). Pinned, the devices' callbacks always find the code they call.
#include <windows.h>

#include "QuorvelWaveForm.h"

namespace {

void PinThisDll() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&PinThisDll), &self);
}

}  // namespace

extern "C" int32_t QWF_CALL QwfExportPlayWavWaveForm(const QwfChar16* path, QwfColorRef traceColor,
                                                     QwfColorRef backColor) {
    PinThisDll();
    return PlayWavWaveForm(path, traceColor, backColor);
}

extern "C" int32_t QWF_CALL QwfExportPlayWavWaveFormStop(void) {
    return PlayWavWaveFormStop();
}

extern "C" int32_t QWF_CALL QwfExportWaveRecordWaveForm(const QwfChar16* path,
                                                        QwfColorRef traceColor,
                                                        QwfColorRef backColor) {
    PinThisDll();
    return WaveRecordWaveForm(path, traceColor, backColor);
}

extern "C" int32_t QWF_CALL QwfExportWaveRecordWaveFormStop(void) {
    return WaveRecordWaveFormStop();
}
