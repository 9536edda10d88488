#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/device_close.h"
#include "common/entry_lock.h"
#include "display/trace_panel.h"
#include "frame/result_codes.h"
#include "recording/recorder.h"
#include "wav/wav_header.h"

namespace qwf {
namespace {

// The device of the latest start; the handler ignores every other (an abandoned device's late
// messages included). Atomic: an abandoned device's thread reads it while a start writes it.
std::atomic<HWAVEIN> inDevice{nullptr};
Sample captureBuffer[BLOCK_SAMPLES];
Sample copyBuffer[BLOCK_SAMPLES];
WAVEHDR captureHeader;
std::int32_t captureRate = QWF_CAPTURE_RATE;
std::uint32_t writeFile = 0;
std::FILE* recordStream = nullptr;
WavHeader wavHeader;
// Counted in integers so the count and the header's sizes stay exact for long captures.
std::uint32_t blocksCaptured = 0;
std::uint32_t blocksWritten = 0;
bool fileFailed = false;
// A pipe, FIFO or terminal: its header says "to the end of the stream" and is never rewritten.
bool fileStreams = false;
TracePanel recordPanel;
Trace recordTrace;

HandlerGate inputGate;
// Recording's two entry points, one caller at a time.
EntryLock recordingEntry;

// Appends one block and brings the header's sizes up to date, so the file on disk is a valid
// WAV at every block boundary. Stops appending at the 32-bit size limit or after a failed
// write, so the header always describes exactly the whole blocks on disk.
void AppendBlock() {
    if (fileFailed || (!fileStreams && blocksWritten >= MAX_WAV_BLOCKS)) return;
    if (std::fwrite(copyBuffer, 1, sizeof copyBuffer, recordStream) != sizeof copyBuffer) {
        fileFailed = true;
        return;
    }
    ++blocksWritten;
    if (fileStreams) return;
    FillHeader(wavHeader, blocksWritten);
    if (!RefreshSizes(recordStream, wavHeader)) fileFailed = true;
}

// Creates (or replaces) the recording file and writes its placeholder header.
std::int32_t CreateRecordingFile(const WCHAR* path) {
    recordStream = _wfopen(path, TEXT("wb"));
    // Recording that was asked for but cannot be written is a failure, not a display.
    if (recordStream == nullptr) return WF_ERR_FILE;
    // Unbuffered, so every block reaches the disk as it is appended and a failed write
    // leaves nothing pending that could land later in the wrong place.
    std::setvbuf(recordStream, nullptr, _IONBF, 0);
    fileStreams = std::fseek(recordStream, 0, SEEK_CUR) != 0;
    FillHeader(wavHeader, 0);
    if (fileStreams) FillStreamingSizes(wavHeader);
    // A file that cannot even hold its header is not a recording.
    if (!WritePlaceholder(recordStream, wavHeader)) {
        std::fclose(recordStream);
        recordStream = nullptr;
        return WF_ERR_FILE;
    }
    return WF_DONE;
}

// Starts the opened device capturing.
std::int32_t StartCapture() {
    return waveInStart(inDevice.load()) == MMSYSERR_NOERROR ? WF_DONE : WF_ERR_START;
}

}  // namespace

std::int32_t OpenCapture() {
    WAVEFORMATEX format;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = QWF_CAPTURE_CHANNELS;
    format.nSamplesPerSec = static_cast<DWORD>(captureRate);
    format.nAvgBytesPerSec = static_cast<DWORD>(captureRate) * QWF_CAPTURE_FRAME_BYTES;
    format.nBlockAlign = QWF_CAPTURE_FRAME_BYTES;
    format.wBitsPerSample = QWF_CAPTURE_BITS;
    format.cbSize = 0;
    HWAVEIN device = nullptr;
    if (waveInOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&OnWaveInMessage), 0,
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        inDevice.store(nullptr);
        return WF_ERR_OPEN;
    }
    inDevice.store(device);
    captureHeader.lpData = reinterpret_cast<LPSTR>(captureBuffer);
    captureHeader.dwBufferLength = BLOCK_BYTES;
    captureHeader.dwBytesRecorded = 0;
    captureHeader.dwUser = 0;
    captureHeader.dwFlags = 0;
    captureHeader.dwLoops = 0;
    waveInPrepareHeader(device, &captureHeader, WAVEHDR_SIZE);
    if (waveInAddBuffer(device, &captureHeader, WAVEHDR_SIZE) != MMSYSERR_NOERROR) {
        return WF_ERR_QUEUE;
    }
    return WF_DONE;
}

