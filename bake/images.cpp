// The bake's images: reading either format, the depth each is drawn at, and writing.
#include "bake/images.h"

#include <cstdio>
#include <cstring>

#include "assets/exr_read.h"
#include "assets/exr_write.h"
#include "assets/large_block.h"
#include "assets/png_encode.h"
#include "support/file_names.h"

namespace {

bool IsExrFile(const std::string& path)
{
    FILE* file = OpenFile(path.c_str(), "rb");
    if (!file)
        return false;  // the decoder says why
    unsigned char magic[4] = {};
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    return IsExrData(magic, got);
}

// The PNG depth an output gets: --depth, else the image's own (16 for floats).
int PngDepth(const BakeOptions& options, int bits)
{
    return options.depth ? options.depth : bits == 32 ? 16 : bits;
}

// 8 and 16 bits a channel into each other, in place: widened from the back, narrowed
// from the front, so that no value is overwritten before it is read.
void ChangeIntegerDepth(DeepImage* image, int bits)
{
    const size_t values = size_t(image->width) * size_t(image->height) * 4;
    if (bits == 16) {
        if (void* grown = LargeResize(image->pixels, values, values * 2))
            image->pixels = grown;
        else
            return;
        auto* narrow = static_cast<const uint8_t*>(image->pixels);
        auto* wide = static_cast<uint16_t*>(image->pixels);
        for (size_t i = values; i-- > 0;) {
            const uint16_t v = uint16_t(narrow[i] * 257);
            std::memcpy(wide + i, &v, 2);
        }
    } else {
        auto* bytes = static_cast<unsigned char*>(image->pixels);
        for (size_t i = 0; i < values; ++i) {
            uint16_t v;
            std::memcpy(&v, bytes + i * 2, 2);
            bytes[i] = uint8_t((uint32_t(v) * 255 + 32767) / 65535);
        }
        if (void* shrunk = LargeResize(image->pixels, values * 2, values))
            image->pixels = shrunk;
    }
    image->bits = bits;
}

}  // namespace

bool WritesExr(const BakeOptions& options, const std::string& out)
{
    return !(options.images.size() == 1 && options.out == "-") && IsExrName(out);
}

bool DecodeImage(const std::string& path, int threads, DeepImage* image, char* reason, std::string* warning)
{
    if (IsExrFile(path))
        return DecodeExrFile(path.c_str(), threads, image, reason, warning);
    return DecodeDeepPNGFile(path.c_str(), image, reason);
}

bool ReadImageHeader(const std::string& path, DeepImage* header, char* reason)
{
    if (IsExrFile(path))
        return ReadExrHeader(path.c_str(), header, reason);
    return ReadDeepPNGHeader(path.c_str(), header, reason);
}

std::string DescribeImage(const DeepImage& image)
{
    const char* layout = image.grey ? (image.alpha ? "grey+alpha" : "grey") : (image.alpha ? "RGBA" : "RGB");
    if (image.bits != 32)
        return std::to_string(image.bits) + "-bit " + layout;
    static const char* const types[] = {"uint", "half", "float"};
    std::string type;
    for (int s = 0; s < 4; ++s)
        if (image.exr.present[s]) {
            const std::string t = types[int(image.exr.types[s])];
            type = type.empty() || type == t ? t : "mixed";
        }
    return type + " " + layout;
}

bool DrawingDepth(DeepImage* image, bool exr_output, bool header_only)
{
    if (!exr_output || image->bits == 32)
        return true;
    if (header_only) {
        image->bits = 32;
        return true;
    }
    return ToFloatImage(image);
}

bool WriteBaked(const BakeOptions& options, BakedImage* baked, int threads, char* reason)
{
    DeepImage& image = baked->pixels;
    if (!baked->to_stdout && IsExrName(baked->out)) {
        const ExrOutput output{static_cast<const float*>(image.pixels), image.width, image.height, &image.exr,
                               options.exr_compression, threads};
        return WriteExrFile(baked->out.c_str(), output, reason);
    }
    const int bits = PngDepth(options, image.bits);
    if (image.bits == 32)
        ToPngDepth(&image, bits);
    else if (image.bits != bits)
        ChangeIntegerDepth(&image, bits);
    if (image.bits != bits) {
        std::snprintf(reason, PNG_REASON_SIZE, "out of memory");
        return false;
    }
    const PngOutput output{image.pixels, image.width,     image.height,      bits,    image.grey,
                           baked->progress, baked->progress_context, threads, &image.metadata};
    return baked->to_stdout ? WritePNGStream(stdout, output, reason) : WritePNGFile(baked->out.c_str(), output, reason);
}
