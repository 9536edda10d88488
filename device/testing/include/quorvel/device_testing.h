/* Testing hooks of the QuorvelDevice services, in C, in the style of quorvel/device.h: the call
 * journal, injected faults and handler timing. For this project's tests and benchmarks only;
 * it is not installed, and hosts have no use for it. */
#ifndef QUORVEL_DEVICE_TESTING_H
#define QUORVEL_DEVICE_TESTING_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel/device.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Call journal ----------------------------------------------------------------------
 * While enabled, every Win32-named call made into the services is recorded in order, one line
 * each: "Name(arg, arg, ...) = result". Handles print as kind and serial number ("hdc1",
 * "brush2", "pen3", "wout4", "win5"), colours as 0x00BBGGRR, MMRESULTs and BOOLs as decimal
 * numbers, wave headers as "hdr", formats as "fmt{tag,channels,rate,avg,align,bits,cbSize}",
 * Polyline's points as "N points". Calls made by the services themselves (their callbacks)
 * are not recorded; the messages they deliver are, as "message(wout4, MM_WOM_DONE)". */
QWD_API void qwd_enable_journal(int32_t on);
QWD_API void qwd_clear_journal(void);
/* The line at index, oldest first, or null past the end. */
QWD_API const char* qwd_journal_entry(uint64_t index);

/* ---- Injected faults -------------------------------------------------------------------
 * Operations that can be told to fail. A fault fails count calls (negative: every call) after
 * letting skip calls succeed, returning code. */
typedef enum qwd_op {
    QWD_OP_OUT_OPEN,
    QWD_OP_OUT_PREPARE,
    QWD_OP_OUT_WRITE,
    QWD_OP_OUT_UNPREPARE,
    QWD_OP_OUT_PAUSE,
    QWD_OP_OUT_RESTART,
    QWD_OP_OUT_RESET,
    QWD_OP_OUT_CLOSE,
    QWD_OP_IN_OPEN,
    QWD_OP_IN_PREPARE,
    QWD_OP_IN_ADD_BUFFER,
    QWD_OP_IN_START,
    QWD_OP_IN_STOP,
    QWD_OP_IN_RESET,
    QWD_OP_IN_UNPREPARE,
    QWD_OP_IN_CLOSE,
    /* _wfopen: the file opens, but every read of the stream past byte code of the file fails
     * (EIO), as on a failing medium; the bytes before it read as usual. code is at least 1. */
    QWD_OP_FILE_READ,
    /* An input buffer is handed back, as a device may mid-stream, once it holds code bytes
     * (whole frames) instead of being filled to its length; skip counts buffers. */
    QWD_OP_IN_SHORT_BUFFER,
    QWD_OP_COUNT
} qwd_op;

/* QWD_ERROR_ARGUMENT for an op out of range. */
QWD_API qwd_result qwd_inject_fault(int32_t op, uint32_t code, int32_t skip, int32_t count);
QWD_API void qwd_clear_faults(void);

/* ---- Handler timing --------------------------------------------------------------------
 * While enabled, the devices time every callback they make for MM_WOM_DONE and MM_WIM_DATA,
 * from the call to its return on the device's own thread. The most recent
 * QWD_HANDLER_TIMES_KEPT of each kind are kept; a take moves up to capacity of them, oldest
 * first, into nanoseconds and returns how many it moved. */
#define QWD_HANDLER_TIMES_KEPT (1u << 20)
QWD_API void qwd_time_handlers(int32_t on);
QWD_API size_t qwd_take_output_handler_times(int64_t* nanoseconds, size_t capacity);
QWD_API size_t qwd_take_input_handler_times(int64_t* nanoseconds, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
