// The bake's drawing on the CPU. Coverage is exact integer arithmetic on vertices
// snapped to 1/256 of a sample, as GL rasterizers snap them; texture coordinates are
// interpolated in double precision. Every sample is computed from its own row and
// column alone, so neither the band size nor the thread count changes a byte.
#include "bake/render.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "assets/large_block.h"
#include "assets/mesh_pair.h"
#include "bake/sampling.h"
#include "support/parallel.h"


namespace {

constexpr int64_t SUBPIXELS = 256;          // snapping steps per sample
constexpr double GUARD = double(1 << 21);   // samples from the origin where the edge
                                            // arithmetic still fits 64 bits
constexpr double CLIP = double(1 << 20);    // where triangles reaching past GUARD are clipped
constexpr size_t BAND_SCRATCH = size_t(4) << 20;  // bytes of samples one worker holds at once
constexpr int32_t BAND_ROWS = 32;           // output rows per band, at most

constexpr int ATTRIBUTES = 4;  // interpolated across a triangle: s, t, and the record's
                               // barycentric weights of corners 1 and 2

// A corner in sample units, with its texture coordinates in texels (texel centres at
// whole numbers: u * width - 0.5) and its place in its record.
struct Corner {
    double x, y;
    double v[ATTRIBUTES];
};

int64_t FloorDiv(int64_t n, int64_t d)  // d > 0
{
    const int64_t q = n / d;
    return q - (n % d != 0 && n < 0);
}

int64_t CeilDiv(int64_t n, int64_t d)  // d > 0
{
    return -FloorDiv(-n, d);
}

// Edge from (x0, y0) by (dx, dy), the triangle on the side where
// E = dx * (py - y0) - dy * (px - x0) > 0. A sample centre exactly on the edge
// (E == 0) is drawn only for top and left edges (threshold 0), so that a centre on an
// edge two triangles share is drawn once.
struct Edge {
    int64_t x0, y0, dx, dy, threshold;
};

struct Triangle {
    Edge edges[3];
    int64_t first_row, last_row;  // sample rows whose centres lie within its height
    int64_t first_column, last_column;  // and columns within its width
    double x0, y0;                // corner 0 in samples, where the gradients start
    double v0[ATTRIBUTES], v_dx[ATTRIBUTES], v_dy[ATTRIBUTES];
    uint32_t record;
};

int64_t Snap(double samples)
{
    return int64_t(std::nearbyint(samples * double(SUBPIXELS)));
}

// The attributes' start and steps across a triangle placed at (x0, y0) with edges
// (dx1, dy1) and (dx2, dy2); false when they are not finite.
bool Gradients(const Corner c[3], double x0, double y0, double dx1, double dy1, double dx2, double dy2,
               Triangle* tri)
{
    const double inverse = 1.0 / (dx1 * dy2 - dy1 * dx2);
    tri->x0 = x0;
    tri->y0 = y0;
    double all = 0;
    for (int k = 0; k < ATTRIBUTES; ++k) {
        const double d1 = c[1].v[k] - c[0].v[k], d2 = c[2].v[k] - c[0].v[k];
        tri->v0[k] = c[0].v[k];
        tri->v_dx[k] = (d1 * dy2 - d2 * dy1) * inverse;
        tri->v_dy[k] = (d2 * dx1 - d1 * dx2) * inverse;
        all += tri->v0[k] + tri->v_dx[k] + tri->v_dy[k];
    }
    return std::isfinite(all);
}

// False for a triangle that covers nothing or whose coordinates are not finite.
bool SetUp(const Corner c[3], Triangle* tri)
{
    int64_t x[3], y[3];
    for (int i = 0; i < 3; ++i) {
        x[i] = Snap(c[i].x);
        y[i] = Snap(c[i].y);
    }
    const int64_t area = (x[1] - x[0]) * (y[2] - y[0]) - (y[1] - y[0]) * (x[2] - x[0]);
    if (area == 0)
        return false;
    const int order[3] = {0, area > 0 ? 1 : 2, area > 0 ? 2 : 1};
    for (int k = 0; k < 3; ++k) {
        const int i = order[k], j = order[(k + 1) % 3];
        Edge& e = tri->edges[k];
        e = Edge{x[i], y[i], x[j] - x[i], y[j] - y[i], 1};
        // GL's top-left rule in its window coordinates, where y grows upwards: the image's
        // rows run downwards, so a left edge goes up the image and a "top" edge is
        // horizontal with the inside above it here.
        if (e.dy < 0 || (e.dy == 0 && e.dx < 0))
            e.threshold = 0;
    }
    const int64_t top = std::min({y[0], y[1], y[2]}), bottom = std::max({y[0], y[1], y[2]});
    const int64_t left = std::min({x[0], x[1], x[2]}), right = std::max({x[0], x[1], x[2]});
    tri->first_row = CeilDiv(top - SUBPIXELS / 2, SUBPIXELS);
    tri->last_row = FloorDiv(bottom - SUBPIXELS / 2, SUBPIXELS);
    tri->first_column = CeilDiv(left - SUBPIXELS / 2, SUBPIXELS);
    tri->last_column = FloorDiv(right - SUBPIXELS / 2, SUBPIXELS);

    // Snapping decides coverage only: the attributes run across the exact corner places,
    // so that the mapping does not move with the output size. A triangle whose exact
    // corners are in a line, though its snapped ones are not, takes the snapped places.
    if (Gradients(c, c[0].x, c[0].y, c[1].x - c[0].x, c[1].y - c[0].y, c[2].x - c[0].x, c[2].y - c[0].y, tri))
        return true;
    const double unit = double(SUBPIXELS);
    return Gradients(c, double(x[0]) / unit, double(y[0]) / unit, double(x[1] - x[0]) / unit,
                     double(y[1] - y[0]) / unit, double(x[2] - x[0]) / unit, double(y[2] - y[0]) / unit, tri);
}

// Edge e at column c of sample row `row` is a * c + b, minus its threshold: the centre
// is covered where all three are at least 0.
void RowEdges(const Triangle& tri, int64_t row, int64_t a[3], int64_t b[3])
{
    const int64_t py = row * SUBPIXELS + SUBPIXELS / 2;
    for (int k = 0; k < 3; ++k) {
        const Edge& e = tri.edges[k];
        a[k] = -e.dy * SUBPIXELS;
        b[k] = e.dx * (py - e.y0) - e.dy * (SUBPIXELS / 2 - e.x0) - e.threshold;
    }
}

// The columns [*first, *last] of a row whose centres the triangle covers, within
// [first, last] as passed, by solving each edge for its crossing.
bool RowSpan(const int64_t a[3], const int64_t b[3], int64_t* first, int64_t* last)
{
    for (int k = 0; k < 3; ++k) {
        if (a[k] > 0)
            *first = std::max(*first, CeilDiv(-b[k], a[k]));
        else if (a[k] < 0)
            *last = std::min(*last, FloorDiv(b[k], -a[k]));
        else if (b[k] < 0)
            return false;
    }
    return *first <= *last;
}

// Sample rows [first_row, first_row + rows) of the whole sample grid, `width` samples wide.
template <typename Sample>
struct Target {
    Sample* samples;  // RGBA
    uint8_t* covered;
    uint8_t* missed;  // with a surface transfer: the samples whose rays found no source
    std::atomic<int>* missing_tile;  // the lowest tile needed that has no image, 0 for none
    RaysStartCache* starts;          // with a surface transfer: the band's last start
    GatherPace* pace;                // and how its packets look for their hits
    int64_t width, first_row, rows;
};

constexpr int64_t NARROW = 32;  // sample columns a triangle spans before its rows are solved
                                // for their ends instead of tested sample by sample

// What samples are drawn from: the image, and for a normal map the frames.
template <typename Sample>
struct Source {
    Texels<Sample> tex;
    const NormalMapping* normals;
    const SurfaceTransfer* surface;
    const Texels<Sample>* tiles;  // a UDIM set's, TILE_COUNT of them (no pixels: no image)
};

// Notes a tile that a sample needed and the set lacks, keeping the lowest.
void NoteMissing(std::atomic<int>* lowest, int tile)
{
    int seen = lowest->load();
    while ((seen == 0 || tile < seen) && !lowest->compare_exchange_weak(seen, tile)) {
    }
}

// The tile that table coordinates (u, 1 - v) fall in, and the texel coordinates of
// their fraction in it; null where the set lacks the tile.
template <typename Sample>
const Texels<Sample>* TileTexels(const Source<Sample>& from, double u, double v, double* s, double* t, int* tile)
{
    const double file_v = 1.0 - v;
    *tile = TileAt(u, file_v);
    const Texels<Sample>& tex = from.tiles[*tile - FIRST_TILE];
    if (!tex.pixels)
        return nullptr;
    *s = (u - FastFloor(u)) * double(tex.width) - 0.5;
    *t = (1.0 - (file_v - FastFloor(file_v))) * double(tex.height) - 0.5;
    return &tex;
}

struct Frame {
    double t[3], b[3], n[3];
};

// A record's frame at barycentric weights w: tangent and normal interpolated and not
// normalised, the bitangent sign * (normal x tangent).
Frame FrameAt(const FrameTable& table, uint32_t record, const double w[3])
{
    Frame f{};
    double sign = 0;
    const uint32_t* entries = table.corners + size_t(record) * 3;
    for (int k = 0; k < 3; ++k) {
        const CornerFrame& corner = table.frames[entries[k]];
        for (int i = 0; i < 3; ++i) {
            f.t[i] += w[k] * corner.tangent[i];
            f.n[i] += w[k] * corner.normal[i];
        }
        sign += w[k] * corner.sign;
    }
    sign = sign < 0 ? -1.0 : 1.0;
    f.b[0] = sign * (f.n[1] * f.t[2] - f.n[2] * f.t[1]);
    f.b[1] = sign * (f.n[2] * f.t[0] - f.n[0] * f.t[2]);
    f.b[2] = sign * (f.n[0] * f.t[1] - f.n[1] * f.t[0]);
    return f;
}

double Determinant(const double a[3], const double b[3], const double c[3])
{
    return a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) + a[2] * (b[0] * c[1] - b[1] * c[0]);
}

