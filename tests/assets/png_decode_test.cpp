// PNG decoding: every colour type and depth becomes RGBA; broken files fail cleanly.
#include <gtest/gtest.h>

#include <png.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "testlib/png_writer.h"
#include "testlib/temp_dir.h"

namespace {

uint32_t Rgba(int r, int g, int b, int a)
{
    return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24;
}

std::vector<uint32_t> Decode(const std::string& png, int* width = nullptr, int* height = nullptr)
{
    Image image{};
    char reason[PNG_REASON_SIZE];
    if (!DecodePNG(reinterpret_cast<const unsigned char*>(png.data()), png.size(), &image, reason)) {
        ADD_FAILURE() << "decode failed: " << reason;
        return {};
    }
    std::vector<uint32_t> pixels(image.pixels, image.pixels + size_t(image.width) * image.height);
    if (width)
        *width = image.width;
    if (height)
        *height = image.height;
    FreeImage(&image);
    return pixels;
}

// Packs `values` (each below 2^depth) into PNG rows of `per_row` samples.
std::vector<uint8_t> Pack(const std::vector<int>& values, int per_row, int depth)
{
    std::vector<uint8_t> out;
    for (size_t start = 0; start < values.size(); start += per_row) {
        int bits = 0, acc = 0;
        for (int i = 0; i < per_row; ++i) {
            const int v = values[start + i];
            if (depth == 16) {
                out.push_back(uint8_t(v >> 8));
                out.push_back(uint8_t(v));
                continue;
            }
            acc = acc << depth | v;
            bits += depth;
            if (bits == 8) {
                out.push_back(uint8_t(acc));
                bits = acc = 0;
            }
        }
        if (bits)
            out.push_back(uint8_t(acc << (8 - bits)));
    }
    return out;
}

// An image with `channels` samples a pixel (1 grey, 2 grey and alpha, 3 RGB, 4 RGBA)
// and its expected RGBA words. 16-bit samples are v * 257, so they scale to exactly v;
// alpha is never 0, so the fill pass leaves the image alone.
std::string LayoutImage(int color_type, int channels, int depth, bool interlaced,
                        std::vector<uint32_t>* expected)
{
    const int width = 9, height = 7, max = (1 << (depth < 8 ? depth : 8)) - 1;
    const bool grey = channels <= 2, alpha = channels % 2 == 0;
    const std::vector<int> order = grey ? std::vector<int>{0, 3} : std::vector<int>{0, 1, 2, 3};
    std::vector<int> values;
    for (int i = 0; i < width * height; ++i) {
        const int level[4] = {i * 7 % (max + 1), (i * 13 + 7) % (max + 1), (i * 9 + 100) % (max + 1),
                              1 + i * 31 % max};
        auto eight = [&](int k) { return level[k] * 255 / max; };
        expected->push_back(Rgba(eight(0), eight(grey ? 0 : 1), eight(grey ? 0 : 2), alpha ? eight(3) : 255));
        for (int k = 0; k < channels; ++k)
            values.push_back(depth == 16 ? level[order[k]] * 257 : level[order[k]]);
    }
    PngImage image{width, height, color_type, depth, interlaced, {}, {}, {}};
    image.samples = Pack(values, width * channels, depth);
    return EncodePng(image);
}

TEST(PngDecode, EveryLayoutDepthAndInterlaceBecomesRgba)
{
    const struct {
        int color_type, channels;
        std::vector<int> depths;
    } layouts[] = {{PNG_COLOR_TYPE_GRAY, 1, {1, 2, 4, 8, 16}},
                   {PNG_COLOR_TYPE_GRAY_ALPHA, 2, {8, 16}},
                   {PNG_COLOR_TYPE_RGB, 3, {8, 16}},
                   {PNG_COLOR_TYPE_RGB_ALPHA, 4, {8, 16}}};
    for (const auto& layout : layouts)
        for (int depth : layout.depths)
            for (bool interlaced : {false, true}) {
                std::vector<uint32_t> expected;
                const std::string png = LayoutImage(layout.color_type, layout.channels, depth, interlaced, &expected);
                EXPECT_EQ(Decode(png), expected) << "type " << layout.color_type << " depth " << depth
                                                 << (interlaced ? " interlaced" : "");
            }
}

TEST(PngDecode, PaletteWithAndWithoutTransparency)
{
    for (int depth : {1, 2, 4, 8}) {
        const int entries = 1 << depth;
        PngImage image;
        image.width = 5;
        image.height = 1;  // one row: the fill pass has no interior
        image.color_type = PNG_COLOR_TYPE_PALETTE;
        image.bit_depth = depth;
        std::vector<int> indices;
        for (int i = 0; i < image.width; ++i)
            indices.push_back(i % entries);
        for (int e = 0; e < entries; ++e) {
            image.palette.push_back(uint8_t(e * 50));
            image.palette.push_back(uint8_t(200 - e));
            image.palette.push_back(uint8_t(e * 3));
        }
        image.samples = Pack(indices, image.width, depth);
        std::vector<uint32_t> opaque, keyed;
        for (int index : indices) {
            opaque.push_back(Rgba(index * 50 % 256, 200 - index, index * 3, 255));
            keyed.push_back(Rgba(index * 50 % 256, 200 - index, index * 3, index == 0 ? 0 : 255));
        }
        EXPECT_EQ(Decode(EncodePng(image)), opaque) << "depth " << depth;
        image.transparency = {0};  // entry 0 transparent, the rest opaque
        EXPECT_EQ(Decode(EncodePng(image)), keyed) << "depth " << depth;
    }
}

TEST(PngDecode, RgbWithTransparentKeyGetsAlpha)
{
    PngImage image;
    image.width = 3;
    image.height = 1;
    image.samples = {1, 2, 3, 9, 9, 9, 4, 5, 6};
    image.transparency = {0, 9, 0, 9, 0, 9};
    EXPECT_EQ(Decode(EncodePng(image)),
              (std::vector<uint32_t>{Rgba(1, 2, 3, 255), Rgba(9, 9, 9, 0), Rgba(4, 5, 6, 255)}));
}

TEST(PngDecode, KeepsSizeAndFileRowOrder)
{
    std::vector<uint32_t> pixels(300 * 200);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = Rgba(int(i % 300) % 256, int(i / 300), 7, 255);
    int width = 0, height = 0;
    EXPECT_EQ(Decode(EncodeRgbPng(pixels, 300, 200), &width, &height), pixels);
    EXPECT_EQ(width, 300);
    EXPECT_EQ(height, 200);
    EXPECT_EQ(Decode(EncodeRgbPng({Rgba(10, 20, 30, 0)}, 1, 1)), std::vector<uint32_t>{0xFF1E140Au});
}

TEST(PngDecode, FillPassColoursInteriorTransparentPixelsFromTheFirstNeighbour)
{
    const uint32_t R = Rgba(255, 0, 0, 255), G = Rgba(0, 255, 0, 128), B = Rgba(0, 0, 255, 9);
    const uint32_t T = Rgba(1, 2, 3, 0);
    // 5 x 4; the border stays as it is, filled pixels never feed their neighbours.
    std::vector<uint32_t> pixels = {
        T, T, R, T, T,
        T, T, T, T, G,
        T, T, T, T, T,
        B, T, T, T, T,
    };
    FillTransparentPixels(pixels.data(), 5, 4);
    const uint32_t r = R & 0xFFFFFF, g = G & 0xFFFFFF, b = B & 0xFFFFFF;
    const std::vector<uint32_t> expected = {
        T, T, R, T, T,
        T, r, r, r, G,
        T, b, T, g, T,
        B, T, T, T, T,
    };
    EXPECT_EQ(pixels, expected);

    // Too small for an interior: unchanged.
    std::vector<uint32_t> thin = {T, R, T, T, G, T};
    FillTransparentPixels(thin.data(), 3, 2);
    EXPECT_EQ(thin, (std::vector<uint32_t>{T, R, T, T, G, T}));
}

// --- Broken files ---------------------------------------------------------------

std::string ValidRgb()
{
    return EncodeRgbPng(std::vector<uint32_t>(16 * 16, Rgba(1, 2, 3, 255)), 16, 16);
}

void ExpectRefused(const std::string& png, const char* what)
{
    Image image{reinterpret_cast<uint32_t*>(0x1), 77, 88};
    char reason[PNG_REASON_SIZE] = "";
    EXPECT_FALSE(DecodePNG(reinterpret_cast<const unsigned char*>(png.data()), png.size(), &image, reason))
        << what;
    EXPECT_EQ(image.pixels, reinterpret_cast<uint32_t*>(0x1)) << what;
    EXPECT_EQ(image.width, 77) << what;
    EXPECT_EQ(image.height, 88) << what;
    EXPECT_STRNE(reason, "") << what;
}

// Truncated, CRC-broken, over-32-bit and lying-chunk files are in the hostile-input tests.
TEST(PngDecode, BrokenFilesFailAndLeaveTheImageUntouched)
{
    const std::string valid = ValidRgb();
    ExpectRefused("", "empty");
    ExpectRefused("GIF89a not a png at all", "not a PNG");
    ExpectRefused(valid.substr(0, 40), "truncated in IHDR");
    std::string corrupt = valid;
    const size_t idat = corrupt.find("IDAT");
    for (size_t i = idat + 4; i < idat + 20; ++i)
        corrupt[i] = char(0xA5);
    FixChunkCrc(corrupt, idat - 4);
    ExpectRefused(corrupt, "corrupt image data");
    std::string huge = valid;  // 65536 x 65536, with a valid CRC
    huge.replace(16, 8, std::string("\x00\x01\x00\x00\x00\x01\x00\x00", 8));
    FixChunkCrc(huge, 8);
    ExpectRefused(huge, "lying size");
}

}  // namespace
