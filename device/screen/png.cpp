// The screen as an 8-bit RGB PNG file. libpng is loaded the first time a PNG is written, so
// that programs that never write one (a player, a recorder) never map it and zlib.
#include <dlfcn.h>
#include <fcntl.h>
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/call_result.h"
#include "base/internal.h"
#include "screen/screen.h"

namespace {

struct PngCalls {
    decltype(&png_create_write_struct) createWrite = nullptr;
    decltype(&png_create_info_struct) createInfo = nullptr;
    decltype(&png_destroy_write_struct) destroyWrite = nullptr;
    decltype(&png_get_error_ptr) errorPointer = nullptr;
    decltype(&png_longjmp) longJump = nullptr;
    decltype(&png_set_longjmp_fn) setLongJump = nullptr;
    decltype(&png_init_io) initIo = nullptr;
    decltype(&png_set_IHDR) setHeader = nullptr;
    decltype(&png_write_info) writeInfo = nullptr;
    decltype(&png_write_row) writeRow = nullptr;
    decltype(&png_write_end) writeEnd = nullptr;
};

template <typename Function>
bool Find(void* library, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(::dlsym(library, name));
    return *function != nullptr;
}

// Loaded once and never unloaded; null when libpng cannot be loaded, with the reason in *reason.
const PngCalls* Png(std::string* reason) {
    static std::string why;
    static const PngCalls* const loaded = []() -> const PngCalls* {
        static PngCalls calls;
        void* library = ::dlopen("libpng16.so.16", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* words = ::dlerror();
            why = "libpng cannot be loaded (" + std::string(words != nullptr ? words : "") + ")";
            return nullptr;
        }
        const bool complete = Find(library, "png_create_write_struct", &calls.createWrite) &&
                              Find(library, "png_create_info_struct", &calls.createInfo) &&
                              Find(library, "png_destroy_write_struct", &calls.destroyWrite) &&
                              Find(library, "png_get_error_ptr", &calls.errorPointer) &&
                              Find(library, "png_longjmp", &calls.longJump) &&
                              Find(library, "png_set_longjmp_fn", &calls.setLongJump) &&
                              Find(library, "png_init_io", &calls.initIo) &&
                              Find(library, "png_set_IHDR", &calls.setHeader) &&
                              Find(library, "png_write_info", &calls.writeInfo) &&
                              Find(library, "png_write_row", &calls.writeRow) &&
                              Find(library, "png_write_end", &calls.writeEnd);
        if (!complete) why = "the libpng16.so.16 found lacks calls this library uses";
        return complete ? &calls : nullptr;
    }();
    if (loaded == nullptr) *reason = why;
    return loaded;
}

// libpng reports errors by calling this and expects it not to return.
struct PngFailure {
    char message[128];
    int savedErrno;
};

void OnPngError(png_structp png, png_const_charp message) {
    std::string unused;
    const PngCalls& calls = *Png(&unused);  // loaded: libpng is calling
    auto* failure = static_cast<PngFailure*>(calls.errorPointer(png));
    failure->savedErrno = errno;
    std::snprintf(failure->message, sizeof failure->message, "%s", message);
    calls.longJump(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Kept free of objects with destructors: a libpng error leaves through longjmp.
bool EncodePng(const PngCalls& calls, FILE* file, int width, int height, const std::uint8_t* rgb,
               PngFailure* failure) {
    png_structp png = calls.createWrite(PNG_LIBPNG_VER_STRING, failure, OnPngError, OnPngWarning);
    png_infop info = png != nullptr ? calls.createInfo(png) : nullptr;
    if (info == nullptr) {
        if (png != nullptr) calls.destroyWrite(&png, nullptr);
        std::snprintf(failure->message, sizeof failure->message, "out of memory");
        return false;
    }
    // What png_jmpbuf() expands to, through the loaded library.
    if (setjmp(*calls.setLongJump(png, longjmp, sizeof(jmp_buf)))) {
        calls.destroyWrite(&png, &info);
        return false;
    }
    calls.initIo(png, file);
    calls.setHeader(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                    PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                    PNG_FILTER_TYPE_DEFAULT);
    calls.writeInfo(png, info);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int row = 0; row < height; ++row) {
        calls.writeRow(png, rgb + static_cast<std::size_t>(row) * stride);
    }
    calls.writeEnd(png, info);
    calls.destroyWrite(&png, &info);
    return true;
}

}  // namespace

extern "C" qwd_result qwd_screen_write_png(const char* path) {
    namespace qd = quorvel::device::detail;
    if (path == nullptr)
        return qd::Fail(QWD_ERROR_ARGUMENT, "No path was given for the screen's PNG.");
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    {
        // Copy the pixels so the file is written without holding the lock.
        qd::Screen& screen = qd::TheScreen();
        const std::lock_guard<std::mutex> lock(screen.mutex);
        width = screen.width;
        height = screen.height;
        rgb.resize(screen.pixels.size() * 3);
        qd::RgbOfPixels(screen.pixels.data(), width, height, rgb.data());
    }
    const auto fail = [&](const std::string& reason) {
        return qd::Fail(QWD_ERROR_FAILED, "Cannot write the screen to \"" + std::string(path) +
                                              "\": " + reason + ".");
    };

    std::string reason;
    const PngCalls* png = Png(&reason);
    if (png == nullptr) return fail(reason);
    FILE* file = qd::OpenForWriting(path, O_TRUNC, "wb", &reason);
    if (file == nullptr) return fail(reason);
    PngFailure failure{};
    errno = 0;
    if (!EncodePng(*png, file, width, height, rgb.data(), &failure)) {
        std::fclose(file);
        return fail(failure.savedErrno != 0 ? std::strerror(failure.savedErrno) : failure.message);
    }
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
        const int saved = errno;
        std::fclose(file);
        return fail(std::strerror(saved != 0 ? saved : EIO));
    }
    if (std::fclose(file) != 0) return fail(std::strerror(errno));
    return QWD_OK;
}