// Turns one texel of a normal map, sampled at full precision, from the source frame
// into the target frame: decoded as 2 * value - 1 in the source frame's terms, solved
// for in the target frame's (which need not be orthonormal), normalised, encoded as
// 0.5 + 0.5 * n and rounded once. Alpha is kept; a texel whose frames are degenerate
// is stored as sampled.
template <typename Sample>
void Reexpress(const NormalMapping& m, uint32_t source, const double source_w[3], uint32_t record, const double w[3],
               const double texel[4], Sample* out)
{
    const double max = SampleMax<Sample>();
    const auto store = [&](int i, double value) { out[i] = ToSample<Sample>(value); };
    store(3, texel[3]);
    const Frame from = FrameAt(*m.source, source, source_w), to = FrameAt(*m.target, record, w);
    const double y_sign = m.y_down ? -1.0 : 1.0;
    const double x = texel[0] * 2 / max - 1, y = y_sign * (texel[1] * 2 / max - 1), z = texel[2] * 2 / max - 1;
    double n[3];
    for (int i = 0; i < 3; ++i)
        n[i] = x * from.t[i] + y * from.b[i] + z * from.n[i];
    if (m.turns) {
        const double* turn = m.turns + size_t(record) * 9;
        const double turned[3] = {turn[0] * n[0] + turn[1] * n[1] + turn[2] * n[2],
                                  turn[3] * n[0] + turn[4] * n[1] + turn[5] * n[2],
                                  turn[6] * n[0] + turn[7] * n[1] + turn[8] * n[2]};
        std::copy(turned, turned + 3, n);
    }
    const double determinant = Determinant(to.t, to.b, to.n);
    // Cramer's rule for n = a * T + b * B + c * N.
    double abc[3] = {Determinant(n, to.b, to.n) / determinant, Determinant(to.t, n, to.n) / determinant,
                     Determinant(to.t, to.b, n) / determinant};
    const double solved = std::sqrt(abc[0] * abc[0] + abc[1] * abc[1] + abc[2] * abc[2]);
    if (determinant == 0 || solved == 0 || !std::isfinite(solved)) {
        for (int i = 0; i < 3; ++i)
            store(i, texel[i]);
        return;
    }
    abc[1] *= y_sign;
    for (int i = 0; i < 3; ++i)
        store(i, (0.5 + 0.5 * abc[i] / solved) * max);
}

