// One image argument into its outputs: the drawing, the misses, padding, alpha from
// coverage and the writing, for each output tile in turn.
#include "bake/image_bake.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <utility>

#include "assets/large_block.h"
#include "assets/mesh_pair.h"
#include "assets/png_encode.h"
#include "bake/bake.h"
#include "bake/images.h"
#include "bake/outputs.h"
#include "bake/padding.h"
#include "bake/udim.h"
#include "support/file_names.h"
#include "support/parallel.h"

namespace {

// Compose's float version: alpha mixed in double precision, not rounded.
void Compose(float* pixels, const uint8_t* covered, size_t count, int samples, bool image_alpha, bool whole,
             const float fill[4])
{
    const double all = double(samples * samples);
    for (size_t i = 0; i < count; ++i) {
        float* p = pixels + i * 4;
        const double share = covered[i] && whole ? all : double(covered[i]);
        if (share == 0) {
            std::memcpy(p, fill, 4 * sizeof(float));
            continue;
        }
        const double alpha = image_alpha ? double(p[3]) : 1.0;
        p[3] = float((alpha * share + double(fill[3]) * (all - share)) / all);
    }
}

// Alpha from coverage: partly covered pixels keep their colour, and their alpha mixes
// the image's (or full) with the background's by the share of covered samples. With
// `whole`, every covered or padded pixel counts as fully covered: padding then
// continues the islands without a translucent seam between them.
template <typename Sample>
void Compose(Sample* pixels, const uint8_t* covered, size_t count, int samples, bool image_alpha, bool whole,
             const Sample fill[4])
{
    const uint32_t max = std::numeric_limits<Sample>::max();
    const uint32_t all = uint32_t(samples * samples);
    for (size_t i = 0; i < count; ++i) {
        Sample* p = pixels + i * 4;
        const uint32_t share = covered[i] && whole ? all : covered[i];
        if (share == 0) {
            std::memcpy(p, fill, 4 * sizeof(Sample));
            continue;
        }
        const uint32_t alpha = image_alpha ? p[3] : max;
        p[3] = Sample((uint64_t(alpha) * share + uint64_t(fill[3]) * (all - share) + all / 2) / all);
    }
}

// A UDIM output's tile where every ray missed is not written; with one output the bake fails.
constexpr int ALL_MISSED = -1;

// The share of samples whose rays found no source and, when `mask` is named, their mask.
int ReportMisses(const RenderRequest& request, const RenderResult& result,
                 const std::string& mask_path, const Reporter& report)
{
    const size_t count = size_t(request.width) * size_t(request.height);
    uint64_t missed = 0, tried = 0;
    for (size_t i = 0; i < count; ++i) {
        missed += result.missed[i];
        tried += uint64_t(result.missed[i]) + result.covered[i];
    }
    report.Line("rays: %llu of %llu samples (%.3f %%) found no source", static_cast<unsigned long long>(missed),
                static_cast<unsigned long long>(tried), tried ? 100.0 * double(missed) / double(tried) : 0.0);
    if (tried > 0 && missed == tried)  // an empty image is not a bake
        return ALL_MISSED;
    if (mask_path.empty())
        return BAKE_DONE;
    auto* mask = static_cast<uint8_t*>(LargeResize(nullptr, 0, std::max<size_t>(count, 1) * 4));
    if (!mask)
        return report.Fail(BAKE_OUTPUT, "not enough memory for the mask of misses");
    for (size_t i = 0; i < count; ++i) {
        const uint8_t value = result.missed[i] ? 255 : 0;
        mask[i * 4] = mask[i * 4 + 1] = mask[i * 4 + 2] = value;
        mask[i * 4 + 3] = 255;
    }
    char reason[PNG_REASON_SIZE];
    const PngOutput output{mask, request.width, request.height, 8, true, nullptr, nullptr, request.threads, nullptr};
    const bool written = WritePNGFile(mask_path.c_str(), output, reason);
    LargeFree(mask, std::max<size_t>(count, 1) * 4);
    if (!written)
        return report.Fail(BAKE_OUTPUT, QuotedName(mask_path) + " not written: " + reason);
    report.Line("misses: %s", QuotedName(mask_path).c_str());
    return BAKE_DONE;
}

int AllMissed(const BakeOptions& options)
{
    return Fail(BAKE_INPUT, "no ray from " + QuotedName(options.target) + " found " + QuotedName(options.source) +
                                ": every sample missed (see --cage-offset and --max-distance)");
}

// What the outputs keep of a set: the first tile's metadata, grey where every tile is,
// alpha where any has it, channels named to match.
DeepImage OutputLayout(const InputImages& input)
{
    DeepImage layout = input.images[0];
    layout.pixels = nullptr;
    for (const DeepImage& tile : input.images) {
        layout.grey = layout.grey && tile.grey;
        layout.alpha = layout.alpha || tile.alpha;
    }
    ExrMetadata& exr = layout.exr;
    if (layout.bits == 32 && !layout.grey && !exr.present[1]) {
        for (int s = 0; s < 3; ++s) {
            exr.present[s] = true;
            exr.names[s] = s == 0 ? "R" : s == 1 ? "G" : "B";
            exr.types[s] = exr.types[0];
        }
    }
    if (layout.bits == 32 && layout.alpha && !exr.present[3]) {
        exr.present[3] = true;
        exr.names[3] = "A";
        exr.types[3] = exr.types[0];
    }
    return layout;
}

// Whether the triangle of coordinates (u, v up) reaches into the tile's square: no edge
// of the triangle has the square wholly on its outer side, its line included (touching
// is not reaching). The square's own axes are the caller's bounds.
bool ReachesTile(const double u[3], const double v[3], int tile)
{
    const double left = TileColumn(tile), bottom = TileRow(tile);
    const double box_u[4] = {left, left + 1, left + 1, left}, box_v[4] = {bottom, bottom, bottom + 1, bottom + 1};
    for (int k = 0; k < 3; ++k) {
        const int next = (k + 1) % 3;
        const double nu = v[next] - v[k], nv = u[k] - u[next];  // the edge's normal
        const double third = nu * (u[(k + 2) % 3] - u[k]) + nv * (v[(k + 2) % 3] - v[k]);
        bool apart = true;
        for (int c = 0; c < 4 && apart; ++c) {
            const double side = nu * (box_u[c] - u[k]) + nv * (box_v[c] - v[k]);
            apart = third > 0 ? side <= 0 : third < 0 ? side >= 0 : false;
        }
        if (apart)
            return false;
    }
    return true;
}

// Calls use(tile) for every tile (clamped to the grid) that the triangle of table
// coordinates reaches.
template <typename Use>
void EachTileReached(const TexCoord c[3], const Use& use)
{
    double u[3], v[3];
    for (int k = 0; k < 3; ++k) {
        u[k] = c[k].u;
        v[k] = 1.0 - double(c[k].v);
    }
    // A triangle that ends on a tile's lower border does not reach into that tile.
    const double u0 = std::min({u[0], u[1], u[2]}), v0 = std::min({v[0], v[1], v[2]});
    const double u1 = std::max({u[0], u[1], u[2]}), v1 = std::max({v[0], v[1], v[2]});
    const int low = TileAt(u0, v0);
    const int high = TileAt(std::max(std::floor(u0), std::ceil(u1) - 1), std::max(std::floor(v0), std::ceil(v1) - 1));
    if (low == high) {  // the triangle, or what clamps to the grid, is in one tile
        use(low);
        return;
    }
    for (int row = TileRow(low); row <= TileRow(high); ++row)
        for (int column = TileColumn(low); column <= TileColumn(high); ++column) {
            const int tile = FIRST_TILE + column + TILE_COLUMNS * row;
            // Coordinates beyond the grid clamp to its edge tiles, which take them whole.
            const bool edge = column == 0 || column == TILE_COLUMNS - 1 || row == 0;
            if (edge || ReachesTile(u, v, tile))
                use(tile);
        }
}

constexpr size_t RECORDS = 65536;  // per job of the tile searches

// The tiles the target layout covers, those its drawable records reach, and for each
// the records that reach it, ascending: each run of records is sorted into tiles on a
// worker, and the runs' lists are joined in order.
void TargetTiles(int threads, std::vector<int>* tiles, std::vector<std::vector<uint32_t>>* records)
{
    const size_t count = size_t(std::max(remap_table.count, 0));
    std::vector<std::vector<std::pair<int, uint32_t>>> found(ChunkCount(count, RECORDS));
    ParallelForChunks(threads, count, RECORDS, [&](size_t begin, size_t end, size_t run) {
        for (size_t i = begin; i < end; ++i)
            if (remap_table.drawable[i])
                EachTileReached(remap_table.triangles[i].target,
                                [&](int tile) { found[run].emplace_back(tile, uint32_t(i)); });
    });
    std::vector<std::vector<uint32_t>> reaching(TILE_COUNT);
    for (const auto& run : found)
        for (const auto& [tile, record] : run)
            reaching[size_t(tile - FIRST_TILE)].push_back(record);
    for (int t = 0; t < TILE_COUNT; ++t)
        if (!reaching[size_t(t)].empty()) {
            tiles->push_back(FIRST_TILE + t);
            records->push_back(std::move(reaching[size_t(t)]));
        }
}

// Everything past the drawing of one output: the misses, padding, alpha and the file.
// BAKE_DONE, ALL_MISSED, or a failure's code.
int FinishOutput(const BakeOptions& options, const std::string& name, const std::string& out,
                 const std::string& mask_path, const DeepImage& layout, const RenderRequest& request,
                 RenderResult& result, Reporter& report)
{
    const int threads = request.threads;
    const int bits = layout.bits;
    if (request.surface) {
        const int code = ReportMisses(request, result, mask_path, report);
        if (code != BAKE_DONE)
            return code;
    }
    Clock::time_point start = Clock::now();
    if (options.padding > 0) {
        int64_t padded = 0;
        if (!PadIslands(static_cast<unsigned char*>(result.pixels), size_t(bits / 2), result.covered, request.width,
                        request.height, options.padding, threads, &padded))
            return report.Fail(BAKE_OUTPUT, name + ": not enough memory to pad the islands (" +
                                         std::to_string(PaddingBytes(request.width, request.height, threads) >> 20) +
                                         " MB)");
        report.Line("%s: padded %lld pixels within %d, in %.3f s", name.c_str(), static_cast<long long>(padded),
                    options.padding, SecondsSince(start));
    }
    const size_t count = size_t(request.width) * size_t(request.height);
    const bool whole = options.padding > 0;
    const size_t part = size_t(1) << 18;  // pixels per job
    // What nothing reaches: the background, or a normal map's flat normal (0, 0, 1).
    const bool flat = request.normals && !options.background_given;
    uint16_t fill16[4];
    uint8_t fill8[4];
    float fill32[4];
    for (int c = 0; c < 4; ++c) {
        fill16[c] = uint16_t(flat && c < 3 ? (c < 2 ? 32768 : 65535) : options.background[c] * 257);
        fill8[c] = uint8_t(flat && c < 3 ? (c < 2 ? 128 : 255) : options.background[c]);
        fill32[c] = flat && c < 3 ? (c < 2 ? 0.5f : 1.0f) : float(options.background[c] / 255.0);
    }
    const bool alpha = layout.alpha;
    ParallelForChunks(threads, count, part, [&](size_t first, size_t end, size_t) {
        const size_t n = end - first;
        if (bits == 32)
            Compose(static_cast<float*>(result.pixels) + first * 4, result.covered + first, n, options.samples,
                    alpha, whole, fill32);
        else if (bits == 16)
            Compose(static_cast<uint16_t*>(result.pixels) + first * 4, result.covered + first, n, options.samples,
                    alpha, whole, fill16);
        else
            Compose(static_cast<uint8_t*>(result.pixels) + first * 4, result.covered + first, n, options.samples,
                    alpha, whole, fill8);
    });

    start = Clock::now();
    report.stage = name + ": writing";
    char reason[PNG_REASON_SIZE];
    const bool to_stdout = ToStandardOutput(options);
    BakedImage baked{layout, out, to_stdout, ShowRowProgress, &report};
    baked.pixels.pixels = result.pixels;  // the output's now
    baked.pixels.width = request.width;
    baked.pixels.height = request.height;
    result.pixels = nullptr;
    const bool written = WriteBaked(options, &baked, threads, reason);
    FreeDeepImage(&baked.pixels);
    const std::string where = to_stdout ? "standard output" : QuotedName(out);
    if (!written)
        return report.Fail(BAKE_OUTPUT, where + " not written: " + reason);
    report.Line("written: %s in %.3f s", where.c_str(), SecondsSince(start));
    return BAKE_DONE;
}

bool AnyCovered(const RenderRequest& request, const RenderResult& result)
{
    const size_t count = size_t(request.width) * size_t(request.height);
    return std::any_of(result.covered, result.covered + count, [](uint8_t c) { return c != 0; });
}

// A UDIM output's tile that nothing of the layout is drawn into: not written.
constexpr int LEFT_OUT = -2;

bool Failed(int code)
{
    return code != BAKE_DONE && code != LEFT_OUT && code != ALL_MISSED;
}

// What one output is: its tile (0 for the whole image) and the records that reach it,
// its name in the report and its file.
struct OutputTarget {
    int tile;
    const std::vector<uint32_t>* records;
    std::string name;
    std::string out;
};

// One output's outcome and, when outputs are made side by side, its report lines.
struct OutputRun {
    int code = BAKE_DONE;  // BAKE_DONE, LEFT_OUT, ALL_MISSED, or a failure's code
    std::string lines;
    bool finished = false;
};

// Draws one output and finishes it; `drawn` is called once its drawing is over.
int BakeOutput(const BakeOptions& options, const OutputTarget& target, bool write_misses, const DeepImage& layout,
               RenderRequest request, const std::function<void()>& drawn, Reporter& report)
{
    request.target_tile = target.tile;
    request.records = target.records;
    report.stage = target.name + ": drawing";
    const Clock::time_point start = Clock::now();
    RenderResult result{};
    std::string error;
    const bool rendered = RenderRemap(request, &result, &error);
    LargeKeepFreed(false);  // what the result did not take of the blocks kept for it
    drawn();
    request.image = &layout;  // the same depth, which releasing the result goes by
    if (!rendered)
        return report.Fail(BAKE_OUTPUT, target.name + ": " + error);
    int code = BAKE_DONE;
    if (result.missing_tile) {
        code = report.Fail(BAKE_INPUT, target.name + ": the layout samples tile " +
                                           std::to_string(result.missing_tile) + ", which has no image");
    } else if (target.tile && !AnyCovered(request, result)) {
        code = LEFT_OUT;  // the layout only comes near this tile
    } else {
        report.Line("%s: drawn at %d x %d, %d x %d samples, %d threads, in %.3f s", target.name.c_str(),
                    int(request.width), int(request.height), options.samples, options.samples, request.threads,
                    SecondsSince(start));
        const std::string mask = write_misses && !options.misses.empty()
                                     ? (target.tile ? TileName(options.misses, target.tile) : options.misses)
                                     : std::string();
        code = FinishOutput(options, target.name, target.out, mask, layout, request, result, report);
    }
    FreeRenderResult(&result, request);
    return code;
}

}  // namespace

