// The Windows loader glue: the process-attach and process-detach notifications run the
// module's load and unload work.
#include <windows.h>

#include "frame/module.h"

// On FreeLibrary (reserved is null) the process goes on: the wave devices must be reset and
// closed so no callback reaches the unmapped code, and a recording file gets its header.
// That work waits for the device's callback thread to leave the handler, which is safe here
// because that thread never needs the loader lock.
//
// On process exit (reserved is not null) every other thread is already gone, possibly
// inside the handler or holding the audio system's locks, so waiting for one or calling
// into a device could hang the exit. Nothing is done then: the operating system releases
// the devices, and a recording file needs no completing because the module rewrites its
// header after every block on an unbuffered stream, so the file on disk already describes
// every whole block captured.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            qwf::ModuleAttach();
            break;
        case DLL_PROCESS_DETACH:
            if (reserved == nullptr) qwf::ModuleDetach();
            break;
        default:
            break;
    }
    return TRUE;
}
