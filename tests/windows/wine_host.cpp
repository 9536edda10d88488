// The Windows test host: a real client of QuorvelWaveForm.dll, run under Wine with a private
// PulseAudio server and an X server. It loads the DLL at run time and checks its exports and
// version resource, plays and records through Wine's waveform audio, reads the trace panel
// back from the screen with GetPixel, counts the GDI objects many starts leave, and unloads
// the DLL while it plays and records and exits the process while it records.
//
// Usage: qwf_wine_host.exe [--panels DIR]
//   --panels DIR  also writes each drawn panel to DIR as raw RGB, for the Linux cross-check.
// Prints a PASS or FAIL line per check and a final "N passed, M failed"; exits 1 on a failure.
// (Run with --exit-while-recording FILE it is the child process of the exit check.)
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "QuorvelWaveForm.h"
#include "trace_cases.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using qwf_cross::kBackColor;
using qwf_cross::kPanelHeight;
using qwf_cross::kPanelTop;
using qwf_cross::kPanelWidth;
using qwf_cross::kTraceColor;
using qwf_cross::PanelImage;

constexpr int kBlockBytes = 4000;
constexpr int kHeaderBytes = 44;
constexpr int kRate = 8000;
constexpr wchar_t kDllName[] = L"QuorvelWaveForm.dll";

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what, const std::string& detail = {}) {
    ++(ok ? passed : failed);
    std::printf("%s: %s%s%s\n", ok ? "PASS" : "FAIL", what.c_str(),
                ok || detail.empty() ? "" : ": ", ok ? "" : detail.c_str());
    std::fflush(stdout);
}

int Summary() {
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// ---- Files ------------------------------------------------------------------------------

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

std::wstring MakeWorkDirectory() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir =
        std::wstring(temp) + L"qwf-wine-host-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

bool WriteBytes(const std::wstring& path, const Bytes& bytes) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

Bytes ReadBytes(const std::wstring& path) {
    Bytes bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size)) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
            read = 0;
        }
        bytes.resize(read);
    }
    CloseHandle(file);
    return bytes;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Waits until the file holds at least `bytes` bytes. The module writes each block through an
// unbuffered stream as it arrives, so the size counts the blocks captured.
bool WaitForFileSize(const std::wstring& path, long long bytes, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (FileSize(path) < bytes) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

// True when some handle to the file is still open: an open asking to share nothing fails.
bool FileStillOpen(const std::wstring& path) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return false;
}

void PutU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A canonical 8000 Hz mono 16-bit WAV file image.
Bytes WavFile(const std::vector<std::int16_t>& samples) {
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    Bytes out;
    for (const char c : std::string("RIFF")) out.push_back(static_cast<std::uint8_t>(c));
    PutU32(out, dataBytes + 36);
    for (const char c : std::string("WAVEfmt ")) out.push_back(static_cast<std::uint8_t>(c));
    PutU32(out, 16);
    PutU16(out, 1);
    PutU16(out, 1);
    PutU32(out, kRate);
    PutU32(out, kRate * 2);
    PutU16(out, 2);
    PutU16(out, 16);
    for (const char c : std::string("data")) out.push_back(static_cast<std::uint8_t>(c));
    PutU32(out, dataBytes);
    for (const std::int16_t sample : samples) PutU16(out, static_cast<std::uint16_t>(sample));
    return out;
}

std::vector<std::int16_t> Tone(double hz, double seconds, double amplitude) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * kRate));
    const double pi = std::acos(-1.0);
    for (std::size_t n = 0; n < samples.size(); ++n) {
        samples[n] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * pi * hz * static_cast<double>(n) / kRate)));
    }
    return samples;
}

std::uint32_t U32At(const Bytes& bytes, std::size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

std::uint16_t U16At(const Bytes& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::string Hex(const Bytes& bytes, std::size_t count) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", bytes[i]);
        text += (i == 0 ? "" : " ") + std::string(byte);
    }
    return text;
}

