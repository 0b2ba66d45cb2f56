// Tangent frames through the reference MikkTSpace generator: the file's faces are
// handed over as they stand, a large layout in pieces on every worker, and what it
// gives each face corner is kept once per distinct frame and named by every record
// corner that corner became.
#include "bake/tangent_frames.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "assets/large_block.h"
#include "bake/surface_values.h"
#include "support/parallel.h"

extern "C" {
#include "mikktspace.h"
}

namespace {

// Around a position many faces share, the generator's time grows with the square of
// their number: it welds a corner there by comparing it with the others there, and
// compares every face of a welded vertex with every other. A position more faces share
// than CROWD_FACES is handed over in runs of RUN_FACES faces; the others as they are.
constexpr uint32_t CROWD_FACES = 128;
constexpr uint32_t RUN_FACES = 32;
constexpr uint16_t NUDGE_NORMAL = 0x8000;  // the corner's normal moves by one unit in the last place
constexpr int NUDGE_AXIS_SHIFT = 13;       // bits 13 and 14: which axis of the position moves
constexpr uint16_t NUDGE_ULPS = 0x1FFF;    // and by how many units in the last place

// One face as MikkTSpace sees it: a whole face of three or four corners, or one fanned
// triangle of a larger face.
struct MikkFace {
    uint32_t face;    // the file's face
    uint32_t first;   // its first record
    int32_t fan;      // which fanned triangle, or -1 for the whole face
};

// Where one call puts the frames it makes: each distinct one once, from `next` on in the
// layout's frame list (the call's own stretch of it), found again through an open table.
struct FrameSink {
    uint32_t next;
    uint32_t* slots;  // 1 + entry, or 0 for none
    size_t mask;
};

struct Context {
    const MeshSurface* surface;
    const MikkFace* faces;      // the layout's
    const uint32_t* members;    // the faces this call hands over, in order; null for all
    uint32_t member_count;
    uint32_t core_begin;        // the faces whose frames this call gives
    uint32_t core_end;
    const Vec3* normals;        // per face corner, for corners without a normal of their own
    FrameTable* frames;
    FrameSink* sink;            // where this call's frames go
    // A piece's corners copied out together, which the generator reads many times over:
    // VALUES per corner (position, normal, texture coordinates), each face's first corner
    // and one more. Null where the generator reads the surface itself.
    const uint32_t* first_value;
    const float* values;
    const uint16_t* nudges;     // per face corner (4 a face) of the layout, or null: see CrowdNudges
};

constexpr int VALUES = 8;

const Context& Of(const SMikkTSpaceContext* context)
{
    return *static_cast<const Context*>(context->m_pUserData);
}

// The layout's face that the call's face `face` is.
uint32_t FaceIndex(const Context& c, int face)
{
    return c.members ? c.members[face] : uint32_t(face);
}

// The face corner that MikkTSpace's vertex `vert` of face `face` is.
uint32_t CornerOf(const Context& c, int face, int vert)
{
    const MikkFace& f = c.faces[FaceIndex(c, face)];
    const uint32_t start = c.surface->face_start[f.face];
    if (f.fan < 0)
        return start + uint32_t(vert);
    return start + (vert == 0 ? 0u : uint32_t(f.fan + vert));
}

int FaceCount(const SMikkTSpaceContext* context)
{
    return int(Of(context).member_count);
}

int CornersOf(const Context& c, int face)
{
    if (c.values)
        return int(c.first_value[face + 1] - c.first_value[face]);
    const MikkFace& f = c.faces[FaceIndex(c, face)];
    return f.fan < 0 ? int(c.surface->face_start[f.face + 1] - c.surface->face_start[f.face]) : 3;
}

int CornerCount(const SMikkTSpaceContext* context, const int face)
{
    return CornersOf(Of(context), face);
}

// The copied values of a corner, from `offset` on.
const float* Copied(const Context& c, int face, int vert, int offset)
{
    return c.values + (size_t(c.first_value[face]) + size_t(vert)) * VALUES + offset;
}

// The file's normal where the corner has one, else the one made for it.
Vec3 NormalOf(const Context& c, uint32_t corner)
{
    const MeshSurface& s = *c.surface;
    const uint32_t given = s.corners[corner * 3 + 2];
    if (given != 0 && given <= s.normal_count) {
        const float* g = s.normals + size_t(given - 1) * 3;
        return Normalized({g[0], g[1], g[2]});
    }
    return c.normals[corner];
}

// Moves a value by `units` units in its last place, away from 0.
float Nudged(float value, uint32_t units)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    bits += units;
    std::memcpy(&value, &bits, sizeof bits);
    return value;
}

