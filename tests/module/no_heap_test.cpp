// No heap in the module's own operations: while an entry point runs on the calling thread, and
// while the module's message handler runs on a device's thread, the module allocates nothing.
// Allocations made inside the device services (the library the module calls) and inside the C
// library (the file streams it opens, reads and closes) are not the module's and are left out:
// each allocation's call stack is taken and looked up against those libraries' code.
//
// Counting: plain builds define malloc and its relatives here (operator new allocates through
// them); sanitizer builds own malloc, so there the sanitizers' allocation hook is used. The
// handlers are reached through waveOutOpen and waveInOpen defined here, which pass the device
// a trampoline that marks the thread for the handler's run.
#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <link.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "QuorvelWaveForm.h"
#include "quorvel/device.hpp"
#include "support/test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QWF_SANITIZED_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QWF_SANITIZED_MALLOC 1
#endif
#endif
#ifdef QWF_SANITIZED_MALLOC
// From the sanitizers' allocator interface (GCC installs no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*,
                                                                          std::size_t),
                                                         void (*onFree)(const volatile void*));
#endif

namespace {

// ---- The allocation census -------------------------------------------------------------

thread_local int insideModule = 0;  // entry point or handler running on this thread
thread_local bool inCensus = false;

// The census's own functions sit in a section of their own, so their frames can be told apart.
#define QWF_CENSUS_CODE __attribute__((section("qwf_census_code"), noinline))
extern "C" char __start_qwf_census_code[];
extern "C" char __stop_qwf_census_code[];

struct AddressRange {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};
struct CodeRanges {
    AddressRange ranges[16];
    int count = 0;
    bool Contains(std::uintptr_t pc) const {
        for (int i = 0; i < count; ++i) {
            if (pc >= ranges[i].begin && pc < ranges[i].end) return true;
        }
        return false;
    }
};
CodeRanges programCode;  // the test program, and in it the module
// Libraries an allocation passes through on its way from whoever asked for it: operator new,
// the sanitizers' allocators, the unwinder.
CodeRanges passThroughCode;
const char* const kPassThrough[] = {"libstdc++", "libasan",     "libtsan",
                                    "libubsan",  "libclang_rt", "libgcc_s"};

constexpr int kFrames = 32;
constexpr int kKept = 16;
struct Allocation {
    std::size_t size;
    int depth;
    void* frames[kFrames];
};
std::atomic<int> moduleAllocations{0};
Allocation kept[kKept];

// The first frame past the census and the pass-through libraries is the code that asked for
// the memory: the module's when it lies in the program, else the device services', the C
// library's (its file streams) or another library's.
bool AskedForByTheProgram(void* const* frames, int depth) {
    for (int i = 0; i < depth; ++i) {
        // A return address; the call itself is one byte earlier.
        const auto pc = reinterpret_cast<std::uintptr_t>(frames[i]) - 1;
        if (pc >= reinterpret_cast<std::uintptr_t>(__start_qwf_census_code) &&
            pc < reinterpret_cast<std::uintptr_t>(__stop_qwf_census_code)) {
            continue;
        }
        if (passThroughCode.Contains(pc)) continue;
        return programCode.Contains(pc);
    }
    return false;
}

QWF_CENSUS_CODE void Census(std::size_t size) {
    if (insideModule == 0 || inCensus) return;
    inCensus = true;
    Allocation allocation{size, 0, {}};
    allocation.depth = backtrace(allocation.frames, kFrames);
    if (AskedForByTheProgram(allocation.frames, allocation.depth)) {
        const int index = moduleAllocations.fetch_add(1);
        if (index < kKept) kept[index] = allocation;
    }
    inCensus = false;
}

void AddCode(const dl_phdr_info& info, CodeRanges& code) {
    for (int i = 0; i < info.dlpi_phnum && code.count < 16; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
        const std::uintptr_t begin = info.dlpi_addr + segment.p_vaddr;
        code.ranges[code.count++] = {begin, begin + segment.p_memsz};
    }
}

int FindCode(dl_phdr_info* info, std::size_t, void* first) {
    const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    if (*static_cast<bool*>(first)) {  // the program comes first
        AddCode(*info, programCode);
        *static_cast<bool*>(first) = false;
        return 0;
    }
    for (const char* library : kPassThrough) {
        if (std::strstr(name, library) != nullptr) AddCode(*info, passThroughCode);
    }
    return 0;
}

struct InsideModule {
    InsideModule() { ++insideModule; }
    ~InsideModule() { --insideModule; }
    InsideModule(const InsideModule&) = delete;
    InsideModule& operator=(const InsideModule&) = delete;
};

// ---- The handlers, marked --------------------------------------------------------------

using WaveOutOpenFn = MMRESULT (*)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
using WaveInOpenFn = MMRESULT (*)(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
WaveOutOpenFn realWaveOutOpen = nullptr;
WaveInOpenFn realWaveInOpen = nullptr;
std::atomic<LPWAVECALLBACK> outHandler{nullptr};
std::atomic<LPWAVEINCALLBACK> inHandler{nullptr};
std::atomic<int> outHandlerRuns{0};
std::atomic<int> inHandlerRuns{0};

void CALLBACK MarkedOutHandler(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR one,
                               DWORD_PTR two) {
    outHandlerRuns.fetch_add(1);
    const InsideModule inside;
    outHandler.load()(device, message, instance, one, two);
}

void CALLBACK MarkedInHandler(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR one,
                              DWORD_PTR two) {
    inHandlerRuns.fetch_add(1);
    const InsideModule inside;
    inHandler.load()(device, message, instance, one, two);
}

}  // namespace

// The module's calls bind to these; the device services' own come next in lookup order.
extern "C" MMRESULT waveOutOpen(LPHWAVEOUT device, UINT id, LPCWAVEFORMATEX format,
                                DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    outHandler.store(reinterpret_cast<LPWAVECALLBACK>(callback));
    return realWaveOutOpen(device, id, format, reinterpret_cast<DWORD_PTR>(&MarkedOutHandler),
                           instance, flags);
}

extern "C" MMRESULT waveInOpen(LPHWAVEIN device, UINT id, LPCWAVEFORMATEX format,
                               DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    inHandler.store(reinterpret_cast<LPWAVEINCALLBACK>(callback));
    return realWaveInOpen(device, id, format, reinterpret_cast<DWORD_PTR>(&MarkedInHandler),
                          instance, flags);
}

#ifdef QWF_SANITIZED_MALLOC
namespace {
QWF_CENSUS_CODE void OnSanitizerMalloc(const volatile void*, std::size_t size) {
    Census(size);
}
void OnSanitizerFree(const volatile void*) {}
}  // namespace
#else
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

QWF_CENSUS_CODE void* malloc(std::size_t size) noexcept {
    Census(size);
    return __libc_malloc(size);
}
QWF_CENSUS_CODE void* calloc(std::size_t count, std::size_t size) noexcept {
    Census(count * size);
    return __libc_calloc(count, size);
}
QWF_CENSUS_CODE void* realloc(void* old, std::size_t size) noexcept {
    Census(size);
    return __libc_realloc(old, size);
}
QWF_CENSUS_CODE void* memalign(std::size_t alignment, std::size_t size) noexcept {
    Census(size);
    return __libc_memalign(alignment, size);
}
QWF_CENSUS_CODE void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    Census(size);
    return __libc_memalign(alignment, size);
}
QWF_CENSUS_CODE int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    Census(size);
    *out = __libc_memalign(alignment, size);
    return *out == nullptr ? ENOMEM : 0;
}
}
#endif