// The one tile every sample of a triangle reads, where it is known before its samples
// are: its texels and its column and row (the floors of every sample's coordinates).
template <typename Sample>
struct OneTile {
    const Texels<Sample>* tex = nullptr;  // null: each sample finds its own
    double column = 0, row = 0;
};

// The tile of the coordinates across samples [left, right] x [first, last] of the
// triangle, where all of them (with a margin far above the rounding of their sums) have
// the same floors inside the grid and the set has that tile.
template <typename Sample>
OneTile<Sample> TileOfAll(const Triangle& tri, const Source<Sample>& from, int64_t left, int64_t right,
                          int64_t first, int64_t last)
{
    constexpr double MARGIN = 1e-9;
    double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
    for (const int64_t c : {left, right})
        for (const int64_t r : {first, last}) {
            const double px = double(c) + 0.5 - tri.x0, py = double(r) + 0.5 - tri.y0;
            const double u = tri.v0[0] + tri.v_dy[0] * py + tri.v_dx[0] * px;
            const double file_v = 1.0 - (tri.v0[1] + tri.v_dy[1] * py + tri.v_dx[1] * px);
            lo[0] = std::min(lo[0], u);
            hi[0] = std::max(hi[0], u);
            lo[1] = std::min(lo[1], file_v);
            hi[1] = std::max(hi[1], file_v);
        }
    OneTile<Sample> one;
    const double column = FastFloor(lo[0] - MARGIN), row = FastFloor(lo[1] - MARGIN);
    constexpr int ROWS = TILE_COUNT / TILE_COLUMNS;
    if (!(column == FastFloor(hi[0] + MARGIN) && row == FastFloor(hi[1] + MARGIN) && column >= 0 &&
          column < TILE_COLUMNS && row >= 0 && row < ROWS))
        return one;
    const Texels<Sample>& tex = from.tiles[int(column) + TILE_COLUMNS * int(row)];
    if (tex.pixels)
        one = OneTile<Sample>{&tex, column, row};
    return one;
}

