#include <cstdio>
#include <cstring>
#include <new>

#include "common/device_close.h"
#include "display/trace_panel.h"
#include "frame/result_codes.h"
#include "playback/wave_player.h"
#include "wav/wav_header.h"

namespace qwf {
namespace {

constexpr int PATH_CHARS = 200;  // terminator included

alignas(WavePlayer) unsigned char playerStorage[sizeof(WavePlayer)];
WavePlayer* player = nullptr;

HWAVEOUT outDevice = nullptr;
Sample block[BLOCK_SAMPLES];
WAVEHDR blockHeader;
WAVEFORMATEX outFormat;
std::FILE* playStream = nullptr;
WCHAR pathBuffer[PATH_CHARS];
int samplesPerBlock = BLOCK_SAMPLES;
TracePanel playPanel;
Trace playTrace;

// Closed while a playback is being ended, so the handler stops requeueing during the reset.
HandlerGate outputGate;

// Copies the path, or leaves the buffer empty (so the open fails) for a null path or one too
// long to hold: a path is refused, never truncated into another file's name.
void CopyPath(const WCHAR* path) {
    pathBuffer[0] = 0;
    if (path == nullptr || lstrlenW(path) >= PATH_CHARS) return;
    lstrcpynW(pathBuffer, path, PATH_CHARS);
}

}  // namespace

WavePlayer* Player() {
    return player;
}

void ConstructPlayer() {
    if (player == nullptr) player = new (playerStorage) WavePlayer();
}

void DestroyPlayer() {
    if (player == nullptr) return;
    player->~WavePlayer();
    player = nullptr;
}

void WavePlayer::OpenFile() {
    if (playStream != nullptr) {
        std::fclose(playStream);
        playStream = nullptr;
    }
    playStream = _wfopen(pathBuffer, TEXT("rb"));
    if (playStream == nullptr) return;
    ReadFormat(playStream,
               WavFormatFields{channels, samplesPerSec, avgBytesPerSec, blockAlign, bitsPerSample});
}

void WavePlayer::OpenDevice() {
    samplesPerBlock = BLOCK_SAMPLES;
    outFormat.wFormatTag = WAVE_FORMAT_PCM;
    outFormat.nChannels = channels;
    outFormat.nSamplesPerSec = samplesPerSec;
    outFormat.nAvgBytesPerSec = avgBytesPerSec;
    outFormat.nBlockAlign = blockAlign;
    outFormat.wBitsPerSample = bitsPerSample;
    outFormat.cbSize = 18;
    const MMRESULT opened =
        waveOutOpen(&outDevice, deviceId, &outFormat,
                    reinterpret_cast<DWORD_PTR>(&OnWaveOutMessage), 0, CALLBACK_FUNCTION);
    // A failed open must not leave a handle that could reach an earlier device.
    if (opened != MMSYSERR_NOERROR) outDevice = nullptr;
}

void WavePlayer::Prime() {
    PumpBlock();
    waveOutWrite(outDevice, &blockHeader, WAVEHDR_SIZE);
}

void WavePlayer::TogglePause() {
    if (paused == 0) {
        waveOutPause(outDevice);
        paused = 1;
    } else {
        waveOutRestart(outDevice);
        paused = 0;
    }
}

void PumpBlock() {
    const std::size_t wanted = static_cast<std::size_t>(samplesPerBlock) * sizeof(Sample);
    std::size_t got = 0;
    if (playStream != nullptr) got = std::fread(block, 1, wanted, playStream);
    // What a short read did not reach is silence, a trailing half sample included, so the end
    // of a file never replays the previous block's audio.
    const std::size_t whole = got - got % sizeof(Sample);
    std::memset(reinterpret_cast<unsigned char*>(block) + whole, 0, sizeof block - whole);

    BuildTrace(playTrace, block, PLAYBACK_FIRST_SAMPLE);
    blockHeader.lpData = reinterpret_cast<LPSTR>(block);
    blockHeader.dwBufferLength = BLOCK_BYTES;
    blockHeader.dwFlags = 0;
    waveOutPrepareHeader(outDevice, &blockHeader, WAVEHDR_SIZE);
    Draw(playPanel, playTrace);
}

void CALLBACK OnWaveOutMessage(HWAVEOUT device, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    const HandlerPass pass(outputGate);
    if (!pass.Entered()) return;
    // A stream whose reads fail is never at its end: without the error it would queue silence
    // for ever.
    const bool noMoreAudio =
        playStream != nullptr && (std::feof(playStream) != 0 || std::ferror(playStream) != 0);
    if (message != MM_WOM_DONE) return;
    if (waveOutUnprepareHeader(device, &blockHeader, WAVEHDR_SIZE) != MMSYSERR_NOERROR) return;
    if (playStream == nullptr) return;
    if (noMoreAudio) {
        std::fclose(playStream);
        playStream = nullptr;
        return;
    }
    PumpBlock();
    waveOutWrite(device, &blockHeader, WAVEHDR_SIZE);
}

void EndPlayback() {
    if (outDevice != nullptr) {
        // Close waits for the done messages of the reset, which the closed gate turns away. A
        // block a refusing device still holds finishes in time.
        CloseBehindGate(outputGate, [] {
            waveOutReset(outDevice);
            waveOutUnprepareHeader(outDevice, &blockHeader, WAVEHDR_SIZE);
            if (waveOutClose(outDevice) == MMSYSERR_NOERROR) return true;
            waveOutRestart(outDevice);  // a paused device never finishes its block
            return false;
        });
        outDevice = nullptr;
    }
    if (playStream != nullptr) {
        std::fclose(playStream);
        playStream = nullptr;
    }
}

void ReleasePlaybackPanel() {
    Release(playPanel);
}

}  // namespace qwf

using qwf::Player;

extern "C" QWF_API int32_t QWF_CALL PlayWavWaveForm(const QwfChar16* path, QwfColorRef traceColor,
                                                    QwfColorRef backColor) {
    qwf::WavePlayer* const wavePlayer = Player();
    if (wavePlayer == nullptr) return WF_DONE;
    qwf::EndPlayback();
    qwf::ReleasePlaybackPanel();
    qwf::SetUp(qwf::playPanel, traceColor, backColor);
    qwf::CopyPath(path);
    wavePlayer->OpenFile();
    // A file that cannot be opened plays nothing: no device is opened and nothing is queued.
    if (qwf::playStream != nullptr) {
        wavePlayer->OpenDevice();
        wavePlayer->Prime();
    }
    wavePlayer->paused = 0;
    return WF_DONE;
}

extern "C" QWF_API int32_t QWF_CALL PlayWavWaveFormStop(void) {
    qwf::WavePlayer* const wavePlayer = Player();
    if (wavePlayer != nullptr) wavePlayer->TogglePause();
    qwf::Clear(qwf::playPanel);
    return WF_DONE;
}
