// The rays' hierarchy over a triangle mesh, built on every core: four children to a
// node, and the triangles' corners moved into the order its leaves list them, where a
// ray reads them.
#pragma once

#include <cstddef>
#include <cstdint>

// Four children side by side, their boxes tested together: the tree as it is walked.
struct RayNode {
    float lo[3][4], hi[3][4];  // per axis, per child; an empty lane's box is at infinity
    uint32_t first[4];         // an inner child's node, or a leaf's first slot in order
    uint32_t count[4];         // a leaf's triangles; 0 for an inner child or an empty lane
};

struct RayScene {
    const float* corners;  // 9 per triangle: three corners' x, y, z, in the leaves' order
                           // (the i-th is triangle order[i]); not owned
    uint32_t triangle_count;
    RayNode* nodes;        // node 0 is the root
    uint32_t node_count;
    float largest;         // the largest coordinate's size in the boxes
    uint32_t* order;       // triangle numbers, leaf after leaf
};

// False when memory runs out. Triangles whose corners are not finite are never hit.
// `corners` are moved into the leaves' order, where the scene reads them.
bool BuildRayScene(float* corners, uint32_t triangle_count, int threads, RayScene* scene);
void FreeRayScene(RayScene* scene);

// Moves per-triangle records into the leaves' order on `threads` workers, as the scene
// moved the corners: what a hit reads then lies beside its neighbours' (a hit's slot).
// False when memory runs out (nothing moved).
bool ToLeafOrder(const RayScene& scene, void* records, size_t record_bytes, int threads);
