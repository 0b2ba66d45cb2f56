// OpenEXR writing. The library reports failures by throwing: every call into it is
// inside one try block here, and nothing is thrown past this file.
#include "assets/exr_write.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <half.h>
#include <ImfChannelList.h>
#include <ImfChromaticitiesAttribute.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfThreading.h>

#include "assets/large_block.h"
#include "support/file_names.h"
#include "support/parallel.h"
#include "support/safe_write.h"

namespace {

constexpr int SLOTS = 4;
const char* const SLOT_NAMES[SLOTS] = {"R", "G", "B", "A"};

void Say(char* reason, const std::string& text)
{
    std::snprintf(reason, PNG_REASON_SIZE, "%s", text.c_str());
}

// Writes into the safe file's temporary.
class FileStream : public Imf::OStream {
public:
    explicit FileStream(FILE* file) : Imf::OStream("output"), file_(file) {}
    void write(const char c[], int n) override
    {
        if (std::fwrite(c, 1, size_t(n), file_) != size_t(n))
            throw std::runtime_error("the file cannot be written (the disk may be full)");
    }
    uint64_t tellp() override { return TellFile(file_); }
    void seekp(uint64_t position) override
    {
        if (!SeekFile(file_, position))
            throw std::runtime_error("the file cannot be written");
    }

private:
    FILE* file_;
};

// A channel's values in the file's type, a band of rows at a time: the library writes
// only the type each channel has.
void ConvertBand(const ExrOutput& image, int slot, int first, int rows, char* out)
{
    const size_t count = size_t(rows) * size_t(image.width);
    const float* in = image.pixels + size_t(first) * size_t(image.width) * 4 + size_t(slot);
    switch (image.metadata->types[slot]) {
    case ExrType::HALF:
        for (size_t i = 0; i < count; ++i) {
            const Imath::half h(in[i * 4]);
            std::memcpy(out + i * sizeof h, &h, sizeof h);
        }
        break;
    case ExrType::UINT:
        for (size_t i = 0; i < count; ++i) {
            const float v = in[i * 4];
            const uint32_t u = v >= 0 ? uint32_t(std::min(double(v) + 0.5, 4294967295.0)) : 0;
            std::memcpy(out + i * sizeof u, &u, sizeof u);
        }
        break;
    case ExrType::FLOAT:
        for (size_t i = 0; i < count; ++i)
            std::memcpy(out + i * sizeof(float), in + i * 4, sizeof(float));
        break;
    }
}

size_t TypeBytes(ExrType type)
{
    return type == ExrType::HALF ? 2 : 4;
}

void WriteBands(const ExrOutput& image, Imf::OutputFile* file)
{
    // 1024 rows: whole chunks of every compression, many of them for the library's
    // workers, each band's values converted on every worker first.
    constexpr int BAND = 1024, PIECE = 16;
    std::vector<char> band[SLOTS];
    for (int first = 0; first < image.height; first += BAND) {
        const int rows = std::min(BAND, image.height - first);
        Imf::FrameBuffer frame;
        for (int s = 0; s < SLOTS; ++s) {
            if (!image.metadata->present[s])
                continue;
            const ExrType type = image.metadata->types[s];
            const size_t x_stride = TypeBytes(type), y_stride = x_stride * size_t(image.width);
            band[s].resize(y_stride * size_t(rows));
            frame.insert(image.metadata->names[s], Imf::Slice(Imf::PixelType(type),
                                                              band[s].data() - int64_t(first) * int64_t(y_stride),
                                                              x_stride, y_stride));
        }
        ParallelFor(image.threads, (rows + PIECE - 1) / PIECE, [&](int64_t piece, int) {
            const int from = int(piece) * PIECE, count = std::min(PIECE, rows - from);
            for (int s = 0; s < SLOTS; ++s)
                if (image.metadata->present[s])
                    ConvertBand(image, s, first + from, count,
                                band[s].data() + size_t(from) * size_t(image.width) * TypeBytes(image.metadata->types[s]));
        });
        file->setFrameBuffer(frame);
        file->writePixels(rows);
    }
}

}  // namespace

void SetExrThreads(int threads)
{
    Imf::setGlobalThreadCount(threads > 1 ? threads : 0);
}