// One sample drawn from `source` at weights source_w, at image coordinates s, t (for
// tiles, the coordinates themselves); w are its weights in the target triangle.
template <bool NEAREST, bool NORMALS, typename Sample>
inline void Shade(const Triangle& tri, const Source<Sample>& from, const Target<Sample>& target,
                  const OneTile<Sample>& one, uint32_t source, const double* source_w, const double w[3], double s,
                  double t, size_t pixel)
{
    Sample* out = target.samples + pixel * 4;
    const Texels<Sample>* tex = &from.tex;
    if (one.tex) {  // what TileTexels gives, the floors known
        tex = one.tex;
        const double file_v = 1.0 - t;
        s = (s - one.column) * double(tex->width) - 0.5;
        t = (1.0 - (file_v - one.row)) * double(tex->height) - 0.5;
    } else if (from.tiles) {
        int tile = 0;
        tex = TileTexels(from, s, t, &s, &t, &tile);
        if (!tex) {
            NoteMissing(target.missing_tile, tile);
            return;
        }
    }
    if (NORMALS) {
        double texel[4];
        FetchExact<NEAREST>(*tex, s, t, texel);
        Reexpress(*from.normals, source, source_w, tri.record, w, texel, out);
    } else {
        Fetch<NEAREST>(*tex, s, t, out);
    }
    target.covered[pixel] = 1;
}

// Samples of one triangle whose rays wait to be cast together.
struct RayBatch {
    uint32_t start = RAYS_START_UNKNOWN;  // where its rays walk from, found when one first walks
    bool read = false;                    // whether the corners are read: at the first cast
    TargetCorners corners;
    int count = 0;
    size_t pixel[RAY_PACKET];
    double w[RAY_PACKET][3];
};

template <bool NEAREST, bool NORMALS, typename Sample>
void CastBatch(const Triangle& tri, const Source<Sample>& from, const Target<Sample>& target, RayBatch& batch)
{
    if (batch.count == 0)
        return;
    if (!batch.read) {
        batch.corners = TargetCornersOf(*from.surface, tri.record);
        batch.read = true;
    }
    SourcePoint points[RAY_PACKET];
    bool found[RAY_PACKET];
    FindSources(*from.surface, batch.corners, batch.w, batch.count, &batch.start, target.starts, points, found,
                target.pace);
    for (int i = 0; i < batch.count; ++i) {
        const SourcePoint& point = points[i];
        if (!found[i]) {
            target.missed[batch.pixel[i]] = 1;
            continue;
        }
        // Tiles take the coordinates themselves; one image, its texel coordinates.
        const double s = from.tiles ? point.u : point.u * double(from.tex.width) - 0.5;
        const double t = from.tiles ? point.v : point.v * double(from.tex.height) - 0.5;
        Shade<NEAREST, NORMALS>(tri, from, target, OneTile<Sample>{}, point.triangle, point.weights, batch.w[i], s, t,
                                batch.pixel[i]);
    }
    batch.count = 0;
}

// Draws one sample, or with rays, queues it on the batch, which is cast once full.
template <bool NEAREST, bool NORMALS, bool SURFACE, typename Sample>
inline void DrawSample(const Triangle& tri, const Source<Sample>& from, const Target<Sample>& target,
                       const OneTile<Sample>& one, RayBatch& batch, const double row[ATTRIBUTES], size_t at,
                       int64_t column)
{
    const double px = double(column) + 0.5 - tri.x0;
    const double w1 = row[2] + tri.v_dx[2] * px, w2 = row[3] + tri.v_dx[3] * px;
    if (SURFACE) {
        batch.pixel[batch.count] = at + size_t(column);
        double* w = batch.w[batch.count];
        w[0] = 1 - w1 - w2;
        w[1] = w1;
        w[2] = w2;
        if (++batch.count == RAY_PACKET)
            CastBatch<NEAREST, NORMALS>(tri, from, target, batch);
        return;
    }
    const double w[3] = {1 - w1 - w2, w1, w2};
    const double s = row[0] + tri.v_dx[0] * px, t = row[1] + tri.v_dx[1] * px;
    Shade<NEAREST, NORMALS>(tri, from, target, one, tri.record, w, w, s, t, at + size_t(column));
}

