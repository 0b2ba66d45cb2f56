// Rays onto the hierarchy's triangles. A wide node's four boxes are tested side by side
// in single precision, widened by more than that precision rounds, so that the test
// never hides a hit the triangle test finds; a leaf's triangles are first looked at
// together in single precision in the same way. The triangle test is the watertight one
// (the ray turned so that it runs along an axis, the edges' signs taken in the plane
// across it), in double precision: two triangles sharing an edge compute the same
// products for it, so a ray through the edge hits one of them.
#include "bake/rays.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Nodes waiting in one traversal: at most one more than the tree is deep, which is 30
// levels of code bits, then halvings of triangles that share a code (32 at most).
constexpr int STACK = 128;

// Four single-precision values worked on at once.
typedef float Lanes __attribute__((vector_size(16)));

Lanes Broadcast(float v)
{
    return Lanes{v, v, v, v};
}

// One axis of a node's boxes; loaded as bytes, since nodes need no alignment.
Lanes LoadLanes(const float* values)
{
    Lanes lanes;
    std::memcpy(&lanes, values, sizeof lanes);
    return lanes;
}

// Bit l set where lane l of a comparison's result holds (-1 there, 0 elsewhere).
template <typename Mask>
unsigned LaneBits(const Mask& mask)
{
#ifdef __SSE__
    // Every build is x86 with SSE: the lanes' sign bits in one instruction.
    typedef float Floats __attribute__((vector_size(16)));
    return unsigned(__builtin_ia32_movmskps(reinterpret_cast<Floats>(mask)));
#else
    return unsigned(mask[0] & 1) | unsigned(mask[1] & 2) | unsigned(mask[2] & 4) | unsigned(mask[3] & 8);
#endif
}

// The largest coordinate a ray's tests meet: of the scene or of the ray's start.
double LargestAround(const RayScene& scene, const double origin[3])
{
    return std::max({double(scene.largest), std::fabs(origin[0]), std::fabs(origin[1]), std::fabs(origin[2])});
}

// The ray as the wide nodes' box test takes it, in single precision. Each box is
// widened by a slack far above that precision's rounding (of the origin, of each
// difference and product), measured against the largest coordinate there is, so that the
// test never rejects a box the ray meets: its low sides are measured from the origin
// moved up by the slack, its high sides from the origin moved down.
struct Slabs {
    Lanes low_origin[3], high_origin[3], inverse[3];
};

// The slabs' inverse speeds along the ray: the three in one single-precision division,
// whose rounding the slack covers.
void SlabInverses(const double direction[3], Slabs* s)
{
    const Lanes inverses = Broadcast(1) / Lanes{float(direction[0]), float(direction[1]), float(direction[2]), 1};
    for (int a = 0; a < 3; ++a)  // a ray along a slab moves so little across it that a finite speed serves
        s->inverse[a] = Broadcast(std::clamp(inverses[a], -1e30f, 1e30f));
}

void SlabOrigins(const double origin[3], double largest, Slabs* s)
{
    const double slack = largest * 0x1p-19;
    for (int a = 0; a < 3; ++a) {
        s->low_origin[a] = Broadcast(float(origin[a] + slack));
        s->high_origin[a] = Broadcast(float(origin[a] - slack));
    }
}

// v in single precision, never below it (NotAbove: never above it): first moved by more
// than single precision rounds, which is cheaper than stepping with nextafter after.
float NotBelow(double v)
{
    return std::isfinite(v) ? float(v + std::fabs(v) * 0x1p-22 + 0x1p-140) : float(v);
}

float NotAbove(double v)
{
    return std::isfinite(v) ? float(v - std::fabs(v) * 0x1p-22 - 0x1p-140) : float(v);
}

// |v| in each lane: the sign bits cleared, in one instruction where a select takes several.
Lanes Abs(Lanes v)
{
    typedef uint32_t Bits __attribute__((vector_size(16)));
    return reinterpret_cast<Lanes>(reinterpret_cast<Bits>(v) & 0x7FFFFFFFu);
}

// Two doubles worked on at once: two rays' values along one axis.
typedef double Pair __attribute__((vector_size(16)));

