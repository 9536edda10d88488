/* Host-side API of the QuorvelDevice services, in C: the screen, and choosing and driving the
 * audio devices. The module never includes it; it sees only <windows.h> and <mmsystem.h>.
 *
 * Conventions, kept from version to version:
 * - Calls that can fail return a qwd_result (QWD_OK or a negative code); qwd_last_error() then
 *   holds one sentence saying why.
 * - Structs start with struct_size, the sizeof the caller's struct, so later versions can add
 *   fields at the end. Any struct_size from the struct's 2.0 size up is taken: fields beyond it
 *   are neither read nor written, fields the caller's struct lacks keep their defaults. The
 *   *_init functions fill the 2.0 fields and set struct_size to the 2.0 size.
 * - A const char* returned stays valid until the next call of this API on the same thread.
 * - Counts and sizes are fixed-width; booleans are int32_t, 0 or 1. */
#ifndef QUORVEL_DEVICE_H
#define QUORVEL_DEVICE_H

#include <stddef.h>
#include <stdint.h>

#define QWD_API __attribute__((visibility("default")))

/* The library's version: hosts compare qwd_version() with what they were built against. */
#define QWD_VERSION_MAJOR 2
#define QWD_VERSION_MINOR 2
#define QWD_VERSION_PATCH 0
#define QWD_VERSION_NUMBER(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t qwd_result;
#define QWD_OK 0
#define QWD_ERROR_ARGUMENT (-1) /* a value out of range, a null pointer, a bad struct_size */
#define QWD_ERROR_FAILED (-2)   /* the file, backend or source named could not be used */
#define QWD_ERROR_BUFFER (-3)   /* the caller's buffer is too small; the needed size is given */
#define QWD_ERROR_TIMEOUT (-4)  /* the wait ran out before the condition held */

/* QWD_VERSION_NUMBER of the library loaded. */
QWD_API uint32_t qwd_version(void);
/* One sentence about the most recent failed call on this thread ("" before any). */
QWD_API const char* qwd_last_error(void);

/* ---- Screen ------------------------------------------------------------------------- */
#define QWD_DEFAULT_SCREEN_WIDTH 240
#define QWD_DEFAULT_SCREEN_HEIGHT 320
#define QWD_MAX_SCREEN_SIDE 4096
#define QWD_CLR_INVALID 0xFFFFFFFFu

/* Resizes the screen (1..QWD_MAX_SCREEN_SIDE each way) and fills it with black; a size out of
 * range changes nothing and gives QWD_ERROR_ARGUMENT. */
QWD_API qwd_result qwd_screen_set_size(int32_t width, int32_t height);
QWD_API void qwd_screen_size(int32_t* width, int32_t* height);
/* Fills the whole screen with one colour (COLORREF, 0x00BBGGRR). */
QWD_API void qwd_screen_clear(uint32_t colorref);
/* The pixel at (x, y) as COLORREF; QWD_CLR_INVALID outside the screen. */
QWD_API uint32_t qwd_screen_pixel(int32_t x, int32_t y);
/* The whole screen as rows of R, G, B bytes, top row first (width * height * 3 bytes), into
 * rgb. *needed (when not null) gets the size; QWD_ERROR_BUFFER when capacity is below it. */
QWD_API qwd_result qwd_screen_read_rgb(uint8_t* rgb, size_t capacity, size_t* needed);
/* Writes the screen as an 8-bit RGB PNG; QWD_ERROR_FAILED with a sentence naming the file. */
QWD_API qwd_result qwd_screen_write_png(const char* path);
/* Counts every drawing call that changed the screen; hosts poll it to redraw a live view. */
QWD_API uint64_t qwd_screen_generation(void);
/* With on = 1, output devices keep a copy of the screen as drawn for each block they have
 * not yet sounded, for qwd_screen_read_presented_rgb; with 0 (the default, and after
 * qwd_reset_all) they keep none. Call it before playback starts. */
QWD_API void qwd_screen_enable_presentation(int32_t on);
/* The screen as drawn for the block of playback heard now, as qwd_screen_read_rgb gives it: the
 * module draws a block just before queueing it, so this stays in step with the sound while the
 * screen runs ahead. While paused or idle, with presentation off, and for blocks queued before
 * it was switched on, it is the screen as it is. */
QWD_API qwd_result qwd_screen_read_presented_rgb(uint8_t* rgb, size_t capacity, size_t* needed);
/* Changes whenever what qwd_screen_read_presented_rgb gives may have changed; reads no pixels. */
QWD_API uint64_t qwd_screen_presented_generation(void);
/* Contexts, pens and brushes created and not yet deleted in the process, not counting each
 * context's stock pen and brush: what GetGuiResources counts. */
QWD_API uint64_t qwd_screen_live_objects(void);

