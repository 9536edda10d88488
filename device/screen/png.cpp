// The screen as an 8-bit RGB PNG file.
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

// libpng reports errors by calling this and expects it not to return.
struct PngFailure {
    char message[128];
    int savedErrno;
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
    failure->savedErrno = errno;
    std::snprintf(failure->message, sizeof failure->message, "%s", message);
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Kept free of objects with destructors: a libpng error leaves through longjmp.
bool EncodePng(FILE* file, int width, int height, const std::uint8_t* rgb, PngFailure* failure) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, failure, OnPngError, OnPngWarning);
    if (png == nullptr) {
        std::snprintf(failure->message, sizeof failure->message, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(failure->message, sizeof failure->message, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int row = 0; row < height; ++row) {
        png_write_row(png, rgb + static_cast<std::size_t>(row) * stride);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
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
        qd::RgbLocked(screen, rgb.data());
    }
    const auto fail = [&](const std::string& reason) {
        return qd::Fail(QWD_ERROR_FAILED, "Cannot write the screen to \"" + std::string(path) +
                                              "\": " + reason + ".");
    };

    std::string reason;
    FILE* file = qd::OpenForWriting(path, O_TRUNC, "wb", &reason);
    if (file == nullptr) return fail(reason);
    PngFailure failure{};
    errno = 0;
    if (!EncodePng(file, width, height, rgb.data(), &failure)) {
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
