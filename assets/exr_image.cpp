// OpenEXR reading and writing. The library reports failures by throwing: every call into
// it is inside one try block here, and nothing is thrown past this file.
#include "assets/exr_image.h"

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
#include <ImfInputPart.h>
#include <ImfMultiPartInputFile.h>
#include <ImfOutputFile.h>
#include <ImfPartType.h>
#include <ImfStandardAttributes.h>
#include <ImfThreading.h>

#include "assets/large_block.h"
#include "support/file_names.h"
#include "support/safe_write.h"

namespace {

constexpr int SLOTS = 4;
const char* const SLOT_NAMES[SLOTS] = {"R", "G", "B", "A"};

void Say(char* reason, const std::string& text)
{
    std::snprintf(reason, PNG_REASON_SIZE, "%s", text.c_str());
}

uint64_t Tell(FILE* file)
{
#ifdef _WIN32
    return uint64_t(_ftelli64(file));
#else
    return uint64_t(ftello(file));
#endif
}

bool Seek(FILE* file, uint64_t position)
{
#ifdef _WIN32
    return _fseeki64(file, int64_t(position), SEEK_SET) == 0;
#else
    return fseeko(file, off_t(position), SEEK_SET) == 0;
#endif
}

// The file's bytes, read by the library without a copy.
class MemoryStream : public Imf::IStream {
public:
    MemoryStream(const unsigned char* bytes, size_t size) : Imf::IStream("memory"), bytes_(bytes), size_(size) {}
    bool isMemoryMapped() const override { return true; }
    char* readMemoryMapped(int n) override
    {
        const char* at = Take(n);
        return const_cast<char*>(at);
    }
    bool read(char c[], int n) override
    {
        std::memcpy(c, Take(n), size_t(n));
        return at_ < size_;
    }
    uint64_t tellg() override { return at_; }
    void seekg(uint64_t position) override { at_ = position; }

private:
    const char* Take(int n)
    {
        if (n < 0 || at_ > size_ || uint64_t(n) > size_ - at_)
            throw std::runtime_error("the file ends early");
        const char* at = reinterpret_cast<const char*>(bytes_) + at_;
        at_ += uint64_t(n);
        return at;
    }
    const unsigned char* bytes_;
    uint64_t size_;
    uint64_t at_ = 0;
};

// A file read as the library asks, without holding it whole.
class FileInStream : public Imf::IStream {
public:
    explicit FileInStream(FILE* file) : Imf::IStream("input"), file_(file) {}
    bool read(char c[], int n) override
    {
        if (n < 0 || std::fread(c, 1, size_t(n), file_) != size_t(n))
            throw std::runtime_error("the file ends early");
        const int next = std::fgetc(file_);
        if (next == EOF)
            return false;
        std::ungetc(next, file_);
        return true;
    }
    uint64_t tellg() override { return Tell(file_); }
    void seekg(uint64_t position) override
    {
        if (!Seek(file_, position))
            throw std::runtime_error("the file cannot be read");
    }

private:
    FILE* file_;
};

// Writes into the safe file's temporary.
class FileStream : public Imf::OStream {
public:
    explicit FileStream(FILE* file) : Imf::OStream("output"), file_(file) {}
    void write(const char c[], int n) override
    {
        if (std::fwrite(c, 1, size_t(n), file_) != size_t(n))
            throw std::runtime_error("the file cannot be written (the disk may be full)");
    }
    uint64_t tellp() override { return Tell(file_); }
    void seekp(uint64_t position) override
    {
        if (!Seek(file_, position))
            throw std::runtime_error("the file cannot be written");
    }

private:
    FILE* file_;
};

// Which of the file's channels fill which slot; false when none can be read as colour.
bool ChooseChannels(const Imf::ChannelList& channels, ExrMetadata* exr, bool* grey, std::string* why)
{
    int count = 0;
    std::string single, listed;
    for (auto c = channels.begin(); c != channels.end(); ++c) {
        ++count;
        listed += (listed.empty() ? "" : ", ") + std::string(c.name());
        for (int s = 0; s < SLOTS; ++s)
            if (std::strcmp(c.name(), SLOT_NAMES[s]) == 0) {
                exr->present[s] = true;
                exr->names[s] = SLOT_NAMES[s];
                exr->types[s] = ExrType(c.channel().type);
            }
        if (std::strcmp(c.name(), "A") != 0)
            single = c.name();
    }
    *grey = !exr->present[0] && !exr->present[1] && !exr->present[2];
    if (!*grey)
        return true;
    // Grey: Y, else the one channel besides alpha.
    const Imf::Channel* y = channels.findChannel("Y");
    const int others = count - (exr->present[3] ? 1 : 0);
    if (!y && others != 1) {
        *why = others == 0 ? "has no colour channel" : "has no R, G, B or Y channel to read (it has " + listed + ")";
        return false;
    }
    exr->present[0] = true;
    exr->names[0] = y ? "Y" : single;
    exr->types[0] = ExrType(channels.findChannel(exr->names[0])->type);
    return true;
}

void ReadMetadata(const Imf::Header& header, ExrMetadata* exr)
{
    exr->pixel_aspect_ratio = header.pixelAspectRatio();
    if (Imf::hasChromaticities(header)) {
        const Imf::Chromaticities& c = Imf::chromaticities(header);
        const float values[8] = {c.red.x, c.red.y, c.green.x, c.green.y, c.blue.x, c.blue.y, c.white.x, c.white.y};
        std::copy(values, values + 8, exr->chromaticities);
        exr->has_chromaticities = true;
    }
    if (Imf::hasWhiteLuminance(header)) {
        exr->white_luminance = Imf::whiteLuminance(header);
        exr->has_white_luminance = true;
    }
}

// The header's image, with its checks: a flat image of a size that can be held.
bool ImageOfHeader(const Imf::Header& header, DeepImage* image, char* reason)
{
    if (header.hasType() && Imf::isDeepData(header.type())) {
        Say(reason, "a deep image (several samples a pixel), which cannot be baked");
        return false;
    }
    const Imath::Box2i& display = header.displayWindow();
    const Imath::Box2i& data = header.dataWindow();
    const int64_t width = int64_t(display.max.x) - display.min.x + 1, height = int64_t(display.max.y) - display.min.y + 1;
    const int64_t data_width = int64_t(data.max.x) - data.min.x + 1, data_height = int64_t(data.max.y) - data.min.y + 1;
    if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) > EXR_MAX_PIXELS || data_width <= 0 ||
        data_height <= 0 || uint64_t(data_width) * uint64_t(data_height) > EXR_MAX_PIXELS) {
        Say(reason, "an image of " + std::to_string(width) + " x " + std::to_string(height) +
                        " pixels, beyond what can be baked");
        return false;
    }
    DeepImage made{};
    made.width = int32_t(width);
    made.height = int32_t(height);
    made.bits = 32;
    std::string why;
    if (!ChooseChannels(header.channels(), &made.exr, &made.grey, &why)) {
        Say(reason, why);
        return false;
    }
    made.alpha = made.exr.present[3];
    ReadMetadata(header, &made.exr);
    *image = made;
    return true;
}