bool IsExrName(const std::string& name)
{
    if (name.size() < 4)
        return false;
    std::string end = name.substr(name.size() - 4);
    std::transform(end.begin(), end.end(), end.begin(), [](char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return end == ".exr";
}

int ExrCompressionByName(const std::string& name)
{
    static const char* const names[] = {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};
    for (int i = 0; i < int(std::size(names)); ++i)
        if (name == names[i])
            return i;
    return -1;
}

bool WriteExrFile(const char* path, const ExrOutput& image, char* reason)
{
    SafeFile safe;
    int error = 0;
    if (!OpenSafeFile(path, true, &safe, &error)) {
        Say(reason, std::string("cannot be created: ") + std::strerror(error));
        return false;
    }
    const ExrMetadata& exr = *image.metadata;
    try {
        Imf::Header header(image.width, image.height, exr.pixel_aspect_ratio);
        header.compression() = Imf::Compression(image.compression);
        if (exr.has_chromaticities) {
            const float* c = exr.chromaticities;
            Imf::addChromaticities(header, Imf::Chromaticities({c[0], c[1]}, {c[2], c[3]}, {c[4], c[5]}, {c[6], c[7]}));
        }
        if (exr.has_white_luminance)
            Imf::addWhiteLuminance(header, exr.white_luminance);
        for (int s = 0; s < SLOTS; ++s)
            if (exr.present[s])
                header.channels().insert(exr.names[s], Imf::Channel(Imf::PixelType(exr.types[s])));
        FileStream stream(safe.file);
        Imf::OutputFile file(stream, header, image.threads > 1 ? image.threads : 0);
        WriteBands(image, &file);
    } catch (const std::exception& e) {
        DiscardSafeFile(&safe);
        Say(reason, e.what());
        return false;
    }
    if (!CommitSafeFile(&safe, &error)) {
        Say(reason, std::strerror(error));
        return false;
    }
    return true;
}

bool ToFloatImage(DeepImage* image)
{
    const size_t values = size_t(image->width) * size_t(image->height) * 4;
    float* floats = static_cast<float*>(LargeResize(nullptr, 0, values * sizeof(float)));
    if (!floats)
        return false;
    if (image->bits == 16) {
        const auto* in = static_cast<const uint16_t*>(image->pixels);
        for (size_t i = 0; i < values; ++i)
            floats[i] = float(in[i] / 65535.0);
    } else {
        const auto* in = static_cast<const uint8_t*>(image->pixels);
        for (size_t i = 0; i < values; ++i)
            floats[i] = float(in[i] / 255.0);
    }
    LargeFree(image->pixels, values * size_t(image->bits / 8));
    image->pixels = floats;
    image->bits = 32;
    ExrMetadata exr;
    for (int s = 0; s < SLOTS; ++s) {
        exr.present[s] = s == 3 ? image->alpha : !image->grey || s == 0;
        exr.names[s] = image->grey && s == 0 ? "Y" : SLOT_NAMES[s];
    }
    const PngMetadata& png = image->metadata;
    if (png.has_chromaticities) {
        // PNG gives white first, OpenEXR last.
        for (int i = 0; i < 8; ++i)
            exr.chromaticities[i] = float(png.chromaticities[(i + 2) % 8] / 100000.0);
        exr.has_chromaticities = true;
    }
    image->exr = exr;
    return true;
}

void ToPngDepth(DeepImage* image, int bits)
{
    const size_t values = size_t(image->width) * size_t(image->height) * 4;
    auto* bytes = static_cast<unsigned char*>(image->pixels);
    const double max = bits == 16 ? 65535.0 : 255.0;
    // In place, a block at a time: each block's floats are copied out before its values
    // are written, which lands no further on than the floats read.
    constexpr size_t BLOCK = 1024;
    float in[BLOCK];
    uint16_t out[BLOCK];
    uint8_t narrow[BLOCK];
    for (size_t first = 0; first < values; first += BLOCK) {
        const size_t n = std::min(BLOCK, values - first);
        std::memcpy(in, bytes + first * sizeof(float), n * sizeof(float));
        for (size_t i = 0; i < n; ++i) {
            const double v = std::isnan(in[i]) ? 0.0 : std::clamp(double(in[i]), 0.0, 1.0) * max + 0.5;
            out[i] = uint16_t(v);
            narrow[i] = uint8_t(v);
        }
        if (bits == 16)
            std::memcpy(bytes + first * 2, out, n * 2);
        else
            std::memcpy(bytes + first, narrow, n);
    }
    if (void* shrunk = LargeResize(image->pixels, values * sizeof(float), values * size_t(bits / 8)))
        image->pixels = shrunk;
    image->bits = bits;
    if (image->exr.has_chromaticities) {
        for (int i = 0; i < 8; ++i)
            image->metadata.chromaticities[(i + 2) % 8] = int32_t(std::lround(image->exr.chromaticities[i] * 100000.0));
        image->metadata.has_chromaticities = true;
    }
}
