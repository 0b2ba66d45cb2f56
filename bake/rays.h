// Rays onto a triangle mesh: the nearest hit of a ray, front or back, found through the
// mesh's hierarchy (ray_tree.h). Hits come from one watertight computation per triangle
// in double precision, ties going to the lowest triangle number, so the answer depends
// neither on the hierarchy nor on the machine.
#pragma once

#include <cstdint>

#include "bake/ray_tree.h"

struct RayHit {
    uint32_t triangle;
    uint32_t slot;         // where the triangle is in the leaves' order (see ToLeafOrder)
    double distance;       // along the ray, in units of its direction's length
    double weights[3];     // barycentric, of the triangle's corners 0, 1, 2
};

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

// How a worker's packets gather their hits. A packet of nearby rays that reach not far
// gathers the few leaves any of them can meet, in one walk of boxes, and tests each ray
// against those alone; where the rays meet too many leaves (long reaches across a
// curved surface), each ray walks on its own (CastRays). After a gathering that found
// too many, the worker's next packets walk straight away, more of them after each such
// try in a row. The walk of boxes begins at the node found for a box around the last
// packets, where that box holds this packet's (neighbouring packets share it), else
// from the root. Either way a ray finds the same hit: the pace changes only the time.
struct GatherPace {
    int skip = 0;    // packets that walk straight away before the next try
    int misses = 0;  // tries in a row that found too many leaves
    bool known = false;             // whether a node is remembered:
    double lo[3] = {}, hi[3] = {};  // the box it was found for,
    uint32_t node = 0;              // the deepest node holding every leaf that meets it
};

// True where the packet of `count` rays (at most RAY_PACKET) gathered its hits, each as
// CastRay finds it (found[i] false where ray i hits nothing); false, the hits unset,
// where the rays must walk. Without `pace`, the packet tries, from the root.
bool GatherRays(const RayScene& scene, const Ray* rays, int count, double max_distance, RayHit* hits, bool* found,
                GatherPace* pace);

// The nearest hits of `count` rays (at most RAY_PACKET), each as CastRay finds it, each
// ray walking the tree from node `start`; found[i] false where ray i hits nothing.
void CastRays(const RayScene& scene, const Ray* rays, int count, double max_distance, uint32_t start, RayHit* hits,
              bool* found);

// The nearest hit of the ray from `origin` along `direction` (not zero) at a distance in
// [0, max_distance], or false for none; the walk begins at node `start`.
bool CastRay(const RayScene& scene, const double origin[3], const double direction[3], double max_distance,
             RayHit* hit, uint32_t start = 0);