// Slots of `frame` for rows [first, last] of the data window into `base`, a buffer of
// `row_pixels` pixels a row whose first pixel is (x0, first).
void AddSlices(const DeepImage& image, char* base, int x0, int first, size_t row_pixels, Imf::FrameBuffer* frame)
{
    const size_t x_stride = 4 * sizeof(float), y_stride = x_stride * row_pixels;
    char* origin = base - int64_t(x0) * int64_t(x_stride) - int64_t(first) * int64_t(y_stride);
    for (int s = 0; s < SLOTS; ++s) {
        const bool alpha = s == 3;
        if (!image.exr.present[s] && !alpha)
            continue;  // colour slots not in the file stay 0
        const std::string name = image.exr.present[s] ? image.exr.names[s] : "A";
        frame->insert(name, Imf::Slice(Imf::FLOAT, origin + s * sizeof(float), x_stride, y_stride, 1, 1,
                                       alpha && !image.exr.present[3] ? 1.0 : 0.0));
    }
}

// Reads the data window's rows that fall in the display window, in bands where the two
// windows differ.
void ReadPixels(Imf::InputPart& part, const Imf::Header& header, DeepImage* image)
{
    const Imath::Box2i& display = header.displayWindow();
    const Imath::Box2i& data = header.dataWindow();
    float* pixels = static_cast<float*>(image->pixels);
    const size_t width = size_t(image->width);
    if (display == data) {
        Imf::FrameBuffer frame;
        AddSlices(*image, reinterpret_cast<char*>(pixels), data.min.x, data.min.y, width, &frame);
        part.setFrameBuffer(frame);
        part.readPixels(data.min.y, data.max.y);
        return;
    }
    if (!image->exr.present[3])  // alpha 1 where the file has none, outside the data window too
        for (size_t i = 0; i < width * size_t(image->height); ++i)
            pixels[i * 4 + 3] = 1;
    const int first = std::max(display.min.y, data.min.y), last = std::min(display.max.y, data.max.y);
    const int left = std::max(display.min.x, data.min.x), right = std::min(display.max.x, data.max.x);
    if (first > last || left > right)
        return;
    const size_t data_width = size_t(int64_t(data.max.x) - data.min.x + 1);
    const int band = int(std::clamp<size_t>((size_t(64) << 20) / (data_width * 16), 1, 256));
    std::vector<float> rows(data_width * size_t(band) * 4);
    for (int y = first; y <= last; y += band) {
        const int end = int(std::min<int64_t>(int64_t(y) + band - 1, last));
        Imf::FrameBuffer frame;
        AddSlices(*image, reinterpret_cast<char*>(rows.data()), data.min.x, y, data_width, &frame);
        part.setFrameBuffer(frame);
        part.readPixels(y, end);
        for (int row = y; row <= end; ++row)
            std::memcpy(pixels + (size_t(row - display.min.y) * width + size_t(left - display.min.x)) * 4,
                        rows.data() + (size_t(row - y) * data_width + size_t(left - data.min.x)) * 4,
                        size_t(right - left + 1) * 4 * sizeof(float));
    }
}