/* ---- Choosing the audio devices ----------------------------------------------------- */
/* Backends, named in the settings below and in QUORVEL_OUTPUT / QUORVEL_INPUT:
 *   "pulse"    the sound device through PulseAudio's client library (not with QWF_WITH_PULSE=OFF);
 *   "alsa"     the sound device through alsa-lib, any pcm by name ("default", "hw:0,0", an
 *              asoundrc's own), for machines without a sound server (not with QWF_WITH_ALSA=OFF);
 *   "virtual"  the virtual device (sinks, sources, pace, gates; a tone is above 0 Hz and at most
 *              QWD_MAX_TONE_HZ);
 *   "null"     plays into nothing and captures silence, as fast as blocks and buffers come;
 *   "default"  the first of the backend list whose device opens; used when nothing is
 *              configured and no environment variable is set.
 * Pace, sources and gates apply to the virtual device; the sinks to both. */
/* The highest rate the devices open at; a tone above half of it could not be sampled. */
#define QWD_MAX_SAMPLE_RATE 384000
#define QWD_MAX_TONE_HZ (QWD_MAX_SAMPLE_RATE / 2)
#define QWD_PACE_REALTIME 0 /* audio moves at the format's own rate */
#define QWD_PACE_FAST 1     /* as fast as the module queues blocks: for tests and batch work */

typedef struct qwd_output_settings {
    uint32_t struct_size;
    int32_t pace;          /* QWD_PACE_* */
    const char* backend;   /* null: QWD_SETTINGS_BACKEND */
    const char* sink_file; /* when set, every byte played is appended to this file */
    int32_t sink_memory;   /* when 1, every byte played is kept for qwd_take_played_bytes */
    /* A name qwd_list_audio_devices gives, opened only by a backend that names devices; null or
     * "": the backend's default device. */
    const char* device;
} qwd_output_settings;

typedef struct qwd_input_settings {
    uint32_t struct_size;
    int32_t pace;        /* QWD_PACE_* */
    const char* backend; /* null: QWD_SETTINGS_BACKEND */
    /* "silence", "tone:HZ" (amplitude 0.5 of full scale), "ramp" (sample n, counted from the
     * first waveInStart and paused while stopped, is n mod 65536 as a signed 16-bit value),
     * "file:PATH" (a WAV file's data, or raw 16-bit little-endian mono, repeated when it ends);
     * null: QWD_SETTINGS_SOURCE. */
    const char* source;
    uint64_t fifo_frames; /* capacity of the device's own FIFO, in samples */
    const char* device;   /* as for output */
} qwd_input_settings;

/* What the settings hold unless set: the virtual backend, real time, no sink; silence, and a
 * FIFO of 30 s at 8000 Hz. */
#define QWD_SETTINGS_BACKEND "virtual"
#define QWD_SETTINGS_SOURCE "silence"
#define QWD_SETTINGS_FIFO_FRAMES (8000u * 30u)
/* Fill *settings with those defaults and set its struct_size. */
QWD_API void qwd_output_settings_init(qwd_output_settings* settings);
QWD_API void qwd_input_settings_init(qwd_input_settings* settings);
/* Apply to devices opened afterwards. QWD_ERROR_FAILED for an unknown backend or source, or a
 * sink file that cannot be created. */
QWD_API qwd_result qwd_configure_output(const qwd_output_settings* settings);
QWD_API qwd_result qwd_configure_input(const qwd_input_settings* settings);
/* The text form of QUORVEL_OUTPUT and QUORVEL_INPUT ("virtual,fast,sink=/tmp/out.raw";
 * "virtual,realtime,source=tone:440"), read when the first device of that direction opens
 * without an earlier configure call. Fills *settings (struct_size set by the caller); its
 * strings stay valid until the next call on this thread. */
QWD_API qwd_result qwd_parse_output_settings(const char* text, qwd_output_settings* settings);
QWD_API qwd_result qwd_parse_input_settings(const char* text, qwd_input_settings* settings);
/* Parse and configure in one call. */
QWD_API qwd_result qwd_configure_output_text(const char* text);
QWD_API qwd_result qwd_configure_input_text(const char* text);
/* The settings a device opened now would use: the last configure call's, else the variable's
 * (read now if not yet), else the defaults with the backend "default"; filled as parsing does. */
QWD_API qwd_result qwd_output_settings_in_force(qwd_output_settings* settings);
QWD_API qwd_result qwd_input_settings_in_force(qwd_input_settings* settings);

/* Lists afresh the sound devices of one direction that the first backend naming any names, as
 * its server describes them, and returns how many (0 where none answers). The entries stay
 * valid until this thread's next qwd_list_audio_devices. */
#define QWD_DIRECTION_OUTPUT 0
#define QWD_DIRECTION_INPUT 1
QWD_API int32_t qwd_list_audio_devices(int32_t direction);
/* Of the list's entry at index: the name to put into the settings' device, a description for a
 * person, the backend that lists it; null past the end. */
QWD_API const char* qwd_audio_device_name(int32_t index);
QWD_API const char* qwd_audio_device_description(int32_t index);
QWD_API const char* qwd_audio_device_backend(int32_t index);
/* 1 for the device the backend opens when none is named. */
QWD_API int32_t qwd_audio_device_is_default(int32_t index);
/* The backend that opens the sound device `name` for one direction though it is not listed
 * (ALSA's "hw:0,0", a pcm of an asoundrc), or null when none opens it. */
