// A surface's values as the tangent generator is given them.
#include "bake/surface_values.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

Vec3 Sub(Vec3 a, Vec3 b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

float Dot(Vec3 a, Vec3 b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vec3 Normalized(Vec3 v)
{
    const float length = std::sqrt(Dot(v, v));
    return length > 0 ? Vec3{v.x / length, v.y / length, v.z / length} : Vec3{0, 0, 0};
}

// The file's own (u, v): MikkTSpace's bitangent then runs along the file's +v.
void TexCoordOf(const MeshSurface& s, uint32_t corner, float out[2])
{
    const uint32_t n = s.corners[corner * 3 + 1];
    const TexCoord t = n == 0 || n > s.texcoord_count ? TexCoord{0, 1} : s.texcoords[n - 1];
    out[0] = t.u;
    out[1] = 1.0f - t.v;
}

// A corner to be smoothed, by the position and the smoothing group it belongs to.
namespace {

struct Smoothed {
    uint64_t key;  // group << 32 | position
    uint32_t corner;
    bool operator<(const Smoothed& other) const
    {
        return key != other.key ? key < other.key : corner < other.corner;
    }
};

}  // namespace

bool HasNormal(const MeshSurface& s, uint32_t corner)
{
    const uint32_t given = s.corners[corner * 3 + 2];
    return given != 0 && given <= s.normal_count;
}

// Whether the corner's normal is smoothed: no normal of its own, a smoothing group, a
// position, and a face of usable values.
static bool Smooths(const MeshSurface& s, const uint8_t* usable, uint32_t face, uint32_t corner)
{
    const uint32_t position = s.corners[corner * 3];
    return usable[face] && !HasNormal(s, corner) && s.smoothing[face] != 0 && position != 0 &&
           position <= s.position_count;
}

// Values past this are as unusable to the generator as values that are not finite: its
// sums of their products would overflow single precision.
static constexpr float LARGEST_VALUE = 1e18f;

static bool Usable(const float* values, int count)
{
    for (int i = 0; i < count; ++i)
        if (!(std::fabs(values[i]) <= LARGEST_VALUE))
            return false;
    return true;
}

// Whether every value the face would hand the generator is finite and of a size its
// arithmetic holds: positions, texture coordinates and the file's own normals. The
// generator loops or recurses without end on a value that is not finite.
bool UsableFace(const MeshSurface& s, uint32_t face)
{
    for (uint32_t corner = s.face_start[face]; corner < s.face_start[face + 1]; ++corner) {
        const Vec3 p = Position(s, corner);
        float t[2];
        TexCoordOf(s, corner, t);
        const uint32_t n = s.corners[corner * 3 + 2];
        if (!Usable(&p.x, 1) || !Usable(&p.y, 1) || !Usable(&p.z, 1) || !Usable(t, 2) ||
            (HasNormal(s, corner) && !Usable(s.normals + size_t(n - 1) * 3, 3)))
            return false;
    }
    return true;
}

// The normal of every face corner without one of its own: the face's where smoothing is
// off, or else the corner-angle-weighted sum of the face normals around its position
// within its smoothing group; faces of unusable values take no part. `order` has room
// for every smoothed corner.
static void SmoothNormals(const MeshSurface& s, const uint8_t* usable, Vec3* normals, Smoothed* order)
{
    size_t smoothed = 0;
    for (uint32_t f = 0; f < s.face_count; ++f) {
        const uint32_t start = s.face_start[f], n = s.face_start[f + 1] - start;
        Vec3 face{0, 0, 0};  // Newell's normal: right for any plane polygon
        for (uint32_t k = 0; k < n; ++k) {
            const Vec3 a = Position(s, start + k), b = Position(s, start + (k + 1) % n);
            face = {face.x + (a.y - b.y) * (a.z + b.z), face.y + (a.z - b.z) * (a.x + b.x),
                    face.z + (a.x - b.x) * (a.y + b.y)};
        }
        face = Normalized(face);
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t corner = start + k;
            normals[corner] = face;
            if (!Smooths(s, usable, f, corner))
                continue;
            // Weighted by the corner's angle, then summed below per position and group.
            const Vec3 here = Position(s, corner), next = Position(s, start + (k + 1) % n),
                       previous = Position(s, start + (k + n - 1) % n);
            const float cosine = Dot(Normalized(Sub(next, here)), Normalized(Sub(previous, here)));
            const float angle = std::acos(std::clamp(cosine, -1.0f, 1.0f));
            normals[corner] = {face.x * angle, face.y * angle, face.z * angle};
            order[smoothed++] = Smoothed{uint64_t(s.smoothing[f]) << 32 | s.corners[corner * 3], corner};
        }
    }
    std::sort(order, order + smoothed);
    for (size_t i = 0; i < smoothed;) {
        size_t j = i;
        Vec3 sum{0, 0, 0};
        for (; j < smoothed && order[j].key == order[i].key; ++j) {
            const Vec3 n = normals[order[j].corner];
            sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
        }
        for (const Vec3 smooth = Normalized(sum); i < j; ++i)
            normals[order[i].corner] = smooth;
    }
}

bool MakeCornerNormals(const MeshSurface& s, const uint8_t* usable, Vec3* normals)
{
    size_t smoothed = 0;
    for (uint32_t f = 0; f < s.face_count; ++f)
        for (uint32_t corner = s.face_start[f]; corner < s.face_start[f + 1]; ++corner)
            smoothed += Smooths(s, usable, f, corner);
    auto* order = smoothed ? static_cast<Smoothed*>(std::malloc(smoothed * sizeof(Smoothed))) : nullptr;
    if (smoothed && !order)
        return false;
    SmoothNormals(s, usable, normals, order);
    std::free(order);
    return true;
}

// Whether the normals made for the face are usable too; a face's values can be, and
// their sums not.
bool UsableNormals(const MeshSurface& s, const Vec3* normals, uint32_t face)
{
    for (uint32_t corner = s.face_start[face]; normals && corner < s.face_start[face + 1]; ++corner)
        if (!HasNormal(s, corner) && !Usable(&normals[corner].x, 3))
            return false;
    return true;
}

uint32_t Bits(float value)
{
    const float canonical = value + 0.0f;  // -0 and +0 are one value to the generator
    uint32_t bits;
    std::memcpy(&bits, &canonical, sizeof bits);
    return bits;
}

// For every position, the number of the first position of equal value, the generator
// welding by value; the last entry stands for the corners without a position, which
// are at the origin. Null when memory runs out.
uint32_t* SamePositions(const MeshSurface& s)
{
    const size_t count = size_t(s.position_count) + 1;
    int shift = 63;  // the slot is a hash's top bits: positions on a grid differ only in their high bits
    while ((size_t(1) << (64 - shift)) < 2 * count)
        --shift;
    const size_t capacity = size_t(1) << (64 - shift);
    auto* slots = static_cast<uint32_t*>(std::calloc(capacity, sizeof(uint32_t)));  // 1 + the position
    auto* ids = static_cast<uint32_t*>(std::malloc(count * sizeof(uint32_t)));
    const auto bits = [&](size_t i, int axis) {
        return i + 1 < count ? Bits(s.positions[i * 3 + size_t(axis)]) : Bits(0.0f);
    };
    for (size_t i = 0; slots && ids && i < count; ++i) {
        const uint32_t x = bits(i, 0), y = bits(i, 1), z = bits(i, 2);
        const uint64_t key = (uint64_t(x) << 32 | y) * 0x9E3779B97F4A7C15u ^ z * 0xC2B2AE3D27D4EB4Fu;
        size_t slot = size_t((key ^ key >> 31) * 0x94D049BB133111EBu >> shift);
        for (;; slot = (slot + 1) & (capacity - 1)) {
            const uint32_t other = slots[slot];
            if (other == 0) {
                slots[slot] = uint32_t(i) + 1;
                ids[i] = uint32_t(i);
                break;
            }
            if (bits(other - 1, 0) == x && bits(other - 1, 1) == y && bits(other - 1, 2) == z) {
                ids[i] = other - 1;
                break;
            }
        }
    }
    std::free(slots);
    if (!slots) {
        std::free(ids);
        return nullptr;
    }
    return ids;
}

