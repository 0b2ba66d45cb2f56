// PNG decoding with libpng's own transforms; every libpng error ends in one recovery
// point inside DecodeWith.
#include "assets/png_decode.h"

#include "assets/large_block.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool DecodeWith(void (*attach)(png_structp, void*), void* input, Image* image, char* reason)
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
    // Changed after setjmp, read after longjmp: volatile.
    uint32_t* volatile pixels = nullptr;
    png_bytep* volatile rows = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        LargeFree(pixels, size_t(png_get_image_width(png, info)) * png_get_image_height(png, info) * 4);
        std::free(rows);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    // A lying chunk length must not make libpng allocate gigabytes.
    png_set_chunk_malloc_max(png, PNG_MAX_CHUNK_BYTES);
    attach(png, input);
    png_read_info(png, info);

    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const bool has_alpha = (png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) ||
                           png_get_valid(png, info, PNG_INFO_tRNS);
    // Palette, grey, 1/2/4-bit and tRNS become 8-bit RGB(A); 16-bit is scaled to 8.
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    if (!has_alpha)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const uint64_t bytes = uint64_t(width) * height * 4;
    if (bytes == 0 || bytes > PNG_MAX_BYTES)
        png_error(png, "image too large");
    if (png_get_rowbytes(png, info) != size_t(width) * 4)
        png_error(png, "unexpected row layout");
    pixels = static_cast<uint32_t*>(LargeResize(nullptr, 0, size_t(bytes)));
    rows = static_cast<png_bytep*>(std::malloc(size_t(height) * sizeof(png_bytep)));
    if (!pixels || !rows)
        png_error(png, "out of memory");
    for (png_uint_32 y = 0; y < height; ++y)
        rows[y] = reinterpret_cast<png_bytep>(pixels + size_t(y) * width);
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(rows);

    if (has_alpha)
        FillTransparentPixels(pixels, int32_t(width), int32_t(height));
    *image = Image{pixels, int32_t(width), int32_t(height)};
    return true;
}

}  // namespace

bool DecodePNG(const unsigned char* bytes, size_t size, Image* image, char* reason)
{
    MemoryInput input{bytes, size};
    return DecodeWith(AttachMemory, &input, image, reason);
}

bool DecodePNGFile(const char* path, Image* image, char* reason)
{
    errno = 0;
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        // "not found" only for a file that is not there; anything else in the system's words.
        const int error = errno;
        std::snprintf(reason, PNG_REASON_SIZE, "%s",
                      error == ENOENT || error == 0 ? "not found" : std::strerror(error));
        return false;
    }
    const bool decoded = DecodeWith(AttachFile, file, image, reason);
    std::fclose(file);
    return decoded;
}

// The first pixel around (x, y), row by row from the top left, whose alpha is not 0.
static const uint32_t* FirstOpaqueNeighbour(const uint32_t* pixels, int32_t width, int32_t x, int32_t y)
{
    for (int32_t ny = y - 1; ny <= y + 1; ++ny) {
        const uint32_t* row = pixels + size_t(ny) * width;
        for (int32_t nx = x - 1; nx <= x + 1; ++nx) {
            if (row[nx] >> 24)
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

void FillTransparentPixels(uint32_t* pixels, int32_t width, int32_t height)
{
    for (int32_t y = 1; y + 1 < height; ++y) {
        for (int32_t x = 1; x + 1 < width; ++x) {
            uint32_t& pixel = pixels[size_t(y) * width + x];
            if (pixel >> 24)
                continue;
            // A filled pixel keeps alpha 0, so it never serves as a source here.
            if (const uint32_t* source = FirstOpaqueNeighbour(pixels, width, x, y))
                pixel = *source & 0x00FFFFFFu;
        }
    }
}