// The position and normal the generator is given: the corner's, nudged at crowded
// positions (CrowdNudges).
Vec3 GeneratorPosition(const Context& c, int face, int vert)
{
    Vec3 p = Position(*c.surface, CornerOf(c, face, vert));
    const uint16_t nudge = c.nudges ? c.nudges[size_t(FaceIndex(c, face)) * 4 + size_t(vert)] : 0;
    float* axis = (nudge >> NUDGE_AXIS_SHIFT & 3) == 0 ? &p.x : (nudge >> NUDGE_AXIS_SHIFT & 3) == 1 ? &p.y : &p.z;
    *axis = Nudged(*axis, nudge & NUDGE_ULPS);
    return p;
}

Vec3 GeneratorNormal(const Context& c, int face, int vert)
{
    Vec3 n = NormalOf(c, CornerOf(c, face, vert));
    if (c.nudges && (c.nudges[size_t(FaceIndex(c, face)) * 4 + size_t(vert)] & NUDGE_NORMAL))
        n.x = Nudged(n.x, 1);
    return n;
}

void GetPosition(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    const Context& c = Of(context);
    if (c.values) {
        std::memcpy(out, Copied(c, face, vert, 0), 3 * sizeof(float));
        return;
    }
    const Vec3 p = GeneratorPosition(c, face, vert);
    out[0] = p.x;
    out[1] = p.y;
    out[2] = p.z;
}

void GetNormal(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    if (Of(context).values) {
        std::memcpy(out, Copied(Of(context), face, vert, 3), 3 * sizeof(float));
        return;
    }
    const Vec3 n = GeneratorNormal(Of(context), face, vert);
    out[0] = n.x;
    out[1] = n.y;
    out[2] = n.z;
}

void GetTexCoord(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    const Context& c = Of(context);
    if (c.values)
        std::memcpy(out, Copied(c, face, vert, 6), 2 * sizeof(float));
    else
        TexCoordOf(*c.surface, CornerOf(c, face, vert), out);
}

uint32_t Entry(const Context& c, const CornerFrame& frame)
{
    uint32_t bits[7];
    std::memcpy(bits, &frame, sizeof bits);
    uint64_t key = 0;
    for (const uint32_t b : bits)
        key = (key ^ b) * 0x9E3779B97F4A7C15u;
    FrameSink& sink = *c.sink;
    for (size_t slot = size_t(key >> 32) & sink.mask;; slot = (slot + 1) & sink.mask) {
        const uint32_t entry = sink.slots[slot];
        if (entry == 0) {
            c.frames->frames[sink.next] = frame;
            sink.slots[slot] = sink.next + 1;
            return sink.next++;
        }
        if (std::memcmp(&c.frames->frames[entry - 1], &frame, sizeof frame) == 0)
            return entry - 1;
    }
}

void Store(const Context& c, uint32_t record, int slot, uint32_t entry)
{
    if (record < uint32_t(c.frames->records))
        c.frames->corners[size_t(record) * 3 + size_t(slot)] = entry;
}