// Each lane's smaller (larger) value, of four floats or two doubles, where neither is a
// number's absence; one instruction each, where a select takes several.
template <typename V>
V Min(V a, V b)
{
#ifdef __SSE2__
    if constexpr (sizeof a[0] == sizeof(double))
        return __builtin_ia32_minpd(a, b);
    else
        return __builtin_ia32_minps(a, b);
#else
    return a < b ? a : b;
#endif
}

template <typename V>
V Max(V a, V b)
{
#ifdef __SSE2__
    if constexpr (sizeof a[0] == sizeof(double))
        return __builtin_ia32_maxpd(a, b);
    else
        return __builtin_ia32_maxps(a, b);
#else
    return a > b ? a : b;
#endif
}

// Bit l set where the ray meets lane l's box at a distance in [0, limit].
unsigned EnteredLanes(const RayNode& node, const Slabs& s, Lanes limit)
{
    Lanes near = Broadcast(0), far = limit;
    for (int a = 0; a < 3; ++a) {
        // The near side is the low one where the ray runs up the axis, else the high one.
        const Lanes t_low = (LoadLanes(node.lo[a]) - s.low_origin[a]) * s.inverse[a];
        const Lanes t_high = (LoadLanes(node.hi[a]) - s.high_origin[a]) * s.inverse[a];
        near = Max(near, Min(t_low, t_high));
        far = Min(far, Max(t_low, t_high));
    }
    return LaneBits(near <= far);
}

// The ray turned to run along +z: which axes become x, y and z, and the shear.
struct Sheared {
    int kx, ky, kz;
    double sx, sy, sz;
};

[[gnu::always_inline]] inline Sheared Shear(const double direction[3])
{
    Sheared s{};
    const double ax = std::fabs(direction[0]), ay = std::fabs(direction[1]), az = std::fabs(direction[2]);
    s.kz = ax >= ay && ax >= az ? 0 : ay >= az ? 1 : 2;
    s.kx = (s.kz + 1) % 3;
    s.ky = (s.kx + 1) % 3;
    if (direction[s.kz] < 0)
        std::swap(s.kx, s.ky);  // keeps the turn a rotation, so the edges' signs hold
    s.sz = 1.0 / direction[s.kz];
    s.sx = direction[s.kx] * s.sz;
    s.sy = direction[s.ky] * s.sz;
    return s;
}

// How far the single-precision look at triangles may stray from the watertight test's
// values: far above the rounding of the origin, the differences and the shear's
// products, against the largest coordinate there is. 0 where that range is too wide
// or too narrow for single precision to bound the error: every triangle is tested.
float CandidateError(double largest)
{
    return largest > 0x1p-40 && largest < 0x1p40 ? float(largest * 0x1p-19) : 0.0f;
}

// The watertight test of one triangle; false for a miss or a ray in its plane. Inlined
// where it is called, as Candidates below and TestLeaf are: with two callers the
// compiler would call them instead, which slows the walk by a few per cent.
[[gnu::always_inline]] inline bool HitTriangle(const float* c, const double origin[3], const Sheared& s,
                                               double* distance, double weights[3])
{
    double x[3], y[3], z[3];
    for (int k = 0; k < 3; ++k) {
        const double p[3] = {c[k * 3] - origin[0], c[k * 3 + 1] - origin[1], c[k * 3 + 2] - origin[2]};
        x[k] = p[s.kx] - s.sx * p[s.kz];
        y[k] = p[s.ky] - s.sy * p[s.kz];
        z[k] = s.sz * p[s.kz];
    }
    // The edge opposite each corner, signed: that corner's weight times twice the area.
    const double u = x[2] * y[1] - y[2] * x[1];
    const double v = x[0] * y[2] - y[0] * x[2];
    const double w = x[1] * y[0] - y[1] * x[0];
    if ((u < 0 || v < 0 || w < 0) && (u > 0 || v > 0 || w > 0))
        return false;
    const double det = u + v + w;
    if (det == 0)
        return false;
    if (u != 0 && v != 0 && w != 0) {
        const double inverse = 1 / det;  // one division where four would be
        *distance = (u * z[0] + v * z[1] + w * z[2]) * inverse;
        weights[0] = u * inverse;
        weights[1] = v * inverse;
        weights[2] = w * inverse;
        return true;
    }
    const int zeros = (u == 0) + (v == 0) + (w == 0);
    // On an edge or a corner: computed from that edge or corner alone, its ends in an
    // order of their own, so that every triangle sharing it finds the same distance.
    for (int k = 0; k < 3; ++k)
        weights[k] = 0;
    if (zeros == 2) {
        const int k = u != 0 ? 0 : v != 0 ? 1 : 2;
        weights[k] = 1;
        *distance = z[k];
        return true;
    }
    int a = u == 0 ? 1 : 0, b = w == 0 ? 1 : 2;
    if (std::lexicographical_compare(c + b * 3, c + b * 3 + 3, c + a * 3, c + a * 3 + 3))
        std::swap(a, b);
    const double dx = x[b] - x[a], dy = y[b] - y[a];
    const double along = std::fabs(dx) >= std::fabs(dy) ? -x[a] / dx : -y[a] / dy;
    weights[a] = 1 - along;
    weights[b] = along;
    *distance = z[a] + along * (z[b] - z[a]);
    return true;
}