int MissingSourceTile(const std::vector<int>& tiles, const SurfaceTransfer* transfer, int threads)
{
    std::vector<bool> present(TILE_COUNT, false);
    for (int tile : tiles)
        present[size_t(tile - FIRST_TILE)] = true;
    const size_t count = transfer ? size_t(transfer->source_triangles) : size_t(std::max(remap_table.count, 0));
    std::vector<int> missing(ChunkCount(count, RECORDS), 0);  // each run's lowest
    ParallelForChunks(threads, count, RECORDS, [&](size_t begin, size_t end, size_t run) {
        int& lowest = missing[run];
        const auto note = [&](int tile) {
            if (!present[size_t(tile - FIRST_TILE)] && (lowest == 0 || tile < lowest))
                lowest = tile;
        };
        for (size_t i = begin; i < end; ++i) {
            if (transfer)
                EachTileReached(transfer->source_uv + i * 3, note);
            else if (remap_table.drawable[i])
                EachTileReached(remap_table.triangles[i].source, note);
        }
    });
    int lowest = 0;
    for (int tile : missing)
        if (tile != 0 && (lowest == 0 || tile < lowest))
            lowest = tile;
    return lowest;
}

int BakeImage(const BakeOptions& options, const std::string& path, InputImages& input, const NormalMapping* mapping,
              const SurfaceTransfer* transfer, bool write_misses, Reporter& report)
{
    const std::string name = QuotedName(NameOf(PathOf(path).filename()));
    const int threads = Threads(options);
    std::unique_ptr<TileImages> index;
    if (!input.tiles.empty()) {
        index = std::make_unique<TileImages>();
        for (size_t i = 0; i < input.tiles.size(); ++i)
            index->tiles[input.tiles[i] - FIRST_TILE] = &input.images[i];
    }
    const DeepImage layout = OutputLayout(input);
    const DeepImage& first = input.images[0];
    const RenderRequest request{&first,          options.width ? options.width : first.width,
                                options.height ? options.height : first.height,
                                options.samples, options.nearest, threads, mapping, ShowProgress, &report, transfer,
                                index.get()};
    const std::string out = OutputPath(options, path);
    const bool tiled_output = HasUdim(out);
    std::vector<int> outputs{0};
    std::vector<std::vector<uint32_t>> records;
    if (tiled_output) {
        outputs.clear();
        TargetTiles(threads, &outputs, &records);
    }
    // Output tiles side by side, each on its share of the workers: the serial parts of
    // each (its file's end, the sync) overlap the others' work. Their lines are kept and
    // printed in tile order, so the report reads as if one followed the other.
    const size_t count = outputs.size();
    const int workers = int(std::min<size_t>(size_t(std::max(threads, 1)), count));
    const int share = std::max(1, threads / std::max(workers, 1));
    std::vector<OutputRun> runs(count);
    std::atomic<size_t> drawings_left{count};
    std::atomic<bool> failed{false};
    std::mutex printing;
    size_t printed = 0;
    // The tiles with the most records first, so that none of the longest is left to the end alone.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t(0));
    if (tiled_output)
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return records[a].size() > records[b].size(); });
    ParallelFor(workers, int64_t(count), [&](int64_t job, int) {
        const size_t k = order[size_t(job)];
        OutputRun& run = runs[k];
        Reporter own = report;
        if (workers > 1)
            own.held = &run.lines;
        if (!failed) {
            const int tile = outputs[k];
            const OutputTarget target{tile, tile ? &records[k] : nullptr,
                                      tile ? name + " tile " + std::to_string(tile) : name,
                                      tile ? TileName(out, tile) : out};
            RenderRequest drawing = request;
            drawing.threads = share;
            drawing.progress_context = &own;
            const auto drawn = [&] {
                if (--drawings_left == 0)
                    FreeInputImages(&input);  // not needed past the last drawing: padding and encoding get its memory
            };
            run.code = BakeOutput(options, target, write_misses, layout, drawing, drawn, own);
            if (Failed(run.code))
                failed = true;  // the tiles not yet begun are left
        }
        std::lock_guard<std::mutex> hold(printing);
        run.finished = true;
        for (; printed < count && runs[printed].finished; ++printed)
            report.Release(runs[printed].lines);
    });
    FreeInputImages(&input);
    int written = 0;
    for (const OutputRun& run : runs) {
        if (run.code == ALL_MISSED && !tiled_output)
            return AllMissed(options);
        if (Failed(run.code))
            return run.code;
        written += run.code == BAKE_DONE;
    }
    return transfer && written == 0 ? AllMissed(options) : BAKE_DONE;
}
