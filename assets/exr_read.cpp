// OpenEXR reading through the library's C core: every chunk of the first part's
// full-resolution level is decoded into a scratch block of float planes, on a worker of
// its own, and the block's pixels that fall in the display window are copied into the
// image. The core reads the file through ReadAt, which never reads past the
// end, and reports failures as codes: nothing is thrown.
#include "assets/exr_read.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <openexr.h>

#include "assets/large_block.h"
#include "support/file_names.h"
#include "support/parallel.h"

namespace {

constexpr int SLOTS = 4;
const char* const SLOT_NAMES[SLOTS] = {"R", "G", "B", "A"};

// The largest sizes the core accepts, against headers that claim vast images.
constexpr int MAX_SIDE = 1 << 20;
constexpr int MAX_TILE_SIDE = 1 << 11;

void Say(char* reason, const std::string& text)
{
    std::snprintf(reason, PNG_REASON_SIZE, "%s", text.c_str());
}

// Where the file's bytes come from: memory, or an open file read under a lock (workers
// read chunks at once). `error` keeps the core's last message.
struct Source {
    const unsigned char* bytes = nullptr;
    FILE* file = nullptr;
    uint64_t size = 0;
    std::mutex lock;
    std::string error;
};

int64_t ReadAt(exr_const_context_t, void* user, void* buffer, uint64_t count, uint64_t offset,
               exr_stream_error_func_ptr_t)
{
    Source& source = *static_cast<Source*>(user);
    if (offset >= source.size)
        return 0;
    count = std::min(count, source.size - offset);
    if (source.bytes) {
        std::memcpy(buffer, source.bytes + offset, size_t(count));
        return int64_t(count);
    }
    std::lock_guard<std::mutex> hold(source.lock);
    if (!SeekFile(source.file, offset))
        return -1;
    return int64_t(std::fread(buffer, 1, size_t(count), source.file));
}

int64_t SizeOf(exr_const_context_t, void* user)
{
    return int64_t(static_cast<Source*>(user)->size);
}

void KeepError(exr_const_context_t context, exr_result_t, const char* message)
{
    void* user = nullptr;
    if (exr_get_user_data(context, &user) == EXR_ERR_SUCCESS && user) {
        Source& source = *static_cast<Source*>(user);
        std::lock_guard<std::mutex> hold(source.lock);
        source.error = message;
    }
}

std::string Unreadable(Source& source, exr_result_t code)
{
    std::lock_guard<std::mutex> hold(source.lock);
    return "not a readable OpenEXR file: " + (source.error.empty() ? std::string(exr_get_default_error_message(code))
                                                                    : source.error);
}

// Which of the part's channels fill which slot; false when none can be read as colour.
// Channels sampled below full resolution are not read.
bool ChooseChannels(const exr_attr_chlist_t& channels, ExrMetadata* exr, bool* grey, std::string* why)
{
    std::string single, listed;
    int others = 0;
    const auto full = [](const exr_attr_chlist_entry_t& c) { return c.x_sampling == 1 && c.y_sampling == 1; };
    for (int i = 0; i < channels.num_channels; ++i) {
        const exr_attr_chlist_entry_t& c = channels.entries[i];
        listed += (listed.empty() ? "" : ", ") + std::string(c.name.str);
        for (int s = 0; s < SLOTS; ++s)
            if (full(c) && std::strcmp(c.name.str, SLOT_NAMES[s]) == 0) {
                exr->present[s] = true;
                exr->names[s] = SLOT_NAMES[s];
                exr->types[s] = ExrType(c.pixel_type);
            }
        if (std::strcmp(c.name.str, "A") != 0 && full(c)) {
            single = c.name.str;
            ++others;
        }
    }
    *grey = !exr->present[0] && !exr->present[1] && !exr->present[2];
    if (!*grey)
        return true;
    // Grey: Y, else the one channel besides alpha.
    const exr_attr_chlist_entry_t* y = nullptr;
    for (int i = 0; i < channels.num_channels; ++i)
        if (std::strcmp(channels.entries[i].name.str, "Y") == 0 && full(channels.entries[i]))
            y = &channels.entries[i];
    if (!y && others != 1) {
        *why = others == 0 ? "has no colour channel" : "has no R, G, B or Y channel to read (it has " + listed + ")";
        return false;
    }
    exr->present[0] = true;
    exr->names[0] = y ? "Y" : single;
    for (int i = 0; i < channels.num_channels; ++i)
        if (exr->names[0] == channels.entries[i].name.str)
            exr->types[0] = ExrType(channels.entries[i].pixel_type);
    return true;
}

void ReadMetadata(exr_const_context_t context, ExrMetadata* exr)
{
    float ratio = 1;
    if (exr_get_pixel_aspect_ratio(context, 0, &ratio) == EXR_ERR_SUCCESS)
        exr->pixel_aspect_ratio = ratio;
    exr_attr_chromaticities_t c{};
    if (exr_attr_get_chromaticities(context, 0, "chromaticities", &c) == EXR_ERR_SUCCESS) {
        const float values[8] = {c.red_x, c.red_y, c.green_x, c.green_y, c.blue_x, c.blue_y, c.white_x, c.white_y};
        std::copy(values, values + 8, exr->chromaticities);
        exr->has_chromaticities = true;
    }
    exr->has_white_luminance = exr_attr_get_float(context, 0, "whiteLuminance", &exr->white_luminance) ==
                               EXR_ERR_SUCCESS;
}

int64_t Side(int32_t low, int32_t high)
{
    return int64_t(high) - int64_t(low) + 1;
}

// The first part's image, with its checks: a flat image of a size that can be held.
bool ImageOfHeader(exr_const_context_t context, uint64_t max_pixels, DeepImage* image, char* reason)
{
    exr_storage_t storage = EXR_STORAGE_LAST_TYPE;
    exr_attr_box2i_t display{}, data{};
    const exr_attr_chlist_t* channels = nullptr;
    if (exr_get_storage(context, 0, &storage) != EXR_ERR_SUCCESS ||
        exr_get_display_window(context, 0, &display) != EXR_ERR_SUCCESS ||
        exr_get_data_window(context, 0, &data) != EXR_ERR_SUCCESS ||
        exr_get_channels(context, 0, &channels) != EXR_ERR_SUCCESS || !channels) {
        Say(reason, "not a readable OpenEXR file: its first part lacks a window or its channels");
        return false;
    }
    if (storage == EXR_STORAGE_DEEP_SCANLINE || storage == EXR_STORAGE_DEEP_TILED) {
        Say(reason, "a deep image (several samples a pixel), which cannot be baked");
        return false;
    }
    const int64_t width = Side(display.min.x, display.max.x), height = Side(display.min.y, display.max.y);
    const int64_t data_width = Side(data.min.x, data.max.x), data_height = Side(data.min.y, data.max.y);
    uint64_t pixel_bytes = 0;  // every channel's, which the core decompresses a chunk of
    for (int i = 0; i < channels->num_channels; ++i)
        pixel_bytes += channels->entries[i].pixel_type == EXR_PIXEL_HALF ? 2 : 4;
    if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) > max_pixels || data_width <= 0 ||
        data_height <= 0 || uint64_t(data_width) * uint64_t(data_height) > max_pixels ||
        uint64_t(data_width) * uint64_t(data_height) * pixel_bytes > max_pixels * 16) {
        Say(reason, "an image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels (" +
                        std::to_string(channels->num_channels) + " channels), beyond what can be baked");
        return false;
    }
    DeepImage made{};
    made.width = int32_t(width);
    made.height = int32_t(height);
    made.bits = 32;
    std::string why;
    if (!ChooseChannels(*channels, &made.exr, &made.grey, &why)) {
        Say(reason, why);
        return false;
    }
    made.alpha = made.exr.present[3];
    ReadMetadata(context, &made.exr);
    *image = made;
    return true;
}

