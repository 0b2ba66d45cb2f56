// Rays onto triangles. The hierarchy splits the triangles sorted along a Morton curve
// through their centres where their codes' highest differing bit changes, down to
// leaves of a few triangles, on every worker below its top; it is then walked four
// children to a node, their boxes tested side by side in single precision. The boxes
// are padded outwards, and the test widens them further by more than it rounds, so that
// it never hides a hit the triangle test finds. The triangle test is the watertight one
// (the ray turned so that it runs along an axis, the edges' signs taken in the plane
// across it), in double precision: two triangles sharing an edge compute the same
// products for it, so a ray through the edge hits one of them.
#include "bake/rays.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "assets/large_block.h"
#include "support/parallel.h"

// Four children side by side, their boxes tested together: the tree as it is walked.
struct RayNode {
    float lo[3][4], hi[3][4];  // per axis, per child; an empty lane's box is at infinity
    uint32_t first[4];         // an inner child's node, or a leaf's first slot in order
    uint32_t count[4];         // a leaf's triangles; 0 for an inner child or an empty lane
};

namespace {

// The tree as it is built: two children to a node.
struct TreeNode {
    float lo[3], hi[3];
    uint32_t first;  // inner: the first of its two children (the second follows); leaf: into order
    uint32_t count;  // triangles of a leaf; 0 for an inner node
};

constexpr uint32_t LEAF_TRIANGLES = 4;

// Large arrays come from LargeResize, which maps them directly (see large_block.h).
template <typename T>
T* LargeArray(size_t count)
{
    return static_cast<T*>(LargeResize(nullptr, 0, std::max<size_t>(count, 1) * sizeof(T)));
}

template <typename T>
void FreeLargeArray(T* array, size_t count)
{
    LargeFree(array, std::max<size_t>(count, 1) * sizeof(T));
}

// Nodes waiting in one traversal: at most one more than the tree is deep, which is 30
// levels of code bits, then halvings of triangles that share a code (32 at most).
constexpr int STACK = 128;

const float* CornersOf(const RayScene& scene, uint32_t triangle)
{
    return scene.corners + size_t(triangle) * 9;
}

bool Finite(const float* c)
{
    for (int i = 0; i < 9; ++i)
        if (!std::isfinite(c[i]))
            return false;
    return true;
}

// The box around the triangles in slots [begin, end), padded out a little (see the
// file's head).
void Bound(const RayScene& scene, size_t begin, size_t end, TreeNode* node)
{
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (size_t i = begin; i < end; ++i) {
        const float* c = scene.corners + i * 9;
        for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], c[k * 3 + a]);
                hi[a] = std::max(hi[a], c[k * 3 + a]);
            }
    }
    const float extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    const float pad = extent * 1e-5f + std::numeric_limits<float>::min();
    for (int a = 0; a < 3; ++a) {
        node->lo[a] = std::nextafter(lo[a] - pad, -INFINITY);
        node->hi[a] = std::nextafter(hi[a] + pad, INFINITY);
    }
}

// Where a sorted run of Morton codes splits: at the highest bit in which its ends
// differ, or in the middle where they are all one code.
size_t Split(const uint32_t* codes, size_t begin, size_t end)
{
    const uint32_t differ = codes[begin] ^ codes[end - 1];
    if (differ == 0)
        return begin + (end - begin) / 2;
    uint32_t bit = 1u << 31;
    while (!(differ & bit))
        bit >>= 1;
    return size_t(std::partition_point(codes + begin, codes + end, [&](uint32_t c) { return !(c & bit); }) - codes);
}

void Union(const TreeNode& a, const TreeNode& b, TreeNode* out)
{
    for (int k = 0; k < 3; ++k) {
        out->lo[k] = std::min(a.lo[k], b.lo[k]);
        out->hi[k] = std::max(a.hi[k], b.hi[k]);
    }
}

// Builds the subtree of order[begin, end) into nodes[at] and nodes it appends, its
// boxes from the leaves up.
void BuildNode(const RayScene& scene, const uint32_t* codes, size_t begin, size_t end, std::vector<TreeNode>& nodes,
               size_t at)
{
    if (end - begin <= LEAF_TRIANGLES) {
        Bound(scene, begin, end, &nodes[at]);
        nodes[at].first = uint32_t(begin);
        nodes[at].count = uint32_t(end - begin);
        return;
    }
    const size_t middle = Split(codes, begin, end), children = nodes.size();
    nodes[at].first = uint32_t(children);
    nodes[at].count = 0;
    nodes.resize(children + 2);
    BuildNode(scene, codes, begin, middle, nodes, children);
    BuildNode(scene, codes, middle, end, nodes, children + 1);
    Union(nodes[children], nodes[children + 1], &nodes[at]);
}