// Empty when the bytes are the module's 8000 Hz mono 16-bit WAV header for `blocks` blocks;
// otherwise the first field that is wrong.
std::string HeaderProblem(const Bytes& file, std::uint32_t blocks) {
    if (file.size() < static_cast<std::size_t>(kHeaderBytes)) {
        return "the file is shorter than 44 bytes";
    }
    const std::string text(file.begin(), file.begin() + kHeaderBytes);
    const std::uint32_t dataBytes = blocks * kBlockBytes;
    struct Field {
        const char* name;
        std::uint32_t got;
        std::uint32_t want;
    };
    if (text.substr(0, 4) != "RIFF" || text.substr(8, 8) != "WAVEfmt " ||
        text.substr(36, 4) != "data") {
        return "the chunk ids are not RIFF, WAVE, fmt and data";
    }
    const Field fields[] = {
        {"RIFF size", U32At(file, 4), dataBytes + 36},
        {"fmt size", U32At(file, 16), 16},
        {"format tag", U16At(file, 20), 1},
        {"channels", U16At(file, 22), 1},
        {"sample rate", U32At(file, 24), 8000},
        {"byte rate", U32At(file, 28), 16000},
        {"block align", U16At(file, 32), 2},
        {"bits per sample", U16At(file, 34), 16},
        {"data size", U32At(file, 40), dataBytes},
    };
    for (const Field& f : fields) {
        if (f.got != f.want) {
            return std::string(f.name) + " is " + std::to_string(f.got) + ", not " +
                   std::to_string(f.want);
        }
    }
    return {};
}

// ---- Signal measures --------------------------------------------------------------------

double Rms(const std::int16_t* samples, int count) {
    double sum = 0;
    for (int i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / count);
}

// The share of the samples' energy at `hz` (Goertzel): 1 for a pure tone at that frequency
// over whole cycles, near 0 for silence, noise or other tones.
double ShareAt(const std::int16_t* samples, int count, double hz) {
    const double coefficient = 2 * std::cos(2 * std::acos(-1.0) * hz / kRate);
    double previous = 0, before = 0, energy = 0;
    for (int i = 0; i < count; ++i) {
        const double current = samples[i] + coefficient * previous - before;
        before = previous;
        previous = current;
        energy += static_cast<double>(samples[i]) * samples[i];
    }
    if (energy == 0) return 0;
    const double power = previous * previous + before * before - coefficient * previous * before;
    return 2 * power / (count * energy);
}

// The blocks of a recorded WAV file, from block `first` on, that hold the loud 1 kHz tone:
// an RMS over 3000 (the tone's is 11585) with over 90% of the energy at 1 kHz.
int ToneBlocks(const Bytes& file, int first) {
    if (file.size() < static_cast<std::size_t>(kHeaderBytes)) return 0;
    const auto* samples = reinterpret_cast<const std::int16_t*>(file.data() + kHeaderBytes);
    const int blocks = static_cast<int>((file.size() - kHeaderBytes) / kBlockBytes);
    int found = 0;
    for (int block = first; block < blocks; ++block) {
        const std::int16_t* start = samples + block * 2000;
        if (Rms(start, 2000) > 3000 && ShareAt(start, 2000, 1000) > 0.9) ++found;
    }
    return found;
}

// ---- The module -------------------------------------------------------------------------

struct Module {
    HMODULE handle = nullptr;
    PlayWavWaveFormFn play = nullptr;
    PlayWavWaveFormStopFn toggle = nullptr;
    WaveRecordWaveFormFn record = nullptr;
    WaveRecordWaveFormStopFn stop = nullptr;
};

template <typename Function>
Function Resolve(HMODULE module, const char* nameOrOrdinal) {
    // Through a function type without parameters, which may be cast to any other.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, nameOrOrdinal)));
}

bool Load(const std::wstring& path, Module& module) {
    module.handle = LoadLibraryW(path.c_str());
    if (module.handle == nullptr) return false;
    module.play = Resolve<PlayWavWaveFormFn>(module.handle, "PlayWavWaveForm");
    module.toggle = Resolve<PlayWavWaveFormStopFn>(module.handle, "PlayWavWaveFormStop");
    module.record = Resolve<WaveRecordWaveFormFn>(module.handle, "WaveRecordWaveForm");
    module.stop = Resolve<WaveRecordWaveFormStopFn>(module.handle, "WaveRecordWaveFormStop");
    return module.play && module.toggle && module.record && module.stop;
}

DWORD WINAPI FreeModuleThread(LPVOID module) {
    return FreeLibrary(static_cast<HMODULE>(module)) ? 1 : 0;
}

// Unloads the module on another thread and waits for it, so a detach that deadlocks under
// the loader lock is reported instead of hanging the run. After such a deadlock the loader
// lock is never released, so the process cannot go on: the run ends here.
void FreeOrEndRun(Module& module, const std::string& when) {
    const HANDLE thread = CreateThread(nullptr, 0, FreeModuleThread, module.handle, 0, nullptr);
    const bool returned = WaitForSingleObject(thread, 15000) == WAIT_OBJECT_0;
    DWORD freed = 0;
    if (returned) GetExitCodeThread(thread, &freed);
    Check(returned && freed == 1, "FreeLibrary " + when + " returns within 15 s",
          returned ? "FreeLibrary failed" : "it is still waiting: the detach deadlocked");
    if (!returned) {
        Summary();
        TerminateProcess(GetCurrentProcess(), 1);
    }
    CloseHandle(thread);
    module = Module{};
}

