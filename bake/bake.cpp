// texwarp-bake: command line, stages and their reports.
#include "bake/bake.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "assets/exr_write.h"
#include "assets/large_block.h"
#include "assets/mesh_pair.h"
#include "bake/image_bake.h"
#include "bake/images.h"
#include "bake/outputs.h"
#include "bake/report.h"
#include "bake/surface_match.h"
#include "bake/tangent_frames.h"
#include "bake/udim.h"
#include "support/file_names.h"
#include "support/log.h"
#include "support/parallel.h"
#include "support/safe_write.h"

namespace {

// The loader reports through the log; the bake keeps the lines that matter to it.
std::vector<std::string> loader_lines;

void KeepLoaderLine(const char* line)
{
    loader_lines.push_back(line);
}

// Reads the meshes, and the first image on a second thread meanwhile. The image is
// decoded even when the meshes fail, and then released.
struct FirstInputs {
    MeshLoad meshes = MeshLoad::OK;
    double mesh_seconds = 0;
    int decoded = BAKE_DONE;  // else the exit code, with `message` saying why
    InputImages image;
    std::string message;
    std::vector<std::string> warnings;  // what the image has that is not baked
    double decode_seconds = 0;
    // Source, target: their surfaces where normal maps or rays need them, else the hashes
    // of their shapes as written, which tell the same faces in the same places.
    bool surfaces_read = false;
    bool table_made = true;  // else it is made from the surfaces where faces pair
    MeshSurface surfaces[2] = {};
    uint64_t shape_hashes[2] = {0, 1};
};

bool AnyNormalMap(const BakeOptions& options)
{
    return std::find(options.normal_maps.begin(), options.normal_maps.end(), true) != options.normal_maps.end();
}

bool NeedsSurfaces(const BakeOptions& options)
{
    return options.match == Match::SURFACE || AnyNormalMap(options);
}

uint64_t FileBytes(const std::string& path)
{
    std::error_code error;
    const uintmax_t bytes = std::filesystem::file_size(PathOf(path), error);
    return error ? 0 : uint64_t(bytes);
}

void ReadFirstInputs(const BakeOptions& options, int threads, FirstInputs* inputs)
{
    // Files whose ends already list other shapes need their surfaces: read at once.
    inputs->surfaces_read = NeedsSurfaces(options) ||
                            (options.match == Match::AUTO &&
                             ShapeTailsDiffer(options.source.c_str(), options.target.c_str()));
    loader_lines.clear();
    LogToSink(KeepLoaderLine);
    // Surfaces are read without the table, which is made from them once the faces are
    // known to pair: rays have no use for it.
    const auto load = [&](int load_threads) {
        const Clock::time_point start = Clock::now();
        const char* source = options.source.c_str();
        const char* target = options.target.c_str();
        inputs->meshes = inputs->surfaces_read
                             ? LoadSurfacePair(source, target, load_threads, inputs->surfaces, AnyNormalMap(options))
                             : LoadRemapMeshPair(source, target, load_threads, nullptr, inputs->shape_hashes);
        if (inputs->meshes == MeshLoad::SHAPES_DIFFER) {  // seen part way: the surfaces are read at once
            loader_lines.clear();
            inputs->surfaces_read = true;
            inputs->meshes = LoadSurfacePair(source, target, load_threads, inputs->surfaces, AnyNormalMap(options));
        }
        inputs->table_made = !inputs->surfaces_read;
        inputs->mesh_seconds = SecondsSince(start);
    };
    const std::string& path = options.images[0];
    const bool exr = WritesExr(options, OutputPath(options, path));
    if (HasUdim(path)) {  // the meshes are one more job among the tiles
        const Clock::time_point start = Clock::now();
        inputs->decoded = DecodeInput(path, threads, exr, &inputs->image, &inputs->message, &inputs->warnings, load);
        inputs->decode_seconds = SecondsSince(start);
    } else {
        // Reading the two meshes at once pays when they outweigh the image; on two cores
        // a small pair read one after the other leaves the decode a core of its own. Bytes
        // of OBJ text read about six times faster than bytes of PNG decode, and about half
        // as fast again when the surfaces are kept.
        const uint64_t mesh_bytes = FileBytes(options.source) + FileBytes(options.target);
        const uint64_t per_image_byte = inputs->surfaces_read ? 2 : 4;
        const int mesh_threads = threads > 2 || mesh_bytes > per_image_byte * FileBytes(path) ? threads : 1;
        ParallelFor(threads > 1 ? 2 : 1, 2, [&](int64_t job, int) {
            if (job == 0) {
                load(mesh_threads);
                return;
            }
            // Every worker: an OpenEXR image's chunks keep the cores busy once the meshes are read.
            const Clock::time_point begun = Clock::now();
            inputs->decoded = DecodeInput(path, threads, exr, &inputs->image, &inputs->message, &inputs->warnings);
            inputs->decode_seconds = SecondsSince(begun);
        });
    }
    LogToSink(nullptr);
}

// A pair of which no triangle can be drawn would give an empty image: refused, with why.
int NothingDrawable(const BakeOptions& options, int64_t undrawable)
{
    if (remap_table.count == 0 || remap_table.target_count == 0)
        return Fail(BAKE_INPUT, QuotedName(remap_table.count == 0 ? options.source : options.target) +
                                    " has no faces (f lines of three corners or more): nothing to draw");
    if (undrawable == remap_table.count)
        return Fail(BAKE_INPUT, "no triangle can be drawn: none has texture coordinates (vt) in both " +
                                    QuotedName(options.source) + " and " + QuotedName(options.target));
    return Fail(BAKE_INPUT, "no triangle can be drawn: every triangle has no area in the layout of " +
                                QuotedName(options.target));
}

// The loader's outcome and, with `warn`, its warnings.
int CheckLoaded(const FirstInputs& inputs, bool warn)
{
    if (inputs.meshes != MeshLoad::OK) {
        // The loader's last line names the file and says why.
        const std::string why = loader_lines.empty() ? "the meshes could not be read" : loader_lines.back();
        return Fail(inputs.meshes == MeshLoad::NO_MEMORY ? BAKE_OUTPUT : BAKE_INPUT, why);
    }
    for (const std::string& line : loader_lines)
        if (warn && line.rfind("warning: ", 0) == 0)
            std::fprintf(stderr, "texwarp-bake: %s\n", line.c_str());
    return BAKE_DONE;
}

int ReportMeshes(const BakeOptions& options, const FirstInputs& inputs, const Reporter& report)
{
    int64_t undrawable = 0, flat = 0;  // flat: no area in the target layout
    for (int32_t i = 0; i < remap_table.count; ++i) {
        const TexCoord* t = remap_table.triangles[i].target;
        const float area = (t[1].u - t[0].u) * (t[2].v - t[0].v) - (t[1].v - t[0].v) * (t[2].u - t[0].u);
        undrawable += remap_table.drawable[i] == 0;
        flat += remap_table.drawable[i] != 0 && !(area != 0 && std::isfinite(area));
    }
    report.Line("meshes read: %d triangles, %lld not drawable, in %.3f s", int(remap_table.count),
                static_cast<long long>(undrawable), inputs.mesh_seconds);
    return undrawable + flat < remap_table.count ? BAKE_DONE : NothingDrawable(options, undrawable);
}

int GreyNormalMap(const std::string& path)
{
    return Fail(BAKE_INPUT, QuotedName(path) + ": a normal map must be RGB or RGBA; this one is grey");
}

void ReportDecoded(const std::string& path, const InputImages& input, const std::vector<std::string>& warnings,
                   double seconds, const Reporter& report)
{
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "texwarp-bake: warning: %s\n", warning.c_str());
    const std::string name = QuotedName(NameOf(PathOf(path).filename()));
    const DeepImage& image = input.images[0];
    std::string tiles;
    for (int tile : input.tiles)
        tiles += (tiles.empty() ? "tiles " : ", ") + std::to_string(tile);
    if (!tiles.empty())
        tiles += " (" + std::to_string(input.tiles.size()) + "), the first ";
    report.Line("%s: decoded %s%d x %d, %s, in %.3f s", name.c_str(), tiles.c_str(), int(image.width),
                int(image.height), DescribeImage(image).c_str(), seconds);
}