// Four triangles' corners side by side, in single precision: axis a of corner k at [k][a].
struct FourTriangles {
    Lanes at[3][3];
};

// The triangles in slots [first, first + 4), whose 36 values start at c.
FourTriangles FourAt(const float* c)
{
    FourTriangles four;
    for (int k = 0; k < 3; ++k)
        for (int a = 0; a < 3; ++a)
            four.at[k][a] = Lanes{c[k * 3 + a], c[9 + k * 3 + a], c[18 + k * 3 + a], c[27 + k * 3 + a]};
    return four;
}

// A first, single-precision look at four triangles: bit i clear only where the
// watertight test is sure to miss triangle i. Every value here differs from the test's
// own by less than `error` (see CandidateError), so a lane is kept whenever its edges'
// signs could agree there.
[[gnu::always_inline]] inline unsigned Candidates(const FourTriangles& four, const double origin[3], const Sheared& s,
                                                  float error)
{
    Lanes x[3], y[3];
    const float ox = float(origin[s.kx]), oy = float(origin[s.ky]), oz = float(origin[s.kz]);
    const Lanes sx = Broadcast(float(s.sx)), sy = Broadcast(float(s.sy));
    for (int k = 0; k < 3; ++k) {
        const Lanes pz = four.at[k][s.kz] - oz;
        x[k] = (four.at[k][s.kx] - ox) - sx * pz;
        y[k] = (four.at[k][s.ky] - oy) - sy * pz;
    }
    // One bound for the three edges' products, from the corner farthest across the ray.
    const Lanes e = Broadcast(error);
    const Lanes m = Max(Max(Abs(x[0]) + Abs(y[0]), Abs(x[1]) + Abs(y[1])), Abs(x[2]) + Abs(y[2]));
    const Lanes bound = 2 * e * (2 * m + 4 * e) + m * m * 0x1p-21f, below = -bound;
    const Lanes u = x[2] * y[1] - y[2] * x[1], v = x[0] * y[2] - y[0] * x[2], w = x[1] * y[0] - y[1] * x[0];
    return LaneBits(((u >= below) & (v >= below) & (w >= below)) | ((u <= bound) & (v <= bound) & (w <= bound)));
}

// One ray's walk: its turn and slabs, and the nearest hit so far.
struct Walker {
    Sheared shear;
    Slabs slabs;     // set only for a walk of its own
    Lanes limit;     // the best distance so far, in single precision not below it
    double largest;  // the largest coordinate its tests meet (LargestAround)
    float error;
    double best;
};

// A leaf's triangles: its first slot in the leaves' order, and how many.
struct Leaf {
    uint32_t first, count;
};

// A box as the nodes' boxes are tested against it: in single precision, rounded outwards.
struct Box {
    Lanes low[3], high[3];
};

Box BoxAround(const double lo[3], const double hi[3])
{
    Box box;
    for (int a = 0; a < 3; ++a) {
        box.low[a] = Broadcast(NotAbove(lo[a]));
        box.high[a] = Broadcast(NotBelow(hi[a]));
    }
    return box;
}

// Bit l set where lane l's box meets `box`.
unsigned MeetingLanes(const RayNode& node, const Box& box)
{
    auto meets = (LoadLanes(node.lo[0]) <= box.high[0]) & (LoadLanes(node.hi[0]) >= box.low[0]);
    for (int a = 1; a < 3; ++a)
        meets = meets & (LoadLanes(node.lo[a]) <= box.high[a]) & (LoadLanes(node.hi[a]) >= box.low[a]);
    return LaneBits(meets);
}