// Writes the frame of a face corner to every record corner it became: corner 0 of a
// face is corner 0 of all its records; corner j > 0 is corner 1 of record j - 1 and
// corner 2 of record j - 2.
void SetFrame(const SMikkTSpaceContext* context, const float tangent[], const float sign, const int face,
              const int vert)
{
    const Context& c = Of(context);
    const uint32_t index = FaceIndex(c, face);
    if (index < c.core_begin || index >= c.core_end)
        return;  // a face handed over for its neighbours' sake; its own call gives its frames
    const MikkFace& f = c.faces[index];
    const Vec3 n = NormalOf(c, CornerOf(c, face, vert));
    const uint32_t frame = Entry(c, CornerFrame{{tangent[0], tangent[1], tangent[2]}, sign, {n.x, n.y, n.z}});
    if (f.fan >= 0) {
        Store(c, f.first, vert, frame);
        return;
    }
    const int records = CornerCount(context, face) - 2;
    if (vert == 0) {
        for (int r = 0; r < records; ++r)
            Store(c, f.first + uint32_t(r), 0, frame);
        return;
    }
    if (vert - 1 < records)
        Store(c, f.first + uint32_t(vert - 1), 1, frame);
    if (vert >= 2)
        Store(c, f.first + uint32_t(vert - 2), 2, frame);
}

// Whether the generator takes the triangle as a sound one: three distinct positions, and
// a texture area and tangents that do not vanish. Computed as the generator computes
// them, with a wide margin on its thresholds.
bool SoundTriangle(const Vec3& p0, const Vec3& p1, const Vec3& p2, const float* t0, const float* t1, const float* t2)
{
    const auto same = [](const Vec3& a, const Vec3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; };
    if (same(p0, p1) || same(p0, p2) || same(p1, p2))
        return false;
    const float t21x = t1[0] - t0[0], t21y = t1[1] - t0[1], t31x = t2[0] - t0[0], t31y = t2[1] - t0[1];
    const float area = std::fabs(t21x * t31y - t21y * t31x);
    const Vec3 d1 = Sub(p1, p0), d2 = Sub(p2, p0);
    const Vec3 os{t31y * d1.x - t21y * d2.x, t31y * d1.y - t21y * d2.y, t31y * d1.z - t21y * d2.z};
    const Vec3 ot{-t31x * d1.x + t21x * d2.x, -t31x * d1.y + t21x * d2.y, -t31x * d1.z + t21x * d2.z};
    const float margin = 1e-30f;
    return area > margin && std::sqrt(Dot(os, os)) / area > margin && std::sqrt(Dot(ot, ot)) / area > margin;
}

// Whether a piece's face is sound whichever way the generator splits it, with finite
// values at every corner.
bool SoundFace(const Context& c, int face)
{
    Vec3 p[4];
    const float* t[4];
    const int n = CornersOf(c, face);
    if (n < 3 || n > 4)
        return false;  // the loader keeps no such face
    for (int k = 0; k < n; ++k) {
        const float* values = Copied(c, face, k, 0);
        for (int i = 0; i < VALUES; ++i)
            if (!std::isfinite(values[i]))
                return false;
        p[k] = {values[0], values[1], values[2]};
        t[k] = values + 6;
    }
    if (n == 3)
        return SoundTriangle(p[0], p[1], p[2], t[0], t[1], t[2]);
    return SoundTriangle(p[0], p[1], p[2], t[0], t[1], t[2]) && SoundTriangle(p[0], p[2], p[3], t[0], t[2], t[3]) &&
           SoundTriangle(p[0], p[1], p[3], t[0], t[1], t[3]) && SoundTriangle(p[1], p[2], p[3], t[1], t[2], t[3]);
}

// The corners of all the faces the generator is given: fanned faces give 3 per triangle.
size_t MikkCorners(const MeshSurface& s)
{
    size_t corners = 0;
    for (uint32_t f = 0; f < s.face_count; ++f) {
        const uint32_t n = s.face_start[f + 1] - s.face_start[f];
        corners += n <= 4 ? n : 3 * (n - 2);
    }
    return corners;
}

size_t CornerBytes(int32_t records)
{
    return std::max<size_t>(size_t(std::max(records, 0)) * 3 * sizeof(uint32_t), 1);
}

// One layout's work: its faces as the generator sees them, and the calls they are
// handed over in.
struct Layout {
    FrameTable made;
    MikkFace* faces;
    uint32_t face_count;
    Vec3* normals;
    uint32_t piece_faces;   // faces whose frames one call gives
    uint32_t pieces;        // calls
    uint32_t* members;      // the faces each call hands over, call after call; null for one call
    size_t* member_start;   // pieces + 1 offsets into the members
    uint32_t* frame_start;  // pieces + 1: each call's stretch of the frame list
    uint16_t* nudges;       // see CrowdNudges
    bool ready;
};

