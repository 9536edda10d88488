/* A host written in C against the installed package: plays a WAV file on the fast virtual
 * output, with its bytes kept in memory, and saves the screen as a PNG.
 *   c_host WAV PNG
 * Exit status 0 when every step worked and every byte of the file's samples was played. */
#include <QuorvelWaveForm.h>
#include <quorvel/device.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kMaxPath = 200, kHeaderBytes = 44 };

static int Fail(const char* what) {
    fprintf(stderr, "c_host: %s: %s\n", what, qwd_last_error());
    return 1;
}

/* The file's size, or -1. */
static long FileSize(const char* path) {
    FILE* file = fopen(path, "rb");
    long size = -1;
    if (file != NULL && fseek(file, 0, SEEK_END) == 0) size = ftell(file);
    if (file != NULL) fclose(file);
    return size;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: c_host WAV PNG\n");
        return 2;
    }
    if (qwd_version() >> 16 != QWD_VERSION_MAJOR) {
        fprintf(stderr, "c_host: the device services loaded are not version %d\n",
                QWD_VERSION_MAJOR);
        return 1;
    }

    /* The module takes UTF-16: ASCII paths are enough here. */
    char16_t path[kMaxPath];
    const size_t length = strlen(argv[1]);
    for (size_t i = 0; i <= length; ++i) {
        if (length >= kMaxPath || (unsigned char)argv[1][i] > 0x7F) {
            fprintf(stderr, "c_host: \"%s\" is not an ASCII path of fewer than %d characters\n",
                    argv[1], kMaxPath);
            return 2;
        }
        path[i] = (char16_t)argv[1][i];
    }

    qwd_output_settings output;
    qwd_output_settings_init(&output);
    output.backend = "virtual";
    output.pace = QWD_PACE_FAST;
    output.sink_memory = 1;
    if (qwd_configure_output(&output) != QWD_OK) return Fail("configuring the output");

    PlayWavWaveForm(path, 0x0033FF33, 0x00000000);
    if (qwd_wait_output_idle(20000) != QWD_OK) return Fail("waiting for the playback");
    if (strcmp(qwd_active_output_backend(), "virtual") != 0) return Fail("the backend used");

    /* Blocks are whole 4000-byte blocks, the last one completed with silence. */
    qwd_output_stats stats = {.struct_size = sizeof stats};
    if (qwd_get_output_stats(&stats) != QWD_OK) return Fail("reading the statistics");
    const long samples = FileSize(argv[1]) - kHeaderBytes;
    size_t played = 0;
    size_t taken = 0;
    unsigned char chunk[4096];
    do {
        if (qwd_take_played_bytes(chunk, sizeof chunk, &taken) != QWD_OK)
            return Fail("taking the played bytes");
        played += taken;
    } while (taken != 0);
    if (samples <= 0 || played != stats.bytes_played || played < (size_t)samples ||
        played - (size_t)samples >= 4000) {
        fprintf(stderr, "c_host: %zu bytes played of the file's %ld\n", played, samples);
        return 1;
    }

    if (qwd_screen_write_png(argv[2]) != QWD_OK) return Fail("saving the screen");
    printf("c_host: played %zu bytes, screen saved\n", played);
    return 0;
}