// Every image in turn, the first one already decoded. A layout that reaches a tile its
// set lacks is refused before the image is drawn.
int BakeEach(const BakeOptions& options, FirstInputs& first, const NormalMapping& mapping,
             const SurfaceTransfer* transfer, Reporter& report)
{
    int code = BAKE_DONE;
    for (size_t i = 0; i < options.images.size() && code == BAKE_DONE; ++i) {
        const std::string& path = options.images[i];
        InputImages input;
        if (i == 0) {
            if (first.decoded != BAKE_DONE)
                return Fail(first.decoded, first.message);
            std::swap(input, first.image);
            ReportDecoded(path, input, first.warnings, first.decode_seconds, report);
        } else {
            const Clock::time_point start = Clock::now();
            std::string message;
            std::vector<std::string> warnings;
            code = DecodeInput(path, Threads(options), WritesExr(options, OutputPath(options, path)), &input, &message,
                               &warnings);
            if (code != BAKE_DONE)
                return Fail(code, message);
            ReportDecoded(path, input, warnings, SecondsSince(start), report);
        }
        if (const int missing = input.tiles.empty() ? 0 : MissingSourceTile(input.tiles, transfer, Threads(options))) {
            FreeInputImages(&input);
            return Fail(BAKE_INPUT, QuotedName(path) + ": the layout of " + QuotedName(options.source) +
                                        " reaches tile " + std::to_string(missing) + ", which has no image (" +
                                        QuotedName(TileName(path, missing)) + ")");
        }
        code = BakeImage(options, path, input, options.normal_maps[i] ? &mapping : nullptr, transfer, i == 0, report);
    }
    return code;
}

