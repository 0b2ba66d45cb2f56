// PNG decoding with libpng's own transforms; every libpng error ends in one recovery
// point inside DecodeWith.
#include "assets/png_decode.h"

#include "assets/large_block.h"
#include "support/file_names.h"

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

void OnWarning(png_structp, png_const_charp)
{
    // A warning does not stop the load, and a desktop program has no console to show it.
}

// libpng's own allocations are capped: a chunk whose length lies (an iTXt claiming
// 2 GB in a tiny file) is then skipped instead of allocated and cleared. Row buffers,
// the largest thing libpng needs, stay far below the cap.
png_voidp CappedMalloc(png_structp, png_alloc_size_t size)
{
    return size > PNG_MAX_CHUNK_BYTES * 4 ? nullptr : std::malloc(size);
}

void Free(png_structp, png_voidp block)
{
    std::free(block);
}

struct MemoryInput {
    const unsigned char* next;
    size_t left;
};

void ReadFromMemory(png_structp png, png_bytep out, size_t count)
{
    auto* input = static_cast<MemoryInput*>(png_get_io_ptr(png));
    if (count > input->left)
        png_error(png, "file ends too early");
    std::memcpy(out, input->next, count);
    input->next += count;
    input->left -= count;
}

void AttachMemory(png_structp png, void* input)
{
    png_set_read_fn(png, input, ReadFromMemory);
}

void AttachFile(png_structp png, void* file)
{
    png_init_io(png, static_cast<FILE*>(file));
}

void ReadMetadata(png_structp png, png_infop info, PngMetadata* m)
{
    png_fixed_point gamma = 0, c[8] = {};
    if ((m->has_gamma = png_get_gAMA_fixed(png, info, &gamma) != 0))
        m->gamma = gamma;
    m->has_chromaticities = png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]) != 0;
    for (int i = 0; i < 8 && m->has_chromaticities; ++i)
        m->chromaticities[i] = c[i];
    m->has_srgb = png_get_sRGB(png, info, &m->srgb_intent) != 0;
    png_charp name = nullptr;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    int compression = 0;
    if ((m->has_icc = png_get_iCCP(png, info, &name, &compression, &profile, &length) != 0)) {
        m->icc_name = name;
        m->icc_profile.assign(reinterpret_cast<const char*>(profile), length);
    }
    png_color_8p bits = nullptr;
    if ((m->has_significant_bits = png_get_sBIT(png, info, &bits) != 0)) {
        const uint8_t values[5] = {bits->red, bits->green, bits->blue, bits->gray, bits->alpha};
        std::memcpy(m->significant_bits, values, sizeof values);
    }
    m->has_pixel_size =
        png_get_pHYs(png, info, &m->pixels_per_unit[0], &m->pixels_per_unit[1], &m->unit) != 0;
}

// With `header_only` the image's size, depth and layout, and no pixels.
bool DecodeWith(void (*attach)(png_structp, void*), void* input, bool keep_16, DeepImage* image,
                char* reason, bool header_only = false)
{
    std::snprintf(reason, PNG_REASON_SIZE, "out of memory");
    png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, reason, OnError, OnWarning,
                                               nullptr, CappedMalloc, Free);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    // Made before setjmp, so a jump back never skips it; filled through its address.
    PngMetadata metadata;
    // Changed after setjmp, read after longjmp: volatile.
    void* volatile pixels = nullptr;
    volatile size_t pixel_bytes = 0;
    png_bytep* volatile rows = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        LargeFree(pixels, pixel_bytes);
        std::free(rows);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    // A lying chunk length must not make libpng allocate gigabytes.
    png_set_chunk_malloc_max(png, PNG_MAX_CHUNK_BYTES);
    attach(png, input);
    png_read_info(png, info);
    // Before the transforms: turning grey into RGB drops a grey ICC profile from the info.
    ReadMetadata(png, info, &metadata);

    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const int color_type = png_get_color_type(png, info);
    const bool has_alpha = (color_type & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    const int bits = keep_16 && png_get_bit_depth(png, info) == 16 ? 16 : 8;
    // Palette, grey, 1/2/4-bit and tRNS become RGB(A) of 8 bits, or of 16 where kept.
    png_set_expand(png);
    if (bits == 8)
        png_set_scale_16(png);
    else if (IsLittleEndian())
        png_set_swap(png);  // 16-bit samples in the machine's order
    png_set_gray_to_rgb(png);
    if (!has_alpha)
        png_set_filler(png, 0xFFFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const uint64_t pixel_size = bits / 2;  // four channels
    const uint64_t bytes = uint64_t(width) * height * pixel_size;
    if (width == 0 || height == 0 || uint64_t(width) * height > PNG_MAX_PIXELS || bytes > SIZE_MAX)
        png_error(png, "image too large");
    if (png_get_rowbytes(png, info) != size_t(width) * pixel_size)
        png_error(png, "unexpected row layout");
    if (header_only) {
        png_destroy_read_struct(&png, &info, nullptr);
        *image = DeepImage{nullptr, int32_t(width), int32_t(height), bits, !(color_type & PNG_COLOR_MASK_COLOR),
                           has_alpha, metadata, ExrMetadata{}};
        return true;
    }
    pixel_bytes = size_t(bytes);
    pixels = LargeResize(nullptr, 0, size_t(bytes));
    rows = static_cast<png_bytep*>(std::malloc(size_t(height) * sizeof(png_bytep)));
    if (!pixels || !rows) {
        // A plain buffer: the jump out of png_error skips destructors.
        char message[64];
        std::snprintf(message, sizeof message, "out of memory for %llu MB of pixels",
                      static_cast<unsigned long long>(bytes >> 20));
        png_error(png, message);
    }
    for (png_uint_32 y = 0; y < height; ++y)
        rows[y] = static_cast<png_bytep>(pixels) + size_t(y) * width * pixel_size;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(rows);

    *image = DeepImage{pixels, int32_t(width), int32_t(height), bits,
                       !(color_type & PNG_COLOR_MASK_COLOR), has_alpha, metadata, ExrMetadata{}};
    return true;
}

bool DecodeFileWith(const char* path, bool keep_16, DeepImage* image, char* reason, bool header_only = false)
{
    std::error_code ignored;
    if (std::filesystem::is_directory(PathOf(path), ignored)) {
        std::snprintf(reason, PNG_REASON_SIZE, "a folder, not an image");
        return false;
    }
    errno = 0;
    FILE* file = OpenFile(path, "rb");
    if (!file) {
        // "not found" only for a file that is not there; anything else in the system's words.
        const int error = errno;
        std::snprintf(reason, PNG_REASON_SIZE, "%s",
                      error == ENOENT || error == 0 ? "not found" : std::strerror(error));
        return false;
    }
    const bool decoded = DecodeWith(AttachFile, file, keep_16, image, reason, header_only);
    // What libpng calls a read error is most often the file's end: say where it came.
    const int error = errno;
    if (!decoded && std::ferror(file))
        std::snprintf(reason, PNG_REASON_SIZE, "%s", std::strerror(error));
    else if (!decoded && std::feof(file))
        std::snprintf(reason, PNG_REASON_SIZE, std::ftell(file) <= 0 ? "empty" : "cut short after %ld bytes",
                      std::ftell(file));
    std::fclose(file);
    return decoded;
}

// The viewer's image: transparent pixels coloured for GL's filtering at island edges.
Image AsImage(DeepImage& deep)
{
    if (deep.alpha)
        FillTransparentPixels(&deep);
    return Image{static_cast<uint32_t*>(deep.pixels), deep.width, deep.height};
}

}  // namespace