Context WholeLayout(const MeshSurface& s, const Layout& l)
{
    return Context{&s, l.faces, nullptr, l.face_count, 0, l.face_count, l.normals,
                   const_cast<FrameTable*>(&l.made), nullptr, nullptr, nullptr, l.nudges};
}

// Leaves the layout to go in one call.
void OneCall(Layout& l)
{
    std::free(l.members);
    std::free(l.member_start);
    std::free(l.frame_start);
    l.members = nullptr;
    l.member_start = nullptr;
    l.frame_start = nullptr;
    l.pieces = 1;
    l.piece_faces = l.face_count;
}

// The corner's position by value (SamePositions' `ids`), corners without one as one more.
uint32_t PositionId(const MeshSurface& s, const uint32_t* ids, uint32_t corner)
{
    const uint32_t n = s.corners[corner * 3];
    return ids[n == 0 || n > s.position_count ? s.position_count : n - 1];
}

// Splits the layout into calls of `piece_faces` faces each, every one handed over with
// all the faces that share a position with it. The generator's frame at a corner comes
// from the faces around the corner's welded vertex alone when every face is sound (a
// face it finds unsound takes its orientation from whichever neighbour reaches it
// first), so each call then gives its own faces the frames of one call over the whole
// layout; each call checks its own faces first. One call when the pieces would overlap
// too much to pay, or memory runs out.
void SplitIntoPieces(const MeshSurface& s, const uint32_t* ids, Layout& l)
{
    const Context whole = WholeLayout(s, l);
    const size_t count = size_t(s.position_count) + 1;
    auto* low = static_cast<uint32_t*>(std::malloc(count * sizeof(uint32_t)));
    auto* high = low ? static_cast<uint32_t*>(std::calloc(count, sizeof(uint32_t))) : nullptr;
    const auto id_of = [&](uint32_t corner) { return PositionId(s, ids, corner); };
    const uint32_t pieces = (l.face_count + l.piece_faces - 1) / l.piece_faces;
    bool split = high != nullptr;
    if (split) {
        std::fill(low, low + count, pieces);
        for (uint32_t m = 0; m < l.face_count; ++m)
            for (int k = 0; k < CornersOf(whole, int(m)); ++k) {
                const uint32_t id = id_of(CornerOf(whole, int(m), k)), piece = m / l.piece_faces;
                low[id] = std::min(low[id], piece);
                high[id] = std::max(high[id], piece);
            }
    }
    // A face goes to every call from the first to the last that shares one of its
    // positions: more than is needed where a position's calls are far apart, which is
    // harmless, as is any face that shares no welded vertex with the call's own.
    auto* range = split ? static_cast<uint32_t*>(std::malloc(size_t(l.face_count) * 2 * sizeof(uint32_t))) : nullptr;
    size_t total = 0;
    for (uint32_t m = 0; range && m < l.face_count; ++m) {
        uint32_t first = pieces, last = 0;
        for (int k = 0; k < CornersOf(whole, int(m)); ++k) {
            const uint32_t id = id_of(CornerOf(whole, int(m), k));
            first = std::min(first, low[id]);
            last = std::max(last, high[id]);
        }
        range[m * 2] = first;
        range[m * 2 + 1] = last;
        total += last - first + 1;
    }
    split = range && total <= size_t(l.face_count) * 2;
    l.members = split ? static_cast<uint32_t*>(std::malloc(total * sizeof(uint32_t))) : nullptr;
    l.member_start = l.members ? static_cast<size_t*>(std::calloc(size_t(pieces) + 1, sizeof(size_t))) : nullptr;
    split = l.member_start != nullptr;
    for (uint32_t m = 0; split && m < l.face_count; ++m)
        for (uint32_t p = range[m * 2]; p <= range[m * 2 + 1]; ++p)
            ++l.member_start[p + 1];
    for (uint32_t p = 0; split && p < pieces; ++p)
        l.member_start[p + 1] += l.member_start[p];
    for (uint32_t m = 0; split && m < l.face_count; ++m)  // in order, so each call keeps the layout's order
        for (uint32_t p = range[m * 2]; p <= range[m * 2 + 1]; ++p)
            l.members[l.member_start[p]++] = m;
    for (uint32_t p = pieces; split && p > 0; --p)  // back to the starts
        l.member_start[p] = l.member_start[p - 1];
    if (split)
        l.member_start[0] = 0;
    // Each call's stretch of the frame list: room for its own faces' corners.
    l.frame_start = split ? static_cast<uint32_t*>(std::malloc((size_t(pieces) + 1) * sizeof(uint32_t))) : nullptr;
    split = l.frame_start != nullptr;
    for (uint32_t m = 0, at = 1; split && m <= l.face_count; ++m) {
        if (m % l.piece_faces == 0 || m == l.face_count)
            l.frame_start[(m + l.piece_faces - 1) / l.piece_faces] = at;
        at += m < l.face_count ? uint32_t(CornersOf(whole, int(m))) : 0;
    }
    std::free(range);
    std::free(low);
    std::free(high);
    if (split)
        l.pieces = pieces;
    else
        OneCall(l);
}

