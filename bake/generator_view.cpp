// The generator's view of a layout's faces: corners of fanned faces, values as given,
// and the generator's own test of a sound triangle.
#include "bake/generator_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "assets/large_block.h"

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

int CornersOf(const Context& c, int face)
{
    if (c.values)
        return int(c.first_value[face + 1] - c.first_value[face]);
    const MikkFace& f = c.faces[FaceIndex(c, face)];
    return f.fan < 0 ? int(c.surface->face_start[f.face + 1] - c.surface->face_start[f.face]) : 3;
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
static float Nudged(float value, uint32_t units)
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
    const uint32_t nudge = c.nudges ? c.nudges[size_t(FaceIndex(c, face)) * 4 + size_t(vert)] : 0;
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

// Whether the generator takes the triangle as a sound one: three distinct positions, and
// a texture area and tangents that do not vanish. Computed as the generator computes
// them, with a wide margin on its thresholds.
static bool SoundTriangle(const Vec3& p0, const Vec3& p1, const Vec3& p2, const float* t0, const float* t1, const float* t2)
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

// The VALUES the generator is given for a corner: position, normal, texture coordinates.
void GeneratorValues(const Context& c, int face, int vert, float out[VALUES])
{
    if (c.values) {
        std::memcpy(out, Copied(c, face, vert, 0), VALUES * sizeof(float));
        return;
    }
    const Vec3 p = GeneratorPosition(c, face, vert), n = GeneratorNormal(c, face, vert);
    const float given[6] = {p.x, p.y, p.z, n.x, n.y, n.z};
    std::memcpy(out, given, sizeof given);
    TexCoordOf(*c.surface, CornerOf(c, face, vert), out + 6);
}

// Whether a face is sound whichever way the generator splits it, with finite values at
// every corner.
bool SoundFace(const Context& c, int face)
{
    Vec3 p[4];
    float values[4][VALUES];
    const float* t[4];
    const int n = CornersOf(c, face);
    if (n < 3 || n > 4)
        return false;  // never handed over: larger faces go fanned, smaller ones are not kept
    for (int k = 0; k < n; ++k) {
        GeneratorValues(c, face, k, values[k]);
        for (int i = 0; i < VALUES; ++i)
            if (!std::isfinite(values[k][i]))
                return false;
        p[k] = {values[k][0], values[k][1], values[k][2]};
        t[k] = values[k] + 6;
    }
    if (n == 3)
        return SoundTriangle(p[0], p[1], p[2], t[0], t[1], t[2]);
    return SoundTriangle(p[0], p[1], p[2], t[0], t[1], t[2]) && SoundTriangle(p[0], p[2], p[3], t[0], t[2], t[3]) &&
           SoundTriangle(p[0], p[1], p[3], t[0], t[1], t[3]) && SoundTriangle(p[1], p[2], p[3], t[1], t[2], t[3]);
}

// The corner's position by value (SamePositions' `ids`), corners without one as one more.
uint32_t PositionId(const MeshSurface& s, const uint32_t* ids, uint32_t corner)
{
    const uint32_t n = s.corners[corner * 3];
    return ids[n == 0 || n > s.position_count ? s.position_count : n - 1];
}

uint32_t* SlotPositions(const MeshSurface& s, const uint32_t* ids, const Context& c)
{
    auto* slots = static_cast<uint32_t*>(LargeResize(nullptr, 0, std::max<size_t>(c.member_count, 1) * 4 * sizeof(uint32_t)));
    for (uint32_t m = 0; slots && m < c.member_count; ++m)
        for (int k = 0; k < CornersOf(c, int(m)); ++k)
            slots[size_t(m) * 4 + size_t(k)] = PositionId(s, ids, CornerOf(c, int(m), k));
    return slots;
}

void FreeSlotPositions(uint32_t* slots, const Context& c)
{
    LargeFree(slots, std::max<size_t>(c.member_count, 1) * 4 * sizeof(uint32_t));
}