void CopyGrey(DeepImage* image)
{
    float* p = static_cast<float*>(image->pixels);
    for (size_t i = 0; i < size_t(image->width) * size_t(image->height); ++i)
        p[i * 4 + 1] = p[i * 4 + 2] = p[i * 4];
}

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
    // 256 rows: whole chunks of every compression, many of them for the workers.
    constexpr int BAND = 256;
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
            ConvertBand(image, s, first, rows, band[s].data());
            frame.insert(image.metadata->names[s], Imf::Slice(Imf::PixelType(type),
                                                              band[s].data() - int64_t(first) * int64_t(y_stride),
                                                              x_stride, y_stride));
        }
        file->setFrameBuffer(frame);
        file->writePixels(rows);
    }
}

void LimitSizes()
{
    // The library's own guard against headers that claim vast images.
    Imf::Header::setMaxImageSize(1 << 20, 1 << 20);
    Imf::Header::setMaxTileSize(1 << 16, 1 << 16);
}

}  // namespace

void SetExrThreads(int threads)
{
    Imf::setGlobalThreadCount(threads > 1 ? threads : 0);
}

bool IsExrData(const unsigned char* bytes, size_t size)
{
    return size >= 4 && bytes[0] == 0x76 && bytes[1] == 0x2f && bytes[2] == 0x31 && bytes[3] == 0x01;
}

bool IsExrName(const std::string& name)
{
    if (name.size() < 4)
        return false;
    std::string end = name.substr(name.size() - 4);
    std::transform(end.begin(), end.end(), end.begin(), [](char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return end == ".exr";
}

namespace {

// The first part of the file `stream` reads, with its pixels unless `header_only`.
bool DecodeStream(Imf::IStream& stream, int threads, bool header_only, DeepImage* image, char* reason,
                  std::string* warning)
{
    LimitSizes();
    DeepImage made{};
    size_t block = 0;
    try {
        Imf::MultiPartInputFile file(stream, threads > 1 ? threads : 0);
        const Imf::Header& header = file.header(0);
        if (!ImageOfHeader(header, &made, reason))
            return false;
        if (file.parts() > 1 && warning)
            *warning = "has " + std::to_string(file.parts()) + " parts; the first is baked";
        if (header_only) {
            *image = made;
            return true;
        }
        block = size_t(made.width) * size_t(made.height) * 4 * sizeof(float);
        made.pixels = LargeResize(nullptr, 0, block);
        if (!made.pixels) {
            Say(reason, "out of memory for " + std::to_string(made.width) + " x " + std::to_string(made.height) +
                            " pixels");
            return false;
        }
        Imf::InputPart part(file, 0);
        ReadPixels(part, header, &made);
    } catch (const std::exception& e) {
        LargeFree(made.pixels, block);
        Say(reason, std::string("not a readable OpenEXR file: ") + e.what());
        return false;
    }
    if (made.grey)
        CopyGrey(&made);
    *image = made;
    return true;
}

bool DecodePath(const char* path, int threads, bool header_only, DeepImage* image, char* reason,
                std::string* warning)
{
    FILE* file = OpenFile(path, "rb");
    if (!file) {
        Say(reason, std::string("cannot be opened: ") + std::strerror(errno));
        return false;
    }
    unsigned char magic[4] = {};
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    bool done = false;
    if (!IsExrData(magic, got)) {
        Say(reason, "not an OpenEXR file");
    } else {
        Seek(file, 0);
        FileInStream stream(file);
        done = DecodeStream(stream, threads, header_only, image, reason, warning);
    }
    std::fclose(file);
    return done;
}

}  // namespace

bool DecodeExr(const unsigned char* bytes, size_t size, int threads, DeepImage* image, char* reason,
               std::string* warning)
{
    if (!IsExrData(bytes, size)) {
        Say(reason, "not an OpenEXR file");
        return false;
    }
    MemoryStream stream(bytes, size);
    return DecodeStream(stream, threads, false, image, reason, warning);
}

bool DecodeExrFile(const char* path, int threads, DeepImage* image, char* reason, std::string* warning)
{
    return DecodePath(path, threads, false, image, reason, warning);
}

bool ReadExrHeader(const char* path, DeepImage* header, char* reason)
{
    return DecodePath(path, 0, true, header, reason, nullptr);
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
