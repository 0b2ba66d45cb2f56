// Rays onto a triangle mesh: a bounding volume hierarchy over its triangles, built on
// every core, and the nearest hit of a ray, front or back. Hits come from one
// watertight computation per triangle in double precision, ties going to the lowest
// triangle number, so the answer depends neither on the hierarchy nor on the machine.
#pragma once

#include <cstddef>
#include <cstdint>

struct RayNode;

struct RayScene {
    const float* corners;  // 9 per triangle: three corners' x, y, z, in the leaves' order
                           // (the i-th is triangle order[i]); not owned
    uint32_t triangle_count;
    RayNode* nodes;        // node 0 is the root
    uint32_t node_count;
    float largest;         // the largest coordinate's size in the boxes
    uint32_t* order;       // triangle numbers, leaf after leaf
};

struct RayHit {
    uint32_t triangle;
    uint32_t slot;         // where the triangle is in the leaves' order (see ToLeafOrder)
    double distance;       // along the ray, in units of its direction's length
    double weights[3];     // barycentric, of the triangle's corners 0, 1, 2
};

// False when memory runs out. Triangles whose corners are not finite are never hit.
// `corners` are moved into the leaves' order, where the scene reads them.
bool BuildRayScene(float* corners, uint32_t triangle_count, int threads, RayScene* scene);
void FreeRayScene(RayScene* scene);

// Moves per-triangle records into the leaves' order on `threads` workers, as the scene
// moved the corners: what a hit reads then lies beside its neighbours' (RayHit.slot).
// False when memory runs out (nothing moved).
bool ToLeafOrder(const RayScene& scene, void* records, size_t record_bytes, int threads);

// Where rays whose every point within their reach lies in the box [lo, hi] may start
// instead of at the root (node 0): the deepest node whose subtree holds every leaf that
// meets the box. NO_NODE where no leaf meets it: such rays hit nothing.
constexpr uint32_t NO_NODE = UINT32_MAX;
uint32_t StartAround(const RayScene& scene, const double lo[3], const double hi[3]);

// Rays cast together: nearby rays read each node once between them. Each ray's hit is
// the one it has cast alone.
struct Ray {
    double origin[3], direction[3];
};
constexpr int RAY_PACKET = 4;

// The nearest hits of `count` rays (at most RAY_PACKET), each as CastRay finds it;
// found[i] false where ray i hits nothing.
void CastRays(const RayScene& scene, const Ray* rays, int count, double max_distance, uint32_t start, RayHit* hits,
              bool* found);

// The nearest hit of the ray from `origin` along `direction` (not zero) at a distance in
// [0, max_distance], or false for none; the walk begins at node `start`.
bool CastRay(const RayScene& scene, const double origin[3], const double direction[3], double max_distance,
             RayHit* hit, uint32_t start = 0);