// ---- The screen -------------------------------------------------------------------------

PanelImage ReadPanel(HDC screen) {
    PanelImage image;
    image.reserve(static_cast<std::size_t>(kPanelWidth) * kPanelHeight * 3);
    for (int y = kPanelTop; y < kPanelTop + kPanelHeight; ++y) {
        for (int x = 0; x < kPanelWidth; ++x) {
            const COLORREF pixel = GetPixel(screen, x, y);
            image.push_back(GetRValue(pixel));
            image.push_back(GetGValue(pixel));
            image.push_back(GetBValue(pixel));
        }
    }
    return image;
}

void SavePanel(const std::wstring& dir, const std::string& name, const PanelImage& image) {
    if (dir.empty()) return;
    const std::string file = qwf_cross::PanelFileName(name);
    const std::wstring path = dir + L"\\" + std::wstring(file.begin(), file.end());
    Check(WriteBytes(path, image), "panel " + name + " written for the cross-check",
          "cannot write " + Narrow(path));
}

// Paints the panel in a colour the module never uses, so a later draw can be told apart.
void PaintPanel(HDC screen, COLORREF color) {
    const RECT rect{0, kPanelTop, kPanelWidth, kPanelTop + kPanelHeight};
    const HBRUSH brush = CreateSolidBrush(color);
    FillRect(screen, &rect, brush);
    DeleteObject(brush);
}

// Waits until the pixel shows the colour: the module draws on its own thread.
bool WaitForPixel(HDC screen, int x, int y, COLORREF color, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetPixel(screen, x, y) != color) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

// ---- Checks -----------------------------------------------------------------------------

void CheckExports(const std::wstring& dll) {
    Module module;
    module.handle = LoadLibraryW(dll.c_str());
    Check(module.handle != nullptr, "LoadLibraryW loads " + Narrow(dll),
          "error " + std::to_string(GetLastError()));
    if (module.handle == nullptr) return;
    const char* const names[] = {"PlayWavWaveForm", "PlayWavWaveFormStop", "WaveRecordWaveForm",
                                 "WaveRecordWaveFormStop"};
    for (int ordinal = 1; ordinal <= 4; ++ordinal) {
        const FARPROC byName = GetProcAddress(module.handle, names[ordinal - 1]);
        const FARPROC byOrdinal = GetProcAddress(module.handle, MAKEINTRESOURCEA(ordinal));
        Check(
            byName != nullptr && byName == byOrdinal,
            std::string("export ") + names[ordinal - 1] + " is ordinal " + std::to_string(ordinal),
            byName == nullptr ? "the name does not resolve" : "the ordinal gives another address");
    }
    Check(GetProcAddress(module.handle, MAKEINTRESOURCEA(5)) == nullptr, "there is no ordinal 5",
          "ordinal 5 resolves");
    // No entry point has run, so nothing pinned the DLL: it unloads, and its detach returns.
    FreeOrEndRun(module, "before any entry point ran");
    Check(GetModuleHandleW(kDllName) == nullptr, "a DLL that opened no device is unloaded");
}