void CALLBACK OnWaveInMessage(HWAVEIN device, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    const HandlerPass pass(inputGate);
    if (!pass.Entered()) return;
    if (device == nullptr || device != inDevice.load()) return;
    if (message != MM_WIM_DATA) return;
    // A buffer handed back part-filled mid-stream is still requeued, or capture would stop for
    // good. Its samples are kept and the rest of the block, which holds stale ones, is silence;
    // an empty one is no block. (A stop or reset hands the buffer back behind the closed gate.)
    const std::size_t recorded = captureHeader.dwBytesRecorded < static_cast<DWORD>(BLOCK_BYTES)
                                     ? captureHeader.dwBytesRecorded
                                     : static_cast<std::size_t>(BLOCK_BYTES);
    std::memcpy(copyBuffer, captureBuffer, recorded);
    std::memset(reinterpret_cast<unsigned char*>(copyBuffer) + recorded, 0,
                sizeof copyBuffer - recorded);
    BuildTrace(recordTrace, copyBuffer, RECORDING_FIRST_SAMPLE);
    captureHeader.dwBytesRecorded = 0;
    waveInAddBuffer(device, &captureHeader, WAVEHDR_SIZE);
    if (recorded == 0) return;
    Draw(recordPanel, recordTrace);
    if (writeFile != 0 && recordStream != nullptr) AppendBlock();
    ++blocksCaptured;
}

std::int32_t EndCapture() {
    const HWAVEIN device = inDevice.load();
    if (device != nullptr) {
        // A device that never closes is forgotten before the gate opens again, so its late
        // data messages are ignored.
        CloseBehindGate(
            inputGate,
            [device] {
                waveInStop(device);
                waveInReset(device);
                waveInUnprepareHeader(device, &captureHeader, WAVEHDR_SIZE);
                return waveInClose(device) == MMSYSERR_NOERROR;
            },
            [] { inDevice.store(nullptr); });
    }
    FillHeader(wavHeader, blocksWritten);
    if (writeFile != 0 && recordStream != nullptr) {
        if (fileStreams) {
            std::fclose(recordStream);  // its header already says "to the end"
        } else {
            Finalise(recordStream, wavHeader);
        }
        recordStream = nullptr;
    }
    return static_cast<std::int32_t>(blocksCaptured);
}

void ReleaseRecordingPanel() {
    Release(recordPanel);
}

}  // namespace qwf

extern "C" QWF_API int32_t QWF_CALL WaveRecordWaveForm(const QwfChar16* path,
                                                       QwfColorRef traceColor,
                                                       QwfColorRef backColor) {
    const qwf::EntryScope entry(qwf::recordingEntry);
    qwf::EndCapture();
    qwf::ReleaseRecordingPanel();
    qwf::SetUp(qwf::recordPanel, traceColor, backColor);
    qwf::writeFile = (path != nullptr && path[0] != 0) ? 1 : 0;
    qwf::blocksCaptured = 0;
    qwf::blocksWritten = 0;
    qwf::fileFailed = false;
    qwf::fileStreams = false;
    // The file is replaced only once the device is open and its buffer queued, so a start
    // that fails there leaves a file already at the path as it was; capture starts only once
    // the placeholder header is written. A failed start's device is ended by the next stop
    // or start.
    const std::int32_t opened = qwf::OpenCapture();
    if (opened != WF_DONE) return opened;
    if (qwf::writeFile != 0) {
        const std::int32_t created = qwf::CreateRecordingFile(path);
        if (created != WF_DONE) return created;
    }
    return qwf::StartCapture();
}

extern "C" QWF_API int32_t QWF_CALL WaveRecordWaveFormStop(void) {
    const qwf::EntryScope entry(qwf::recordingEntry);
    return qwf::EndCapture();
}