// The chunks of the full-resolution level: scanline blocks from the top, or tiles row
// by row.
struct Chunks {
    bool tiled = false;
    int32_t count = 0;
    int32_t lines = 0;               // scanlines a chunk
    int32_t across = 0;              // tiles a row
    int32_t tile_width = 0, tile_height = 0;
    exr_attr_box2i_t data{};
};

bool ListChunks(exr_const_context_t context, Chunks* chunks)
{
    if (exr_get_data_window(context, 0, &chunks->data) != EXR_ERR_SUCCESS)
        return false;
    const int64_t width = Side(chunks->data.min.x, chunks->data.max.x);
    const int64_t height = Side(chunks->data.min.y, chunks->data.max.y);
    int32_t& tile_width = chunks->tile_width;
    int32_t& tile_height = chunks->tile_height;
    chunks->tiled = exr_get_tile_sizes(context, 0, 0, 0, &tile_width, &tile_height) == EXR_ERR_SUCCESS;
    if (chunks->tiled) {
        if (tile_width <= 0 || tile_height <= 0)
            return false;
        chunks->across = int32_t((width + tile_width - 1) / tile_width);
        chunks->count = int32_t(int64_t(chunks->across) * ((height + tile_height - 1) / tile_height));
        return true;
    }
    if (exr_get_scanlines_per_chunk(context, 0, &chunks->lines) != EXR_ERR_SUCCESS || chunks->lines <= 0)
        return false;
    chunks->count = int32_t((height + chunks->lines - 1) / chunks->lines);
    return true;
}

