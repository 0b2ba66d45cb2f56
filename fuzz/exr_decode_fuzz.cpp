// libFuzzer target: the OpenEXR decode, from bytes in memory, on one thread. Images
// larger than a few million pixels are refused before their pixels are held, so that
// the memory limit stops leaks, not claims.
#include <cstddef>
#include <cstdint>
#include <string>

#include "assets/exr_read.h"

constexpr uint64_t MAX_PIXELS = uint64_t(1) << 22;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    std::string warning;
    if (DecodeExr(data, size, 1, &image, reason, &warning, MAX_PIXELS))
        FreeDeepImage(&image);
    return 0;
}
