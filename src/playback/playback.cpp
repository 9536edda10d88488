#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/device_close.h"
#include "common/entry_lock.h"
#include "display/trace_panel.h"
#include "frame/result_codes.h"
#include "playback/wave_player.h"
#include "wav/wav_header.h"

namespace qwf {
namespace {

constexpr int PATH_CHARS = 200;  // terminator included

alignas(WavePlayer) unsigned char playerStorage[sizeof(WavePlayer)];
WavePlayer* player = nullptr;

// Two blocks circulate, so the device always holds the next one when a block ends: a device
// whose done message comes when the block has been heard would otherwise run dry between
// blocks. Each block's trace is drawn when the block before it is done, as it starts to sound.
constexpr int BLOCKS_IN_FLIGHT = 2;

// The device of the latest start; the handler ignores every other (an abandoned device's late
// messages included). Atomic: an abandoned device's thread reads it while a start writes it.
std::atomic<HWAVEOUT> outDevice{nullptr};
Sample block[BLOCKS_IN_FLIGHT][BLOCK_SAMPLES];
WAVEHDR blockHeader[BLOCKS_IN_FLIGHT];
Trace playTrace[BLOCKS_IN_FLIGHT];
bool blockQueued[BLOCKS_IN_FLIGHT];
// A failed unprepare or write stops playback for good: the block it names is still the
// device's, or was never queued.
bool stalled = false;
WAVEFORMATEX outFormat;
std::FILE* playStream = nullptr;
WCHAR pathBuffer[PATH_CHARS];
int samplesPerBlock = BLOCK_SAMPLES;
TracePanel playPanel;

// Closed while a playback is being ended, so the handler stops requeueing during the reset.
HandlerGate outputGate;
// Playback's two entry points, one caller at a time.
EntryLock playbackEntry;

// The last read ran out of data, or failed: a stream whose reads fail is never at its end, and
// without the error it would queue silence for ever.
bool NoMoreAudio() {
    return playStream != nullptr && (std::feof(playStream) != 0 || std::ferror(playStream) != 0);
}

// The slot of a header the device hands back, or -1 for one that is not playback's.
int SlotOf(DWORD_PTR header) {
    for (int slot = 0; slot < BLOCKS_IN_FLIGHT; ++slot) {
        if (header == reinterpret_cast<DWORD_PTR>(&blockHeader[slot])) return slot;
    }
    return -1;
}

// Queues a block; a block the device refuses stops playback there, since queueing the ones
// after it would skip its audio.
bool Queue(HWAVEOUT device, int slot) {
    blockQueued[slot] = true;
    if (waveOutWrite(device, &blockHeader[slot], WAVEHDR_SIZE) == MMSYSERR_NOERROR) return true;
    blockQueued[slot] = false;
    stalled = true;
    return false;
}

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
    HWAVEOUT opened = nullptr;
    // A failed open must not leave a handle that could reach an earlier device.
    if (waveOutOpen(&opened, deviceId, &outFormat, reinterpret_cast<DWORD_PTR>(&OnWaveOutMessage),
                    0, CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        opened = nullptr;
    }
    outDevice.store(opened);
}

void WavePlayer::Prime() {
    const HWAVEOUT device = outDevice.load();
    PumpBlock(0);
    Draw(playPanel, playTrace[0]);
    const bool second = !NoMoreAudio();
    if (second) PumpBlock(1);
    // Held while both are queued, so that the first block's done message cannot come, and
    // queue a third block, before the second is queued.
    waveOutPause(device);
    if (Queue(device, 0) && second) Queue(device, 1);
    waveOutRestart(device);
}

void WavePlayer::TogglePause() {
    if (paused == 0) {
        waveOutPause(outDevice.load());
        paused = 1;
    } else {
        waveOutRestart(outDevice.load());
        paused = 0;
    }
}

void PumpBlock(int slot) {
    Sample* const samples = block[slot];
    const std::size_t wanted = static_cast<std::size_t>(samplesPerBlock) * sizeof(Sample);
    std::size_t got = 0;
    if (playStream != nullptr) got = std::fread(samples, 1, wanted, playStream);
    // What a short read did not reach is the format's silence (unsigned 8-bit PCM centres on
    // 0x80), so the end of a file neither replays the previous block's audio nor clicks. Every
    // whole sample of the file's own width is kept; a trailing part of one is silence too.
    const std::uint16_t bits = player != nullptr ? player->bitsPerSample : 16;
    const std::size_t sampleBytes = bits <= 8 ? 1 : (bits + 7u) / 8u;  // 8-bit: 1, 16-bit: 2
    const std::size_t whole = got - got % sampleBytes;
    std::memset(reinterpret_cast<unsigned char*>(samples) + whole, bits == 8 ? 0x80 : 0,
                sizeof block[slot] - whole);

    BuildTrace(playTrace[slot], samples, PLAYBACK_FIRST_SAMPLE);
    WAVEHDR& header = blockHeader[slot];
    header.lpData = reinterpret_cast<LPSTR>(samples);
    header.dwBufferLength = BLOCK_BYTES;
    header.dwFlags = 0;
    waveOutPrepareHeader(outDevice.load(), &header, WAVEHDR_SIZE);
}

void CALLBACK OnWaveOutMessage(HWAVEOUT device, UINT message, DWORD_PTR, DWORD_PTR param1,
                               DWORD_PTR) {
    const HandlerPass pass(outputGate);
    if (!pass.Entered()) return;
    if (device == nullptr || device != outDevice.load()) return;
    const bool noMoreAudio = NoMoreAudio();
    if (message != MM_WOM_DONE || stalled) return;
    const int slot = SlotOf(param1);
    if (slot < 0 || !blockQueued[slot]) return;
    if (waveOutUnprepareHeader(device, &blockHeader[slot], WAVEHDR_SIZE) != MMSYSERR_NOERROR) {
        stalled = true;
        return;
    }
    blockQueued[slot] = false;
    if (playStream == nullptr) return;
    const int next = (slot + 1) % BLOCKS_IN_FLIGHT;
    // The other block sounds from now on.
    if (blockQueued[next]) Draw(playPanel, playTrace[next]);
    if (noMoreAudio) {
        // The end: once the last block is done too, with its trace left on screen.
        if (!blockQueued[next]) {
            std::fclose(playStream);
            playStream = nullptr;
        }
        return;
    }
    PumpBlock(slot);
    Queue(device, slot);
}

void EndPlayback() {
    const HWAVEOUT device = outDevice.load();
    if (device != nullptr) {
        // Close waits for the done messages of the reset, which the closed gate turns away. A
        // block a refusing device still holds finishes in time. A device that never closes is
        // forgotten before the gate opens again, so its late messages are ignored.
        CloseBehindGate(
            outputGate,
            [device] {
                waveOutReset(device);
                for (WAVEHDR& header : blockHeader) {
                    waveOutUnprepareHeader(device, &header, WAVEHDR_SIZE);
                }
                if (waveOutClose(device) == MMSYSERR_NOERROR) return true;
                waveOutRestart(device);  // a paused device never finishes its block
                return false;
            },
            [] { outDevice.store(nullptr); });
    }
    for (bool& queued : blockQueued) queued = false;
    stalled = false;
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
    const qwf::EntryScope entry(qwf::playbackEntry);
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
    const qwf::EntryScope entry(qwf::playbackEntry);
    qwf::WavePlayer* const wavePlayer = Player();
    if (wavePlayer != nullptr) wavePlayer->TogglePause();
    qwf::Clear(qwf::playPanel);
    return WF_DONE;
}
