// Pairing by faces or by rays. The same faces are told by counts, then by positions:
// three corners far apart fix the rigid motion and scale from one file to the other,
// and every corner must land within a small share of the model's size.
#include "bake/surface_match.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "assets/large_block.h"
#include "assets/mesh_pair.h"
#include "bake/surface_values.h"
#include "support/parallel.h"

namespace {

constexpr double SAME_PLACE = 1e-4;  // of the model's size: corners this near are the same

struct Point {
    double x, y, z;
};

Point At(const MeshSurface& s, uint32_t corner)
{
    const Vec3 p = Position(s, corner);
    return Point{p.x, p.y, p.z};
}

Point Minus(Point a, Point b)
{
    return Point{a.x - b.x, a.y - b.y, a.z - b.z};
}

double DotOf(Point a, Point b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Point CrossOf(Point a, Point b)
{
    return Point{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Point Scaled(Point a, double f)
{
    return Point{a.x * f, a.y * f, a.z * f};
}

double Length(Point a)
{
    return std::sqrt(DotOf(a, a));
}

// An orthonormal frame from two directions, the first kept.
void FrameOf(Point first, Point second, Point frame[3])
{
    frame[0] = Scaled(first, 1 / Length(first));
    Point across = Minus(second, Scaled(frame[0], DotOf(second, frame[0])));
    const double length = Length(across);
    if (!(length > 0))  // every corner on one line: any direction across it
        across = std::fabs(frame[0].x) < 0.9 ? Point{1, 0, 0} : Point{0, 1, 0},
        across = Minus(across, Scaled(frame[0], DotOf(across, frame[0])));
    frame[1] = Scaled(across, 1 / Length(across));
    frame[2] = CrossOf(frame[0], frame[1]);
}

constexpr size_t CHUNK = 65536;  // corners or faces per job

// The corner where `measure` is largest and the largest value (0 and corner 0 where
// none is above 0): the first such corner on ties, whatever the workers.
template <typename Measure>
uint32_t Largest(uint32_t corners, int threads, const Measure& measure, double* largest)
{
    std::vector<std::pair<double, uint32_t>> best(ChunkCount(corners, CHUNK), {0.0, 0u});
    ParallelForChunks(threads, corners, CHUNK, [&](size_t begin, size_t end, size_t job) {
        for (size_t k = begin; k < end; ++k) {
            const double m = measure(uint32_t(k));
            if (m > best[job].first)
                best[job] = {m, uint32_t(k)};
        }
    });
    std::pair<double, uint32_t> all{0.0, 0u};
    for (const auto& b : best)
        if (b.first > all.first)
            all = b;
    *largest = all.first;
    return all.second;
}

// Whether no one scale can take the source's distances from its first corner to the
// target's, corner by corner, within twice the tolerance: then no turn, move and scale
// of the whole puts every corner within the tolerance. Tried on the first few corners,
// which tells files whose faces are listed in another order at once.
bool NoScaleFits(const MeshSurface& source, const MeshSurface& target, uint32_t corners, double tolerance)
{
    const double slack = 2 * tolerance * (1 + 1e-9);  // rounding never rules out a fit
    double lowest = 0, highest = INFINITY;
    const Point a = At(source, 0), a2 = At(target, 0);
    for (uint32_t k = 1; k < std::min<uint32_t>(corners, 4096); ++k) {
        const double from = Length(Minus(At(source, k), a)), to = Length(Minus(At(target, k), a2));
        if (!std::isfinite(from) || !std::isfinite(to))
            return false;  // left to the whole comparison
        if (from == 0)
            continue;  // corners in one place are the whole comparison's to judge
        lowest = std::max(lowest, (to - slack) / from);
        highest = std::min(highest, (to + slack) / from);
        if (lowest > highest)
            return true;
    }
    return false;
}

// Whether every corner of the target is the source's turned, moved and scaled as the
// three anchors say: the first corner, the one farthest from it, and the one farthest
// from the line between them.
bool SamePlaces(const MeshSurface& source, const MeshSurface& target, uint32_t corners, int threads)
{
    const double size = ModelSize(target), tolerance = SAME_PLACE * size;
    if (NoScaleFits(source, target, corners, tolerance))
        return false;
    const Point a = At(source, 0), a2 = At(target, 0);
    double most = 0, widest = 0;
    const uint32_t far = Largest(corners, threads, [&](uint32_t k) {
        const Point d = Minus(At(source, k), a);
        return DotOf(d, d);
    }, &most);
    const Point along = Minus(At(source, far), a);
    const uint32_t wide = Largest(corners, threads, [&](uint32_t k) {
        const Point c = CrossOf(Minus(At(source, k), a), along);
        return DotOf(c, c);
    }, &widest);
    const Point along2 = Minus(At(target, far), a2);
    if (!(most > 0))  // one point: the target must be one too
        return Length(along2) <= tolerance;
    Point from[3], to[3];
    FrameOf(along, Minus(At(source, wide), a), from);
    FrameOf(along2, Minus(At(target, wide), a2), to);
    const double scale = Length(along2) / std::sqrt(most);
    std::atomic<bool> same{true};
    ParallelForChunks(threads, corners, CHUNK, [&](size_t begin, size_t end, size_t) {
        for (uint32_t k = uint32_t(begin); k < end && same; ++k) {
            const Point p = Minus(At(source, k), a);
            Point moved = a2;
            for (int i = 0; i < 3; ++i)
                moved = Minus(moved, Scaled(to[i], -scale * DotOf(p, from[i])));
            const Point off = Minus(moved, At(target, k));
            if (!(DotOf(off, off) <= tolerance * tolerance))
                same = false;
        }
    });
    return same;
}

// Calls visit(triangle, k, corner) for corner k (0 to 2) of every fanned triangle:
// face corner 0, then k + 1 and k + 2 of its k-th triangle. A triangle's corners are
// visited in order by one worker; the faces are shared between `threads` workers in
// runs, each run's first triangle counted before.
template <typename Visit>
void EachTriangleCorner(const MeshSurface& s, int threads, const Visit& visit)
{
    const bool triangles = s.face_count > 0 && s.face_start[s.face_count] == uint64_t(s.face_count) * 3;
    std::vector<size_t> first(ChunkCount(s.face_count, CHUNK) + 1, 0);  // each run's first triangle
    if (!triangles) {
        ParallelForChunks(threads, s.face_count, CHUNK, [&](size_t begin, size_t end, size_t run) {
            for (size_t f = begin; f < end; ++f)
                first[run + 1] += s.face_start[f + 1] - s.face_start[f] - 2;
        });
        for (size_t run = 1; run < first.size(); ++run)
            first[run] += first[run - 1];
    }
    ParallelForChunks(threads, s.face_count, CHUNK, [&](size_t begin, size_t end, size_t run) {
        size_t triangle = triangles ? begin : first[run];
        for (uint32_t f = uint32_t(begin); f < end; ++f) {
            const uint32_t start = s.face_start[f], n = s.face_start[f + 1] - start;
            for (uint32_t k = 0; k + 2 < n; ++k, ++triangle) {
                visit(triangle, 0, start);
                visit(triangle, 1, start + k + 1);
                visit(triangle, 2, start + k + 2);
            }
        }
    });
}

// Copies the 9 position values of every fanned triangle of the file, NaN where a corner
// has no usable position (such a triangle is never hit). With `uv`, in the same pass,
// the texture coordinates of its corners (v is 1 - the file's); a triangle without them
// gets a first position value that is not a number.
void TriangleCorners(const MeshSurface& s, int threads, float* out, TexCoord* uv = nullptr)
{
    EachTriangleCorner(s, threads, [&](size_t triangle, int k, uint32_t c) {
        const uint32_t p = s.corners[c * 3];
        const bool has = p != 0 && p <= s.position_count;
        for (int i = 0; i < 3; ++i)
            out[triangle * 9 + size_t(k) * 3 + size_t(i)] = has ? s.positions[size_t(p - 1) * 3 + size_t(i)] : NAN;
        if (!uv)
            return;
        const uint32_t t = s.corners[c * 3 + 1];
        const bool mapped = t != 0 && t <= s.texcoord_count;
        uv[triangle * 3 + size_t(k)] = mapped ? s.texcoords[t - 1] : TexCoord{0, 0};
        if (!mapped)
            out[triangle * 9] = NAN;  // after corner 0's own values: this triangle's corners go in order
    });
}

// The sizes of the transfer's large arrays, which come from LargeTake.
size_t SourceCornerBytes(const SurfaceTransfer& t)
{
    return std::max<size_t>(t.source_triangles, 1) * 9 * sizeof(float);
}

size_t SourceTexCoordBytes(const SurfaceTransfer& t)
{
    return std::max<size_t>(t.source_triangles, 1) * 3 * sizeof(TexCoord);
}

size_t TargetCornerBytes(const SurfaceTransfer& t)
{
    return std::max<size_t>(t.target_triangles, 1) * 6 * sizeof(uint32_t);
}

// The target's places and normals: its positions, its unit normals (the file's, then
// one per face corner that has none, made as normal maps make them), and per fanned
// triangle its corners' numbers in each (position numbers 1-based, 0 for none).
bool TargetPoints(const MeshSurface& s, int threads, SurfaceTransfer* t)
{
    const uint32_t corners = s.face_count ? s.face_start[s.face_count] : 0;
    const size_t position_bytes = std::max<size_t>(s.position_count, 1) * 3 * sizeof(float);
    t->target_position_count = s.position_count;
    t->target_positions = static_cast<float*>(LargeTake(position_bytes, threads));
    t->target_corners = static_cast<uint32_t*>(LargeTake(TargetCornerBytes(*t), threads));
    if (!t->target_positions || !t->target_corners)
        return false;
    ParallelForChunks(threads, s.position_count, CHUNK, [&](size_t begin, size_t end, size_t) {
        std::memcpy(t->target_positions + begin * 3, s.positions + begin * 3, (end - begin) * 3 * sizeof(float));
    });
    // Every face corner is some fanned triangle's: whether one lacks a normal is seen here.
    std::atomic<bool> missing{false};
    EachTriangleCorner(s, threads, [&](size_t triangle, int k, uint32_t c) {
        const uint32_t p = s.corners[c * 3];
        const bool has = HasNormal(s, c);
        t->target_corners[triangle * 6 + size_t(k)] = p <= s.position_count ? p : 0;
        t->target_corners[triangle * 6 + 3 + size_t(k)] = has ? s.corners[c * 3 + 2] - 1 : s.normal_count + c;
        if (!has)
            missing.store(true, std::memory_order_relaxed);
    });
    const size_t normals = size_t(s.normal_count) + (missing ? corners : 0);
    t->target_normal_count = normals;
    t->target_normals = static_cast<float*>(LargeTake(std::max<size_t>(normals, 1) * 3 * sizeof(float), threads));
    auto* usable = missing ? static_cast<uint8_t*>(std::malloc(std::max<size_t>(s.face_count, 1))) : nullptr;
    auto* made = missing ? static_cast<Vec3*>(std::malloc(std::max<size_t>(corners, 1) * sizeof(Vec3))) : nullptr;
    bool ok = t->target_normals && (!missing || (usable && made));
    for (uint32_t f = 0; ok && missing && f < s.face_count; ++f)
        usable[f] = UsableFace(s, f);
    ok = ok && (!missing || MakeCornerNormals(s, usable, made));
    if (ok) {
        ParallelForChunks(threads, s.normal_count, CHUNK, [&](size_t begin, size_t end, size_t) {
            for (size_t n = begin; n < end; ++n) {
                const float* g = s.normals + n * 3;
                const Vec3 unit = Normalized({g[0], g[1], g[2]});
                std::memcpy(t->target_normals + n * 3, &unit, sizeof unit);
            }
        });
        for (uint32_t c = 0; missing && c < corners; ++c)
            std::memcpy(t->target_normals + (size_t(s.normal_count) + c) * 3, &made[c], sizeof(Vec3));
    }
    std::free(usable);
    std::free(made);
    return ok;
}

// Refills the table with the target's own triangles: drawn where they are, with texture
// coordinates in the target layout on both sides (the source is found by rays).
bool TargetTable(const MeshSurface& target, int threads, const uint32_t* corners, uint32_t triangles)
{
    auto* made =
        static_cast<RemapTriangle*>(LargeTake(std::max<size_t>(triangles, 1) * sizeof(RemapTriangle), threads));
    auto* drawable = static_cast<uint8_t*>(std::malloc(std::max<size_t>(triangles, 1)));
    if (!made || !drawable) {
        LargeFree(made, std::max<size_t>(triangles, 1) * sizeof(RemapTriangle));
        std::free(drawable);
        return false;
    }
    EachTriangleCorner(target, threads, [&](size_t triangle, int k, uint32_t c) {
        const uint32_t t = target.corners[c * 3 + 1];
        const bool valid = (k == 0 || drawable[triangle]) && t != 0 && t <= target.texcoord_count &&
                           corners[triangle * 6 + size_t(k)] != 0;
        made[triangle].target[k] = valid ? target.texcoords[t - 1] : TexCoord{0, 0};
        made[triangle].source[k] = made[triangle].target[k];
        drawable[triangle] = valid;
    });
    ClearRemapTable();
    remap_table.count = int32_t(triangles);
    remap_table.triangles = made;
    remap_table.drawable = drawable;
    remap_table.target_count = int32_t(triangles);
    return true;
}

// A triangle's two edges and its normal scaled as an edge is (the cross product over the
// root of its length), as the columns of a 3 x 3 matrix, rows first.
void EdgeFrame(const float* c, double m[9])
{
    const Point a{c[0], c[1], c[2]}, e1 = Minus(Point{c[3], c[4], c[5]}, a), e2 = Minus(Point{c[6], c[7], c[8]}, a);
    Point n = CrossOf(e1, e2);
    n = Scaled(n, 1 / std::sqrt(Length(n)));
    const Point columns[3] = {e1, e2, n};
    for (int j = 0; j < 3; ++j) {
        m[j] = columns[j].x;
        m[3 + j] = columns[j].y;
        m[6 + j] = columns[j].z;
    }
}

// The inverse of a 3 x 3 matrix (rows first); false when it has none.
bool Inverse(const double m[9], double out[9])
{
    const double c[9] = {m[4] * m[8] - m[5] * m[7], m[5] * m[6] - m[3] * m[8], m[3] * m[7] - m[4] * m[6],
                         m[2] * m[7] - m[1] * m[8], m[0] * m[8] - m[2] * m[6], m[1] * m[6] - m[0] * m[7],
                         m[1] * m[5] - m[2] * m[4], m[2] * m[3] - m[0] * m[5], m[0] * m[4] - m[1] * m[3]};
    const double det = m[0] * c[0] + m[1] * c[1] + m[2] * c[2];
    if (!(std::fabs(det) > 0) || !std::isfinite(det))
        return false;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i * 3 + j] = c[j * 3 + i] / det;
    return true;
}

// M^-T for M = to * from^-1, which is to^-T * from^T; the identity where either
// triangle has no area or the corners are the same.
void Turn(const float* from, const float* to, double out[9])
{
    double a[9], b[9], a_inverse[9];
    for (int i = 0; i < 9; ++i)
        out[i] = i % 4 == 0 ? 1.0 : 0.0;
    if (std::equal(from, from + 9, to))
        return;
    EdgeFrame(from, b);
    EdgeFrame(to, a);
    if (!Inverse(a, a_inverse))
        return;
    double turn[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            turn[i * 3 + j] = a_inverse[0 * 3 + i] * b[j * 3 + 0] + a_inverse[1 * 3 + i] * b[j * 3 + 1] +
                              a_inverse[2 * 3 + i] * b[j * 3 + 2];
    bool finite = true;
    for (const double v : turn)
        finite = finite && std::isfinite(v);
    if (finite)
        std::copy(turn, turn + 9, out);
}

}  // namespace

bool FaceTurns(const MeshSurface& source, const MeshSurface& target, double** turns)
{
    *turns = nullptr;
    const uint32_t corners = source.face_count ? source.face_start[source.face_count] : 0;
    bool moved = false;
    for (uint32_t c = 0; c < corners && !moved; ++c) {  // most pairs are in one place: nothing to make
        const Vec3 a = Position(source, c), b = Position(target, c);
        moved = !(a.x == b.x && a.y == b.y && a.z == b.z);
    }
    if (!moved)
        return true;
    const uint32_t triangles = FannedTriangles(source);
    if (FannedTriangles(target) != triangles)
        return true;  // not paired face by face: nothing to turn
    auto* from = static_cast<float*>(std::malloc(std::max<size_t>(triangles, 1) * 9 * sizeof(float)));
    auto* to = static_cast<float*>(std::malloc(std::max<size_t>(triangles, 1) * 9 * sizeof(float)));
    bool ok = from && to;
    if (ok) {
        TriangleCorners(source, 1, from);
        TriangleCorners(target, 1, to);
    }
    const size_t values = size_t(triangles) * 9;
    if (ok) {
        *turns = static_cast<double*>(std::malloc(values * sizeof(double)));
        ok = *turns != nullptr;
        for (uint32_t t = 0; ok && t < triangles; ++t)
            Turn(from + size_t(t) * 9, to + size_t(t) * 9, *turns + size_t(t) * 9);
    }
    std::free(from);
    std::free(to);
    return ok;
}

uint32_t FannedTriangles(const MeshSurface& s)
{
    uint64_t count = 0;
    for (uint32_t f = 0; f < s.face_count; ++f)
        count += s.face_start[f + 1] - s.face_start[f] - 2;
    return uint32_t(std::min<uint64_t>(count, UINT32_MAX));
}

double ModelSize(const MeshSurface& s)
{
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (uint32_t p = 0; p < s.position_count; ++p)
        for (int i = 0; i < 3; ++i) {
            const double v = s.positions[size_t(p) * 3 + size_t(i)];
            if (std::isfinite(v)) {
                lo[i] = std::min(lo[i], v);
                hi[i] = std::max(hi[i], v);
            }
        }
    const double d[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    const double size = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    return std::isfinite(size) ? size : 0.0;
}

Faces CompareFaces(const MeshSurface& source, const MeshSurface& target, int threads, std::string* why)
{
    if (source.face_count != target.face_count) {
        *why = "the face counts differ (" + std::to_string(source.face_count) + " and " +
               std::to_string(target.face_count) + ")";
        return Faces::DIFFERENT;
    }
    for (uint32_t f = 0; f < source.face_count; ++f) {
        const uint32_t a = source.face_start[f + 1] - source.face_start[f];
        const uint32_t b = target.face_start[f + 1] - target.face_start[f];
        if (a != b) {
            *why = "face " + std::to_string(f + 1) + " has " + std::to_string(a) + " corners in one and " +
                   std::to_string(b) + " in the other";
            return Faces::DIFFERENT;
        }
    }
    const uint32_t corners = source.face_count ? source.face_start[source.face_count] : 0;
    if (source.position_count == 0 || target.position_count == 0 || corners == 0) {
        *why = "the two files list as many faces of as many corners";
        return Faces::SAME;
    }
    if (!SamePlaces(source, target, corners, threads)) {
        *why = "the faces are not in the same places, even turned, moved or scaled as a whole";
        return Faces::MOVED;
    }
    *why = "the two files list the same faces";
    return Faces::SAME;
}

bool PrepareSurfaceSource(MeshSurface* source, int threads, SurfaceTransfer* transfer)
{
    SurfaceTransfer& t = *transfer;
    ClearRemapTable();  // the faces' pairing: the target's own triangles take its place
    t.source_triangles = FannedTriangles(*source);
    t.source_corners = static_cast<float*>(LargeTake(SourceCornerBytes(t), threads));
    t.source_uv = static_cast<TexCoord*>(LargeTake(SourceTexCoordBytes(t), threads));
    if (!t.source_corners || !t.source_uv)
        return false;
    // A source triangle without texture coordinates is never hit.
    TriangleCorners(*source, threads, t.source_corners, t.source_uv);
    // Its triangles are copied: its blocks make room for the rays' scene, and what the
    // scene frees for the target's places (until PrepareSurfaceTarget releases them).
    LargeKeepFreed(true);
    FreeMeshSurface(source);
    // The coordinates in the order the rays read the corners, so that neighbouring samples
    // read neighbouring memory.
    const bool made = BuildRayScene(t.source_corners, t.source_triangles, threads, &t.scene) &&
                      ToLeafOrder(t.scene, t.source_uv, 3 * sizeof(TexCoord), threads);
    if (!made)
        LargeKeepFreed(false);
    return made;
}

bool PrepareSurfaceTarget(const MeshSurface& target, int threads, SurfaceTransfer* transfer)
{
    transfer->target_triangles = FannedTriangles(target);
    const bool placed = TargetPoints(target, threads, transfer);
    // The blocks kept since the source's step go before the table, the largest array:
    // nothing later would take them.
    LargeKeepFreed(false);
    return placed && TargetTable(target, threads, transfer->target_corners, transfer->target_triangles);
}

void FreeSurfaceTransfer(SurfaceTransfer* transfer)
{
    FreeRayScene(&transfer->scene);
    LargeFree(transfer->source_corners, SourceCornerBytes(*transfer));
    LargeFree(transfer->source_uv, SourceTexCoordBytes(*transfer));
    LargeFree(transfer->target_positions, std::max<size_t>(transfer->target_position_count, 1) * 3 * sizeof(float));
    LargeFree(transfer->target_normals, std::max<size_t>(transfer->target_normal_count, 1) * 3 * sizeof(float));
    LargeFree(transfer->target_corners, TargetCornerBytes(*transfer));
    *transfer = SurfaceTransfer{};
}

TargetCorners TargetCornersOf(const SurfaceTransfer& transfer, uint32_t triangle)
{
    const uint32_t* corner = transfer.target_corners + size_t(triangle) * 6;
    TargetCorners c;
    for (int k = 0; k < 3; ++k) {
        const float* p = transfer.target_positions + size_t(corner[k] - 1) * 3;
        const float* n = transfer.target_normals + size_t(corner[3 + k]) * 3;
        for (int i = 0; i < 3; ++i) {
            c.p[k][i] = p[i];
            c.n[k][i] = n[i];
        }
    }
    return c;
}

uint32_t RaysStart(const SurfaceTransfer& transfer, const TargetCorners& c, RaysStartCache* cache)
{
    if (!std::isfinite(transfer.reach))
        return 0;
    const auto& p = c.p;
    const auto& n = c.n;
    // The unit normal across the triangle: each component of the interpolated one lies
    // between the corners', and its length between 1 and its part along their mean.
    const Point mean{n[0][0] + n[1][0] + n[2][0], n[0][1] + n[1][1] + n[2][1], n[0][2] + n[1][2] + n[2][2]};
    double shortest = INFINITY;
    for (int k = 0; k < 3; ++k)
        shortest = std::min(shortest, DotOf(Point{n[k][0], n[k][1], n[k][2]}, mean));
    shortest /= Length(mean);
    if (!(shortest > 0.25))
        return 0;  // normals far apart: the bounds would hold most of the model
    const double stretch = 1 / shortest;  // the margin below covers its rounding
    // Each point a ray reaches is P + s * N for P in the triangle and s in [offset -
    // reach, offset]; a margin far above rounding covers how the rays are computed.
    double size = transfer.reach + std::fabs(transfer.offset);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 3; ++i)
            size = std::max(size, std::fabs(p[k][i]));
    const double margin = size * 0x1p-20;
    const double s0 = transfer.offset - transfer.reach, s1 = transfer.offset;
    double lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
        const double n_lo = std::min({n[0][i], n[1][i], n[2][i]}), n_hi = std::max({n[0][i], n[1][i], n[2][i]});
        const double low = n_lo < 0 ? n_lo * stretch : n_lo, high = n_hi > 0 ? n_hi * stretch : n_hi;
        const double along[4] = {s0 * low, s0 * high, s1 * low, s1 * high};
        lo[i] = std::min({p[0][i], p[1][i], p[2][i]}) + *std::min_element(along, along + 4) - margin;
        hi[i] = std::max({p[0][i], p[1][i], p[2][i]}) + *std::max_element(along, along + 4) + margin;
    }
    bool within = cache && cache->known;
    for (int i = 0; i < 3 && within; ++i)
        within = lo[i] >= cache->lo[i] && hi[i] <= cache->hi[i];
    if (within)
        return cache->start;  // every leaf that meets these bounds meets the cached ones
    const uint32_t start = StartAround(transfer.scene, lo, hi);
    if (cache)
        *cache = RaysStartCache{{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}, start, true};
    return start;
}

// The ray of the sample at weights w of a target triangle; false where the normal
// there is no direction.
static bool SampleRay(const SurfaceTransfer& transfer, const TargetCorners& c, const double w[3], Ray* ray)
{
    double at[3] = {0, 0, 0}, normal[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 3; ++i) {
            at[i] += w[k] * c.p[k][i];
            normal[i] += w[k] * c.n[k][i];
        }
    const double length = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (!(length > 0) || !std::isfinite(length))
        return false;
    const double inverse = -1 / length;
    for (int i = 0; i < 3; ++i) {
        ray->direction[i] = normal[i] * inverse;
        ray->origin[i] = at[i] - transfer.offset * ray->direction[i];
    }
    return true;
}

void FindSources(const SurfaceTransfer& transfer, const TargetCorners& corners, const double (*w)[3], int count,
                 uint32_t* start, RaysStartCache* cache, SourcePoint* points, bool* found, GatherPace* pace)
{
    Ray rays[RAY_PACKET] = {};
    int sample[RAY_PACKET], cast = 0;  // the sample of each ray cast
    for (int i = 0; i < count && i < RAY_PACKET; ++i) {
        found[i] = false;
        if (SampleRay(transfer, corners, w[i], &rays[cast]))
            sample[cast++] = i;
    }
    RayHit hits[RAY_PACKET];
    bool hit[RAY_PACKET];
    if (!GatherRays(transfer.scene, rays, cast, transfer.reach, hits, hit, pace)) {
        if (*start == RAYS_START_UNKNOWN)
            *start = RaysStart(transfer, corners, cache);
        CastRays(transfer.scene, rays, cast, transfer.reach, *start, hits, hit);
    }
    for (int r = 0; r < cast; ++r) {
        if (!hit[r])
            continue;
        const TexCoord* uv = transfer.source_uv + size_t(hits[r].slot) * 3;
        const double* h = hits[r].weights;
        SourcePoint& point = points[sample[r]];
        point.triangle = hits[r].triangle;
        std::memcpy(point.weights, h, sizeof point.weights);
        point.u = h[0] * uv[0].u + h[1] * uv[1].u + h[2] * uv[2].u;
        point.v = h[0] * uv[0].v + h[1] * uv[1].v + h[2] * uv[2].v;
        found[sample[r]] = true;
    }
}
