// Where a target sample takes its source from. Two files that list the same faces (up
// to one rigid motion and uniform scale of the whole model) are paired face by face;
// other pairs by rays cast from the target surface onto the source: the nearest hit,
// front or back, ahead of a start moved out along the target's normal, within a reach.
#pragma once

#include <cstdint>
#include <string>

#include "assets/mesh_pair.h"
#include "bake/rays.h"

enum class Faces {
    DIFFERENT,  // other face counts, or other corner counts
    MOVED,      // as many faces of as many corners, not in the same places
    SAME,       // the same faces, up to one rigid motion and uniform scale (or no positions)
};

// How the two files' faces compare, on `threads` workers; *why says how, in one short phrase.
Faces CompareFaces(const MeshSurface& source, const MeshSurface& target, int threads, std::string* why);

// The triangles the file's faces give, fanned.
uint32_t FannedTriangles(const MeshSurface& s);

// The diagonal of the box around the file's positions.
double ModelSize(const MeshSurface& s);

// For files that list the same faces in other places (turned, scaled or posed): per
// fanned triangle, the 3 x 3 matrix (rows first) that takes a normal in the source's
// space to the target's, the inverse transpose of the linear map that takes the source
// triangle's two edges and normal to the target's. *turns is left null where every
// corner is in the same place (the identity). False when memory runs out.
bool FaceTurns(const MeshSurface& source, const MeshSurface& target, double** turns);

struct SurfaceTransfer {
    RayScene scene;           // over the source's triangles (those with texture coordinates)
    float* source_corners;    // 9 per source triangle, in the scene's order
    TexCoord* source_uv;      // 3 per source triangle, as the table holds them, in the
                              // rays' leaf order (RayHit.slot)
    uint32_t source_triangles;
    float* target_positions;  // the target file's positions, 3 each
    uint32_t target_position_count;
    float* target_normals;    // unit normals, 3 each: the file's, then those made for corners
    size_t target_normal_count;
    uint32_t* target_corners; // 6 per target triangle: position numbers (1-based), then normals'
    uint32_t target_triangles;
    double offset;            // the ray's start, out along the target normal
    double reach;             // how far past its start a hit may be
};

// A source point for a target sample: its triangle, barycentric weights and texture
// coordinates (in the table's terms: v is 1 - the file's).
struct SourcePoint {
    uint32_t triangle;
    double weights[3];
    double u, v;
};

// In two steps, so that each surface can go once it is read: the source's triangles
// (the source surface is released as soon as they are copied) and the rays' scene over
// them (the table, which paired faces, is emptied), then the target's places and
// normals, and the table refilled with the target's own triangles, which the drawing
// places. The blocks the source's step frees are kept for its scene and the target's
// places (LargeKeepFreed), and released by the target's step, or by the source's when
// it fails. False when memory runs out; FreeSurfaceTransfer then.
bool PrepareSurfaceSource(MeshSurface* source, int threads, SurfaceTransfer* transfer);
bool PrepareSurfaceTarget(const MeshSurface& target, int threads, SurfaceTransfer* transfer);
void FreeSurfaceTransfer(SurfaceTransfer* transfer);

// The bounds a worker last found a start for, and that start, which serves every
// triangle whose bounds lie within them (the two triangles of a quad often share theirs).
struct RaysStartCache {
    double lo[3], hi[3];
    uint32_t start;
    bool known;
};

// A target triangle's corners' positions and normals, as its samples' rays take them:
// read once for all its samples.
struct TargetCorners {
    double p[3][3], n[3][3];
};
TargetCorners TargetCornersOf(const SurfaceTransfer& transfer, uint32_t triangle);

// Where the rays of the target triangle with corners `c` begin their walk of the
// source's tree (NO_NODE: none of them can hit), found once for all its samples that
// walk; `cache` may be null.
uint32_t RaysStart(const SurfaceTransfer& transfer, const TargetCorners& c, RaysStartCache* cache);

// The source points of `count` samples (at most RAY_PACKET) of the target triangle with
// corners `c`, at weights w[i]; found[i] false where sample i's ray finds none. The rays
// gather their hits at the worker's `pace` (GatherRays), else walk from `*start`, which
// RaysStart finds (with `cache`) for the first of the triangle's packets that walks:
// RAYS_START_UNKNOWN until then.
constexpr uint32_t RAYS_START_UNKNOWN = NO_NODE - 1;
void FindSources(const SurfaceTransfer& transfer, const TargetCorners& c, const double (*w)[3], int count,
                 uint32_t* start, RaysStartCache* cache, SourcePoint* points, bool* found, GatherPace* pace);