void CheckVersionResource(const std::wstring& dll) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &ignored);
    std::vector<BYTE> data(size);
    const bool read = size != 0 && GetFileVersionInfoW(dll.c_str(), 0, size, data.data());
    Check(read, "GetFileVersionInfoW reads the version resource",
          "error " + std::to_string(GetLastError()));
    if (!read) return;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    const bool hasFixed =
        VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
        length == sizeof(VS_FIXEDFILEINFO) && fixed->dwSignature == 0xFEEF04BD;
    Check(hasFixed, "the fixed part is a VS_FIXEDFILEINFO");
    if (hasFixed) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "file %lu.%lu.%lu.%lu, product %lu.%lu.%lu.%lu, FILEOS %#lx, FILETYPE %#lx",
                      fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
                      fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
                      fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF,
                      fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF,
                      fixed->dwFileOS, fixed->dwFileType);
        Check(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001 &&
                  fixed->dwProductVersionMS == 0x00010000 &&
                  fixed->dwProductVersionLS == 0x00000001 && fixed->dwFileOS == 0x4 &&
                  fixed->dwFileType == 0x2,
              std::string("fixed part reads ") + text, "expected 1.0.0.1, 1.0.0.1, 0x4, 0x2");
    }

    struct Entry {
        const wchar_t* key;
        const wchar_t* value;
    };
    for (const Entry& entry :
         {Entry{L"CompanyName", L""}, Entry{L"FileDescription", L"QuorvelWaveForm DLL"},
          Entry{L"FileVersion", L"1, 0, 0, 1"}, Entry{L"InternalName", L"QuorvelWaveForm"},
          Entry{L"LegalTrademarks", L""}, Entry{L"OriginalFilename", L"QuorvelWaveForm.DLL"},
          Entry{L"ProductName", L"QuorvelWaveForm Dynamic Link Library"},
          Entry{L"ProductVersion", L"1, 0, 0, 1"}}) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + entry.key;
        wchar_t* value = nullptr;
        UINT chars = 0;
        const bool found = VerQueryValueW(data.data(), query.c_str(),
                                          reinterpret_cast<void**>(&value), &chars) != FALSE;
        const std::wstring got = found && value != nullptr ? std::wstring(value) : L"";
        Check(found && got == entry.value,
              "version string " + Narrow(entry.key) + " reads \"" + Narrow(got) + "\"" +
                  (found && got.empty() ? " (present, empty)" : ""),
              found ? "expected \"" + Narrow(entry.value) + "\""
                    : "VerQueryValueW finds no such value");
    }
    // Without this a lookup that succeeds for any name would pass the empty strings above.
    void* absent = nullptr;
    UINT absentLength = 0;
    Check(!VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\Comments", &absent,
                          &absentLength),
          "a string that is not in the resource is not found");

    WORD* translation = nullptr;
    UINT translationLength = 0;
    const bool hasTranslation =
        VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translation), &translationLength) &&
        translationLength == 4;
    Check(hasTranslation && translation[0] == 0x409 && translation[1] == 1200,
          "Translation is 0x409, 1200",
          hasTranslation
              ? "it is " + std::to_string(translation[0]) + ", " + std::to_string(translation[1])
              : "no 4-byte Translation value");
}

// Each case's file is one block: the module draws it once, at the start, so the panel can be
// read at leisure. Then a two-block file is paused at once (the toggle clears the panel and
// no block is drawn while paused) and resumed (the second block's trace appears).
void CheckPlaybackTraces(const std::wstring& dll, const std::wstring& work,
                         const std::wstring& panels, HDC screen) {
    Module module;
    if (!Load(dll, module)) {
        Check(false, "the DLL loads for the playback traces");
        return;
    }
    for (const qwf_cross::TraceCase& c : qwf_cross::TraceCases()) {
        const std::wstring path = work + L"case.wav";
        WriteBytes(path, WavFile(c.samples));
        PaintPanel(screen, RGB(1, 2, 3));
        const std::int32_t played = module.play(path.c_str(), kTraceColor, kBackColor);
        const PanelImage image = ReadPanel(screen);
        const std::string problem =
            played != WF_DONE ? "PlayWavWaveForm returned " + std::to_string(played)
                              : qwf_cross::CheckTrace(image, qwf_cross::ExpectedRows(c.samples, 0));
        Check(problem.empty(), std::string("playing the ") + c.name + " case draws its trace",
              problem);
        SavePanel(panels, c.name, image);
    }

    const qwf_cross::TraceCase first = qwf_cross::TraceCases()[0];
    const qwf_cross::TraceCase second = qwf_cross::TraceCases()[3];
    std::vector<std::int16_t> twoBlocks(first.samples);
    twoBlocks.push_back(0);
    twoBlocks.insert(twoBlocks.end(), second.samples.begin(), second.samples.end());
    const std::wstring path = work + L"two-blocks.wav";
    WriteBytes(path, WavFile(twoBlocks));
    module.play(path.c_str(), kTraceColor, kBackColor);
    Check(module.toggle() == WF_DONE, "PlayWavWaveFormStop (pause) returns WF_DONE");
    const PanelImage paused = ReadPanel(screen);
    const std::string clearProblem = qwf_cross::CheckCleared(paused);
    Check(clearProblem.empty(), "the pause toggle clears the panel to border and background",
          clearProblem);
    SavePanel(panels, "clear", paused);
    // Reading the panel took seconds: the first block would have ended long ago.
    Sleep(500);
    const std::string stillProblem = qwf_cross::CheckCleared(ReadPanel(screen));
    Check(stillProblem.empty(), "while paused no further block is drawn", stillProblem);

    Check(module.toggle() == WF_DONE, "PlayWavWaveFormStop (resume) returns WF_DONE");
    const std::vector<int> rows = qwf_cross::ExpectedRows(second.samples, 0);
    const bool drawn = WaitForPixel(screen, 120, rows[120], kTraceColor, 5000);
    Check(drawn, "after the resume the second block's trace appears");
    if (drawn) {
        const std::string problem = qwf_cross::CheckTrace(ReadPanel(screen), rows);
        Check(problem.empty(), "the second block's trace is exact", problem);
    }
    FreeOrEndRun(module, "after playing");
}

