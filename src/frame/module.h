// The module's load and unload work, called by the platform's loader glue.
#ifndef QWF_FRAME_MODULE_H
#define QWF_FRAME_MODULE_H

namespace qwf {

// Constructs the one WavePlayer. Touches no device, file or display.
void ModuleAttach();

// Ends a playback or capture still running (so no device calls into unloaded code and the
// recording file gets its header), releases the last starts' trace panels, then destroys the
// WavePlayer.
void ModuleDetach();

}  // namespace qwf

#endif
