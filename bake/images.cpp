// The bake's images: reading either format, the depth each is drawn at, and writing.
#include "bake/images.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "assets/exr_read.h"
#include "assets/exr_write.h"
#include "assets/large_block.h"
#include "assets/png_encode.h"
#include "bake/bake.h"
#include "bake/udim.h"
#include "support/file_names.h"
#include "support/parallel.h"

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

// 8 or 16 bits raised to `bits` (16, or 32 for floats); false when memory runs out.
bool RaiseDepth(DeepImage* image, int bits)
{
    if (image->bits >= bits)
        return true;
    if (bits == 32)
        return ToFloatImage(image);
    ChangeIntegerDepth(image, bits);
    return image->bits == bits;
}

int DecodeFailure(const std::string& path, const char* reason, std::string* message)
{
    // Only memory, not the file, can make a readable image fail this way.
    const bool memory = std::strncmp(reason, "out of memory", 13) == 0;
    *message = QuotedName(path) + ": " + reason;
    return memory ? BAKE_OUTPUT : BAKE_INPUT;
}

// The files an image argument names: itself, or its set's tiles.
int InputFiles(const std::string& path, std::vector<std::string>* files, std::vector<int>* tiles, std::string* message)
{
    if (!HasUdim(path)) {
        files->assign(1, path);
        return BAKE_DONE;
    }
    if (!FindTiles(path, tiles, message))
        return BAKE_INPUT;
    for (int tile : *tiles)
        files->push_back(TileName(path, tile));
    return BAKE_DONE;
}

}  // namespace

void FreeInputImages(InputImages* input)
{
    for (DeepImage& image : input->images)
        FreeDeepImage(&image);
    input->images.clear();
}

int DecodeInput(const std::string& path, int threads, bool exr_output, InputImages* input, std::string* message,
                std::vector<std::string>* warnings, const std::function<void(int threads)>& alongside)
{
    std::vector<std::string> files;
    int code = InputFiles(path, &files, &input->tiles, message);
    if (code != BAKE_DONE) {
        if (alongside)
            alongside(threads);
        return code;
    }
    // A set's tiles one to a worker, each decoded alone; one image on every worker.
    const size_t count = files.size();
    input->images.assign(count, DeepImage{});
    std::vector<std::string> reasons(count), notes(count);
    std::vector<char> decoded(count, 0);
    const int64_t first = alongside ? 1 : 0;
    const int workers = count > 1 || alongside ? threads : 1;
    ParallelFor(workers, int64_t(count) + first, [&](int64_t job, int) {
        if (job < first) {
            alongside(std::max(1, threads - int(count)));
            return;
        }
        const size_t i = size_t(job - first);
        char reason[PNG_REASON_SIZE] = "";
        decoded[i] = DecodeImage(files[i], count > 1 || alongside ? 1 : threads, &input->images[i], reason, &notes[i]);
        reasons[i] = reason;
    });
    int bits = exr_output ? 32 : 8;
    for (size_t i = 0; i < count && code == BAKE_DONE; ++i) {
        if (!decoded[i])
            code = DecodeFailure(files[i], reasons[i].c_str(), message);
        else
            bits = std::max(bits, input->images[i].bits);
        if (!notes[i].empty())
            warnings->push_back(QuotedName(files[i]) + " " + notes[i]);
    }
    for (size_t i = 0; i < count && code == BAKE_DONE; ++i)
        if (!RaiseDepth(&input->images[i], bits)) {
            *message = QuotedName(files[i]) + ": not enough memory for its pixels at " + std::to_string(bits) +
                       " bits a channel";
            code = BAKE_OUTPUT;
        }
    if (code != BAKE_DONE)
        FreeInputImages(input);
    return code;
}

int ReadInputHeader(const std::string& path, bool exr_output, DeepImage* header, std::string* message)
{
    std::vector<std::string> files;
    std::vector<int> tiles;
    const int code = InputFiles(path, &files, &tiles, message);
    for (size_t i = 0; i < files.size(); ++i) {
        DeepImage read{};
        char reason[PNG_REASON_SIZE];
        if (!ReadImageHeader(files[i], &read, reason))
            return DecodeFailure(files[i], reason, message);
        if (i == 0)
            *header = read;
        header->bits = std::max(header->bits, read.bits);
        header->grey = header->grey && read.grey;
    }
    if (code == BAKE_DONE && exr_output)
        header->bits = 32;
    return code;
}

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