// Records to a file: two blocks of silence, then a loud 1 kHz tone played through the DLL
// into the null sink whose monitor is the capture source, then the stop.
// Two host threads calling each pair of entry points at once: the calls are serialised, so
// nothing crashes or hangs and every recording file is a valid WAV of whole blocks.
struct Hammer {
    Module* module;
    std::wstring play;
    std::wstring record[2];
};

DWORD WINAPI HammerThread(LPVOID argument) {
    const Hammer& hammer = *static_cast<const Hammer*>(argument);
    for (int i = 0; i < 30; ++i) {
        hammer.module->play(hammer.play.c_str(), kTraceColor, kBackColor);
        hammer.module->toggle();
        hammer.module->record(hammer.record[i % 2].c_str(), kTraceColor, kBackColor);
        hammer.module->stop();
    }
    return 0;
}

void CheckConcurrentHostThreads(const std::wstring& dll, const std::wstring& work) {
    Module module;
    if (!Load(dll, module)) {
        Check(false, "the DLL loads for the concurrent host threads");
        return;
    }
    const std::wstring quiet = work + L"hammer-quiet.wav";
    WriteBytes(quiet, WavFile(std::vector<std::int16_t>(qwf_cross::kCaseSamples, 0)));
    Hammer hammers[2] = {{&module, quiet, {work + L"hammer-a0.wav", work + L"hammer-a1.wav"}},
                         {&module, quiet, {work + L"hammer-b0.wav", work + L"hammer-b1.wav"}}};
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = CreateThread(nullptr, 0, HammerThread, &hammers[i], 0, nullptr);
    }
    const DWORD waited = WaitForMultipleObjects(2, threads, TRUE, 120000);
    for (HANDLE thread : threads) CloseHandle(thread);
    Check(waited == WAIT_OBJECT_0, "two threads starting and stopping at once finish within 120 s");
    if (waited != WAIT_OBJECT_0) return;
    module.stop();
    module.play(quiet.c_str(), kTraceColor, kBackColor);
    std::string problems;
    for (const Hammer& hammer : hammers) {
        for (const std::wstring& path : hammer.record) {
            const Bytes file = ReadBytes(path);
            const auto blocks = static_cast<std::uint32_t>(
                file.size() < kHeaderBytes ? 0 : (file.size() - kHeaderBytes) / kBlockBytes);
            const std::string problem = HeaderProblem(file, blocks);
            if (!problem.empty()) problems += Narrow(path) + ": " + problem + "; ";
        }
    }
    Check(problems.empty(), "every file the two threads recorded is a valid WAV of whole blocks",
          problems);
}

