// Writes the PNG seeds of the PNG fuzz target (every colour type, bit depth and
// interlace) and the hostile inputs the fuzzing run starts from and the end-to-end run
// feeds the real program.
//   build/native/make_fuzz_inputs <fuzz/corpus/png> <tests/data/hostile>
#include <png.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/png_writer.h"

namespace {

std::string out_dir;

void Write(const std::string& name, const std::string& bytes)
{
    FILE* f = std::fopen((out_dir + "/" + name).c_str(), "wb");
    if (!f) {
        std::perror(name.c_str());
        return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// An image of the given layout whose samples are a simple pattern.
std::string Pattern(int width, int height, int color_type, int depth, bool interlaced)
{
    PngImage image{width, height, color_type, depth, interlaced, {}, {}, {}};
    const int channels = color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_PALETTE ? 1
                         : color_type == PNG_COLOR_TYPE_GRAY_ALPHA                                ? 2
                         : color_type == PNG_COLOR_TYPE_RGB                                       ? 3
                                                                                                  : 4;
    const size_t row_bytes = (size_t(width) * channels * depth + 7) / 8;
    for (int y = 0; y < height; ++y)
        for (size_t x = 0; x < row_bytes; ++x)
            image.samples.push_back(static_cast<uint8_t>(x * 37 + y * 11));
    if (color_type == PNG_COLOR_TYPE_PALETTE) {
        for (int e = 0; e < (1 << depth); ++e)
            image.palette.insert(image.palette.end(), {uint8_t(e * 3), uint8_t(255 - e), uint8_t(e * 7)});
        image.transparency = {0, 128};
    }
    return EncodePng(image);
}

void WritePngSeeds()
{
    const struct {
        int type;
        std::vector<int> depths;
    } layouts[] = {{PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}}, {PNG_COLOR_TYPE_RGB, {8, 16}},
                   {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}}, {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
                   {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}}};
    for (const auto& layout : layouts)
        for (int depth : layout.depths)
            for (bool interlaced : {false, true})
                Write("type" + std::to_string(layout.type) + "-depth" + std::to_string(depth) +
                          (interlaced ? "-interlaced" : "") + ".png",
                      Pattern(9, 7, layout.type, depth, interlaced));
}

std::string Line(char fill, size_t length)
{
    return "# " + std::string(length - 2, fill) + "\n";
}

const std::string kTexcoords = "vt 0 0\nvt 1 0\nvt 0 1\n";

void WriteHostileFiles()
{
    Write("face-index-0.obj", kTexcoords + "f 1/0 2/2 3/3\nf 1/1 2/2 3/3\n");
    Write("face-index-past-end.obj", kTexcoords + "f 1/4 2/2 3/3\nf 1/1 2/2 3/3\n");
    Write("face-index-int-max.obj", kTexcoords + "f 1/2147483647 2/2 3/3\nf 1/1 2/2 3/3\n");
    Write("face-index-before-first-vt.obj", "f 1/-1 2/-2 3/-3\n" + kTexcoords + "f 1/1 2/2 3/3\n");
    Write("vt-one-number.obj", "vt 0.5\nvt 1 0\nvt 0 1\nf 1/1 2/2 3/3\n");
    for (size_t length : {255, 256, 257, 100000})
        Write("line-" + std::to_string(length) + ".obj",
              Line('x', length) + kTexcoords + "f 1/1 2/2 3/3\n" + Line('y', length));
    std::string big_face = kTexcoords + "f";
    for (int i = 0; i < 1000; ++i)
        big_face += " " + std::to_string(1 + i % 3) + "/" + std::to_string(1 + i % 3);
    Write("face-1000-corners.obj", big_face + "\n");
    Write("no-final-line-feed.obj", kTexcoords + "f 1/1 2/2 3/3");
    Write("nul-in-line.obj", kTexcoords + std::string("f 1/1 2/2\0 3/3\nf 1/1 2/2 3/3\n", 28));

    Write("png-16-bit.png", Pattern(5, 4, PNG_COLOR_TYPE_RGB, 16, false));
    Write("png-palette.png", Pattern(5, 4, PNG_COLOR_TYPE_PALETTE, 8, false));
    Write("png-grey.png", Pattern(5, 4, PNG_COLOR_TYPE_GRAY, 8, false));
    Write("png-grey-alpha.png", Pattern(5, 4, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false));
    Write("png-1-bit.png", Pattern(5, 4, PNG_COLOR_TYPE_GRAY, 1, false));
    Write("png-interlaced.png", Pattern(5, 4, PNG_COLOR_TYPE_RGB, 8, true));
    const std::string valid = Pattern(16, 16, PNG_COLOR_TYPE_RGB, 8, false);
    Write("png-truncated.png", valid.substr(0, valid.size() / 2));
    std::string crc = valid;
    crc[19] ^= 0x40;  // IHDR's width, CRC left as it was
    Write("png-crc-ihdr.png", crc);
    std::string huge = valid;
    huge.replace(16, 8, std::string("\x00\x00\x9C\x40\x00\x00\x9C\x40", 8));  // 40000 x 40000
    FixChunkCrc(huge, 8);
    Write("png-size-over-32-bits.png", huge);
    // Signature and IHDR, then an iTXt that claims 2 GB: 474 bytes in all.
    std::string lying = valid.substr(0, 33) + std::string("\x7F\xFF\xFF\xF0", 4) + "iTXt";
    lying += std::string(474 - lying.size(), 'x');
    Write("png-itxt-2gb.png", lying);

    const std::string tail = "window_height 600\nwindow_x 10\nwindow_y 20\nwindow_maximized 0\n";
    Write("config-99999999999.txt", "version 1\nwindow_width 99999999999\n" + tail);
    Write("config-minus-2147483649.txt", "version 1\nwindow_width -2147483649\n" + tail);
    Write("config-0x.txt", "version 1\nwindow_width 0x\n" + tail);
    Write("config-missing-key.txt", "version 1\nwindow_width 800\n" + tail.substr(tail.find('\n') + 1));
    Write("config-bom.txt", "\xEF\xBB\xBFversion 1\nwindow_width 800\n" + tail);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_fuzz_inputs PNG_SEED_DIR HOSTILE_DIR\n");
        return 2;
    }
    out_dir = argv[1];
    WritePngSeeds();
    out_dir = argv[2];
    WriteHostileFiles();
    return 0;
}
