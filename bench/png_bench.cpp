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
    const double rows_ms = BestOf(5, [&] {
        if (!DecodeRowsWithLibpng(path, buffer))
            std::exit(1);
    });
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
