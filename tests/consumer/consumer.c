/* A C program built with pkg-config against the installed module: the public header compiles
 * as C, and the four entry points link and answer. */
#include <QuorvelWaveForm.h>

#include <stdio.h>

int main(void) {
    static const char16_t missing[] = u"/nonexistent/quorvel-consumer.wav";
    int failures = 0;
    if (PlayWavWaveForm(missing, 0x0000FF00, 0) != WF_DONE) ++failures;
    if (PlayWavWaveFormStop() != WF_DONE) ++failures;
    if (WaveRecordWaveForm(missing, 0x0000FF00, 0) != WF_ERR_FILE) ++failures;
    if (WaveRecordWaveFormStop() != 0) ++failures;
    printf("consumer_c: %s\n", failures == 0 ? "all checks passed" : "checks failed");
    return failures == 0 ? 0 : 1;
}
