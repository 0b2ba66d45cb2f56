// PNG writing in every layout, for generated data.
#include "fuzz/png_writer.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>

static void Append(png_structp png, png_bytep data, size_t size)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), size);
}

static void Flush(png_structp) {}

std::string EncodePng(const PngImage& image)
{
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return std::string();
    }
    png_set_write_fn(png, &out, Append, Flush);
    png_set_IHDR(png, info, image.width, image.height, image.bit_depth, image.color_type,
                 image.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!image.palette.empty())
        png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(image.palette.data()),
                     static_cast<int>(image.palette.size() / 3));
    if (!image.transparency.empty()) {
        if (image.color_type == PNG_COLOR_TYPE_PALETTE) {
            png_set_tRNS(png, info, image.transparency.data(),
                         static_cast<int>(image.transparency.size()), nullptr);
        } else {
            const auto& t = image.transparency;
            png_color_16 key{};
            auto word = [&](size_t i) { return static_cast<png_uint_16>(t[i] << 8 | t[i + 1]); };
            if (image.color_type == PNG_COLOR_TYPE_GRAY) {
                key.gray = word(0);
            } else {
                key.red = word(0);
                key.green = word(2);
                key.blue = word(4);
            }
            png_set_tRNS(png, info, nullptr, 0, &key);
        }
    }
    png_write_info(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    std::vector<png_bytep> rows(image.height);
    for (int y = 0; y < image.height; ++y)
        rows[y] = const_cast<png_bytep>(image.samples.data() + y * row_bytes);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::string EncodeRgbPng(const std::vector<uint32_t>& pixels, int width, int height)
{
    PngImage image;
    image.width = width;
    image.height = height;
    for (uint32_t p : pixels) {
        image.samples.push_back(static_cast<uint8_t>(p));
        image.samples.push_back(static_cast<uint8_t>(p >> 8));
        image.samples.push_back(static_cast<uint8_t>(p >> 16));
    }
    return EncodePng(image);
}

void FixChunkCrc(std::string& png, size_t offset)
{
    const auto byte = [&](size_t i) { return uint32_t(uint8_t(png[offset + i])); };
    const uint32_t length = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + offset + 4), length + 4);
    for (int i = 0; i < 4; ++i)
        png[offset + 8 + length + i] = char(crc >> (24 - 8 * i));
}
