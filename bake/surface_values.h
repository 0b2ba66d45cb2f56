// What the tangent generator is given of one file's surface: each face corner's
// position, texture coordinates and normal (the file's, or one made for it), whether a
// face's values are usable at all, and which positions are equal by value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "assets/mesh_pair.h"

struct Vec3 {
    float x, y, z;
};

Vec3 Sub(Vec3 a, Vec3 b);
float Dot(Vec3 a, Vec3 b);
Vec3 Normalized(Vec3 v);  // zero stays zero

// The corner's position; the origin where it has none. Inline: the comparisons of two
// files' places call it for every corner.
inline Vec3 Position(const MeshSurface& s, uint32_t corner)
{
    const uint32_t n = s.corners[corner * 3];
    if (n == 0 || n > s.position_count)
        return {0, 0, 0};
    const float* p = s.positions + size_t(n - 1) * 3;
    return {p[0], p[1], p[2]};
}
// The file's own (u, v) (v not flipped), or (0, 0) where the corner has none.
void TexCoordOf(const MeshSurface& s, uint32_t corner, float out[2]);
// Whether the corner has a normal of its own in the file.
bool HasNormal(const MeshSurface& s, uint32_t corner);

// Whether every value the face would hand the generator is finite and of a size its
// arithmetic holds: positions, texture coordinates and the file's own normals.
bool UsableFace(const MeshSurface& s, uint32_t face);
// The normal of every face corner without one of its own (`normals` has room for all
// corners): the face's where smoothing is off, or else the corner-angle-weighted sum of
// the face normals around its position within its smoothing group; faces not `usable`
// take no part. False when memory runs out.
bool MakeCornerNormals(const MeshSurface& s, const uint8_t* usable, Vec3* normals);
// Whether the normals made for the face's corners are usable too (null: none made).
bool UsableNormals(const MeshSurface& s, const Vec3* normals, uint32_t face);

// A value's bits, -0 as +0: the generator compares values, not bits.
uint32_t Bits(float value);
// For every position, the number of the first position of equal value; the last entry
// stands for the corners without a position. Null when memory runs out.
uint32_t* SamePositions(const MeshSurface& s);