template <bool NEAREST, bool NORMALS, bool SURFACE, typename Sample>
void DrawTriangle(const Triangle& tri, const Source<Sample>& from, const Target<Sample>& target)
{
    const int64_t first = std::max(tri.first_row, target.first_row);
    const int64_t last = std::min(tri.last_row, target.first_row + target.rows - 1);
    const int64_t left = std::max<int64_t>(tri.first_column, 0);
    const int64_t right = std::min(tri.last_column, target.width - 1);
    const bool narrow = right - left < NARROW;
    const OneTile<Sample> one =
        !SURFACE && from.tiles && first <= last && left <= right ? TileOfAll(tri, from, left, right, first, last)
                                                                 : OneTile<Sample>{};
    RayBatch batch;
    for (int64_t row = first; row <= last && left <= right; ++row) {
        int64_t a[3], b[3];
        RowEdges(tri, row, a, b);
        const double py = double(row) + 0.5 - tri.y0;
        double at_row[ATTRIBUTES];
        for (int k = 0; k < ATTRIBUTES; ++k)
            at_row[k] = tri.v0[k] + tri.v_dy[k] * py;
        const size_t at = size_t((row - target.first_row) * target.width);
        if (narrow) {
            int64_t e0 = a[0] * left + b[0], e1 = a[1] * left + b[1], e2 = a[2] * left + b[2];
            for (int64_t c = left; c <= right; ++c, e0 += a[0], e1 += a[1], e2 += a[2])
                if ((e0 | e1 | e2) >= 0)
                    DrawSample<NEAREST, NORMALS, SURFACE>(tri, from, target, one, batch, at_row, at, c);
            continue;
        }
        int64_t c0 = left, c1 = right;
        if (RowSpan(a, b, &c0, &c1))
            for (int64_t c = c0; c <= c1; ++c)
                DrawSample<NEAREST, NORMALS, SURFACE>(tri, from, target, one, batch, at_row, at, c);
    }
    if (SURFACE)
        CastBatch<NEAREST, NORMALS>(tri, from, target, batch);
}

// Keeps the part of a polygon on the inside of one side of the clip square.
int ClipSide(const Corner* in, int count, Corner* out, int axis, double sign)
{
    const auto inside = [&](const Corner& c) { return sign * (axis ? c.y : c.x) <= CLIP; };
    int made = 0;
    for (int i = 0; i < count; ++i) {
        const Corner& a = in[i];
        const Corner& b = in[(i + 1) % count];
        if (inside(a))
            out[made++] = a;
        if (inside(a) != inside(b)) {
            const double da = sign * (axis ? a.y : a.x) - CLIP, db = sign * (axis ? b.y : b.x) - CLIP;
            const double f = da / (da - db);
            Corner& c = out[made++];
            c.x = a.x + f * (b.x - a.x);
            c.y = a.y + f * (b.y - a.y);
            for (int k = 0; k < ATTRIBUTES; ++k)
                c.v[k] = a.v[k] + f * (b.v[k] - a.v[k]);
        }
    }
    return made;
}

template <bool NEAREST, bool NORMALS, typename Sample>
auto DrawerFor(bool surface)
{
    return surface ? DrawTriangle<NEAREST, NORMALS, true, Sample> : DrawTriangle<NEAREST, NORMALS, false, Sample>;
}

// The drawing for what is drawn from: filtering, normal map or not, rays or not.
template <typename Sample>
auto Drawer(const Source<Sample>& from)
{
    const bool surface = from.surface != nullptr;
    if (from.normals)
        return from.tex.nearest ? DrawerFor<true, true, Sample>(surface) : DrawerFor<false, true, Sample>(surface);
    return from.tex.nearest ? DrawerFor<true, false, Sample>(surface) : DrawerFor<false, false, Sample>(surface);
}

// Draws a triangle, clipped first when it reaches past the guard band, as GL clips it.
template <typename Sample>
void DrawCorners(const Corner c[3], uint32_t record, const Source<Sample>& from, const Target<Sample>& target)
{
    bool near = true;
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(c[i].x) || !std::isfinite(c[i].y))
            return;  // nothing GL would draw either
        near = near && std::fabs(c[i].x) < GUARD && std::fabs(c[i].y) < GUARD;
    }
    Triangle tri;
    tri.record = record;
    const auto draw = Drawer(from);
    if (near) {
        if (SetUp(c, &tri))
            draw(tri, from, target);
        return;
    }
    Corner a[9], b[9];
    int count = 3;
    std::copy(c, c + 3, a);
    for (int side = 0; side < 4 && count > 0; ++side) {
        count = ClipSide(a, count, b, side / 2, side % 2 ? -1.0 : 1.0);
        std::copy(b, b + count, a);
    }
    for (int i = 1; i + 1 < count; ++i) {
        const Corner fan[3] = {a[0], a[i], a[i + 1]};
        if (SetUp(fan, &tri))
            draw(tri, from, target);
    }
}