QWD_API const char* qwd_audio_device_opener(int32_t direction, const char* name);

/* The backends in the order "default" tries them ("pulse", "alsa", "virtual", "null", less those
 * not built): the name at index, a static string, or null past the end. */
QWD_API int32_t qwd_audio_backend_count(void);
QWD_API const char* qwd_audio_backend_name(int32_t index);
/* The backend the most recently opened output / input device uses; "" before the first open
 * since start or qwd_reset_all. */
QWD_API const char* qwd_active_output_backend(void);
QWD_API const char* qwd_active_input_backend(void);
/* Why the most recent open fell back from "default" to the virtual device, no sound device
 * having opened, in one line for a person; "" otherwise. */
QWD_API const char* qwd_output_fallback_notice(void);
QWD_API const char* qwd_input_fallback_notice(void);

/* ---- Watching and driving the devices ----------------------------------------------- */
typedef struct qwd_output_stats {
    uint32_t struct_size;
    uint64_t opened;        /* successful waveOutOpen calls */
    uint64_t closed;        /* successful waveOutClose calls */
    uint64_t blocks_queued; /* successful waveOutWrite calls */
    uint64_t blocks_played; /* blocks played to their end */
    uint64_t bytes_played;
    uint64_t done_messages; /* every MM_WOM_DONE delivered (played or reset) */
    /* Silence a sound device played because the next block came late (a gap in the audio),
     * never while paused or idle. */
    uint64_t underrun_frames;
    /* Silence a sound device played while paused or with nothing queued or awaited (before the
     * first block, after the last). */
    uint64_t idle_frames;
    uint64_t devices_lost; /* devices whose sound device went away while open */
} qwd_output_stats;

typedef struct qwd_input_stats {
    uint32_t struct_size;
    uint64_t opened;
    uint64_t closed;
    uint64_t buffers_filled;  /* MM_WIM_DATA delivered for full buffers */
    uint64_t data_messages;   /* every MM_WIM_DATA delivered */
    uint64_t frames_captured; /* samples produced by the source */
    uint64_t frames_dropped;  /* samples the FIFO had no room for */
    uint64_t devices_lost;    /* devices whose sound device went away while open */
} qwd_input_stats;

/* Fill *stats, whose struct_size the caller sets. */
QWD_API qwd_result qwd_get_output_stats(qwd_output_stats* stats);
QWD_API qwd_result qwd_get_input_stats(qwd_input_stats* stats);
QWD_API void qwd_reset_stats(void);

/* The verdict of waveOutOpen and waveInOpen with WAVE_FORMAT_QUERY on PCM in this layout: ""
 * when taken, else why, as a phrase about its values ("9 channels, and the device plays at
 * most 8"). */
QWD_API const char* qwd_pcm_format_problem(uint16_t channels, uint32_t samples_per_sec,
                                           uint16_t block_align, uint16_t bits_per_sample);

/* Moves up to capacity of the bytes played since the last take (with sink_memory on) into
 * bytes, oldest first; *taken gets how many. The rest wait for the next call. */
QWD_API qwd_result qwd_take_played_bytes(uint8_t* bytes, size_t capacity, size_t* taken);
/* "" while every byte played has reached the configured sink file; once a write failed or was
 * short, one sentence naming the file and the cause, and the file gets no more bytes. */
QWD_API const char* qwd_output_sink_error(void);

/* Waits until every open output device has nothing queued and no message pending or being
 * handled: QWD_OK, or QWD_ERROR_TIMEOUT (always, inside a device callback). */
QWD_API qwd_result qwd_wait_output_idle(uint32_t timeout_ms);
/* Waits until at least count MM_WIM_DATA messages have been handled since qwd_reset_stats. */
QWD_API qwd_result qwd_wait_input_data(uint64_t count, uint32_t timeout_ms);
/* Output / input devices open now. */
QWD_API int32_t qwd_open_output_devices(void);
QWD_API int32_t qwd_open_input_devices(void);
/* 1 while an open device has lost its sound device (the server or card went away). It delivers
 * no more MM_WOM_DONE / MM_WIM_DATA: queued blocks and buffers return without messages,
 * waveOutWrite, waveOutPause, waveOutRestart, waveInAddBuffer and waveInStart fail with
 * MMSYSERR_NODRIVER, and closing works as usual. */
QWD_API int32_t qwd_output_device_lost(void);
QWD_API int32_t qwd_input_device_lost(void);

/* Gates step the devices: an output device completes blocks, and an input device fills
 * buffers, only while its gate allows, each using one unit (negative: no limit, the default). */
QWD_API void qwd_set_output_gate(int64_t blocks);
QWD_API void qwd_set_input_gate(int64_t buffers);

/* Puts the screen, gates, statistics, settings and testing hooks back to their defaults (the
 * variables are read again at the next open); open devices stay open. */
QWD_API void qwd_reset_all(void);

#ifdef __cplusplus
}
#endif

#endif
