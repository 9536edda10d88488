#include "frame/module.h"

#include "playback/wave_player.h"
#include "recording/recorder.h"

namespace qwf {

void ModuleAttach() {
    ConstructPlayer();
}

void ModuleDetach() {
    EndPlayback();
    EndCapture();
    ReleasePlaybackPanel();
    ReleaseRecordingPanel();
    DestroyPlayer();
}

}  // namespace qwf