namespace qwf::test {
namespace {

namespace device = quorvel::device;

constexpr QwfColorRef kTrace = 0x0000FF00;
constexpr QwfColorRef kBack = 0;

class NoHeap : public ModuleTest {
  protected:
    static void SetUpTestSuite() {
        realWaveOutOpen = reinterpret_cast<WaveOutOpenFn>(dlsym(RTLD_NEXT, "waveOutOpen"));
        realWaveInOpen = reinterpret_cast<WaveInOpenFn>(dlsym(RTLD_NEXT, "waveInOpen"));
        ASSERT_NE(realWaveOutOpen, nullptr);
        ASSERT_NE(realWaveInOpen, nullptr);
        bool first = true;
        dl_iterate_phdr(&FindCode, &first);
        ASSERT_GT(programCode.count, 0);
        void* warmUp[4];
        backtrace(warmUp, 4);  // its first call loads the unwinder, which allocates
#ifdef QWF_SANITIZED_MALLOC
        __sanitizer_install_malloc_and_free_hooks(&OnSanitizerMalloc, &OnSanitizerFree);
#endif
    }

    void SetUp() override {
        ModuleTest::SetUp();
        moduleAllocations.store(0);
    }

    // The module's allocations so far, each with its call stack.
    static std::string Report() {
        std::string text;
        const int count = std::min(moduleAllocations.load(), kKept);
        for (int i = 0; i < count; ++i) {
            text += std::to_string(kept[i].size) + " bytes from:\n";
            char** names = backtrace_symbols(kept[i].frames, kept[i].depth);
            for (int f = 0; f < kept[i].depth; ++f) {
                text += std::string("  ") + (names != nullptr ? names[f] : "?") + "\n";
            }
            std::free(names);
        }
        return text;
    }

