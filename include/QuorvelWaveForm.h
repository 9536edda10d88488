/* QuorvelWaveForm: play a PCM WAV file, or capture 8000 Hz mono 16-bit audio, with a live
 * oscilloscope trace drawn on the display in the panel from (0, 26) to (240, 228).
 *
 * Four entry points, exported by name (and on Windows by ordinals 1-4 in this order). They may
 * be called from any thread: calls of one kind (the two playback entry points, or the two
 * recording ones) are serialised, so calls made at once behave as if made one after another. */
#ifndef QUORVELWAVEFORM_H
#define QUORVELWAVEFORM_H

#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t QwfChar16;         /* UTF-16 code unit */
typedef unsigned long QwfColorRef; /* COLORREF, 0x00BBGGRR */
#define QWF_CALL __cdecl           /* the calling convention of all four entry points */
#if defined(QWF_BUILDING_MODULE)
#define QWF_API
#else
#define QWF_API __declspec(dllimport)
#endif
#else
#if !defined(__cplusplus)
#include <uchar.h>
#endif
typedef char16_t QwfChar16;   /* UTF-16 code unit */
typedef uint32_t QwfColorRef; /* COLORREF, 0x00BBGGRR */
#define QWF_CALL
#define QWF_API __attribute__((visibility("default")))
#endif

/* The panel the module draws in (right and bottom exclusive), and the sizes of what it reads
 * and writes: samples from byte 44 of a WAV file, in blocks of 2000 16-bit items. */
#define QWF_PANEL_LEFT 0
#define QWF_PANEL_TOP 26
#define QWF_PANEL_RIGHT 240
#define QWF_PANEL_BOTTOM 228
#define QWF_WAV_HEADER_BYTES 44
#define QWF_BLOCK_SAMPLES 2000
#define QWF_BLOCK_BYTES (QWF_BLOCK_SAMPLES * 2)

/* The capture format: what recording asks of the input device and writes into its WAV header. */
#define QWF_CAPTURE_RATE 8000
#define QWF_CAPTURE_CHANNELS 1
#define QWF_CAPTURE_BITS 16
#define QWF_CAPTURE_FRAME_BYTES (QWF_CAPTURE_CHANNELS * QWF_CAPTURE_BITS / 8)

/* Result codes. */
#define WF_DONE 999    /* the entry point did its work */
#define WF_ERR_OPEN 1  /* capture start: the input device could not be opened */
#define WF_ERR_QUEUE 2 /* capture start: the capture buffer could not be queued */
#define WF_ERR_START 3 /* capture start: capture could not be started */
#define WF_ERR_FILE 4  /* capture start: the file could not be opened for writing */

#ifdef __cplusplus
extern "C" {
#endif

/* Starts playing the WAV file at path (NUL-terminated UTF-16, fewer than 200 characters)
 * with a live trace in traceColor on backColor. Always returns WF_DONE; a file that cannot be
 * opened plays nothing. Samples are read from byte 44 in blocks of 2000 16-bit items. */
QWF_API int32_t QWF_CALL PlayWavWaveForm(const QwfChar16* path, QwfColorRef traceColor,
                                         QwfColorRef backColor);

/* Toggles playback between paused and playing and clears the panel. Always WF_DONE. */
QWF_API int32_t QWF_CALL PlayWavWaveFormStop(void);

/* Starts capturing 8000 Hz mono 16-bit audio with a live trace. With a non-empty path the
 * capture is written to that WAV file, which is a valid WAV at every block boundary; an empty
 * or null path only shows the trace. Returns WF_DONE, WF_ERR_OPEN, WF_ERR_QUEUE, WF_ERR_START
 * or WF_ERR_FILE. A capture still running is ended first, as by WaveRecordWaveFormStop. */
QWF_API int32_t QWF_CALL WaveRecordWaveForm(const QwfChar16* path, QwfColorRef traceColor,
                                            QwfColorRef backColor);

/* Stops capturing, completes the file's header and returns the number of 2000-sample blocks
 * captured (each a quarter of a second); 0 when nothing was captured. */
QWF_API int32_t QWF_CALL WaveRecordWaveFormStop(void);

/* Types for hosts that resolve the entry points at run time. */
typedef int32_t(QWF_CALL* PlayWavWaveFormFn)(const QwfChar16*, QwfColorRef, QwfColorRef);
typedef int32_t(QWF_CALL* PlayWavWaveFormStopFn)(void);
typedef int32_t(QWF_CALL* WaveRecordWaveFormFn)(const QwfChar16*, QwfColorRef, QwfColorRef);
typedef int32_t(QWF_CALL* WaveRecordWaveFormStopFn)(void);

#ifdef __cplusplus
}
#endif

#endif