// A subtree left for a worker: its node in the top of the tree and its triangles.
struct Task {
    size_t node, begin, end;
};

// Splits the top of the tree serially until there is work for every worker; the top's
// boxes are made once the subtrees are.
void BuildTop(const uint32_t* codes, size_t begin, size_t end, int depth, std::vector<TreeNode>& top, size_t at,
              std::vector<Task>& tasks)
{
    if (depth == 0 || end - begin <= LEAF_TRIANGLES) {
        tasks.push_back(Task{at, begin, end});
        return;
    }
    const size_t middle = Split(codes, begin, end), children = top.size();
    top[at].first = uint32_t(children);
    top[at].count = 0;
    top.resize(children + 2);
    BuildTop(codes, begin, middle, depth - 1, top, children, tasks);
    BuildTop(codes, middle, end, depth - 1, top, children + 1, tasks);
}

// Spreads the low 10 bits of v to every third bit.
uint32_t Spread(uint32_t v)
{
    v &= 0x3FF;
    v = (v | (v << 16)) & 0x030000FF;
    v = (v | (v << 8)) & 0x0300F00F;
    v = (v | (v << 4)) & 0x030C30C3;
    return (v | (v << 2)) & 0x09249249;
}

constexpr size_t CHUNK = 65536;  // triangles per job

// One stable pass of a radix sort on the byte of the keys at `shift`: each chunk counts
// its keys per byte, and then moves them to where the counts before it put them.
void SortByByte(const uint64_t* keys, uint64_t* out, size_t count, int shift, int threads)
{
    const size_t chunks = ChunkCount(count, CHUNK);
    std::vector<size_t> at(chunks * 256, 0);  // per chunk and byte: where its keys go
    ParallelForChunks(threads, count, CHUNK, [&](size_t begin, size_t end, size_t chunk) {
        for (size_t i = begin; i < end; ++i)
            ++at[chunk * 256 + (keys[i] >> shift & 0xFF)];
    });
    size_t next = 0;
    for (int b = 0; b < 256; ++b)
        for (size_t c = 0; c < chunks; ++c) {
            const size_t n = at[c * 256 + size_t(b)];
            at[c * 256 + size_t(b)] = next;
            next += n;
        }
    ParallelForChunks(threads, count, CHUNK, [&](size_t begin, size_t end, size_t chunk) {
        size_t* where = &at[chunk * 256];
        for (size_t i = begin; i < end; ++i)
            out[where[keys[i] >> shift & 0xFF]++] = keys[i];
    });
}

// Sorts the triangles of scene->order (`count` of them) along a Morton curve through
// their centres, which puts triangles near each other near each other; *codes gets the
// sorted codes. False when memory runs out.
bool SortAlongCurve(RayScene* scene, size_t count, int threads, uint32_t** codes)
{
    const auto centre = [&](uint32_t t, int a) {
        const float* c = CornersOf(*scene, t);
        return (double(c[a]) + c[3 + a] + c[6 + a]) / 3;
    };
    struct Box {
        double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    };
    std::vector<Box> boxes(ChunkCount(count, CHUNK));
    ParallelForChunks(threads, count, CHUNK, [&](size_t begin, size_t end, size_t chunk) {
        Box& box = boxes[chunk];
        for (size_t i = begin; i < end; ++i)
            for (int a = 0; a < 3; ++a) {
                box.lo[a] = std::min(box.lo[a], centre(scene->order[i], a));
                box.hi[a] = std::max(box.hi[a], centre(scene->order[i], a));
            }
    });
    Box all;
    for (const Box& box : boxes)
        for (int a = 0; a < 3; ++a) {
            all.lo[a] = std::min(all.lo[a], box.lo[a]);
            all.hi[a] = std::max(all.hi[a], box.hi[a]);
        }
    auto* keys = LargeArray<uint64_t>(count);
    auto* spare = LargeArray<uint64_t>(count);
    *codes = LargeArray<uint32_t>(count);
    if (!keys || !spare || !*codes) {
        FreeLargeArray(keys, count);
        FreeLargeArray(spare, count);
        FreeLargeArray(*codes, count);
        *codes = nullptr;
        return false;
    }
    ParallelForChunks(threads, count, CHUNK, [&](size_t begin, size_t end, size_t) {
        for (size_t i = begin; i < end; ++i) {
            uint32_t code = 0;
            for (int a = 0; a < 3; ++a) {
                const double span = all.hi[a] - all.lo[a];
                const double at = span > 0 ? (centre(scene->order[i], a) - all.lo[a]) / span : 0.0;
                code |= Spread(uint32_t(std::clamp(at * 1024.0, 0.0, 1023.0))) << (2 - a);
            }
            keys[i] = uint64_t(code) << 32 | scene->order[i];
        }
    });
    // Least significant byte of the code first; the triangle numbers keep their order
    // within a code, so the tree is the same on every run.
    for (int shift = 32; shift < 64; shift += 8) {
        SortByByte(keys, spare, count, shift, threads);
        std::swap(keys, spare);
    }
    ParallelForChunks(threads, count, CHUNK, [&](size_t begin, size_t end, size_t) {
        for (size_t i = begin; i < end; ++i) {
            scene->order[i] = uint32_t(keys[i]);
            (*codes)[i] = uint32_t(keys[i] >> 32);
        }
    });
    FreeLargeArray(keys, count);
    FreeLargeArray(spare, count);
    return true;
}

