// Ending a waveform device that playback or recording opened: its handler is shut out first,
// then the device is reset and closed, and asked again for a while if it refuses, since a
// device left open behind the gate could still call into state being replaced.
#ifndef QWF_COMMON_DEVICE_CLOSE_H
#define QWF_COMMON_DEVICE_CLOSE_H

#include <chrono>
#include <thread>

#include "common/handler_gate.h"

namespace qwf {

constexpr int CLOSE_ATTEMPTS = 200;
constexpr std::chrono::milliseconds CLOSE_RETRY_PAUSE{5};

// `tryClose` resets and closes the device and returns true once the close succeeded.
// `forget` drops the device's handle before the gate opens again, so a device that would not
// close finds a handler that ignores it.
template <typename TryClose, typename Forget>
void CloseBehindGate(HandlerGate& gate, TryClose tryClose, Forget forget) {
    gate.Close();
    for (int attempt = 0; attempt < CLOSE_ATTEMPTS; ++attempt) {
        if (tryClose()) break;
        std::this_thread::sleep_for(CLOSE_RETRY_PAUSE);
    }
    forget();
    gate.Open();
}

}  // namespace qwf

#endif