// A corner at a crowded position: what the generator welds it by besides its position.
struct Crowded {
    uint32_t id;       // the position's
    uint32_t bits[5];  // its normal and texture coordinates
    uint32_t slot;     // face * 4 + corner
    bool operator<(const Crowded& o) const
    {
        return id != o.id ? id < o.id : std::lexicographical_compare(bits, bits + 5, o.bits, o.bits + 5);
    }
};

// How far the generator's view of each face corner (4 a face) is nudged, or null when
// no position is crowded (nothing changes) or memory runs out (it then takes its time).
// At a crowded position, the corners of every RUN_FACES-th face that are not there get
// their normals nudged: the faces around it then form runs of at most that many, which
// the generator does not join. Where the position has more than CROWD_FACES distinct
// normals and texture coordinates, each run of RUN_FACES of them is moved one unit in
// the last place more than the one before, along the axis where the position is
// nearest 0, so that the welding compares few at a time. Both change the generator's
// sums by about what rounding does.
uint16_t* CrowdNudges(const MeshSurface& s, const uint32_t* ids, const Layout& l)
{
    const Context whole = WholeLayout(s, l);
    auto* faces = static_cast<uint32_t*>(std::calloc(size_t(s.position_count) + 1, sizeof(uint32_t)));
    const auto id_of = [&](uint32_t m, int k) { return PositionId(s, ids, CornerOf(whole, int(m), k)); };
    bool crowded = false;
    for (uint32_t m = 0; faces && m < l.face_count; ++m)
        for (int k = 0; k < CornersOf(whole, int(m)); ++k)
            crowded = ++faces[id_of(m, k)] > CROWD_FACES || crowded;
    auto* seen = crowded ? static_cast<uint32_t*>(std::calloc(size_t(s.position_count) + 1, sizeof(uint32_t))) : nullptr;
    auto* nudges = seen ? static_cast<uint16_t*>(std::calloc(size_t(l.face_count) * 4, sizeof(uint16_t))) : nullptr;
    std::vector<Crowded> corners;
    if (nudges) {
        for (uint32_t m = 0; m < l.face_count; ++m) {
            const int n = CornersOf(whole, int(m));
            for (int k = 0; k < n; ++k) {
                const uint32_t id = id_of(m, k);
                if (faces[id] <= CROWD_FACES)
                    continue;
                if (++seen[id] % RUN_FACES == 0)  // a face ending a run: apart from its neighbours
                    for (int other = 0; other < n; ++other)
                        if (other != k && faces[id_of(m, other)] <= CROWD_FACES)
                            nudges[size_t(m) * 4 + size_t(other)] |= NUDGE_NORMAL;
                Crowded c{id, {}, m * 4 + uint32_t(k)};
                const uint32_t corner = CornerOf(whole, int(m), k);
                const Vec3 normal = NormalOf(whole, corner);
                float t[2];
                TexCoordOf(s, corner, t);
                const float values[5] = {normal.x, normal.y, normal.z, t[0], t[1]};
                for (int i = 0; i < 5; ++i)
                    c.bits[i] = Bits(values[i]);
                corners.push_back(c);
            }
        }
    }
    std::sort(corners.begin(), corners.end());
    for (size_t i = 0; i < corners.size();) {
        size_t j = i, distinct = 0;
        for (; j < corners.size() && corners[j].id == corners[i].id; ++j)
            distinct += j == i || corners[j - 1] < corners[j];
        // Along the axis where the position is nearest 0, where units in the last place are smallest.
        const Vec3 p = Position(s, CornerOf(whole, int(corners[i].slot / 4), int(corners[i].slot % 4)));
        const float size[3] = {std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)};
        const int smallest = size[0] <= size[1] && size[0] <= size[2] ? 0 : size[1] <= size[2] ? 1 : 2;
        const uint16_t axis = uint16_t(smallest << NUDGE_AXIS_SHIFT);
        for (size_t rank = 0; distinct > CROWD_FACES && i < j; ++i) {
            rank += i > 0 && corners[i - 1].id == corners[i].id && corners[i - 1] < corners[i];
            nudges[corners[i].slot] |= uint16_t(std::min<size_t>(rank / RUN_FACES, NUDGE_ULPS)) | axis;
        }
        i = j;
    }
    std::free(faces);
    std::free(seen);
    return nudges;
}

