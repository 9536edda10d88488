// Recording: the capture start, the input handler that copies, traces, requeues and appends
// each block, and the stop that completes the file.
#ifndef QWF_RECORDING_RECORDER_H
#define QWF_RECORDING_RECORDER_H

#include <cstdint>

#include "common/blocks.h"

namespace qwf {

// Opens the input device at 8000 Hz mono 16-bit and queues the capture buffer, without
// starting. WF_DONE, or WF_ERR_OPEN, WF_ERR_QUEUE for the step that failed.
std::int32_t OpenCapture();

void CALLBACK OnWaveInMessage(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2);

// Ends a capture the way a stop does: the handler is shut out, the device stopped, reset and
// closed, the file's header completed and the file closed. Returns the blocks captured.
std::int32_t EndCapture();

// Releases the trace panel's context, pen and brush. Only after EndCapture, so that no
// handler can still draw with them.
void ReleaseRecordingPanel();

}  // namespace qwf

#endif