// The corners of a record as the viewer places them, in samples.
// Where a target corner lands, in pixels: the viewer's placement, in single precision as
// it sends it to GL, for a tile of a UDIM output moved by the tile's corner first.
void TargetPlace(const TexCoord& corner, const RenderRequest& request, float* x, float* y)
{
    const float u = request.target_tile ? corner.u - float(TileColumn(request.target_tile)) : corner.u;
    const float v = request.target_tile ? corner.v + float(TileRow(request.target_tile)) : corner.v;
    *x = float(request.width) * u;
    *y = float(request.height) * v;
}

void RecordCorners(const RemapTriangle& record, const RenderRequest& request, Corner c[3])
{
    // A UDIM source's coordinates pick their tile when sampled: they are kept as they are.
    const double width = request.tiles ? 1.0 : double(request.image->width);
    const double height = request.tiles ? 1.0 : double(request.image->height);
    const double half = request.tiles ? 0.0 : 0.5;
    for (int k = 0; k < 3; ++k) {
        float x, y;
        TargetPlace(record.target[k], request, &x, &y);
        c[k] = Corner{double(x) * request.samples, double(y) * request.samples,
                      {double(record.source[k].u) * width - half, double(record.source[k].v) * height - half,
                       k == 1 ? 1.0 : 0.0, k == 2 ? 1.0 : 0.0}};
    }
}

// Which records each band of output rows must draw, in the table's order.
struct Bins {
    int64_t bands = 0;
    int64_t* start = nullptr;  // bands + 1 offsets into index
    uint32_t* index = nullptr;
    size_t entries = 0;
};

void FreeBins(Bins* bins)
{
    std::free(bins->start);
    std::free(bins->index);
    *bins = Bins{};
}

// The bands a record may touch (one row more each way), or false for none.
bool RecordBands(const RemapTriangle& record, const RenderRequest& request, int32_t band_rows, int64_t bands,
                 int64_t* first, int64_t* last)
{
    const float height = float(request.height);
    float x, y[3];
    for (int k = 0; k < 3; ++k)
        TargetPlace(record.target[k], request, &x, &y[k]);
    const float top = std::min({y[0], y[1], y[2]}), bottom = std::max({y[0], y[1], y[2]});
    if (!(top <= bottom) || bottom < -1.0f || top > height + 1.0f)
        return false;
    *first = int64_t(std::max(double(top) - 1, 0.0)) / band_rows;
    *last = std::min<int64_t>(bands - 1, int64_t(std::min(double(bottom) + 1, double(height))) / band_rows);
    return *first <= *last;
}

constexpr int64_t BIN_CHUNK = 65536;  // records per job while sorting into bands

// Sorts the drawable records into the bands they may touch, on every thread: each job
// counts, then places, the records of one chunk of the table, at offsets that keep the
// table's order within every band.
bool MakeBins(const RenderRequest& request, int32_t band_rows, int threads, Bins* bins)
{
    const int64_t bands = (request.height + band_rows - 1) / band_rows;
    const int64_t records = request.records ? int64_t(request.records->size()) : remap_table.count;
    const int64_t chunks = (records + BIN_CHUNK - 1) / BIN_CHUNK;
    bins->bands = bands;
    bins->start = static_cast<int64_t*>(std::calloc(size_t(bands) + 1, sizeof(int64_t)));
    auto* at = static_cast<int64_t*>(std::calloc(size_t(std::max<int64_t>(chunks, 1) * bands), sizeof(int64_t)));
    if (!bins->start || !at) {
        std::free(at);
        return false;
    }
    const auto each_band = [&](int64_t chunk, const auto& use) {
        int64_t first = 0, last = 0;
        const int64_t end = std::min<int64_t>(records, (chunk + 1) * BIN_CHUNK);
        for (int64_t k = chunk * BIN_CHUNK; k < end; ++k) {
            const int32_t i = request.records ? int32_t((*request.records)[size_t(k)]) : int32_t(k);
            if (remap_table.drawable[i] && RecordBands(remap_table.triangles[i], request, band_rows, bands, &first, &last))
                for (int64_t b = first; b <= last; ++b)
                    use(i, at + chunk * bands + b);
        }
    };
    ParallelFor(threads, chunks, [&](int64_t chunk, int) { each_band(chunk, [](int32_t, int64_t* n) { ++*n; }); });
    int64_t total = 0;
    for (int64_t b = 0; b < bands; ++b) {
        bins->start[b] = total;
        for (int64_t c = 0; c < chunks; ++c) {
            const int64_t n = at[c * bands + b];
            at[c * bands + b] = total;
            total += n;
        }
    }
    bins->start[bands] = total;
    bins->entries = size_t(total);
    bins->index = static_cast<uint32_t*>(std::malloc(std::max<size_t>(bins->entries, 1) * sizeof(uint32_t)));
    if (bins->index)
        ParallelFor(threads, chunks, [&](int64_t chunk, int) {
            each_band(chunk, [&](int32_t i, int64_t* slot) { bins->index[(*slot)++] = uint32_t(i); });
        });
    std::free(at);
    return bins->index != nullptr;
}