// Both layouts' tangent frames on every worker, for each file's first `records` triangles.
int MakeBothFrames(const BakeOptions& options, FirstInputs& first, const int32_t records[2], int threads,
                   FrameTable frames[2], const Reporter& report)
{
    const Clock::time_point start = Clock::now();
    int calls = 0;
    const bool made = MakeFrames(first.surfaces, records, 2, FramePieceFaces(remap_table.count, threads), threads,
                                 frames, &calls);
    if (!made)
        return Fail(BAKE_OUTPUT, "not enough memory for the tangent frames of " +
                                     std::to_string(remap_table.count) + " triangles (" +
                                     std::to_string((size_t(remap_table.count) * 3 * sizeof(uint32_t) * 2) >> 20) +
                                     " MB, the distinct frames and the generator's own)");
    report.Line("tangent frames of both layouts in %.3f s (%d generator calls)", SecondsSince(start), calls);
    for (int i = 0; i < 2; ++i)
        if (frames[i].skipped_faces > 0)
            report.Line("%s: %u faces with values that are not finite have no tangent frames; their texels "
                        "are copied as they are",
                        QuotedName(i == 0 ? options.source : options.target).c_str(), unsigned(frames[i].skipped_faces));
    return BAKE_DONE;
}

// Tangent frames are made from positions: a mesh without any has none.
int CheckPositions(const BakeOptions& options, const FirstInputs& first)
{
    for (int i = 0; i < 2; ++i)
        if (first.surfaces[i].position_count == 0)
            return Fail(BAKE_INPUT, QuotedName(i == 0 ? options.source : options.target) +
                                        " has no vertex positions (v lines), which normal maps need");
    return BAKE_DONE;
}

// Every image's header, before any work: each must be readable, and a normal map must
// have colour. *bits is the deepest depth among them.
int CheckImages(const BakeOptions& options, int* bits)
{
    *bits = 8;
    for (size_t i = 0; i < options.images.size(); ++i) {
        DeepImage header{};
        std::string message;
        const int code = ReadInputHeader(options.images[i], WritesExr(options, OutputPath(options, options.images[i])),
                                         &header, &message);
        if (code != BAKE_DONE)
            return Fail(code, message);
        if (options.normal_maps[i] && header.grey)
            return GreyNormalMap(options.images[i]);
        *bits = std::max(*bits, header.bits);
    }
    return BAKE_DONE;
}

