// Playback: the WavePlayer record, the block pump driven by the output device's done
// messages (two blocks in flight), and the pause toggle.
#ifndef QWF_PLAYBACK_WAVE_PLAYER_H
#define QWF_PLAYBACK_WAVE_PLAYER_H

#include <cstdint>

#include "common/blocks.h"

namespace qwf {

class WavePlayer {
  public:
    WavePlayer() = default;
    WavePlayer(const WavePlayer&) = delete;
    WavePlayer& operator=(const WavePlayer&) = delete;
    // Releases nothing: devices and files belong to the playback state, not to the record.
    virtual ~WavePlayer() = default;

    void OpenFile();
    void OpenDevice();
    void Prime();
    void TogglePause();

    std::uint16_t blockAlign = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t channels = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t deviceId = 0;
    std::uint32_t paused = 0;
};

// The one instance, constructed at module load and destroyed at unload; null outside.
WavePlayer* Player();
void ConstructPlayer();
void DestroyPlayer();

// Reads the next block into one of the two block slots, traces and prepares it; the trace is
// drawn once the block starts to sound.
void PumpBlock(int slot);

void CALLBACK OnWaveOutMessage(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR param2);

// Ends a playback that may still have a block in flight: the handler stops requeueing, the
// device is reset and closed, and no handler runs once this returns. Also closes the file.
void EndPlayback();

// Releases the trace panel's context, pen and brush. Only after EndPlayback, so that no
// handler can still draw with them.
void ReleasePlaybackPanel();

}  // namespace qwf

#endif
