/* Win32 waveform audio names for the device services on non-Windows builds. */
#ifndef QUORVEL_DEVICE_MMSYSTEM_H
#define QUORVEL_DEVICE_MMSYSTEM_H

#include <windows.h>

typedef UINT MMRESULT;

DECLARE_HANDLE(HWAVEOUT);
DECLARE_HANDLE(HWAVEIN);
typedef HWAVEOUT* LPHWAVEOUT;
typedef HWAVEIN* LPHWAVEIN;

#define WAVE_MAPPER ((UINT)-1)
#define WAVE_FORMAT_PCM 1
#define WAVE_FORMAT_QUERY 0x0001
#define CALLBACK_TYPEMASK 0x00070000ul
#define CALLBACK_NULL 0x00000000ul
#define CALLBACK_FUNCTION 0x00030000ul

#define MM_WOM_OPEN 0x3BB
#define MM_WOM_CLOSE 0x3BC
#define MM_WOM_DONE 0x3BD
#define MM_WIM_OPEN 0x3BE
#define MM_WIM_CLOSE 0x3BF
#define MM_WIM_DATA 0x3C0

#define WHDR_DONE 0x00000001
#define WHDR_PREPARED 0x00000002
#define WHDR_INQUEUE 0x00000010

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34
#define WAVERR_SYNC 35

typedef struct wavehdr_tag {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    struct wavehdr_tag* lpNext;
    DWORD_PTR reserved;
} WAVEHDR, *LPWAVEHDR;

/* Packed to 1 byte, as the Windows headers pack it: 18 bytes, no tail padding. */
#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX;
#pragma pack(pop)
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

/* The records have the platform's layout on every target. */
#ifdef __cplusplus
#define QDEV_LAYOUT_ASSERT(condition, message) static_assert(condition, message)
#else
#define QDEV_LAYOUT_ASSERT(condition, message) _Static_assert(condition, message)
#endif
QDEV_LAYOUT_ASSERT(sizeof(WAVEHDR) == 4 * sizeof(void*) + 4 * sizeof(DWORD),
                   "WAVEHDR: four pointer-sized fields and four DWORDs, as on Windows");
QDEV_LAYOUT_ASSERT(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes, as on Windows");

typedef void(CALLBACK* LPWAVECALLBACK)(HWAVEOUT device, UINT message, DWORD_PTR instance,
                                       DWORD_PTR param1, DWORD_PTR param2);
typedef void(CALLBACK* LPWAVEINCALLBACK)(HWAVEIN device, UINT message, DWORD_PTR instance,
                                         DWORD_PTR param1, DWORD_PTR param2);

/* Output. Callbacks run on the device's own thread, one message at a time, never inside the
 * call that queued the block, and never after waveOutClose has returned. Closing or resetting
 * from inside the device's own callback returns at once; the messages that follow (and
 * MM_WOM_CLOSE last) come after that callback returns. */
QDEV_API MMRESULT waveOutOpen(LPHWAVEOUT device, UINT deviceId, LPCWAVEFORMATEX format,
                              DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
QDEV_API MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
QDEV_API MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size);
QDEV_API MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size);
QDEV_API MMRESULT waveOutPause(HWAVEOUT device);
QDEV_API MMRESULT waveOutRestart(HWAVEOUT device);
QDEV_API MMRESULT waveOutReset(HWAVEOUT device);
QDEV_API MMRESULT waveOutClose(HWAVEOUT device);

/* Input. Data messages come on the device's own thread, one at a time, none after
 * waveInClose has returned (closing from inside the device's own callback returns at once;
 * the remaining messages and MM_WIM_CLOSE follow when that callback returns). */
QDEV_API MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, LPCWAVEFORMATEX format,
                             DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
QDEV_API MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size);
QDEV_API MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size);
QDEV_API MMRESULT waveInStart(HWAVEIN device);
QDEV_API MMRESULT waveInStop(HWAVEIN device);
QDEV_API MMRESULT waveInReset(HWAVEIN device);
QDEV_API MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size);
QDEV_API MMRESULT waveInClose(HWAVEIN device);

#endif
