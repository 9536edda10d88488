// A host that imports the four entry points through the import library rather than loading
// them at run time, and calls each one with next to no work: the pause toggle and the
// recording stop with nothing started, a playback of no file, and a recording into a folder
// that does not exist (its input device opens and is queued before the file fails; the stop
// after it ends the device). Prints PASS or FAIL lines and a final "N passed, M failed".
#include <cstdio>

#include "QuorvelWaveForm.h"

int main() {
    int passed = 0;
    int failed = 0;
    const auto check = [&](bool ok, const char* what) {
        std::printf("%s: import client: %s\n", ok ? "PASS" : "FAIL", what);
        ++(ok ? passed : failed);
    };
    check(PlayWavWaveFormStop() == WF_DONE, "PlayWavWaveFormStop with nothing playing is WF_DONE");
    check(WaveRecordWaveFormStop() == 0, "WaveRecordWaveFormStop with nothing captured is 0");
    check(PlayWavWaveForm(nullptr, 0x00FFFFFF, 0) == WF_DONE,
          "PlayWavWaveForm without a file plays nothing and is WF_DONE");
    check(WaveRecordWaveForm(L"Z:\\no-such-folder-for-qwf\\take.wav", 0x00FFFFFF, 0) == WF_ERR_FILE,
          "WaveRecordWaveForm into a folder that does not exist is WF_ERR_FILE");
    check(WaveRecordWaveFormStop() == 0, "WaveRecordWaveFormStop after it counts no block");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