bool DecodePNG(const unsigned char* bytes, size_t size, Image* image, char* reason)
{
    MemoryInput input{bytes, size};
    DeepImage deep;
    if (!DecodeWith(AttachMemory, &input, false, &deep, reason))
        return false;
    *image = AsImage(deep);
    return true;
}

bool DecodePNGFile(const char* path, Image* image, char* reason)
{
    DeepImage deep;
    if (!DecodeFileWith(path, false, &deep, reason))
        return false;
    *image = AsImage(deep);
    return true;
}

bool DecodeDeepPNG(const unsigned char* bytes, size_t size, DeepImage* image, char* reason)
{
    MemoryInput input{bytes, size};
    return DecodeWith(AttachMemory, &input, true, image, reason);
}

bool DecodeDeepPNGFile(const char* path, DeepImage* image, char* reason)
{
    return DecodeFileWith(path, true, image, reason);
}

bool ReadDeepPNGHeader(const char* path, DeepImage* header, char* reason)
{
    return DecodeFileWith(path, true, header, reason, true);
}

void FreeDeepImage(DeepImage* image)
{
    LargeFree(image->pixels, size_t(image->width) * size_t(image->height) * size_t(image->bits / 2));
    *image = DeepImage{};
}

// The first pixel around (x, y), row by row from the top left, whose alpha is not 0.
template <typename Pixel>
static const Pixel* FirstOpaqueNeighbour(const Pixel* pixels, int32_t width, int32_t x, int32_t y)
{
    constexpr int alpha_shift = sizeof(Pixel) * 6;  // alpha is the last of four channels
    for (int32_t ny = y - 1; ny <= y + 1; ++ny) {
        const Pixel* row = pixels + size_t(ny) * width;
        for (int32_t nx = x - 1; nx <= x + 1; ++nx) {
            if (row[nx] >> alpha_shift)
                return row + nx;
        }
    }
    return nullptr;
}

void FreeImage(Image* image)
{
    LargeFree(image->pixels, size_t(image->width) * size_t(image->height) * 4);
    *image = Image{};
}

template <typename Pixel>
static void FillTransparent(Pixel* pixels, int32_t width, int32_t height)
{
    constexpr int alpha_shift = sizeof(Pixel) * 6;
    constexpr Pixel colour = (Pixel(1) << alpha_shift) - 1;
    for (int32_t y = 1; y + 1 < height; ++y) {
        for (int32_t x = 1; x + 1 < width; ++x) {
            Pixel& pixel = pixels[size_t(y) * width + x];
            if (pixel >> alpha_shift)
                continue;
            // A filled pixel keeps alpha 0, so it never serves as a source here.
            if (const Pixel* source = FirstOpaqueNeighbour(pixels, width, x, y))
                pixel = *source & colour;
        }
    }
}

void FillTransparentPixels(DeepImage* image)
{
    if (image->bits == 16)
        FillTransparent(static_cast<uint64_t*>(image->pixels), image->width, image->height);
    else
        FillTransparent(static_cast<uint32_t*>(image->pixels), image->width, image->height);
}