// Averages the covered samples of each pixel of a band into the result: integers
// rounded, floats in double precision.
template <typename Sample>
void Resolve(const Target<Sample>& target, const RenderRequest& request, int64_t first_pixel_row,
             int64_t pixel_rows, RenderResult* result)
{
    const int n = request.samples;
    auto* out = static_cast<Sample*>(result->pixels);
    for (int64_t y = 0; y < pixel_rows; ++y) {
        for (int64_t x = 0; x < request.width; ++x) {
            using Sum = typename std::conditional<std::is_floating_point<Sample>::value, double, uint32_t>::type;
            Sum sum[4] = {0, 0, 0, 0};
            uint32_t covered = 0, missed = 0;
            for (int sy = 0; sy < n; ++sy) {
                const size_t at = size_t((y * n + sy) * target.width + x * n);
                for (int sx = 0; sx < n; ++sx) {
                    missed += target.missed ? target.missed[at + size_t(sx)] : 0;
                    if (!target.covered[at + size_t(sx)])
                        continue;
                    ++covered;
                    for (int c = 0; c < 4; ++c)
                        sum[c] += target.samples[(at + size_t(sx)) * 4 + size_t(c)];
                }
            }
            const size_t pixel = size_t((first_pixel_row + y) * request.width + x);
            for (int c = 0; c < 4; ++c)
                out[pixel * 4 + size_t(c)] = covered == 0                           ? Sample(0)
                                             : std::is_floating_point<Sample>::value ? Sample(sum[c] / covered)
                                                                                     : Sample((sum[c] + covered / 2) / covered);
            result->covered[pixel] = uint8_t(covered);
            if (result->missed)
                result->missed[pixel] = uint8_t(missed);
        }
    }
}

struct Shared {
    std::mutex progress_lock;
    int64_t bands_done = 0;
};