void CheckRecordingToFile(const std::wstring& dll, const std::wstring& work) {
    Module module;
    if (!Load(dll, module)) {
        Check(false, "the DLL loads for the recording");
        return;
    }
    const std::wstring tone = work + L"tone-1k.wav";
    const std::wstring quiet = work + L"quiet.wav";
    const std::wstring recorded = work + L"recorded.wav";
    WriteBytes(tone, WavFile(Tone(1000, 10, 16384)));
    WriteBytes(quiet, WavFile(std::vector<std::int16_t>(qwf_cross::kCaseSamples, 0)));

    const DWORD started = GetTickCount();
    Check(module.record(recorded.c_str(), kTraceColor, kBackColor) == WF_DONE,
          "WaveRecordWaveForm starts recording to a file");
    const bool silentBlocks = WaitForFileSize(recorded, kHeaderBytes + 2 * kBlockBytes, 15000);
    Check(silentBlocks, "two blocks are recorded within 15 s",
          "the file holds " + std::to_string(FileSize(recorded)) + " bytes");
    std::printf("info: the first two blocks took %lu ms\n", GetTickCount() - started);
    module.play(tone.c_str(), kTraceColor, kBackColor);
    // The tone reaches the capture after the output's and the input's latency: the recording
    // goes on until it holds three blocks of it (or 20 s pass; the check comes below).
    const DWORD toneStarted = GetTickCount();
    bool heard = false;
    while (!heard && GetTickCount() - toneStarted < 20000) {
        Sleep(100);
        heard = ToneBlocks(ReadBytes(recorded), 2) >= 3;
    }
    std::printf("info: the tone %s three blocks after %lu ms\n",
                heard ? "filled" : "had not filled", GetTickCount() - toneStarted);
    module.play(quiet.c_str(), kTraceColor, kBackColor);  // ends the tone
    const std::int32_t blocks = module.stop();
    std::printf("info: WaveRecordWaveFormStop returned %d after %lu ms\n", blocks,
                GetTickCount() - started);

    const Bytes file = ReadBytes(recorded);
    Check(blocks >= 5, "the stop counts every block recorded",
          "it returned " + std::to_string(blocks));
    std::printf("info: header bytes: %s\n", Hex(file, kHeaderBytes).c_str());
    const std::string problem = HeaderProblem(file, static_cast<std::uint32_t>(blocks));
    Check(problem.empty(), "the header is 8000 Hz mono 16-bit PCM for the blocks the stop returned",
          problem);
    Check(file.size() == static_cast<std::size_t>(kHeaderBytes + blocks * kBlockBytes),
          "the file is 44 bytes plus 4000 per block",
          std::to_string(file.size()) + " bytes for " + std::to_string(blocks) + " blocks");
    Check(!FileStillOpen(recorded), "the stop closes the file");
    if (file.size() < static_cast<std::size_t>(kHeaderBytes + 2 * kBlockBytes)) return;

    const auto* samples = reinterpret_cast<const std::int16_t*>(file.data() + kHeaderBytes);
    const double silentRms = std::max(Rms(samples, 2000), Rms(samples + 2000, 2000));
    std::printf("info: the first two blocks' RMS %.1f\n", silentRms);
    Check(silentRms < 50, "the blocks recorded before the tone are silent");
    const int toneBlocks = ToneBlocks(file, 2);
    Check(toneBlocks >= 3, "the 1 kHz tone played through the DLL is in the recording",
          std::to_string(toneBlocks) + " blocks hold it");
    FreeOrEndRun(module, "after recording");
}

// Trace only: no file, the panel shows the captured silence as a flat line at row 128.
void CheckRecordingTrace(const std::wstring& dll, HDC screen) {
    Module module;
    if (!Load(dll, module)) {
        Check(false, "the DLL loads for the recording trace");
        return;
    }
    PaintPanel(screen, RGB(1, 2, 3));
    Check(module.record(L"", kTraceColor, kBackColor) == WF_DONE,
          "WaveRecordWaveForm with an empty path starts the trace only");
    const bool drawn = WaitForPixel(screen, 120, 128, kTraceColor, 15000) &&
                       WaitForPixel(screen, 120, 100, kBackColor, 1000);
    Check(drawn, "a captured block is traced within 15 s");
    const std::int32_t blocks = module.stop();
    Check(blocks >= 1, "the stop counts the blocks traced",
          "it returned " + std::to_string(blocks));
    if (drawn) {
        const std::string problem = qwf_cross::CheckTrace(
            ReadPanel(screen), std::vector<int>(qwf_cross::kTracePoints, 128));
        Check(problem.empty(), "the trace of silence is a flat line at row 128", problem);
    }
    FreeOrEndRun(module, "after the recording trace");
}

// How many more GDI objects the process could create now: brushes are made until GDI refuses
// one, then deleted. Wine's GetGuiResources is a stub that returns 0, so this room in the
// handle table is what shows a leak there (on Windows it is the room left in the quota).
int GdiRoom() {
    std::vector<HBRUSH> made;
    constexpr std::size_t kMostTried = 1 << 20;
    while (made.size() < kMostTried) {
        const HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
        if (brush == nullptr) break;
        made.push_back(brush);
    }
    for (const HBRUSH brush : made) DeleteObject(brush);
    return static_cast<int>(made.size());
}

