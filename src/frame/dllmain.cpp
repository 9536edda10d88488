// The Windows loader glue: the process-attach and process-detach notifications run the
// module's load and unload work.
#include <windows.h>

#include "frame/module.h"

// A detach on FreeLibrary (reserved is null) happens only while the DLL is not pinned, that is
// before any entry point opened a wave device (see windows_exports.cpp): the unload work then
// has no device to close and cannot block under the loader lock.
//
// On process exit (reserved is not null) every other thread is already gone, possibly inside
// a device handler or holding the audio system's locks, so waiting for one or calling into a
// device could hang the exit. Nothing is done then: the operating system releases the
// devices, and a recording file needs no completing because the module rewrites its header
// after every block on an unbuffered stream, so the file already describes every whole block.
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