// Draws into `result`, whose pixels, coverage and misses read as zeros already where
// zeroed[0], [1] and [2] say so.
template <typename Sample>
bool Draw(const RenderRequest& request, const bool zeroed[3], RenderResult* result, std::string* error)
{
    const int n = request.samples;
    const int64_t sample_width = int64_t(request.width) * n;
    const size_t flags = request.surface ? 2 : 1;  // covered, and missed
    const size_t sample_row_bytes = size_t(sample_width) * (4 * sizeof(Sample) + flags);
    // One sample a pixel draws straight into the result; more go through a band of samples.
    const int32_t band_rows = n == 1 ? BAND_ROWS
                                     : int32_t(std::clamp<size_t>(BAND_SCRATCH / (sample_row_bytes * size_t(n)), 1,
                                                                  size_t(BAND_ROWS)));
    Bins bins;
    // Workers are at most the bands there are, and fewer where their scratch cannot be
    // had: the bytes do not depend on how many there are.
    const int64_t bands = (request.height + band_rows - 1) / band_rows;
    int threads = int(std::clamp<int64_t>(request.threads, 1, std::max<int64_t>(bands, 1)));
    const size_t scratch_bytes = n == 1 ? 0 : sample_row_bytes * size_t(band_rows) * size_t(n);
    unsigned char* scratch = nullptr;
    while (scratch_bytes && !(scratch = static_cast<unsigned char*>(std::malloc(scratch_bytes * size_t(threads)))) &&
           threads > 1)
        threads /= 2;
    if ((scratch_bytes && !scratch) || !MakeBins(request, band_rows, threads, &bins)) {
        std::free(scratch);
        *error = "not enough memory to sort " + std::to_string(remap_table.count) + " triangles into bands (" +
                 std::to_string((bins.entries * sizeof(uint32_t) + scratch_bytes * size_t(threads)) >> 20) + " MB)";
        FreeBins(&bins);
        return false;
    }
    const DeepImage& image = *request.image;
    std::vector<Texels<Sample>> tiles(request.tiles ? TILE_COUNT : 0);
    for (size_t i = 0; i < tiles.size(); ++i)
        if (const DeepImage* tile = request.tiles->tiles[i])
            tiles[i] = Texels<Sample>{static_cast<const Sample*>(tile->pixels), tile->width, tile->height,
                                      request.nearest};
    const Source<Sample> from{{static_cast<const Sample*>(image.pixels), image.width, image.height, request.nearest},
                              request.normals, request.surface, request.tiles ? tiles.data() : nullptr};
    std::atomic<int> missing_tile{0};
    Shared shared;
    ParallelFor(threads, bins.bands, [&](int64_t band, int worker) {
        const int64_t first_pixel_row = band * band_rows;
        const int64_t pixel_rows = std::min<int64_t>(band_rows, request.height - first_pixel_row);
        Target<Sample> target{};
        RaysStartCache starts{};
        GatherPace pace;
        target.starts = &starts;
        target.pace = &pace;
        target.missing_tile = &missing_tile;
        target.width = sample_width;
        target.first_row = first_pixel_row * n;
        target.rows = pixel_rows * n;
        const size_t count = size_t(target.rows * sample_width);
        if (n == 1) {
            target.samples = static_cast<Sample*>(result->pixels) + size_t(first_pixel_row * sample_width) * 4;
            target.covered = result->covered + size_t(first_pixel_row * sample_width);
            target.missed = result->missed ? result->missed + size_t(first_pixel_row * sample_width) : nullptr;
        } else {
            target.samples = reinterpret_cast<Sample*>(scratch + scratch_bytes * size_t(worker));
            target.covered = reinterpret_cast<uint8_t*>(target.samples + count * 4);
            target.missed = request.surface ? target.covered + count : nullptr;
        }
        // The result's blocks may come zeroed already; a band of samples never does.
        if (n > 1 || !zeroed[0])
            std::memset(target.samples, 0, count * 4 * sizeof(Sample));
        if (n > 1 || !zeroed[1])
            std::memset(target.covered, 0, count);
        if (target.missed && (n > 1 || !zeroed[2]))
            std::memset(target.missed, 0, count);
        for (int64_t k = bins.start[band]; k < bins.start[band + 1]; ++k) {
            Corner corners[3];
            RecordCorners(remap_table.triangles[bins.index[k]], request, corners);
            DrawCorners(corners, bins.index[k], from, target);
        }
        if (n > 1)
            Resolve(target, request, first_pixel_row, pixel_rows, result);
        if (request.progress) {
            std::lock_guard<std::mutex> hold(shared.progress_lock);
            request.progress(++shared.bands_done, bins.bands, request.progress_context);
        }
    });
    std::free(scratch);
    FreeBins(&bins);
    result->missing_tile = missing_tile.load();
    return true;
}

size_t PixelBytes(const RenderRequest& request)
{
    return size_t(request.image->bits / 2);
}

}  // namespace

bool RenderRemap(const RenderRequest& request, RenderResult* result, std::string* error)
{
    const size_t pixels = size_t(request.width) * size_t(request.height);
    RenderResult made{};
    // Blocks freed since the rays were prepared may serve: their pages are there already,
    // where new ones cost a fault each, and clearing them costs less.
    bool zeroed[3] = {true, true, true};
    made.pixels = LargeTake(pixels * PixelBytes(request), 0, &zeroed[0]);
    made.covered = static_cast<uint8_t*>(LargeTake(pixels, 0, &zeroed[1]));
    made.missed = request.surface ? static_cast<uint8_t*>(LargeTake(pixels, 0, &zeroed[2])) : nullptr;
    if (!made.pixels || !made.covered || (request.surface && !made.missed)) {
        LargeFree(made.pixels, pixels * PixelBytes(request));
        LargeFree(made.covered, pixels);
        LargeFree(made.missed, pixels);
        *error = "not enough memory for a " + std::to_string(request.width) + " x " + std::to_string(request.height) +
                 " output (" + std::to_string((pixels * (PixelBytes(request) + 1)) >> 20) + " MB)";
        return false;
    }
    const int bits = request.image->bits;
    const bool drawn = bits == 32   ? Draw<float>(request, zeroed, &made, error)
                       : bits == 16 ? Draw<uint16_t>(request, zeroed, &made, error)
                                    : Draw<uint8_t>(request, zeroed, &made, error);
    if (!drawn) {
        FreeRenderResult(&made, request);
        return false;
    }
    *result = made;
    return true;
}

void FreeRenderResult(RenderResult* result, const RenderRequest& request)
{
    const size_t pixels = size_t(request.width) * size_t(request.height);
    LargeFree(result->pixels, pixels * PixelBytes(request));
    LargeFree(result->covered, pixels);
    LargeFree(result->missed, pixels);
    *result = RenderResult{};
}
