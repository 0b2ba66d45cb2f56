// Tangent frames through the reference MikkTSpace generator: the file's faces are
// handed over as they stand, and what it gives each face corner is written to every
// record corner that corner became.
#include "bake/tangent_frames.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "assets/large_block.h"

extern "C" {
#include "mikktspace.h"
}

namespace {

struct Vec3 {
    float x, y, z;
};

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

// One face as MikkTSpace sees it: a whole face of three or four corners, or one fanned
// triangle of a larger face.
struct MikkFace {
    uint32_t face;    // the file's face
    uint32_t first;   // its first record
    int32_t fan;      // which fanned triangle, or -1 for the whole face
};

struct Context {
    const MeshSurface* surface;
    MikkFace* faces;
    uint32_t face_count;
    Vec3* normals;    // per face corner, for corners without a normal of their own
    FrameTable* frames;
};

const Context& Of(const SMikkTSpaceContext* context)
{
    return *static_cast<const Context*>(context->m_pUserData);
}

// The face corner that MikkTSpace's vertex `vert` of face `face` is.
uint32_t CornerOf(const Context& c, int face, int vert)
{
    const MikkFace& f = c.faces[face];
    const uint32_t start = c.surface->face_start[f.face];
    if (f.fan < 0)
        return start + uint32_t(vert);
    return start + (vert == 0 ? 0u : uint32_t(f.fan + vert));
}

Vec3 Position(const MeshSurface& s, uint32_t corner)
{
    const uint32_t n = s.corners[corner * 3];
    if (n == 0 || n > s.position_count)
        return {0, 0, 0};
    const float* p = s.positions + size_t(n - 1) * 3;
    return {p[0], p[1], p[2]};
}

int FaceCount(const SMikkTSpaceContext* context)
{
    return int(Of(context).face_count);
}

int CornerCount(const SMikkTSpaceContext* context, const int face)
{
    const Context& c = Of(context);
    const MikkFace& f = c.faces[face];
    return f.fan < 0 ? int(c.surface->face_start[f.face + 1] - c.surface->face_start[f.face]) : 3;
}

void GetPosition(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    const Context& c = Of(context);
    const Vec3 p = Position(*c.surface, CornerOf(c, face, vert));
    out[0] = p.x;
    out[1] = p.y;
    out[2] = p.z;
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

void GetNormal(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    const Vec3 n = NormalOf(Of(context), CornerOf(Of(context), face, vert));
    out[0] = n.x;
    out[1] = n.y;
    out[2] = n.z;
}

// The file's own (u, v): MikkTSpace's bitangent then runs along the file's +v.
void GetTexCoord(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    const Context& c = Of(context);
    const MeshSurface& s = *c.surface;
    const uint32_t n = s.corners[CornerOf(c, face, vert) * 3 + 1];
    const TexCoord t = n == 0 || n > s.texcoord_count ? TexCoord{0, 1} : s.texcoords[n - 1];
    out[0] = t.u;
    out[1] = 1.0f - t.v;
}

void Store(const Context& c, uint32_t record, int slot, const CornerFrame& frame)
{
    if (record < uint32_t(c.frames->records))
        c.frames->corners[size_t(record) * 3 + size_t(slot)] = frame;
}

// Writes the frame of a face corner to every record corner it became: corner 0 of a
// face is corner 0 of all its records; corner j > 0 is corner 1 of record j - 1 and
// corner 2 of record j - 2.
void SetFrame(const SMikkTSpaceContext* context, const float tangent[], const float sign, const int face,
              const int vert)
{
    const Context& c = Of(context);
    const MikkFace& f = c.faces[face];
    const Vec3 n = NormalOf(c, CornerOf(c, face, vert));
    const CornerFrame frame{{tangent[0], tangent[1], tangent[2]}, sign, {n.x, n.y, n.z}};
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

// A corner to be smoothed, by the position and the smoothing group it belongs to.
struct Smoothed {
    uint64_t key;  // group << 32 | position
    uint32_t corner;
    bool operator<(const Smoothed& other) const
    {
        return key != other.key ? key < other.key : corner < other.corner;
    }
};

bool HasNormal(const MeshSurface& s, uint32_t corner)
{
    const uint32_t given = s.corners[corner * 3 + 2];
    return given != 0 && given <= s.normal_count;
}

// Whether the corner's normal is smoothed: no normal of its own, a smoothing group, a
// position.
bool Smooths(const MeshSurface& s, uint32_t face, uint32_t corner)
{
    const uint32_t position = s.corners[corner * 3];
    return !HasNormal(s, corner) && s.smoothing[face] != 0 && position != 0 && position <= s.position_count;
}

// The normal of every face corner without one of its own: the face's where smoothing is
// off, or else the corner-angle-weighted sum of the face normals around its position
// within its smoothing group. `order` has room for every smoothed corner.
void CornerNormals(const MeshSurface& s, Vec3* normals, Smoothed* order)
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
            if (!Smooths(s, f, corner))
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

}  // namespace

bool MakeFrames(const MeshSurface& s, int32_t records, FrameTable* frames)
{
    uint32_t mikk_faces = 0, face_records = 0;
    size_t missing = 0, smoothed = 0;  // corners without a normal, and of those the smoothed
    for (uint32_t f = 0; f < s.face_count; ++f) {
        const uint32_t n = s.face_start[f + 1] - s.face_start[f];
        mikk_faces += n <= 4 ? 1 : n - 2;
        face_records += n - 2;
        for (uint32_t corner = s.face_start[f]; corner < s.face_start[f + 1]; ++corner) {
            missing += !HasNormal(s, corner);
            smoothed += Smooths(s, f, corner);
        }
    }
    const uint32_t corners = s.face_count ? s.face_start[s.face_count] : 0;
    const size_t frame_bytes = std::max<size_t>(size_t(std::max(records, 0)) * 3 * sizeof(CornerFrame), 1);
    // Pages the generator does not write stay untouched until then: its own peak comes first.
    FrameTable made{static_cast<CornerFrame*>(LargeResize(nullptr, 0, frame_bytes)), records};
    auto* faces = static_cast<MikkFace*>(std::malloc(std::max<size_t>(mikk_faces, 1) * sizeof(MikkFace)));
    auto* normals = missing ? static_cast<Vec3*>(std::malloc(corners * sizeof(Vec3))) : nullptr;
    auto* order = smoothed ? static_cast<Smoothed*>(std::malloc(smoothed * sizeof(Smoothed))) : nullptr;
    bool made_all = made.corners && faces && (normals || !missing) && (order || !smoothed);
    if (made_all) {
        if (uint32_t(std::max(records, 0)) > face_records)  // records no face gives keep zero frames
            std::memset(made.corners + size_t(face_records) * 3, 0,
                        (size_t(records) - face_records) * 3 * sizeof(CornerFrame));
        uint32_t m = 0, record = 0;
        for (uint32_t f = 0; f < s.face_count; ++f) {
            const uint32_t n = s.face_start[f + 1] - s.face_start[f];
            if (n <= 4)
                faces[m++] = MikkFace{f, record, -1};
            for (uint32_t k = 0; n > 4 && k < n - 2; ++k)
                faces[m++] = MikkFace{f, record + k, int32_t(k)};
            record += n - 2;
        }
        if (normals)
            CornerNormals(s, normals, order);
        Context context{&s, faces, mikk_faces, normals, &made};
        SMikkTSpaceInterface callbacks{};
        callbacks.m_getNumFaces = FaceCount;
        callbacks.m_getNumVerticesOfFace = CornerCount;
        callbacks.m_getPosition = GetPosition;
        callbacks.m_getNormal = GetNormal;
        callbacks.m_getTexCoord = GetTexCoord;
        callbacks.m_setTSpaceBasic = SetFrame;
        SMikkTSpaceContext mikk{&callbacks, &context};
        made_all = mikk_faces == 0 || genTangSpaceDefault(&mikk);
    }
    std::free(faces);
    std::free(normals);
    std::free(order);
    if (!made_all) {
        LargeFree(made.corners, frame_bytes);
        return false;
    }
    *frames = made;
    return true;
}

void FreeFrames(FrameTable* frames)
{
    LargeFree(frames->corners, std::max<size_t>(size_t(std::max(frames->records, 0)) * 3 * sizeof(CornerFrame), 1));
    *frames = FrameTable{};
}
