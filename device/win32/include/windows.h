/* Win32 names for the device services on non-Windows builds.
 * The module includes <windows.h> and <mmsystem.h> exactly as it would on Windows;
 * on Linux this folder is on the include path and the QuorvelDevice library provides
 * the functions. Only what the module and its hosts use is declared. */
#ifndef QUORVEL_DEVICE_WINDOWS_H
#define QUORVEL_DEVICE_WINDOWS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
#define QDEV_API extern "C" __attribute__((visibility("default")))
#else
#define QDEV_API __attribute__((visibility("default")))
#endif

#define WINAPI
#define CALLBACK

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef uintptr_t DWORD_PTR;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint_least16_t WCHAR;
#endif
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef void* LPVOID;
typedef DWORD COLORREF;

#define TRUE 1
#define FALSE 0

/* Wide string literal of the platform's 16-bit character type. */
#define TEXT(quote) u##quote

#define DECLARE_HANDLE(name)  \
    typedef struct name##__ { \
        int unused;           \
    } * name

DECLARE_HANDLE(HDC);
DECLARE_HANDLE(HPEN);
DECLARE_HANDLE(HBRUSH);
DECLARE_HANDLE(HINSTANCE);
typedef void* HGDIOBJ;
typedef HINSTANCE HMODULE;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct _devicemodeW DEVMODEW;

#define RGB(r, g, b) \
    ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(rgb) ((BYTE)(rgb))
#define GetGValue(rgb) ((BYTE)(((WORD)(rgb)) >> 8))
#define GetBValue(rgb) ((BYTE)((rgb) >> 16))

#define PS_SOLID 0
#define PS_NULL 5
#define CLR_INVALID 0xFFFFFFFFu

/* Graphics: one process-wide screen, every "DISPLAY" context draws on it. */
QDEV_API HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR port, const DEVMODEW* init);
QDEV_API BOOL DeleteDC(HDC dc);
QDEV_API HBRUSH CreateSolidBrush(COLORREF color);
QDEV_API HPEN CreatePen(int style, int width, COLORREF color);
QDEV_API HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
QDEV_API BOOL DeleteObject(HGDIOBJ object);
QDEV_API BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
QDEV_API BOOL Polyline(HDC dc, const POINT* points, int count);
QDEV_API COLORREF GetPixel(HDC dc, int x, int y);

/* 16-bit strings. lstrlenW(NULL) is 0; lstrcpynW copies at most max-1 characters and
 * always terminates. */
QDEV_API int lstrlenW(LPCWSTR text);
QDEV_API LPWSTR lstrcpynW(LPWSTR destination, LPCWSTR source, int max);

/* Opens a file named by a UTF-16 path (converted to UTF-8). Fails (NULL, errno set) for a
 * null or malformed path, an unpaired surrogate, a directory, or anything but a regular file
 * when reading. Mode is "rb", "wb", "ab", "r+b" and the like, as 16-bit text. */
QDEV_API FILE* _wfopen(LPCWSTR path, LPCWSTR mode);

#endif
