// The sound device through alsa-lib: one pcm per device, opened non-blocking with a buffer of
// three quarter seconds woken every quarter second, and waited on by the backend's own thread
// with poll, together with an eventfd that Wake rings.
#ifndef QUORVEL_DEVICE_ALSA_PCM_H
#define QUORVEL_DEVICE_ALSA_PCM_H

#include <alsa/asoundlib.h>
#include <mmsystem.h>

#include <string>

#include "backends/backend.h"

namespace quorvel::device::detail {

class AlsaPcm {
  public:
    AlsaPcm() = default;
    ~AlsaPcm();
    AlsaPcm(const AlsaPcm&) = delete;
    AlsaPcm& operator=(const AlsaPcm&) = delete;

    // Opens the pcm `name` (empty: "default") for `direction` in exactly `format`; false, with
    // a sentence naming the pcm and the value it refused in *error, when it cannot.
    bool Open(Direction direction, const std::string& name, const WAVEFORMATEX& format,
              std::string* error);
    snd_pcm_t* get() const { return pcm_; }
    const std::string& name() const { return name_; }
    snd_pcm_uframes_t bufferFrames() const { return buffer_; }
    bool canPause() const { return canPause_; }

    // Sleeps until the pcm is ready (when `watchPcm`), Ring is called, or `timeoutMs` passes
    // (-1: no limit). False when the pcm reported an error or hang-up.
    bool Wait(bool watchPcm, int timeoutMs);
    void Ring();

    // Recovers from an underrun, overrun or suspend; false for any other error (the device is
    // gone), with its sentence in *problem.
    bool Recover(int error, std::string* problem);

  private:
    snd_pcm_t* pcm_ = nullptr;
    std::string name_;
    snd_pcm_uframes_t buffer_ = 0;
    bool canPause_ = false;
    int bell_ = -1;  // the eventfd Ring writes
};

}  // namespace quorvel::device::detail

#endif
