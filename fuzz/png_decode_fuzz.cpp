// libFuzzer target: the GL-free PNG decode. Inputs that still end like a PNG file (the
// last byte of IEND's CRC) get their chunk CRCs recomputed first, so mutations inside
// chunks reach the decoder instead of stopping at the CRC check; the others are
// decoded as they are, CRC errors included.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "assets/png_decode.h"

constexpr uint64_t MAX_PIXELS = uint64_t(1) << 22;  // refused before decoding

static uint32_t BigEndian(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

static void FixCrcs(std::vector<uint8_t>& png)
{
    size_t at = 8;  // after the signature
    while (at + 12 <= png.size()) {
        const uint32_t length = BigEndian(&png[at]);
        if (length > png.size() - at - 12)
            return;
        const uLong crc = crc32(0, &png[at + 4], length + 4);
        for (int i = 0; i < 4; ++i)
            png[at + 8 + length + i] = uint8_t(crc >> (24 - 8 * i));
        at += 12 + size_t(length);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 24 && std::memcmp(data + 12, "IHDR", 4) == 0 &&
        uint64_t(BigEndian(data + 16)) * BigEndian(data + 20) > MAX_PIXELS)
        return 0;
    std::vector<uint8_t> png(data, data + size);
    if (size > 0 && data[size - 1] == 0x82)
        FixCrcs(png);
    Image image{};
    char reason[PNG_REASON_SIZE];
    if (DecodePNG(png.data(), png.size(), &image, reason))
        FreeImage(&image);
    return 0;
}
