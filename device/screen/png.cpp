// The screen as an 8-bit RGB PNG file.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "screen/drawn_states.h"
#include "screen/screen.h"

namespace quorvel::device {
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

bool WriteScreenPng(const std::string& path, std::string* error) {
    // A copy, so the file is written without holding the screen's lock.
    detail::ScreenImage image;
    detail::CopyScreen(&image);
    const ScreenSize size{image.width, image.height};
    const std::vector<std::uint8_t> rgb = detail::RgbOf(image);
    const auto fail = [&](const std::string& reason) {
        if (error != nullptr)
            *error = "Cannot write the screen to \"" + path + "\": " + reason + ".";
        return false;
    };

    FILE* file = std::fopen(path.c_str(), "wbe");
    if (file == nullptr) return fail(std::strerror(errno));
    PngFailure failure{};
    errno = 0;
    if (!EncodePng(file, size.width, size.height, rgb.data(), &failure)) {
        std::fclose(file);
        return fail(failure.savedErrno != 0 ? std::strerror(failure.savedErrno) : failure.message);
    }
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
        const int saved = errno;
        std::fclose(file);
        return fail(std::strerror(saved != 0 ? saved : EIO));
    }
    if (std::fclose(file) != 0) return fail(std::strerror(errno));
    return true;
}

}  // namespace quorvel::device