// Tests the ray against a leaf's triangles, keeping the nearest hit, ties going to the
// lowest triangle number; `four` holds its corners side by side where `look` says so.
// WALKING: the ray walks on, and its box test's limit follows the nearest hit.
template <bool WALKING>
[[gnu::always_inline]] inline void TestLeaf(const RayScene& scene, const Leaf& leaf, bool look,
                                            const FourTriangles& four, const Ray& ray, Walker& w, RayHit* hit,
                                            bool* found)
{
    unsigned candidates = (1u << leaf.count) - 1;
    if (look && w.error > 0)
        candidates &= Candidates(four, ray.origin, w.shear, w.error);
    for (uint32_t i = leaf.first; candidates != 0; ++i, candidates >>= 1) {
        if (!(candidates & 1))
            continue;
        const uint32_t triangle = scene.order[i];
        double distance, weights[3];
        if (!HitTriangle(scene.corners + size_t(i) * 9, ray.origin, w.shear, &distance, weights) ||
            !(distance >= 0) || distance > w.best || (*found && distance == w.best && triangle > hit->triangle))
            continue;
        *found = true;
        w.best = distance;
        if (WALKING)
            w.limit = Broadcast(NotBelow(distance));
        *hit = RayHit{triangle, i, distance, {weights[0], weights[1], weights[2]}};
    }
}

// The box around every point the rays reach within `reach`, widened on each side by the
// slabs' slack; false where a ray reaches without end, or starts nowhere. The rays are
// taken two by two, those past `count` as the first again.
bool PacketBox(const RayScene& scene, const Ray* rays, int count, double reach, double lo[3], double hi[3])
{
    if (count < 1)
        return false;
    const Ray* lane[4] = {&rays[0], &rays[count > 1 ? 1 : 0], &rays[count > 2 ? 2 : 0], &rays[count > 3 ? 3 : 0]};
    const Pair spread = {reach, reach};
    for (int a = 0; a < 3; ++a) {
        Pair low = {INFINITY, INFINITY}, high = {-INFINITY, -INFINITY}, zero = {0, 0};
        for (int h = 0; h < 2; ++h) {
            const Pair from = {lane[2 * h]->origin[a], lane[2 * h + 1]->origin[a]};
            const Pair to = from + spread * Pair{lane[2 * h]->direction[a], lane[2 * h + 1]->direction[a]};
            zero += (from - from) + (to - to);  // a value less itself is 0 only where it is finite
            low = Min(low, Min(from, to));
            high = Max(high, Max(from, to));
        }
        if (!(zero[0] == 0 && zero[1] == 0))
            return false;
        lo[a] = std::min(low[0], low[1]);
        hi[a] = std::max(high[0], high[1]);
        const double slack = std::max({double(scene.largest), std::fabs(lo[a]), std::fabs(hi[a])}) * 0x1p-19;
        if (!std::isfinite(slack))
            return false;
        lo[a] -= slack;
        hi[a] += slack;
    }
    return true;
}

// The deepest node at or under `at` whose subtree holds every leaf under `at` that meets
// the box; NO_NODE where none does.
uint32_t Descend(const RayScene& scene, const Box& box, uint32_t at)
{
    for (;;) {
        const RayNode& node = scene.nodes[at];
        const unsigned met = MeetingLanes(node, box);
        if (met == 0)
            return NO_NODE;
        const int lane = __builtin_ctz(met);
        if ((met & (met - 1)) != 0 || node.count[lane] != 0)
            return at;  // leaves, or more than one child, meet it here
        at = node.first[lane];
    }
}

// Where a packet whose rays lie in the box [lo, hi] begins: the node the worker found
// for a box around the last packets where that box holds this one (every leaf that
// meets this box meets that one), else the node found from the root for a box grown
// around this one and remembered, so that the packets next to it find it too. The grown
// box's node lies a little higher up, which the gathering's free path down makes up for.
constexpr double GROWN = 2;  // the grown box's margin on each side, in the box's sizes
uint32_t PacketStart(const RayScene& scene, const double lo[3], const double hi[3], GatherPace* pace)
{
    bool within = pace->known;
    for (int a = 0; a < 3 && within; ++a)
        within = lo[a] >= pace->lo[a] && hi[a] <= pace->hi[a];
    if (within)
        return pace->node;
    for (int a = 0; a < 3; ++a) {
        const double margin = (hi[a] - lo[a]) * GROWN;
        pace->lo[a] = lo[a] - margin;
        pace->hi[a] = hi[a] + margin;
    }
    pace->node = Descend(scene, BoxAround(pace->lo, pace->hi), 0);
    pace->known = true;
    return pace->node;
}

