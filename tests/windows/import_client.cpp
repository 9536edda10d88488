// A host that imports the four entry points through the import library rather than loading
// them at run time. With nothing started, the pause toggle and the recording stop do no work:
// WF_DONE and zero blocks. Prints PASS or FAIL lines and exits non-zero on a failure.
#include <cstdio>

#include "QuorvelWaveForm.h"

int main() {
    int failed = 0;
    const auto check = [&failed](bool ok, const char* what) {
        std::printf("%s: import client: %s\n", ok ? "PASS" : "FAIL", what);
        if (!ok) ++failed;
    };
    check(PlayWavWaveFormStop() == WF_DONE, "PlayWavWaveFormStop with nothing playing is WF_DONE");
    check(WaveRecordWaveFormStop() == 0, "WaveRecordWaveFormStop with nothing captured is 0");
    // Taking the addresses makes the linker resolve all four names from the import library.
    const void* const entries[] = {reinterpret_cast<const void*>(&PlayWavWaveForm),
                                   reinterpret_cast<const void*>(&WaveRecordWaveForm)};
    check(entries[0] != nullptr && entries[1] != nullptr, "all four names link");
    return failed == 0 ? 0 : 1;
}