// copy[i] = records[order[i]] for i in [begin, end), records of SIZE bytes.
template <size_t SIZE>
void Gather(const char* records, const uint32_t* order, size_t begin, size_t end, char* copy)
{
    // The records lie anywhere: each is asked for some records ahead of its copy.
    constexpr size_t AHEAD = 16;
    for (size_t i = begin; i < end; ++i) {
        if (i + AHEAD < end)
            __builtin_prefetch(records + size_t(order[i + AHEAD]) * SIZE);
        std::memcpy(copy + i * SIZE, records + size_t(order[i]) * SIZE, SIZE);
    }
}

// Moves records of `size` bytes so that the i-th becomes the order[i]-th: gathered into
// a copy on every worker, then copied back. False when memory runs out (nothing moved).
bool Permute(char* records, size_t size, const uint32_t* order, size_t count, int threads)
{
    auto* copy = static_cast<char*>(LargeResize(nullptr, 0, std::max<size_t>(count, 1) * size));
    if (!copy)
        return false;
    ParallelForChunks(threads, count, CHUNK, [&](size_t begin, size_t end, size_t) {
        // The sizes the program moves copy inline; others call memcpy per record.
        if (size == 9 * sizeof(float))
            Gather<9 * sizeof(float)>(records, order, begin, end, copy);
        else if (size == 3 * 2 * sizeof(float))
            Gather<3 * 2 * sizeof(float)>(records, order, begin, end, copy);
        else
            for (size_t i = begin; i < end; ++i)
                std::memcpy(copy + i * size, records + size_t(order[i]) * size, size);
    });
    ParallelForChunks(threads, count, CHUNK, [&](size_t begin, size_t end, size_t) {
        std::memcpy(records + begin * size, copy + begin * size, (end - begin) * size);
    });
    LargeFree(copy, std::max<size_t>(count, 1) * size);
    return true;
}

// The triangles that can be hit (finite corners) into order[0, returned count), in
// ascending numbers, and the others after them.
size_t SplitByFinite(const float* corners, size_t triangles, int threads, uint32_t* order)
{
    std::vector<size_t> finite(ChunkCount(triangles, CHUNK), 0);
    ParallelForChunks(threads, triangles, CHUNK, [&](size_t begin, size_t end, size_t chunk) {
        for (size_t t = begin; t < end; ++t)
            finite[chunk] += Finite(corners + t * 9);
    });
    std::vector<size_t> first(finite.size(), 0);  // each chunk's first finite slot
    size_t count = 0;
    for (size_t c = 0; c < finite.size(); ++c) {
        first[c] = count;
        count += finite[c];
    }
    ParallelForChunks(threads, triangles, CHUNK, [&](size_t begin, size_t end, size_t chunk) {
        size_t hit = first[chunk], other = count + (begin - first[chunk]);
        for (size_t t = begin; t < end; ++t)
            order[Finite(corners + t * 9) ? hit++ : other++] = uint32_t(t);
    });
    return count;
}