// Many starts leave the process's GDI objects where they were: every start releases the
// context, pen and brush of the previous start of its kind. Leaking three objects a start,
// these starts would exhaust Windows' 10,000-object quota and Wine's handle table.
void CheckStartsKeepGdiObjectsFlat(const std::wstring& dll, const std::wstring& work) {
    Module module;
    if (!Load(dll, module)) {
        Check(false, "the DLL loads for the GDI object count");
        return;
    }
    constexpr int kPlaybackStarts = 20000;
    constexpr int kRecordingStarts = 2000;
    constexpr int kSlack = 16;  // objects GDI itself may make on the way, such as cached ones
    const std::wstring missing = work + L"no-such-file.wav";
    const std::wstring tiny = work + L"tiny.wav";
    WriteBytes(tiny, WavFile(std::vector<std::int16_t>(100, 0)));
    // One start of each kind first: each kind keeps its last start's objects until its next.
    module.play(missing.c_str(), kTraceColor, kBackColor);
    module.record(L"", kTraceColor, kBackColor);
    module.stop();
    const DWORD countedBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const bool counted = countedBefore != 0;
    const int roomBefore = GdiRoom();

    DWORD started = GetTickCount();
    for (int i = 0; i < kPlaybackStarts; ++i) {
        module.play((i % 100 == 0 ? tiny : missing).c_str(), kTraceColor, kBackColor);
    }
    std::printf("info: %d playback starts took %lu ms\n", kPlaybackStarts,
                GetTickCount() - started);
    started = GetTickCount();
    int refused = 0;
    for (int i = 0; i < kRecordingStarts; ++i) {
        if (module.record(L"", kTraceColor, kBackColor) != WF_DONE) ++refused;
        module.stop();
    }
    std::printf("info: %d display-only recording starts and stops took %lu ms\n", kRecordingStarts,
                GetTickCount() - started);
    module.play(missing.c_str(), kTraceColor, kBackColor);  // ends the last tiny playback

    const DWORD countedAfter = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const int roomAfter = GdiRoom();
    std::printf("info: GetGuiResources(GR_GDIOBJECTS) %lu before, %lu after%s\n", countedBefore,
                countedAfter, counted ? "" : " (not implemented here)");
    std::printf("info: room for %d GDI objects before, %d after\n", roomBefore, roomAfter);
    Check(refused == 0, "every display-only recording start returns WF_DONE",
          std::to_string(refused) + " did not");
    if (counted) {
        Check(
            countedAfter <= countedBefore + kSlack,
            "GetGuiResources counts no more GDI objects after the starts",
            std::to_string(countedBefore) + " before, " + std::to_string(countedAfter) + " after");
    }
    Check(roomBefore > 3 * kSlack && roomAfter >= roomBefore - kSlack,
          "the starts leave the room for GDI objects as it was",
          "room for " + std::to_string(roomBefore) + " before, " + std::to_string(roomAfter) +
              " after");
    FreeOrEndRun(module, "after the GDI object count");
}

// FreeLibrary while playing returns at once and leaves the DLL loaded (it pinned itself when
// it opened the device), so the device's callbacks go on finding their code: the next block
// is drawn after the unload.
void CheckFreeWhilePlaying(const std::wstring& dll, const std::wstring& work, HDC screen) {
    Module module;
    if (!Load(dll, module)) {
        Check(false, "the DLL loads for unloading while playing");
        return;
    }
    const std::wstring tone = work + L"tone-440.wav";
    const std::wstring quiet = work + L"quiet.wav";
    WriteBytes(tone, WavFile(Tone(440, 5, 8000)));
    module.play(tone.c_str(), kTraceColor, kBackColor);
    Sleep(600);
    FreeOrEndRun(module, "while playing");
    Check(GetModuleHandleW(kDllName) != nullptr, "the DLL stays loaded while it may be playing");
    PaintPanel(screen, RGB(1, 2, 3));
    Check(WaitForPixel(screen, 0, kPanelTop, kTraceColor, 3000),
          "playback goes on after FreeLibrary: the next block is drawn");
    if (Load(dll, module)) module.play(quiet.c_str(), kTraceColor, kBackColor);  // ends the tone
    FreeOrEndRun(module, "after playing");
}

