// Plays one WAV file through QuorvelWaveForm.dll, as a host linked against its import library
// would, and keeps the playback going until a line (or the end) arrives on standard input; then
// ends it and exits. tests/windows/gap_check.py drives it while it records what reaches the
// sound server, since the module gives a host no word of when a file has finished.
// Usage: qwf_gap_player.exe FILE.wav
#include <windows.h>

#include <cstdio>

#include "QuorvelWaveForm.h"

int wmain(int argc, wchar_t** argv) {
    // A crash must end the process, not wait for a debugger's dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (argc != 2) {
        std::fprintf(stderr, "usage: qwf_gap_player.exe FILE.wav\n");
        return 2;
    }
    if (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "qwf_gap_player: the file to play, %ls, does not exist.\n", argv[1]);
        return 2;
    }
    PlayWavWaveForm(argv[1], 0x0033FF33, 0x00000000);
    std::printf("playing\n");
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        std::printf("standard input ended\n");
    }
    PlayWavWaveForm(nullptr, 0x0033FF33, 0x00000000);  // ends the playback and closes the device
    std::printf("ended\n");
    std::fflush(stdout);
    return 0;
}