// A lane of a wide node: the box of binary node `child`, and where a ray goes from it.
void SetLane(const TreeNode& child, uint32_t wide_child, int lane, RayNode* wide)
{
    for (int a = 0; a < 3; ++a) {
        wide->lo[a][lane] = child.lo[a];
        wide->hi[a][lane] = child.hi[a];
    }
    wide->first[lane] = child.count ? child.first : wide_child;
    wide->count[lane] = child.count;
}

// A wide node whose every lane's box is at infinity, missed by every ray.
RayNode EmptyNode()
{
    RayNode wide;
    for (int lane = 0; lane < 4; ++lane) {
        for (int a = 0; a < 3; ++a)
            wide.lo[a][lane] = wide.hi[a][lane] = INFINITY;
        wide.first[lane] = wide.count[lane] = 0;
    }
    return wide;
}

// A lane of the top's wide nodes that leads to a subtree widened apart.
struct Link {
    uint32_t wide;
    int lane;
    size_t task;
};

// Widens the binary tree whose root is tree[0] (inner) four children to a node, appended
// to `wide` depth first, each after its parent, inner children numbered from the root's
// place in `wide`. A node's lanes are its children, or where a child is inner, that
// child's two. A binary node that task(b) names (>= 0) is a subtree widened apart: its
// lane is left to `links`.
template <typename TaskOf>
void WidenInto(const std::vector<TreeNode>& tree, std::vector<RayNode>& wide, const TaskOf& task,
               std::vector<Link>* links)
{
    struct Pending {
        uint32_t wide, binary;  // a wide node to fill from the binary node
    };
    std::vector<Pending> stack{{uint32_t(wide.size()), 0}};
    wide.push_back(EmptyNode());
    while (!stack.empty()) {
        const Pending at = stack.back();
        stack.pop_back();
        const auto whole = [&](uint32_t b) { return tree[b].count != 0 || task(b) >= 0; };
        uint32_t lanes[4], count = 0;
        const TreeNode& node = tree[at.binary];
        for (uint32_t c = node.first; c < node.first + 2; ++c) {
            if (whole(c)) {
                lanes[count++] = c;
            } else {
                lanes[count++] = tree[c].first;
                lanes[count++] = tree[c].first + 1;
            }
        }
        for (uint32_t lane = count; lane-- > 0;) {
            const TreeNode& child = tree[lanes[lane]];
            const long apart = child.count ? -1 : task(lanes[lane]);
            const bool widen = !child.count && apart < 0;
            const uint32_t wide_child = widen ? uint32_t(wide.size()) : 0;
            if (widen) {
                wide.push_back(EmptyNode());
                stack.push_back(Pending{wide_child, lanes[lane]});
            }
            SetLane(child, wide_child, int(lane), &wide[at.wide]);
            if (apart >= 0)
                links->push_back(Link{at.wide, int(lane), size_t(apart)});
        }
    }
}

bool IsTask(const std::vector<Task>& tasks, size_t node)
{
    return std::any_of(tasks.begin(), tasks.end(), [&](const Task& t) { return t.node == node; });
}

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