// The leaves a few nearby rays can meet, where they are few: those under `start` whose
// boxes meet the box around every point the rays reach (PacketBox), found in one walk
// for all of them. Every triangle a ray's own walk would test is in them, so testing
// each gives the same nearest hit. False where the box meets more than NEAR_LEAVES
// leaves, or needs more than NEAR_NODES nodes looked at below the path of single
// children from `start`: the rays then walk on their own. One leaf pays: with two, four
// rays' tests of each cost about what their own walks do.
constexpr int NEAR_LEAVES = 1;
constexpr int NEAR_NODES = 8;
// After tries in a row that found too many leaves, the packets that walk straight away
// before the next try: 1, 3, 7, ... 255.
constexpr int PACE_MOST = 8;
struct NearLeaves {
    int count;
    Leaf leaves[NEAR_LEAVES];
};

bool GatherLeaves(const RayScene& scene, const Box& box, uint32_t start, NearLeaves* near)
{
    uint32_t stack[STACK];
    int depth = 0, visits = 0;
    near->count = 0;
    start = Descend(scene, box, start);  // a path of single children costs no visit
    if (start == NO_NODE)
        return true;
    stack[depth++] = start;
    while (depth > 0) {
        if (++visits > NEAR_NODES)
            return false;
        const RayNode& node = scene.nodes[stack[--depth]];
        if (depth + 4 > STACK)
            return false;
        for (unsigned met = MeetingLanes(node, box); met != 0; met &= met - 1) {
            const int lane = __builtin_ctz(met);
            if (node.count[lane] == 0) {
                stack[depth++] = node.first[lane];
                continue;
            }
            if (near->count == NEAR_LEAVES)
                return false;
            near->leaves[near->count++] = Leaf{node.first[lane], node.count[lane]};
        }
    }
    return true;
}

// The rays' hits from the leaves GatherLeaves finds around them, where it finds them,
// beginning where the worker's `pace` remembers (else at the root); false where the rays
// must walk on their own. Kept out of GatherRays, which returns at once for most packets
// where they walk.
[[gnu::noinline]] bool CastNear(const RayScene& scene, const Ray* rays, int count, double max_distance,
                                Walker* walkers, RayHit* hits, bool* found, GatherPace* pace)
{
    double lo[3], hi[3];
    if (!PacketBox(scene, rays, count, max_distance, lo, hi))
        return false;
    const uint32_t start = pace ? PacketStart(scene, lo, hi, pace) : 0;
    if (start == NO_NODE)
        return true;  // no leaf meets the rays' box: they hit nothing
    NearLeaves near;
    if (!GatherLeaves(scene, BoxAround(lo, hi), start, &near))
        return false;
    for (int i = 0; i < near.count; ++i) {
        const Leaf& leaf = near.leaves[i];
        const bool look = leaf.first + 4 <= scene.triangle_count;
        const FourTriangles four = look ? FourAt(scene.corners + size_t(leaf.first) * 9) : FourTriangles{};
        for (int r = 0; r < count; ++r)
            TestLeaf<false>(scene, leaf, look, four, rays[r], walkers[r], &hits[r], &found[r]);
    }
    return true;
}

// Each ray's turn and its tests' error, and no hit yet; along_last[r] where ray r runs
// along ray r - 1 and shares what that direction alone gives. Inlined, as the walk's
// own part: a call costs the walk a few per cent.
[[gnu::always_inline]] inline void SetUpWalkers(const RayScene& scene, const Ray* rays, int count, double max_distance,
                                                Walker* walkers, bool* along_last, bool* found)
{
    for (int r = 0; r < count; ++r) {
        const Ray& ray = rays[r];
        Walker& w = walkers[r];
        along_last[r] = r > 0 && std::memcmp(ray.direction, rays[r - 1].direction, sizeof ray.direction) == 0;
        w.shear = along_last[r] ? walkers[r - 1].shear : Shear(ray.direction);
        w.largest = LargestAround(scene, ray.origin);
        w.error = CandidateError(w.largest);
        w.best = max_distance;
        found[r] = false;
    }
}

}  // namespace