exr_result_t ChunkInfo(exr_const_context_t context, const Chunks& chunks, int32_t i, exr_chunk_info_t* info)
{
    if (chunks.tiled)
        return exr_read_tile_chunk_info(context, 0, i % chunks.across, i / chunks.across, 0, 0, info);
    return exr_read_scanline_chunk_info(context, 0, int(chunks.data.min.y + int64_t(i) * chunks.lines), info);
}

// One worker's pipeline and scratch block, kept from chunk to chunk.
struct Worker {
    exr_decode_pipeline_t decoder = EXR_DECODE_PIPELINE_INITIALIZER;
    bool started = false;
    std::vector<float> block;
    std::vector<float> discard;  // channels that fill no slot
    std::vector<float> spaced;   // the slots' planes at twice the stride, where needed
};

// Decodes chunk `i` and copies it into the image; the core's code on failure.
exr_result_t DecodeChunk(exr_const_context_t context, const Chunks& chunks, int32_t i, const exr_attr_box2i_t& display,
                         Worker* worker, DeepImage* image)
{
    exr_chunk_info_t info{};
    exr_result_t result = ChunkInfo(context, chunks, i, &info);
    if (result != EXR_ERR_SUCCESS)
        return result;
    if (info.width <= 0 || info.height <= 0)
        return EXR_ERR_CORRUPT_CHUNK;
    // An uncompressed block is unpacked where it is read: one shorter than its pixels
    // need is refused, for the core's fast routines would read on past its end.
    if (info.compression == EXR_COMPRESSION_NONE && info.packed_size < info.unpacked_size)
        return EXR_ERR_CORRUPT_CHUNK;
    result = worker->started ? exr_decoding_update(context, 0, &info, &worker->decoder)
                             : exr_decoding_initialize(context, 0, &info, &worker->decoder);
    if (result != EXR_ERR_SUCCESS)
        return result;
    worker->started = true;
    // One plane a slot: the core's routines for channels interleaved in one block assume
    // an order of their own. Channels that fill no slot are decoded too, into a plane at
    // twice the stride: some of the core's fast routines assume every channel has a
    // place and none is sampled below full resolution, and the other stride keeps them
    // from being chosen whenever that is not so.
    const size_t pixels = size_t(info.width) * size_t(info.height);
    worker->block.assign(pixels * SLOTS, 0.0f);
    if (!image->exr.present[3])
        std::fill(worker->block.begin() + std::ptrdiff_t(pixels * 3), worker->block.end(), 1.0f);
    const ExrMetadata& exr = image->exr;
    size_t discarded = 0;
    for (int16_t c = 0; c < worker->decoder.channel_count; ++c) {
        const exr_coding_channel_info_t& channel = worker->decoder.channels[c];
        discarded = std::max(discarded, size_t(std::max(channel.width, 0)) * size_t(std::max(channel.height, 0)));
    }
    worker->discard.resize(2 * std::max<size_t>(discarded, 1));
    // A channel with no line in this block is left out of the core's choice of routine,
    // but not out of its fast routines, which would then read a plane the block does not
    // hold. Then the slots' channels are decoded at twice the stride too, into planes of
    // their own, and gathered from there.
    bool gap = false;
    for (int16_t c = 0; c < worker->decoder.channel_count; ++c)
        gap = gap || worker->decoder.channels[c].height == 0;
    const size_t spacing = gap ? 2 : 1;
    worker->spaced.assign(gap ? pixels * SLOTS * spacing : 0, 0.0f);
    bool decoded[SLOTS] = {};
    for (int16_t c = 0; c < worker->decoder.channel_count; ++c) {
        exr_coding_channel_info_t& channel = worker->decoder.channels[c];
        channel.decode_to_ptr = reinterpret_cast<uint8_t*>(worker->discard.data());
        channel.user_pixel_stride = int32_t(2 * sizeof(float));
        channel.user_line_stride = int32_t(2 * sizeof(float)) * std::max(channel.width, 0);
        channel.user_data_type = EXR_PIXEL_FLOAT;
        channel.user_bytes_per_element = sizeof(float);
        for (int s = 0; s < SLOTS; ++s)
            if (exr.present[s] && exr.names[s] == channel.channel_name && channel.x_samples == 1 &&
                channel.y_samples == 1 && channel.width == info.width && channel.height == info.height) {
                float* plane = gap ? worker->spaced.data() + size_t(s) * pixels * spacing
                                   : worker->block.data() + size_t(s) * pixels;
                channel.decode_to_ptr = reinterpret_cast<uint8_t*>(plane);
                channel.user_pixel_stride = int32_t(sizeof(float) * spacing);
                channel.user_line_stride = int32_t(sizeof(float) * spacing) * info.width;
                decoded[s] = true;
            }
    }
    result = exr_decoding_choose_default_routines(context, 0, &worker->decoder);
    if (result == EXR_ERR_SUCCESS)
        result = exr_decoding_run(context, 0, &worker->decoder);
    if (result != EXR_ERR_SUCCESS)
        return result;
    for (int s = 0; s < SLOTS && gap; ++s)
        for (size_t k = 0; k < pixels && decoded[s]; ++k)
            worker->block[size_t(s) * pixels + k] = worker->spaced[(size_t(s) * pixels + k) * spacing];
    // The block's place (a tile's start is its number), and its part inside the display
    // window.
    const int64_t x0 = chunks.tiled ? chunks.data.min.x + int64_t(i % chunks.across) * chunks.tile_width : info.start_x;
    const int64_t y0 = chunks.tiled ? chunks.data.min.y + int64_t(i / chunks.across) * chunks.tile_height : info.start_y;
    const int64_t left = std::max<int64_t>(x0, display.min.x);
    const int64_t right = std::min<int64_t>(x0 + info.width - 1, display.max.x);
    float* out = static_cast<float*>(image->pixels);
    for (int32_t row = 0; row < info.height && left <= right; ++row) {
        const int64_t y = y0 + row;
        if (y < display.min.y || y > display.max.y)
            continue;
        float* to = out + (size_t(y - display.min.y) * size_t(image->width) + size_t(left - display.min.x)) * 4;
        const size_t from = size_t(row) * size_t(info.width) + size_t(left - x0);
        for (int64_t x = 0; x <= right - left; ++x)
            for (int s = 0; s < SLOTS; ++s)
                to[x * 4 + s] = worker->block[size_t(s) * pixels + from + size_t(x)];
    }
    return EXR_ERR_SUCCESS;
}