// Sets the records of a face the generator is not given to the zero frame.
void ZeroFrames(FrameTable& made, uint32_t record, uint32_t count)
{
    const uint32_t records = uint32_t(std::max(made.records, 0));
    if (record < records)
        std::memset(made.corners + size_t(record) * 3, 0, size_t(std::min(count, records - record)) * 3 * sizeof(uint32_t));
}

// The generator's faces of one layout and the normals it is given; its frame table,
// with the records no face gives, and those of faces whose values are unusable, set to
// the zero frame (counted in skipped_faces).
void Prepare(const MeshSurface& s, int32_t records, uint32_t piece_faces, Layout& l)
{
    uint32_t mikk_faces = 0, face_records = 0;
    size_t missing = 0;  // corners without a normal
    auto* usable = static_cast<uint8_t*>(std::malloc(std::max<size_t>(s.face_count, 1)));
    for (uint32_t f = 0; usable && f < s.face_count; ++f) {
        const uint32_t n = s.face_start[f + 1] - s.face_start[f];
        usable[f] = UsableFace(s, f);
        mikk_faces += !usable[f] ? 0 : n <= 4 ? 1 : n - 2;
        face_records += n - 2;
        for (uint32_t corner = s.face_start[f]; corner < s.face_start[f + 1]; ++corner)
            missing += !HasNormal(s, corner);
    }
    const uint32_t corners = s.face_count ? s.face_start[s.face_count] : 0;
    l = Layout{};
    // Room for every corner's frame, though most are shared. From the C heap, in small
    // pages: those no call writes are never touched. Entry 0 is the zero frame.
    l.made.records = records;
    l.made.frame_room = size_t(MikkCorners(s)) + 1;
    l.made.frames = static_cast<CornerFrame*>(std::calloc(l.made.frame_room, sizeof(CornerFrame)));
    l.made.corners = static_cast<uint32_t*>(LargeResize(nullptr, 0, CornerBytes(records)));
    l.faces = static_cast<MikkFace*>(std::malloc(std::max<size_t>(mikk_faces, 1) * sizeof(MikkFace)));
    l.normals = missing ? static_cast<Vec3*>(std::malloc(corners * sizeof(Vec3))) : nullptr;
    l.ready = usable && l.made.frames && l.made.corners && l.faces && (l.normals || !missing) &&
              (!l.normals || MakeCornerNormals(s, usable, l.normals));
    l.pieces = 1;
    if (l.ready) {
        if (uint32_t(std::max(records, 0)) > face_records)  // records no face gives keep the zero frame
            ZeroFrames(l.made, face_records, uint32_t(records) - face_records);
        uint32_t m = 0, record = 0;
        for (uint32_t f = 0; f < s.face_count; ++f) {
            const uint32_t n = s.face_start[f + 1] - s.face_start[f];
            if (!usable[f] || !UsableNormals(s, l.normals, f)) {
                ZeroFrames(l.made, record, n - 2);
                ++l.made.skipped_faces;
            } else if (n <= 4) {
                l.faces[m++] = MikkFace{f, record, -1};
            } else {
                for (uint32_t k = 0; k < n - 2; ++k)
                    l.faces[m++] = MikkFace{f, record + k, int32_t(k)};
            }
            record += n - 2;
        }
        l.face_count = m;
        l.piece_faces = m;
        // Positions equal by value, as the generator welds them; without them (memory)
        // the layout goes in one call, crowded or not.
        uint32_t* ids = SamePositions(s);
        l.nudges = ids ? CrowdNudges(s, ids, l) : nullptr;
        if (piece_faces > 0 && m > piece_faces) {
            l.piece_faces = piece_faces;
            if (ids)
                SplitIntoPieces(s, ids, l);
            else
                OneCall(l);
        }
        std::free(ids);
    }
    std::free(usable);
}

