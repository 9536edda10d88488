// Host-side API of the QuorvelDevice services: what hosts and tests use to see the screen,
// watch the calls the module makes, and choose and drive the audio devices. The module itself
// never includes this header; it sees only the Win32 names in <windows.h> and <mmsystem.h>.
#ifndef QUORVEL_DEVICE_H
#define QUORVEL_DEVICE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define QUORVEL_DEVICE_API __attribute__((visibility("default")))

namespace quorvel::device {

// ---- Screen ---------------------------------------------------------------------------
constexpr int kDefaultScreenWidth = 240;
constexpr int kDefaultScreenHeight = 320;

struct ScreenSize {
    int width;
    int height;
};

// Resizes the screen (1..4096 each way) and fills it with black. Returns false, changing
// nothing, for a size out of range.
QUORVEL_DEVICE_API bool SetScreenSize(int width, int height);
QUORVEL_DEVICE_API ScreenSize GetScreenSize();
// Fills the whole screen with one colour (COLORREF, 0x00BBGGRR).
QUORVEL_DEVICE_API void ClearScreen(std::uint32_t colorref = 0);
// The pixel at (x, y) as COLORREF; 0xFFFFFFFF (CLR_INVALID) outside the screen.
QUORVEL_DEVICE_API std::uint32_t ScreenPixel(int x, int y);
// The whole screen as rows of R, G, B bytes, top row first (width * height * 3 bytes).
QUORVEL_DEVICE_API std::vector<std::uint8_t> ReadScreenRgb();
// Writes the screen as an 8-bit RGB PNG. On failure returns false and puts a sentence
// naming the file into *error (when error is not null).
QUORVEL_DEVICE_API bool WriteScreenPng(const std::string& path, std::string* error = nullptr);
// Counts every drawing call that changed the screen; hosts poll it to redraw a live view.
QUORVEL_DEVICE_API std::uint64_t ScreenGeneration();
// Contexts, pens and brushes created and not yet deleted, in the whole process (the stock pen
// and brush every context starts with are not counted): what GetGuiResources counts on Windows.
QUORVEL_DEVICE_API std::size_t LiveScreenObjects();

// ---- Call journal ---------------------------------------------------------------------
// While enabled, every Win32-named call made into the services is recorded in order, one
// line each: "Name(arg, arg, ...) = result". Handles print as kind and serial number
// ("hdc1", "brush2", "pen3", "wout4", "win5"), colours as 0x00BBGGRR, MMRESULTs and BOOLs
// as decimal numbers, wave headers as "hdr", formats as
// "fmt{tag,channels,rate,avg,align,bits,cbSize}", Polyline's points as "N points".
// Calls made by the services themselves (their callbacks) are not recorded; the messages
// they deliver are, as "message(wout4, MM_WOM_DONE)".
QUORVEL_DEVICE_API void EnableJournal(bool on);
QUORVEL_DEVICE_API void ClearJournal();
QUORVEL_DEVICE_API std::vector<std::string> JournalEntries();
// Just the names of the recorded calls, in order ("CreateDCW", "SelectObject", ...).
QUORVEL_DEVICE_API std::vector<std::string> JournalNames();

// ---- Audio devices -------------------------------------------------------------------
enum class Pace {
    kRealTime,  // the device consumes and produces audio at the format's own rate
    kFast,      // as fast as the module queues blocks: for tests and batch work
};

// Backends, named in the settings below and in QUORVEL_OUTPUT / QUORVEL_INPUT:
//   "pulse"    the sound device, through PulseAudio's own client library (left out of builds
//              configured with QWF_WITH_PULSE=OFF);
//   "sdl"      the sound device, through SDL (PulseAudio, PipeWire or ALSA, as SDL finds them;
//              left out of builds configured with QWF_WITH_SDL=OFF);
//   "virtual"  the virtual device of these services (sinks, sources, pace, gates);
//   "null"     plays into nothing and captures silence, as fast as blocks and buffers come;
//   "default"  the first of AudioBackends() whose device opens.
// A device opened with nothing configured and no environment variable uses "default". The pace,
// the virtual sources and the gates apply to the virtual device; the sinks to both.
struct OutputSettings {
    std::string backend = "virtual";
    Pace pace = Pace::kRealTime;
    std::string sinkFile;     // when set, every byte played is appended to this file
    bool sinkMemory = false;  // when set, every byte played is kept for TakePlayedBytes()
};

struct InputSettings {
    std::string backend = "virtual";
    Pace pace = Pace::kRealTime;
    // "silence", "tone:HZ" (amplitude 0.5 of full scale), "ramp" (sample n is n mod 65536
    // as a signed 16-bit value, counted from the first sample after the first waveInStart;
    // the source pauses while the device is stopped), "file:PATH" (a WAV file's
    // data, or raw 16-bit little-endian mono; repeats from its start when it ends).
    std::string source = "silence";
    std::size_t fifoFrames =
        std::size_t{8000} * 30;  // capacity of the device's own FIFO, in samples
};

// Applies to devices opened afterwards. False, with a sentence in *error, for an unknown
// backend, source, or a sink file that cannot be created.
QUORVEL_DEVICE_API bool ConfigureOutput(const OutputSettings& settings,
                                        std::string* error = nullptr);
QUORVEL_DEVICE_API bool ConfigureInput(const InputSettings& settings, std::string* error = nullptr);
// Parses the text form used by the QUORVEL_OUTPUT and QUORVEL_INPUT environment variables
// ("virtual,fast,sink=/tmp/out.raw"; "virtual,realtime,source=tone:440"). The variables are
// read once, when the first device of that direction is opened without an earlier
// Configure call.
QUORVEL_DEVICE_API bool ParseOutputSettings(const std::string& text, OutputSettings* settings,
                                            std::string* error = nullptr);
QUORVEL_DEVICE_API bool ParseInputSettings(const std::string& text, InputSettings* settings,
                                           std::string* error = nullptr);

// Bytes played since the last call, when sinkMemory is on.
QUORVEL_DEVICE_API std::vector<std::uint8_t> TakePlayedBytes();
// Once the configured sink file has stopped taking bytes (a failed or short write), one
// sentence naming the file and the cause; empty while every byte played has reached it. The
// file then keeps the bytes it took and gets no more.
QUORVEL_DEVICE_API std::string OutputSinkError();

// Operations that can be told to fail. A fault fails `count` calls (negative: every call)
// after letting `skip` calls succeed, returning `code`.
enum class Op {
    kOutOpen,
    kOutPrepare,
    kOutWrite,
    kOutUnprepare,
    kOutPause,
    kOutRestart,
    kOutReset,
    kOutClose,
    kInOpen,
    kInPrepare,
    kInAddBuffer,
    kInStart,
    kInStop,
    kInReset,
    kInUnprepare,
    kInClose,
    // _wfopen: the file opens, but every read of the stream past byte `code` of the file fails
    // (EIO), as on a failing medium; the bytes before it read as usual. `code` is at least 1.
    kFileRead,
};
QUORVEL_DEVICE_API void InjectFault(Op op, unsigned code, int skip = 0, int count = 1);
QUORVEL_DEVICE_API void ClearFaults();

// Gates let a test step a device: an output device completes blocks, and an input device
// fills buffers, only while its gate allows (negative: no limit, the default). Each
// completed block or filled buffer uses one unit of the gate.
QUORVEL_DEVICE_API void SetOutputGate(long blocks);
QUORVEL_DEVICE_API void SetInputGate(long buffers);

struct OutputStats {
    std::uint64_t opened = 0;        // successful waveOutOpen calls
    std::uint64_t closed = 0;        // successful waveOutClose calls
    std::uint64_t blocksQueued = 0;  // successful waveOutWrite calls
    std::uint64_t blocksPlayed = 0;  // blocks played to their end
    std::uint64_t bytesPlayed = 0;
    std::uint64_t doneMessages = 0;  // every MM_WOM_DONE delivered (played or reset)
    // Silence a sound device played because the next block was not queued in time after a
    // block ended (a gap in the audio). Never counts paused or idle time.
    std::uint64_t underrunFrames = 0;
    // Silence a sound device played while paused or with nothing queued or awaited, such as
    // before the first block and after the last.
    std::uint64_t idleFrames = 0;
    std::uint64_t devicesLost = 0;  // devices whose sound device went away while open
};
struct InputStats {
    std::uint64_t opened = 0;
    std::uint64_t closed = 0;
    std::uint64_t buffersFilled = 0;   // MM_WIM_DATA delivered for full buffers
    std::uint64_t dataMessages = 0;    // every MM_WIM_DATA delivered
    std::uint64_t framesCaptured = 0;  // samples produced by the source
    std::uint64_t framesDropped = 0;   // samples the FIFO had no room for
    std::uint64_t devicesLost = 0;     // devices whose sound device went away while open
};
QUORVEL_DEVICE_API OutputStats GetOutputStats();
QUORVEL_DEVICE_API InputStats GetInputStats();
QUORVEL_DEVICE_API void ResetStats();

// Waits until every open output device has nothing queued and no message pending or being
// handled (playback has run out), or the timeout passes. True when idle. Never true when
// called from inside a device callback.
QUORVEL_DEVICE_API bool WaitOutputIdle(std::chrono::milliseconds timeout);
// Waits until at least `count` MM_WIM_DATA messages have been handled since ResetStats.
QUORVEL_DEVICE_API bool WaitInputData(std::uint64_t count, std::chrono::milliseconds timeout);
// Number of output / input devices currently open.
QUORVEL_DEVICE_API int OpenOutputDevices();
QUORVEL_DEVICE_API int OpenInputDevices();

// ---- Handler timing ---------------------------------------------------------------------
// While enabled, the devices time every callback they make for MM_WOM_DONE and MM_WIM_DATA,
// from the call to its return on the device's own thread. The most recent kHandlerTimesKept
// of each kind are kept; Take returns them in order and forgets them.
constexpr std::size_t kHandlerTimesKept = 1 << 20;
QUORVEL_DEVICE_API void TimeHandlers(bool on);
QUORVEL_DEVICE_API std::vector<std::chrono::nanoseconds> TakeOutputHandlerTimes();
QUORVEL_DEVICE_API std::vector<std::chrono::nanoseconds> TakeInputHandlerTimes();

// ---- Backends and sound devices --------------------------------------------------------
// The backends in the order "default" tries them: {"pulse", "sdl", "virtual", "null"}, without
// "pulse" or "sdl" in a build without it.
QUORVEL_DEVICE_API std::vector<std::string> AudioBackends();
// The backend the most recently opened output / input device uses ("pulse", "sdl", ...); empty
// before the first open since start or ResetAll.
QUORVEL_DEVICE_API std::string ActiveOutputBackend();
QUORVEL_DEVICE_API std::string ActiveInputBackend();
// One line for a person when the most recent open fell back from "default" to the virtual
// device because no sound device could be opened, saying why; empty otherwise.
QUORVEL_DEVICE_API std::string OutputFallbackNotice();
QUORVEL_DEVICE_API std::string InputFallbackNotice();
// True while an open device has lost its sound device (the sound server or card went away).
// Such a device delivers no more MM_WOM_DONE / MM_WIM_DATA: its queued blocks and buffers are
// returned without messages, waveOutWrite, waveOutPause, waveOutRestart, waveInAddBuffer and
// waveInStart fail with MMSYSERR_NODRIVER, and closing works as usual.
QUORVEL_DEVICE_API bool OutputDeviceLost();
QUORVEL_DEVICE_API bool InputDeviceLost();

// Puts screen, journal, faults, gates, stats and settings back to their defaults; the
// QUORVEL_OUTPUT and QUORVEL_INPUT variables are read again at the next open. Devices still
// open stay open.
QUORVEL_DEVICE_API void ResetAll();

}  // namespace quorvel::device

#endif
