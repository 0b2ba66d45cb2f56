// PNG writing; every libpng error ends in one recovery point inside EncodeTo.
#include "assets/png_encode.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

void OnError(png_structp png, png_const_charp message)
{
    std::snprintf(static_cast<char*>(png_get_error_ptr(png)), PNG_REASON_SIZE, "%s", message);
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Grey and alpha from RGBA: the red and alpha samples of every pixel.
void GreyRow(const unsigned char* rgba, unsigned char* out, int32_t width, size_t sample)
{
    for (int32_t x = 0; x < width; ++x) {
        std::memcpy(out, rgba, sample);
        std::memcpy(out + sample, rgba + 3 * sample, sample);
        rgba += 4 * sample;
        out += 2 * sample;
    }
}

bool EncodeTo(FILE* file, const PngOutput& image, char* reason)
{
    std::snprintf(reason, PNG_REASON_SIZE, "out of memory");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, reason, OnError, OnWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    const size_t sample = size_t(image.bits / 8);
    unsigned char* volatile grey_row = nullptr;  // changed after setjmp, read after longjmp
    if (setjmp(png_jmpbuf(png))) {
        std::free(grey_row);
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    // Fast settings: the bake's output is written once and read by other tools, which
    // recompress it as they like.
    png_set_compression_level(png, 2);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB | PNG_FILTER_UP);
    png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), image.bits,
                 image.grey ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    if (image.bits == 16 && IsLittleEndian())
        png_set_swap(png);
    if (image.grey) {
        grey_row = static_cast<unsigned char*>(std::malloc(size_t(image.width) * 2 * sample));
        if (!grey_row)
            png_error(png, "out of memory");
    }
    const size_t row_bytes = size_t(image.width) * 4 * sample;
    for (int32_t y = 0; y < image.height; ++y) {
        const auto* row = static_cast<const unsigned char*>(image.pixels) + size_t(y) * row_bytes;
        if (image.grey) {
            GreyRow(row, grey_row, image.width, sample);
            row = grey_row;
        }
        png_write_row(png, const_cast<png_bytep>(row));
        if (image.progress)
            image.progress(y + 1, image.height, image.progress_context);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::free(grey_row);
    return true;
}

}  // namespace

bool WritePNGFile(const char* path, const PngOutput& image, char* reason)
{
    const std::string temporary = std::string(path) + ".partial";
    errno = 0;
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        std::snprintf(reason, PNG_REASON_SIZE, "%s", errno ? std::strerror(errno) : "cannot create");
        return false;
    }
    bool written = EncodeTo(file, image, reason);
    if (written && (std::fflush(file) != 0 || std::ferror(file))) {
        std::snprintf(reason, PNG_REASON_SIZE, "%s", std::strerror(errno ? errno : EIO));
        written = false;
    }
    if (std::fclose(file) != 0 && written) {
        std::snprintf(reason, PNG_REASON_SIZE, "%s", std::strerror(errno ? errno : EIO));
        written = false;
    }
    std::error_code error;
    if (written) {
        std::filesystem::rename(temporary, path, error);
        if (error) {
            std::snprintf(reason, PNG_REASON_SIZE, "%s", error.message().c_str());
            written = false;
        }
    }
    if (!written)
        std::filesystem::remove(temporary, error);
    return written;
}