// A piece's corner values, copied out for the generator; false when memory runs out.
bool CopyValues(const Context& whole, Context& piece, uint32_t** first_value, float** values)
{
    *first_value = static_cast<uint32_t*>(std::malloc((size_t(piece.member_count) + 1) * sizeof(uint32_t)));
    if (!*first_value)
        return false;
    uint32_t corners = 0;
    for (uint32_t i = 0; i < piece.member_count; ++i) {
        (*first_value)[i] = corners;
        corners += uint32_t(CornersOf(whole, int(piece.members[i])));
    }
    (*first_value)[piece.member_count] = corners;
    *values = static_cast<float*>(std::malloc(size_t(corners) * VALUES * sizeof(float)));
    if (!*values)
        return false;
    float* out = *values;
    for (uint32_t i = 0; i < piece.member_count; ++i) {
        const int face = int(piece.members[i]);
        for (int k = 0; k < CornersOf(whole, face); ++k, out += VALUES) {
            const uint32_t corner = CornerOf(whole, face, k);
            const Vec3 p = GeneratorPosition(whole, face, k), n = GeneratorNormal(whole, face, k);
            const float copied[6] = {p.x, p.y, p.z, n.x, n.y, n.z};
            std::memcpy(out, copied, sizeof copied);
            TexCoordOf(*whole.surface, corner, out + 6);
        }
    }
    piece.first_value = *first_value;
    piece.values = *values;
    return true;
}

enum class Piece { MADE, UNSOUND, NO_MEMORY };

// One call of the generator: a piece of the layout, or all of it. A piece with an
// unsound face of its own is not made: the layout then goes in one call.
Piece MakePiece(const MeshSurface& s, const Layout& l, uint32_t piece)
{
    const Context whole = WholeLayout(s, l);
    Context context = whole;
    uint32_t* first_value = nullptr;
    float* values = nullptr;
    FrameSink sink{1, nullptr, 0};
    size_t room = l.made.frame_room - 1;
    Piece made = Piece::MADE;
    if (l.members) {
        context.members = l.members + l.member_start[piece];
        context.member_count = uint32_t(l.member_start[piece + 1] - l.member_start[piece]);
        context.core_begin = piece * l.piece_faces;
        context.core_end = std::min(l.face_count, context.core_begin + l.piece_faces);
        sink.next = l.frame_start[piece];
        room = l.frame_start[piece + 1] - l.frame_start[piece];
        if (!CopyValues(whole, context, &first_value, &values))
            made = Piece::NO_MEMORY;
        for (uint32_t i = 0; made == Piece::MADE && i < context.member_count; ++i)
            if (context.members[i] >= context.core_begin && context.members[i] < context.core_end &&
                !SoundFace(context, int(i)))
                made = Piece::UNSOUND;
    }
    size_t slots = 2;
    while (slots < 2 * room)
        slots *= 2;
    sink.mask = slots - 1;
    sink.slots = made == Piece::MADE ? static_cast<uint32_t*>(std::calloc(slots, sizeof(uint32_t))) : nullptr;
    context.sink = &sink;
    if (made == Piece::MADE && !sink.slots)
        made = Piece::NO_MEMORY;
    if (made == Piece::MADE && context.member_count > 0) {
        SMikkTSpaceInterface callbacks{};
        callbacks.m_getNumFaces = FaceCount;
        callbacks.m_getNumVerticesOfFace = CornerCount;
        callbacks.m_getPosition = GetPosition;
        callbacks.m_getNormal = GetNormal;
        callbacks.m_getTexCoord = GetTexCoord;
        callbacks.m_setTSpaceBasic = SetFrame;
        SMikkTSpaceContext mikk{&callbacks, &context};
        made = genTangSpaceDefault(&mikk) ? Piece::MADE : Piece::NO_MEMORY;
    }
    std::free(sink.slots);
    std::free(first_value);
    std::free(values);
    return made;
}