    std::string WriteWav(const std::string& name, std::size_t samples) {
        const std::string path = dir_ + "/" + name;
        WriteFile(path, MakeWav(PatternSamples(samples, 5)));
        return path;
    }
};

TEST_F(NoHeap, TheCensusSeesAnAllocationMadeInsideTheModulesBracket) {
    static void* volatile allocated = nullptr;
    {
        const InsideModule inside;
        allocated = std::malloc(24);
    }
    std::free(allocated);
    allocated = nullptr;
    EXPECT_EQ(moduleAllocations.load(), 1);
}

TEST_F(NoHeap, PlaybackAllocatesNothingInItsEntryPointsOrHandler) {
    const std::u16string five = Utf16(WriteWav("five.wav", 9'000));
    const std::u16string two = Utf16(WriteWav("two.wav", 3'000));
    const std::u16string missing = Utf16(dir_ + "/missing.wav");
    outHandlerRuns.store(0);
    device::SetOutputGate(1);  // one block plays; the pause and the restarts find it in flight
    {
        const InsideModule inside;
        PlayWavWaveForm(five.c_str(), kTrace, kBack);
        PlayWavWaveFormStop();
        PlayWavWaveFormStop();
        PlayWavWaveForm(two.c_str(), kTrace, kBack);
    }
    device::SetOutputGate(-1);
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    {
        const InsideModule inside;
        PlayWavWaveForm(five.c_str(), kTrace, kBack);
    }
    ASSERT_TRUE(device::WaitOutputIdle(std::chrono::seconds(10)));
    {
        const InsideModule inside;
        PlayWavWaveForm(missing.c_str(), kTrace, kBack);
        PlayWavWaveForm(nullptr, kTrace, kBack);
        PlayWavWaveFormStop();
    }
    EXPECT_GE(outHandlerRuns.load(), 6);
    EXPECT_EQ(moduleAllocations.load(), 0) << Report();
}

TEST_F(NoHeap, RecordingAllocatesNothingInItsEntryPointsOrHandler) {
    const std::u16string first = Utf16(dir_ + "/first.wav");
    const std::u16string second = Utf16(dir_ + "/second.wav");
    const std::u16string unwritable = Utf16(dir_ + "/no/such/folder.wav");
    inHandlerRuns.store(0);
    device::SetInputGate(4);
    {
        const InsideModule inside;
        WaveRecordWaveFormStop();
        WaveRecordWaveForm(first.c_str(), kTrace, kBack);
    }
    ASSERT_TRUE(device::WaitInputData(4, std::chrono::seconds(10)));
    device::ResetStats();
    device::SetInputGate(3);
    {
        const InsideModule inside;
        WaveRecordWaveForm(second.c_str(), kTrace, kBack);  // ends the first capture
    }
    ASSERT_TRUE(device::WaitInputData(3, std::chrono::seconds(10)));
    device::ResetStats();
    device::SetInputGate(2);
    {
        const InsideModule inside;
        WaveRecordWaveFormStop();
        WaveRecordWaveForm(u"", kTrace, kBack);
    }
    ASSERT_TRUE(device::WaitInputData(2, std::chrono::seconds(10)));
    {
        const InsideModule inside;
        WaveRecordWaveFormStop();
        WaveRecordWaveForm(unwritable.c_str(), kTrace, kBack);
        WaveRecordWaveFormStop();
    }
    EXPECT_GE(inHandlerRuns.load(), 9);
    EXPECT_EQ(moduleAllocations.load(), 0) << Report();
}

}  // namespace
}  // namespace qwf::test