// The outputs, then the images' headers, then the memory an explicit size needs.
int CheckBeforeWork(const BakeOptions& options, std::vector<std::string>* made)
{
    std::string message;
    int code = PrepareOutputs(options, made, &message);
    if (code != BAKE_DONE)
        return Fail(code, message);
    int bits = 8;
    code = CheckImages(options, &bits);
    if (code == BAKE_DONE && CheckSizeFits(options, bits, &message) != BAKE_DONE)
        return Fail(BAKE_OUTPUT, message);
    return code;
}

// How target samples find their source, said on the first stage line; a pair that
// cannot be matched as asked is refused.
int ChooseMatch(const BakeOptions& options, const FirstInputs& first, bool* surface, const Reporter& report)
{
    std::string why = "the two files list the same faces";
    const Faces faces = first.surfaces_read ? CompareFaces(first.surfaces[0], first.surfaces[1], Threads(options), &why)
                                            : Faces::SAME;  // written alike
    if (options.match == Match::FACES && faces == Faces::DIFFERENT)
        return Fail(BAKE_INPUT, "--match faces: the meshes list different faces: " + why);
    *surface = options.match == Match::SURFACE || (options.match == Match::AUTO && faces != Faces::SAME);
    for (int i = 0; *surface && i < 2; ++i)
        if (first.surfaces[i].face_count == 0)
            return Fail(BAKE_INPUT, QuotedName(i == 0 ? options.source : options.target) +
                                        " has no faces (f lines of three corners or more): nothing to draw");
    const std::string different = options.match == Match::AUTO ? "the meshes list different faces (" + why + "), and "
                                                                : "--match surface: ";
    for (int i = 0; *surface && i < 2; ++i)
        if (first.surfaces[i].position_count == 0)
            return Fail(BAKE_INPUT, different + QuotedName(i == 0 ? options.source : options.target) +
                                        " has no vertex positions (v lines), which matching by surface needs");
    const std::string asked = options.match == Match::AUTO ? why : "as --match asks";
    report.Line(*surface ? "match: surface, rays from the target onto the source: %s" : "match: faces: %s",
                asked.c_str());
    return BAKE_DONE;
}

// The meshes' surfaces, read again as the first reading reads them where surfaces are
// needed (the table made from them where faces pair): the table read first holds less.
int ReadSurfaces(const BakeOptions& options, FirstInputs* first)
{
    loader_lines.clear();
    LogToSink(KeepLoaderLine);
    const Clock::time_point start = Clock::now();
    first->meshes = LoadSurfacePair(options.source.c_str(), options.target.c_str(), Threads(options),
                                    first->surfaces, AnyNormalMap(options));
    first->mesh_seconds += SecondsSince(start);
    first->surfaces_read = true;
    first->table_made = false;
    LogToSink(nullptr);
    return CheckLoaded(*first, false);
}

// The rays' scene over the source, and the table refilled with the target's triangles;
// each surface is released once read. The target's blocks are kept for the drawing's
// result (LargeKeepFreed), which takes them before they are released (BakeOutput).
int PrepareRays(const BakeOptions& options, FirstInputs& first, SurfaceTransfer* transfer, const Reporter& report)
{
    const Clock::time_point start = Clock::now();
    const double size = ModelSize(first.surfaces[1]);
    transfer->offset = options.cage_offset >= 0 ? options.cage_offset : DEFAULT_OFFSET * size;
    transfer->reach = options.max_distance > 0    ? options.max_distance
                      : options.max_distance == 0 ? INFINITY
                                                  : std::max(2 * transfer->offset, DEFAULT_REACH * size);
    const bool source = PrepareSurfaceSource(&first.surfaces[0], Threads(options), transfer);
    const bool target = source && PrepareSurfaceTarget(first.surfaces[1], Threads(options), transfer);
    LargeKeepFreed(target);
    FreeMeshSurface(&first.surfaces[1]);
    if (!target)
        return Fail(BAKE_OUTPUT, "not enough memory for the rays onto " + QuotedName(options.source));
    report.Line("rays: onto %u source triangles, from %g out along the target normal, reaching %g, in %.3f s",
                unsigned(transfer->source_triangles), transfer->offset, transfer->reach, SecondsSince(start));
    return BAKE_DONE;
}