Slabs SlabsOf(const double origin[3], const double direction[3], double largest)
{
    const double slack = largest * 0x1p-19;
    // The three inverses in one single-precision division; the slack covers their rounding.
    const Lanes inverses = Broadcast(1) / Lanes{float(direction[0]), float(direction[1]), float(direction[2]), 1};
    Slabs s{};
    for (int a = 0; a < 3; ++a) {
        // A ray along the slab moves so little across it that a finite speed serves,
        // and keeps every product a number.
        s.inverse[a] = Broadcast(std::clamp(inverses[a], -1e30f, 1e30f));
        s.low_origin[a] = Broadcast(float(origin[a] + slack));
        s.high_origin[a] = Broadcast(float(origin[a] - slack));
    }
    return s;
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

// Each lane's smaller (larger) value, where neither is a number's absence; one
// instruction each, where a select takes several.
Lanes Min(Lanes a, Lanes b)
{
#ifdef __SSE__
    return __builtin_ia32_minps(a, b);
#else
    return a < b ? a : b;
#endif
}

Lanes Max(Lanes a, Lanes b)
{
#ifdef __SSE__
    return __builtin_ia32_maxps(a, b);
#else
    return a > b ? a : b;
#endif
}

// Bit l set where the ray meets lane l's box at a distance in [0, limit].
unsigned EnteredLanes(const RayNode& node, const Slabs& s, float limit)
{
    Lanes near = Broadcast(0), far = Broadcast(limit);
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

Sheared Shear(const double direction[3])
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

// The watertight test of one triangle; false for a miss or a ray in its plane.
bool HitTriangle(const float* c, const double origin[3], const Sheared& s, double* distance, double weights[3])
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
unsigned Candidates(const FourTriangles& four, const double origin[3], const Sheared& s, float error)
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

}  // namespace

bool BuildRayScene(float* corners, uint32_t triangle_count, int threads, RayScene* scene)
{
    *scene = RayScene{corners, triangle_count, nullptr, 0, 0, nullptr};
    scene->order = LargeArray<uint32_t>(triangle_count);
    if (!scene->order)
        return false;
    const size_t count = SplitByFinite(corners, triangle_count, threads, scene->order);
    if (count == 0)
        return true;  // nothing to hit: no nodes
    // The corners move into the leaves' order, which the tree is built and a ray reads
    // them in: the hit ones sorted, the others after them.
    uint32_t* codes = nullptr;
    if (!SortAlongCurve(scene, count, threads, &codes) ||
        !Permute(reinterpret_cast<char*>(corners), 9 * sizeof(float), scene->order, triangle_count, threads)) {
        FreeLargeArray(codes, count);
        FreeRayScene(scene);
        return false;
    }
    // The top levels serially, until there are some subtrees for every worker.
    int depth = 0;
    while ((1 << depth) < std::max(threads, 1) * 8 && (size_t(LEAF_TRIANGLES) << depth) < count)
        ++depth;
    std::vector<TreeNode> top(1);
    std::vector<Task> tasks;
    BuildTop(codes, 0, count, depth, top, 0, tasks);
    // Each subtree is built and widened on a worker; its root's box takes its task's
    // place at the top.
    std::vector<std::vector<RayNode>> wides(tasks.size());
    const auto none = [](uint32_t) { return -1L; };
    ParallelFor(threads, int64_t(tasks.size()), [&](int64_t i, int) {
        const Task& task = tasks[size_t(i)];
        std::vector<TreeNode> subtree(1);
        subtree.reserve(2 * (task.end - task.begin));  // the most a subtree can hold
        BuildNode(*scene, codes, task.begin, task.end, subtree, 0);
        top[task.node] = subtree[0];
        if (subtree[0].count == 0) {
            wides[size_t(i)].reserve((task.end - task.begin) / 2 + 1);
            WidenInto(subtree, wides[size_t(i)], none, nullptr);
        }
    });
    FreeLargeArray(codes, count);
    // The top's boxes, children (made after their parents) first.
    for (size_t k = top.size(); k-- > 0;)
        if (top[k].count == 0 && !IsTask(tasks, k))
            Union(top[top[k].first], top[top[k].first + 1], &top[k]);
    for (int a = 0; a < 3; ++a)
        scene->largest = std::max({scene->largest, std::fabs(top[0].lo[a]), std::fabs(top[0].hi[a])});
    // The top widened, its lanes that lead to a subtree linked to where that subtree's
    // nodes follow.
    const auto task_of = [&](uint32_t b) {
        for (size_t i = 0; i < tasks.size(); ++i)
            if (tasks[i].node == b && top[b].count == 0)
                return long(i);
        return -1L;
    };
    std::vector<RayNode> top_wide;
    std::vector<Link> links;
    if (top[0].count != 0) {  // the whole tree is one leaf
        top_wide.push_back(EmptyNode());
        SetLane(top[0], 0, 0, &top_wide[0]);
    } else if (task_of(0) < 0) {
        WidenInto(top, top_wide, task_of, &links);
    }
    std::vector<size_t> base(tasks.size());
    size_t total = top_wide.size();
    for (size_t i = 0; i < tasks.size(); ++i) {
        base[i] = total;
        total += wides[i].size();
    }
    for (const Link& link : links)
        top_wide[link.wide].first[link.lane] = uint32_t(base[link.task]);
    scene->nodes = LargeArray<RayNode>(total);
    if (!scene->nodes) {
        FreeRayScene(scene);
        return false;
    }
    scene->node_count = uint32_t(total);
    std::copy(top_wide.begin(), top_wide.end(), scene->nodes);
    ParallelFor(threads, int64_t(tasks.size()), [&](int64_t i, int) {
        RayNode* to = scene->nodes + base[size_t(i)];
        for (RayNode node : wides[size_t(i)]) {
            for (int lane = 0; lane < 4; ++lane)  // an empty lane's number is never read
                if (node.count[lane] == 0)
                    node.first[lane] += uint32_t(base[size_t(i)]);
            *to++ = node;
        }
        wides[size_t(i)] = {};
    });
    return true;
}

bool ToLeafOrder(const RayScene& scene, void* records, size_t record_bytes, int threads)
{
    if (scene.node_count == 0)
        return true;  // nothing is ever hit, and the order was never made
    return Permute(static_cast<char*>(records), record_bytes, scene.order, scene.triangle_count, threads);
}

void FreeRayScene(RayScene* scene)
{
    FreeLargeArray(scene->nodes, scene->node_count);
    FreeLargeArray(scene->order, scene->triangle_count);
    *scene = RayScene{};
}

uint32_t StartAround(const RayScene& scene, const double lo[3], const double hi[3])
{
    if (scene.node_count == 0)
        return NO_NODE;
    Lanes low[3], high[3];  // the box in single precision, rounded outwards
    for (int a = 0; a < 3; ++a) {
        low[a] = Broadcast(NotAbove(lo[a]));
        high[a] = Broadcast(NotBelow(hi[a]));
    }
    uint32_t at = 0;
    for (;;) {
        const RayNode& node = scene.nodes[at];
        auto meets = (LoadLanes(node.lo[0]) <= high[0]) & (LoadLanes(node.hi[0]) >= low[0]);
        for (int a = 1; a < 3; ++a)
            meets = meets & (LoadLanes(node.lo[a]) <= high[a]) & (LoadLanes(node.hi[a]) >= low[a]);
        const unsigned met = LaneBits(meets);
        if (met == 0)
            return NO_NODE;
        const int lane = __builtin_ctz(met);
        if ((met & (met - 1)) != 0 || node.count[lane] != 0)
            return at;  // leaves, or more than one child, meet it here
        at = node.first[lane];
    }
}

void CastRays(const RayScene& scene, const Ray* rays, int count, double max_distance, uint32_t start, RayHit* hits,
              bool* found)
{
    static_assert(RAY_PACKET <= 4, "the rays' bits, four apart, fit in 16");
    count = std::clamp(count, 0, RAY_PACKET);
    struct Walker {
        Sheared shear;
        Slabs slabs;
        float error, limit;
        double best;
    } walkers[RAY_PACKET];
    const float limit = NotBelow(max_distance);
    for (int r = 0; r < count; ++r) {
        const Ray& ray = rays[r];
        const double largest = LargestAround(scene, ray.origin);
        Walker& w = walkers[r];
        w.shear = Shear(ray.direction);
        w.slabs = SlabsOf(ray.origin, ray.direction, largest);
        w.error = CandidateError(largest);
        w.limit = limit;
        w.best = max_distance;
        found[r] = false;
    }
    // Each node waiting with the rays that entered its box: ray r at bit 4r.
    struct Waiting {
        uint32_t node;
        unsigned rays;
    } stack[STACK];
    int depth = 0;
    if (scene.node_count > 0 && start != NO_NODE && count > 0)
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
            const uint32_t first = node.first[lane];
            // The leaf's corners side by side once for all its rays; past the last
            // slots, its triangles are tested without it.
            const bool look = first + 4 <= scene.triangle_count;
            const FourTriangles four = look ? FourAt(scene.corners + size_t(first) * 9) : FourTriangles{};
            for (int r = 0; r < count; ++r) {
                if (!(lanes[lane] >> (4 * r) & 1))
                    continue;
                Walker& w = walkers[r];
                const Ray& ray = rays[r];
                unsigned candidates = (1u << node.count[lane]) - 1;
                if (look && w.error > 0)
                    candidates &= Candidates(four, ray.origin, w.shear, w.error);
                for (uint32_t i = first; candidates != 0; ++i, candidates >>= 1) {
                    if (!(candidates & 1))
                        continue;
                    const uint32_t triangle = scene.order[i];
                    double distance, weights[3];
                    if (!HitTriangle(scene.corners + size_t(i) * 9, ray.origin, w.shear, &distance, weights) ||
                        !(distance >= 0) || distance > w.best ||
                        (found[r] && distance == w.best && triangle > hits[r].triangle))
                        continue;
                    found[r] = true;
                    w.best = distance;
                    w.limit = NotBelow(distance);
                    hits[r] = RayHit{triangle, i, distance, {weights[0], weights[1], weights[2]}};
                }
            }
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