// FreeLibrary while recording returns at once and the capture goes on; the host that loads
// the DLL again reaches the same capture and stops it, which completes and closes the file.
void CheckFreeWhileRecording(const std::wstring& dll, const std::wstring& work) {
    Module module;
    if (!Load(dll, module)) {
        Check(false, "the DLL loads for unloading while recording");
        return;
    }
    const HMODULE loaded = module.handle;
    const std::wstring recorded = work + L"freed.wav";
    module.record(recorded.c_str(), kTraceColor, kBackColor);
    const bool twoBlocks = WaitForFileSize(recorded, kHeaderBytes + 2 * kBlockBytes, 15000);
    Check(twoBlocks, "recording before FreeLibrary reaches two blocks");
    FreeOrEndRun(module, "while recording");
    const long long freedAt = FileSize(recorded);
    Check(WaitForFileSize(recorded, freedAt + kBlockBytes, 5000),
          "the capture goes on after FreeLibrary");
    const bool again = Load(dll, module);
    Check(again && module.handle == loaded, "LoadLibraryW again finds the same DLL still loaded");
    if (!again) return;
    const std::int32_t blocks = module.stop();
    const Bytes file = ReadBytes(recorded);
    const std::string problem = HeaderProblem(file, static_cast<std::uint32_t>(blocks));
    Check(blocks >= 3 && problem.empty() &&
              file.size() == static_cast<std::size_t>(kHeaderBytes + blocks * kBlockBytes),
          "its stop completes the file with every block, before and after FreeLibrary",
          std::to_string(blocks) + " blocks, " + std::to_string(file.size()) + " bytes" +
              (problem.empty() ? "" : "; " + problem));
    Check(!FileStillOpen(recorded), "the stop closes the file");
    FreeOrEndRun(module, "after recording");
}

// The child of the exit check: plays and records, then returns from main with both running.
int ExitWhileRecording(const std::wstring& dll, const std::wstring& recorded) {
    Module module;
    if (!Load(dll, module)) return 10;
    const std::wstring tone = recorded + L".tone.wav";
    WriteBytes(tone, WavFile(Tone(440, 5, 8000)));
    module.play(tone.c_str(), kTraceColor, kBackColor);
    if (module.record(recorded.c_str(), kTraceColor, kBackColor) != WF_DONE) return 11;
    if (!WaitForFileSize(recorded, kHeaderBytes + 2 * kBlockBytes, 15000)) return 12;
    return 0;
}

// Process exit while playing and recording: the detach runs with the other threads already
// gone. It must neither hang nor crash, and the file must describe whole blocks.
void CheckExitWhileRecording(const std::wstring& work) {
    const std::wstring recorded = work + L"exit.wav";
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command =
        L"\"" + std::wstring(exe) + L"\" --exit-while-recording \"" + recorded + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const bool created = CreateProcessW(exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &process) != FALSE;
    Check(created, "the exit check's child process starts");
    if (!created) return;
    const bool ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    DWORD code = 0;
    if (ended) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Check(ended, "a process exiting while it plays and records ends within 30 s",
          "it hung in the detach");
    Check(!ended || code == 0, "it exits cleanly", "exit code " + std::to_string(code));

    const Bytes file = ReadBytes(recorded);
    const std::uint32_t dataBytes = file.size() >= 44 ? U32At(file, 40) : 0;
    const std::uint32_t blocks = dataBytes / kBlockBytes;
    const std::string problem = HeaderProblem(file, blocks);
    std::printf("info: after the exit the file holds %zu bytes, its header %u blocks\n",
                file.size(), blocks);
    Check(blocks >= 2 && dataBytes % kBlockBytes == 0 && problem.empty() &&
              file.size() >= kHeaderBytes + dataBytes &&
              file.size() < kHeaderBytes + dataBytes + kBlockBytes,
          "the file left by the exit is a valid WAV of its whole blocks",
          std::to_string(file.size()) + " bytes, data size " + std::to_string(dataBytes) +
              (problem.empty() ? "" : "; " + problem));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // A crash must end the process, not wait for a debugger's dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const std::wstring dll = ExeDirectory() + kDllName;
    if (argc == 3 && std::wstring(argv[1]) == L"--exit-while-recording") {
        return ExitWhileRecording(dll, argv[2]);
    }
    std::wstring panels;
    if (argc == 3 && std::wstring(argv[1]) == L"--panels") {
        panels = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: qwf_wine_host.exe [--panels DIR]\n");
        return 2;
    }
    const std::wstring work = MakeWorkDirectory();
    const HDC screen = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
    Check(screen != nullptr, "the screen has a display context");
    if (screen == nullptr) return Summary();

    CheckExports(dll);
    CheckVersionResource(dll);
    Check(waveOutGetNumDevs() > 0 && waveInGetNumDevs() > 0,
          "Wine has waveform output and input devices", "is the PulseAudio server running?");
    CheckPlaybackTraces(dll, work, panels, screen);
    CheckRecordingToFile(dll, work);
    CheckRecordingTrace(dll, screen);
    CheckConcurrentHostThreads(dll, work);
    CheckStartsKeepGdiObjectsFlat(dll, work);
    CheckFreeWhilePlaying(dll, work, screen);
    CheckFreeWhileRecording(dll, work);
    CheckExitWhileRecording(work);
    DeleteDC(screen);
    return Summary();
}