uint32_t StartAround(const RayScene& scene, const double lo[3], const double hi[3])
{
    return scene.node_count == 0 ? NO_NODE : Descend(scene, BoxAround(lo, hi), 0);
}

bool GatherRays(const RayScene& scene, const Ray* rays, int count, double max_distance, RayHit* hits, bool* found,
                GatherPace* pace)
{
    if (pace && pace->skip > 0) {
        pace->skip -= 1;
        return false;
    }
    count = std::clamp(count, 0, RAY_PACKET);
    Walker walkers[RAY_PACKET];
    bool along_last[RAY_PACKET];
    SetUpWalkers(scene, rays, count, max_distance, walkers, along_last, found);
    if (scene.node_count == 0 || count == 0)
        return true;
    const bool gathered = CastNear(scene, rays, count, max_distance, walkers, hits, found, pace);
    if (pace) {
        pace->misses = gathered ? 0 : std::min(pace->misses + 1, PACE_MOST);
        pace->skip = gathered ? 0 : (1 << pace->misses) - 1;
    }
    return gathered;
}

void CastRays(const RayScene& scene, const Ray* rays, int count, double max_distance, uint32_t start, RayHit* hits,
              bool* found)
{
    static_assert(RAY_PACKET <= 4, "the rays' bits, four apart, fit in 16");
    count = std::clamp(count, 0, RAY_PACKET);
    Walker walkers[RAY_PACKET];
    bool along_last[RAY_PACKET];
    SetUpWalkers(scene, rays, count, max_distance, walkers, along_last, found);
    if (scene.node_count == 0 || start == NO_NODE || count == 0)
        return;
    // The slabs, which only the walk reads.
    const Lanes limit = Broadcast(NotBelow(max_distance));
    for (int r = 0; r < count; ++r) {
        Walker& w = walkers[r];
        if (along_last[r])
            std::memcpy(w.slabs.inverse, walkers[r - 1].slabs.inverse, sizeof w.slabs.inverse);
        else
            SlabInverses(rays[r].direction, &w.slabs);
        SlabOrigins(rays[r].origin, w.largest, &w.slabs);
        w.limit = limit;
    }
    // Each node waiting with the rays that entered its box: ray r at bit 4r.
    struct Waiting {
        uint32_t node;
        unsigned rays;
    } stack[STACK];
    int depth = 0;
    stack[depth++] = Waiting{start, 0x1111u & ((1u << (4 * count)) - 1)};
    while (depth > 0) {
        const Waiting at = stack[--depth];
        const RayNode& node = scene.nodes[at.node];
        uint32_t entered = 0;  // four bits per ray, one per lane whose box it enters
        for (int r = 0; r < count; ++r)
            if (at.rays >> (4 * r) & 1)
                entered |= EnteredLanes(node, walkers[r].slabs, walkers[r].limit) << (4 * r);
        // Per lane, the rays that enter its box, each at its own bit 4r.
        unsigned lanes[4];
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] = entered >> lane & 0x1111u;
        if (depth + 4 > STACK)
            return;
        for (int lane = 0; lane < 4; ++lane) {
            if (lanes[lane] == 0)
                continue;
            if (node.count[lane] == 0) {
                stack[depth++] = Waiting{node.first[lane], lanes[lane]};
                continue;
            }
            const Leaf leaf{node.first[lane], node.count[lane]};
            // The leaf's corners side by side once for all its rays; past the last
            // slots, its triangles are tested without it.
            const bool look = leaf.first + 4 <= scene.triangle_count;
            const FourTriangles four = look ? FourAt(scene.corners + size_t(leaf.first) * 9) : FourTriangles{};
            for (int r = 0; r < count; ++r)
                if (lanes[lane] >> (4 * r) & 1)
                    TestLeaf<true>(scene, leaf, look, four, rays[r], walkers[r], &hits[r], &found[r]);
        }
    }
}

bool CastRay(const RayScene& scene, const double origin[3], const double direction[3], double max_distance,
             RayHit* hit, uint32_t start)
{
    const Ray ray{{origin[0], origin[1], origin[2]}, {direction[0], direction[1], direction[2]}};
    bool found = false;
    CastRays(scene, &ray, 1, max_distance, start, hit, &found);
    return found;
}