int BakeAll(const BakeOptions& options, Reporter& report)
{
    FirstInputs first;
    SetExrThreads(Threads(options));
    ReadFirstInputs(options, Threads(options), &first);
    bool surface = false;
    SurfaceTransfer transfer{};
    int code = CheckLoaded(first, true);
    // Files whose shapes are written alike list the same faces; others are compared whole.
    if (code == BAKE_DONE && !first.surfaces_read && first.shape_hashes[0] != first.shape_hashes[1])
        code = ReadSurfaces(options, &first);
    if (code == BAKE_DONE)
        code = ChooseMatch(options, first, &surface, report);
    if (code == BAKE_DONE && !surface && !first.table_made && !RemapTableFromSurfaces(first.surfaces))
        code = Fail(BAKE_OUTPUT, "not enough memory for the table of the meshes' triangles");
    double* turns = nullptr;  // faces in other places: their normals turn with them
    if (code == BAKE_DONE && AnyNormalMap(options) && !surface && !FaceTurns(first.surfaces[0], first.surfaces[1], &turns))
        code = Fail(BAKE_OUTPUT, "not enough memory for the turns of " + std::to_string(remap_table.count) + " faces");
    // Each file's own triangles have frames: by faces, the table's records are both's.
    FrameTable frames[2] = {};
    if (code == BAKE_DONE && AnyNormalMap(options)) {
        code = CheckPositions(options, first);
        const int32_t records[2] = {surface ? int32_t(FannedTriangles(first.surfaces[0])) : remap_table.count,
                                    surface ? int32_t(FannedTriangles(first.surfaces[1])) : remap_table.target_count};
        if (code == BAKE_DONE)
            code = MakeBothFrames(options, first, records, Threads(options), frames, report);
    }
    if (code == BAKE_DONE && surface)
        code = PrepareRays(options, first, &transfer, report);
    FreeMeshSurface(&first.surfaces[0]);
    FreeMeshSurface(&first.surfaces[1]);
    if (code == BAKE_DONE)
        code = ReportMeshes(options, first, report);
    const NormalMapping mapping{&frames[0], &frames[1], options.y_down, turns};
    if (code == BAKE_DONE)
        code = BakeEach(options, first, mapping, surface ? &transfer : nullptr, report);
    LargeKeepFreed(false);  // where no drawing took what was kept
    FreeInputImages(&first.image);
    FreeFrames(&frames[0]);
    FreeFrames(&frames[1]);
    FreeSurfaceTransfer(&transfer);
    std::free(turns);
    return code;
}

}  // namespace

int RunBake(int argc, const char* const* argv)
{
    BakeOptions options;
    std::string info, error;
    if (!ParseBakeOptions(argc, argv, &options, &info, &error)) {
        std::fprintf(stderr, "texwarp-bake: %s\nTry 'texwarp-bake --help' for more.\n", error.c_str());
        return BAKE_USAGE;
    }
    if (!info.empty()) {
        std::fputs(info.c_str(), stdout);
        return BAKE_DONE;
    }
    Reporter report;
    report.quiet = options.quiet;
    report.terminal = ErrorIsTerminal();
    RemoveTemporariesWhenInterrupted();
#ifdef _WIN32
    if (ToStandardOutput(options))
        _setmode(_fileno(stdout), _O_BINARY);  // NOTE: else every line feed gains a carriage return
#endif
    std::vector<std::string> made;
    int code = CheckBeforeWork(options, &made);
    if (code == BAKE_DONE)
        code = BakeAll(options, report);
    if (code != BAKE_DONE)
        RemoveMadeFolders(made);
    ClearRemapTable();
    return code;
}