// Every chunk on `threads` workers; the first failing chunk's code, in chunk order.
exr_result_t ReadPixels(exr_const_context_t context, int threads, DeepImage* image)
{
    Chunks chunks;
    exr_attr_box2i_t display{};
    if (!ListChunks(context, &chunks) || exr_get_display_window(context, 0, &display) != EXR_ERR_SUCCESS)
        return EXR_ERR_BAD_CHUNK_LEADER;
    if (!image->exr.present[3]) {  // opaque outside the data window too
        float* p = static_cast<float*>(image->pixels);
        for (size_t i = 0; i < size_t(image->width) * size_t(image->height); ++i)
            p[i * 4 + 3] = 1;
    }
    threads = int(std::clamp<int64_t>(threads, 1, std::max<int32_t>(chunks.count, 1)));
    std::vector<Worker> workers(static_cast<size_t>(threads));
    std::vector<exr_result_t> results(size_t(std::max<int32_t>(chunks.count, 0)), EXR_ERR_SUCCESS);
    ParallelFor(threads, chunks.count, [&](int64_t i, int w) {
        results[size_t(i)] = DecodeChunk(context, chunks, int32_t(i), display, &workers[size_t(w)], image);
    });
    for (Worker& worker : workers)
        if (worker.started)
            exr_decoding_destroy(context, &worker.decoder);
    for (exr_result_t result : results)
        if (result != EXR_ERR_SUCCESS)
            return result;
    return EXR_ERR_SUCCESS;
}