// Makes every call of the layouts marked in `pending` on every worker, the whole layouts
// first as the longest calls. A layout one of whose pieces is unsound stays marked, set
// to go in one call; the others are unmarked. False when memory runs out.
bool MakeCalls(const MeshSurface surfaces[], std::vector<Layout>& work, std::vector<char>& pending, int threads)
{
    std::vector<std::pair<size_t, uint32_t>> jobs;
    for (int pass = 0; pass < 2; ++pass)
        for (size_t i = 0; i < work.size(); ++i)
            for (uint32_t p = 0; pending[i] && (work[i].pieces == 1) == (pass == 0) && p < work[i].pieces; ++p)
                jobs.emplace_back(i, p);
    std::vector<std::atomic<bool>> unsound(work.size());
    std::atomic<bool> memory{true};
    ParallelFor(threads, int64_t(jobs.size()), [&](int64_t j, int) {
        const size_t i = jobs[size_t(j)].first;
        if (unsound[i] || !memory)
            return;
        const Piece made = MakePiece(surfaces[i], work[i], jobs[size_t(j)].second);
        if (made == Piece::UNSOUND)
            unsound[i] = true;
        if (made == Piece::NO_MEMORY)
            memory = false;
    });
    for (size_t i = 0; i < work.size(); ++i) {
        pending[i] = unsound[i];
        if (unsound[i])
            OneCall(work[i]);
    }
    return memory;
}

}  // namespace

uint32_t FramePieceFaces(int64_t faces, int threads)
{
    return uint32_t(std::clamp<int64_t>(faces / (std::max(threads, 1) * 4), 4096, 32768));
}

bool MakeFrames(const MeshSurface surfaces[], const int32_t records[], int layouts, uint32_t piece_faces,
                int threads, FrameTable frames[], int* calls)
{
    std::vector<Layout> work(size_t(std::max(layouts, 0)));
    ParallelFor(threads, layouts, [&](int64_t i, int) { Prepare(surfaces[i], records[i], piece_faces, work[size_t(i)]); });
    std::vector<char> pending(work.size(), 1);
    // The second round makes the layouts found unsound in the first, in one call each.
    const bool all = std::all_of(work.begin(), work.end(), [](const Layout& l) { return l.ready; }) &&
                     MakeCalls(surfaces, work, pending, threads) &&
                     MakeCalls(surfaces, work, pending, threads);
    if (calls)
        *calls = 0;
    for (int i = 0; i < layouts; ++i) {
        if (calls)
            *calls += int(work[size_t(i)].pieces);
        Layout& l = work[size_t(i)];
        std::free(l.faces);
        std::free(l.normals);
        std::free(l.nudges);
        OneCall(l);
        if (all)
            frames[i] = l.made;
        else
            FreeFrames(&l.made);
    }
    return all;
}

void FreeFrames(FrameTable* frames)
{
    std::free(frames->frames);
    LargeFree(frames->corners, CornerBytes(frames->records));
    *frames = FrameTable{};
}
