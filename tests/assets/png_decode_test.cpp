// PNG decoding: one table of layouts with their RGBA words (the fill pass included),
// and broken files refused with their reason.
#include <gtest/gtest.h>

#include <png.h>

#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "fuzz/png_writer.h"

namespace {

std::vector<uint32_t> Decode(const std::string& png, char* reason)
{
    Image image{};
    if (!DecodePNG(reinterpret_cast<const unsigned char*>(png.data()), png.size(), &image, reason))
        return {};
    std::vector<uint32_t> pixels(image.pixels, image.pixels + size_t(image.width) * image.height);
    FreeImage(&image);
    return pixels;
}

TEST(PngDecode, EveryLayoutBecomesRgbaWords)
{
    const uint32_t W = 0xFFFFFFFF, B = 0xFF000000;
    const struct {
        PngImage image;
        std::vector<uint32_t> words;  // red in the low byte
    } rows[] = {
        {{3, 1, PNG_COLOR_TYPE_GRAY, 1, false, {0xA0}, {}, {}}, {W, B, W}},
        {{2, 1, PNG_COLOR_TYPE_GRAY, 16, false, {0x12, 0x34, 0xFF, 0xFF}, {}, {}}, {0xFF121212, W}},
        {{2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, {10, 200, 30, 1}, {}, {}}, {0xC80A0A0A, 0x011E1E1E}},
        {{2, 1, PNG_COLOR_TYPE_RGB, 8, true, {1, 2, 3, 4, 5, 6}, {}, {}}, {0xFF030201, 0xFF060504}},
        {{1, 1, PNG_COLOR_TYPE_RGB_ALPHA, 16, false, {1, 0, 2, 0, 3, 0, 255, 255}, {}, {}}, {0xFF030201}},
        {{3, 1, PNG_COLOR_TYPE_PALETTE, 4, false, {0x01, 0x20}, {9, 8, 7, 6, 5, 4, 3, 2, 1}, {0, 128}},
         {0x00070809, 0x80040506, 0xFF010203}},
        {{2, 1, PNG_COLOR_TYPE_RGB, 8, false, {1, 2, 3, 9, 9, 9}, {}, {0, 9, 0, 9, 0, 9}}, {0xFF030201, 0x00090909}},
        // Interior pixels of alpha 0 take the colour of their first neighbour whose alpha
        // is not 0 (alpha 1 counts), and keep alpha 0; filled pixels feed no others, and
        // a pixel with no such neighbour stays as it is.
        {{3, 5, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false,  // grey and alpha, pixel by pixel
          {0x11, 0, 0x22, 1, 0x33, 0,  0x44, 0, 0x55, 0, 0x66, 0,  0x77, 0, 0x88, 0, 0x99, 0,
           0x10, 0, 0xAA, 0, 0x20, 0,  0x30, 0, 0xBB, 255, 0x40, 0}, {}, {}},
         {0x00111111, 0x01222222, 0x00333333, 0x00444444, 0x00222222, 0x00666666, 0x00777777, 0x00888888,
          0x00999999, 0x00101010, 0x00BBBBBB, 0x00202020, 0x00303030, 0xFFBBBBBB, 0x00404040}},
    };
    for (const auto& row : rows) {
        char reason[PNG_REASON_SIZE] = "";
        EXPECT_EQ(Decode(EncodePng(row.image), reason), row.words)
            << "colour type " << row.image.color_type << ", depth " << row.image.bit_depth << ": " << reason;
    }
}

TEST(PngDecode, BrokenFilesAreRefusedWithTheirReason)
{
    const std::string valid = EncodePng({16, 16, PNG_COLOR_TYPE_RGB, 8, false, std::vector<uint8_t>(16 * 48, 7), {}, {}});
    std::string corrupt = valid;
    const size_t idat = corrupt.find("IDAT");
    corrupt.replace(idat + 4, 16, std::string(16, char(0xA5)));
    FixChunkCrc(corrupt, idat - 4);
    std::string huge = valid;  // 65536 x 65536, with a valid CRC
    huge.replace(16, 8, std::string("\x00\x01\x00\x00\x00\x01\x00\x00", 8));
    FixChunkCrc(huge, 8);
    const struct {
        std::string png;
        const char* reason;  // null: libpng's own words
    } rows[] = {
        {"", "file ends too early"}, {valid.substr(0, 40), "file ends too early"},
        {valid.substr(0, valid.size() - 20), "file ends too early"}, {"GIF89a not a png at all", nullptr},
        {corrupt, nullptr}, {huge, "image too large"},
    };
    for (const auto& row : rows) {
        Image image{reinterpret_cast<uint32_t*>(0x1), 77, 88};
        char reason[PNG_REASON_SIZE] = "";
        EXPECT_FALSE(DecodePNG(reinterpret_cast<const unsigned char*>(row.png.data()), row.png.size(), &image, reason));
        EXPECT_TRUE(image.pixels == reinterpret_cast<uint32_t*>(0x1) && image.width == 77);  // left as it was
        const std::string said = reason;  // libpng's own words: some, and not those of a failed allocation
        EXPECT_TRUE(row.reason ? said == row.reason : !said.empty() && said != "out of memory") << said;
    }
}

}  // namespace