void CopyGrey(DeepImage* image)
{
    float* p = static_cast<float*>(image->pixels);
    for (size_t i = 0; i < size_t(image->width) * size_t(image->height); ++i)
        p[i * 4 + 1] = p[i * 4 + 2] = p[i * 4];
}

bool Decode(Source& source, int threads, bool header_only, uint64_t max_pixels, DeepImage* image, char* reason,
            std::string* warning)
{
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    init.user_data = &source;
    init.read_fn = ReadAt;
    init.size_fn = SizeOf;
    init.error_handler_fn = KeepError;
    init.max_image_width = init.max_image_height = MAX_SIDE;
    init.max_tile_width = init.max_tile_height = MAX_TILE_SIDE;
    exr_context_t context = nullptr;
    const exr_result_t started = exr_start_read(&context, "image", &init);
    if (started != EXR_ERR_SUCCESS) {
        Say(reason, Unreadable(source, started));
        exr_finish(&context);
        return false;
    }
    DeepImage made{};
    int parts = 1;
    bool done = exr_get_count(context, &parts) == EXR_ERR_SUCCESS && ImageOfHeader(context, max_pixels, &made, reason);
    if (done && parts > 1 && warning)
        *warning = "has " + std::to_string(parts) + " parts; the first is baked";
    const size_t bytes = size_t(made.width) * size_t(made.height) * 4 * sizeof(float);
    if (done && !header_only) {
        made.pixels = LargeResize(nullptr, 0, bytes);
        if (made.pixels && !LargeBlocksComeZeroed())  // texels outside the data window are 0
            std::memset(made.pixels, 0, bytes);
        if (!made.pixels) {
            Say(reason, "out of memory for " + std::to_string(made.width) + " x " + std::to_string(made.height) +
                            " pixels");
            done = false;
        } else if (const exr_result_t read = ReadPixels(context, threads, &made); read != EXR_ERR_SUCCESS) {
            Say(reason, Unreadable(source, read));
            LargeFree(made.pixels, bytes);
            done = false;
        }
    }
    exr_finish(&context);
    if (!done)
        return false;
    if (made.grey && made.pixels)
        CopyGrey(&made);
    *image = made;
    return true;
}

bool DecodePath(const char* path, int threads, bool header_only, DeepImage* image, char* reason,
                std::string* warning)
{
    Source source;
    source.file = OpenFile(path, "rb");
    if (!source.file) {
        Say(reason, std::string("cannot be opened: ") + std::strerror(errno));
        return false;
    }
    unsigned char magic[4] = {};
    const size_t got = std::fread(magic, 1, sizeof magic, source.file);
    bool done = false;
    if (!IsExrData(magic, got)) {
        Say(reason, "not an OpenEXR file");
    } else if (std::fseek(source.file, 0, SEEK_END) != 0) {
        Say(reason, "cannot be read");
    } else {
        source.size = TellFile(source.file);
        done = Decode(source, threads, header_only, EXR_MAX_PIXELS, image, reason, warning);
    }
    std::fclose(source.file);
    return done;
}

}  // namespace

bool IsExrData(const unsigned char* bytes, size_t size)
{
    return size >= 4 && bytes[0] == 0x76 && bytes[1] == 0x2f && bytes[2] == 0x31 && bytes[3] == 0x01;
}

bool DecodeExr(const unsigned char* bytes, size_t size, int threads, DeepImage* image, char* reason,
               std::string* warning, uint64_t max_pixels)
{
    if (!IsExrData(bytes, size)) {
        Say(reason, "not an OpenEXR file");
        return false;
    }
    Source source;
    source.bytes = bytes;
    source.size = size;
    return Decode(source, threads, false, max_pixels, image, reason, warning);
}

bool DecodeExrFile(const char* path, int threads, DeepImage* image, char* reason, std::string* warning)
{
    return DecodePath(path, threads, false, image, reason, warning);
}

bool ReadExrHeader(const char* path, DeepImage* header, char* reason)
{
    return DecodePath(path, 1, true, header, reason, nullptr);
}
