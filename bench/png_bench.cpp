// PNG decode against libpng's plain row API on a 4096 x 4096 RGB image.
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "bench/bench_util.h"

namespace {

constexpr int SIDE = 4096;

// libpng's row API into one preallocated 3-byte-per-pixel buffer.
void DecodeRows(const std::string& path, std::vector<png_byte>& buffer)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_info(png, info);
    png_read_update_info(png, info);
    std::vector<png_bytep> rows(SIDE);
    for (int y = 0; y < SIDE; ++y)
        rows[y] = buffer.data() + size_t(y) * SIDE * 3;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
    const std::string path = dir + "/bench-texture.png";
    if (FILE* f = std::fopen(path.c_str(), "rb"))
        std::fclose(f);
    else if (!WriteNoisyRgbPng(path, SIDE))
        return 1;

    std::vector<png_byte> buffer(size_t(SIDE) * SIDE * 3);
    const double rows_ms = BestOf(5, [&] { DecodeRows(path, buffer); });
    const double decode_ms = BestOf(5, [&] {
        Image image{};
        char reason[PNG_REASON_SIZE];
        if (!DecodePNGFile(path.c_str(), &image, reason)) {
            std::printf("decode failed: %s\n", reason);
            std::exit(1);
        }
        FreeImage(&image);
    });
    std::printf("png-decode: %.1f ms, libpng rows %.1f ms, ratio %.2f\n", decode_ms, rows_ms,
                decode_ms / rows_ms);
    return 0;
}
