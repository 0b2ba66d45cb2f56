// PNG writing: rows filtered and deflated in independent pieces on every thread, joined
// into one zlib stream; libpng writes the chunks around it. Every libpng error ends in
// one recovery point inside EncodeTo.
#include "assets/png_encode.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "support/parallel.h"
#include "support/safe_write.h"

namespace {

void OnError(png_structp png, png_const_charp message)
{
    std::snprintf(static_cast<char*>(png_get_error_ptr(png)), PNG_REASON_SIZE, "%s", message);
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Grey and alpha from RGBA: the red and alpha samples of every pixel.
void GreyRow(const unsigned char* rgba, unsigned char* out, int32_t width, size_t sample)
{
    for (int32_t x = 0; x < width; ++x) {
        std::memcpy(out, rgba, sample);
        std::memcpy(out + sample, rgba + 3 * sample, sample);
        rgba += 4 * sample;
        out += 2 * sample;
    }
}

// Deflate pieces of about this many bytes of filtered rows: each is compressed alone, on
// any thread, and they join into one zlib stream. Their size depends only on the row
// length, so the file's bytes depend on nothing else.
constexpr size_t PIECE_BYTES = size_t(1) << 20;
constexpr int LEVEL = 1;  // fastest: the bake's outputs are written once and recompressed by
                          // whatever reads them as it likes

// One piece of the zlib stream: room for the stream's 2-byte header before the first
// piece's data and its 4-byte check value after the last's.
struct Piece {
    unsigned char* bytes = nullptr;
    size_t size = 0;      // compressed bytes written, header and check value included
    uLong adler = 1;      // of the filtered rows it holds
    size_t filtered = 0;  // their length
    bool done = false;
};

// One row as the file stores it: grey and alpha from the red and alpha samples when
// asked, 16-bit samples big-endian.
void FileRow(const PngOutput& image, int32_t y, unsigned char* out)
{
    const size_t sample = size_t(image.bits / 8), row_bytes = size_t(image.width) * 4 * sample;
    const auto* row = static_cast<const unsigned char*>(image.pixels) + size_t(y) * row_bytes;
    if (image.grey)
        GreyRow(row, out, image.width, sample);
    else
        std::memcpy(out, row, row_bytes);
    if (image.bits == 16 && IsLittleEndian()) {
        const size_t bytes = size_t(image.width) * (image.grey ? 2 : 4) * 2;
        for (size_t i = 0; i < bytes; i += 2)
            std::swap(out[i], out[i + 1]);
    }
}

unsigned Magnitude(unsigned char value)
{
    return value < 128 ? value : 256u - value;
}

// PNG's SUB or UP filter, whichever leaves the smaller sum of magnitudes (libpng's
// choice between the two); `above` is null on the first row. Writes the filter byte
// and the row to `out`.
void FilterRow(const unsigned char* row, const unsigned char* above, size_t bytes, size_t pixel, unsigned char* out)
{
    uint64_t sub = 0, up = 0;
    for (size_t i = 0; i < bytes; ++i) {
        sub += Magnitude(static_cast<unsigned char>(row[i] - (i >= pixel ? row[i - pixel] : 0)));
        up += Magnitude(static_cast<unsigned char>(row[i] - (above ? above[i] : 0)));
    }
    out[0] = up <= sub ? 2 : 1;
    for (size_t i = 0; i < bytes; ++i)
        out[1 + i] = static_cast<unsigned char>(
            row[i] - (up <= sub ? (above ? above[i] : 0) : (i >= pixel ? row[i - pixel] : 0)));
}

// Filtered rows go to deflate in batches of about this many bytes, which stay in the
// cache from filter to compressor; no piece holds all of its rows filtered at once.
constexpr size_t BATCH_BYTES = size_t(64) << 10;

// Filters and compresses rows [first, last) into `piece`; the last piece finishes the stream.
bool CompressPiece(const PngOutput& image, int32_t first, int32_t last, bool final, Piece* piece)
{
    const size_t pixel = size_t(image.bits / 8) * (image.grey ? 2 : 4);
    const size_t row_bytes = size_t(image.width) * pixel, line = row_bytes + 1;
    const int32_t batch_rows = int32_t(std::clamp<size_t>(BATCH_BYTES / line, 1, size_t(last - first)));
    unsigned char* rows = static_cast<unsigned char*>(std::malloc(2 * row_bytes + size_t(batch_rows) * line));
    if (!rows)
        return false;
    unsigned char *above = rows, *current = rows + row_bytes, *batch = rows + 2 * row_bytes;
    z_stream z{};
    bool good = deflateInit2(&z, LEVEL, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    const size_t room = good ? deflateBound(&z, uLong(size_t(last - first) * line)) + 16 : 0;
    piece->bytes = good ? static_cast<unsigned char*>(std::malloc(room)) : nullptr;
    good = good && piece->bytes;
    if (good) {
        z.next_out = piece->bytes + 2;
        z.avail_out = uInt(room - 6);
        if (first > 0)
            FileRow(image, first - 1, above);
    }
    uLong adler = 1;
    for (int32_t y = first; good && y < last; y += batch_rows) {
        const int32_t n = std::min(batch_rows, last - y);
        for (int32_t k = 0; k < n; ++k) {
            FileRow(image, y + k, current);
            FilterRow(current, y + k > 0 ? above : nullptr, row_bytes, pixel, batch + size_t(k) * line);
            std::swap(above, current);
        }
        const size_t bytes = size_t(n) * line;
        adler = adler32(adler, batch, uInt(bytes));
        z.next_in = batch;
        z.avail_in = uInt(bytes);
        const bool end = y + n == last;
        const int flush = !end ? Z_NO_FLUSH : final ? Z_FINISH : Z_SYNC_FLUSH;
        good = deflate(&z, flush) == (end && final ? Z_STREAM_END : Z_OK) && z.avail_in == 0;
    }
    if (piece->bytes) {
        piece->size = 2 + size_t(z.total_out);
        piece->adler = adler;
        piece->filtered = size_t(last - first) * line;
    }
    deflateEnd(&z);
    std::free(rows);
    return good;
}

void WriteUint32(unsigned char* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

// The zlib stream around the pieces: its header before the first (at the room kept
// there) and the check value of everything after the last.
void FrameStream(Piece* pieces, size_t count)
{
    pieces[0].bytes[0] = 0x78;  // deflate, 32 KiB window
    pieces[0].bytes[1] = 0x01;  // fastest compression; header check
    uLong adler = pieces[0].adler;
    for (size_t i = 1; i < count; ++i) {
        // Only the first piece keeps the header's room.
        std::memmove(pieces[i].bytes, pieces[i].bytes + 2, pieces[i].size - 2);
        pieces[i].size -= 2;
        adler = adler32_combine(adler, pieces[i].adler, z_off_t(pieces[i].filtered));
    }
    Piece& last = pieces[count - 1];
    WriteUint32(last.bytes + last.size, uint32_t(adler));
    last.size += 4;
}

// Every piece compressed, on image.threads workers; false when memory ran out.
bool CompressPieces(const PngOutput& image, Piece* pieces, size_t count, int32_t rows_per_piece)
{
    std::mutex progress_lock;
    int32_t rows_done = 0;
    ParallelFor(image.threads, int64_t(count), [&](int64_t i, int) {
        const int32_t first = int32_t(i) * rows_per_piece;
        const int32_t last = std::min(image.height, first + rows_per_piece);
        pieces[i].done = CompressPiece(image, first, last, size_t(i) + 1 == count, &pieces[i]);
        if (image.progress) {
            std::lock_guard<std::mutex> hold(progress_lock);
            rows_done += last - first;
            image.progress(rows_done, image.height, image.progress_context);
        }
    });
    for (size_t i = 0; i < count; ++i)
        if (!pieces[i].done)
            return false;
    return true;
}

// The chunks that describe the pixels' meaning, as the source image had them.
void SetMetadata(png_structp png, png_infop info, const PngOutput& image)
{
    const PngMetadata& m = *image.metadata;
    if (m.has_gamma)
        png_set_gAMA_fixed(png, info, m.gamma);
    const int32_t* c = m.chromaticities;
    if (m.has_chromaticities)
        png_set_cHRM_fixed(png, info, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    if (m.has_srgb)
        png_set_sRGB(png, info, m.srgb_intent);
    if (m.has_icc)
        png_set_iCCP(png, info, m.icc_name.c_str(), PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(m.icc_profile.data()), png_uint_32(m.icc_profile.size()));
    if (m.has_significant_bits) {
        const auto fit = [&](int bits) { return png_byte(bits >= 1 && bits <= image.bits ? bits : image.bits); };
        const uint8_t* b = m.significant_bits;
        png_color_8 bits{fit(b[0]), fit(b[1]), fit(b[2]), fit(b[3]), fit(b[4])};
        png_set_sBIT(png, info, &bits);
    }
    if (m.has_pixel_size)
        png_set_pHYs(png, info, m.pixels_per_unit[0], m.pixels_per_unit[1], m.unit);
}

bool EncodeTo(FILE* file, const PngOutput& image, char* reason)
{
    std::snprintf(reason, PNG_REASON_SIZE, "out of memory");
    if (image.width <= 0 || image.height <= 0) {
        std::snprintf(reason, PNG_REASON_SIZE, "an image of %d x %d pixels cannot be written", int(image.width),
                      int(image.height));
        return false;
    }
    const size_t row_bytes = size_t(image.width) * size_t(image.bits / 8) * (image.grey ? 2 : 4) + 1;
    const int32_t rows_per_piece = int32_t(std::clamp<size_t>(PIECE_BYTES / row_bytes, 1, size_t(image.height)));
    const size_t count = size_t((image.height + rows_per_piece - 1) / rows_per_piece);
    Piece* pieces = new (std::nothrow) Piece[count];
    if (!pieces)
        return false;
    bool written = CompressPieces(image, pieces, count, rows_per_piece);
    if (written)
        FrameStream(pieces, count);
    png_structp png = written ? png_create_write_struct(PNG_LIBPNG_VER_STRING, reason, OnError, OnWarning) : nullptr;
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        written = false;
    } else if (setjmp(png_jmpbuf(png))) {
        written = false;
    } else {
        // libpng writes the signature, the header and its checksums; the image data is
        // the stream made here, one IDAT chunk a piece.
        png_init_io(png, file);
        png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), image.bits,
                     image.grey ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
        if (image.metadata)
            SetMetadata(png, info, image);
        png_write_info(png, info);
        for (size_t i = 0; i < count; ++i)
            png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), pieces[i].bytes, pieces[i].size);
        png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
    }
    if (png)
        png_destroy_write_struct(&png, info ? &info : nullptr);
    for (size_t i = 0; i < count; ++i)
        std::free(pieces[i].bytes);
    delete[] pieces;
    return written;
}

}  // namespace

bool WritePNGFile(const char* path, const PngOutput& image, char* reason)
{
    SafeFile file;
    int error = 0;
    if (!OpenSafeFile(path, true, &file, &error)) {
        std::snprintf(reason, PNG_REASON_SIZE, "%s", std::strerror(error));
        return false;
    }
    errno = 0;
    if (!EncodeTo(file.file, image, reason)) {
        // libpng says "Write Error" for any failed write: the system's reason is the truth.
        if (std::ferror(file.file) && errno)
            std::snprintf(reason, PNG_REASON_SIZE, "%s", std::strerror(errno));
        DiscardSafeFile(&file);
        return false;
    }
    if (!CommitSafeFile(&file, &error)) {
        std::snprintf(reason, PNG_REASON_SIZE, "%s", std::strerror(error));
        return false;
    }
    return true;
}

bool WritePNGStream(FILE* file, const PngOutput& image, char* reason)
{
    errno = 0;
    if (EncodeTo(file, image, reason) && std::fflush(file) == 0 && !std::ferror(file))
        return true;
    if (std::ferror(file) && errno)
        std::snprintf(reason, PNG_REASON_SIZE, "%s", std::strerror(errno));
    return false;
}
