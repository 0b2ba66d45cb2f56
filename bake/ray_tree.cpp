// The rays' hierarchy, built: the triangles sorted along a Morton curve through their
// centres are split where their codes' highest differing bit changes, down to leaves of
// a few triangles, on every worker below the top; each subtree is then widened to four
// children a node on its worker. The boxes are padded outwards a little.
#include "bake/ray_tree.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "assets/large_block.h"
#include "support/parallel.h"

namespace {

// The tree as it is built: two children to a node.
struct TreeNode {
    float lo[3], hi[3];
    uint32_t first;  // inner: the first of its two children (the second follows); leaf: into order
    uint32_t count;  // triangles of a leaf; 0 for an inner node
};

constexpr uint32_t LEAF_TRIANGLES = 4;

// Large arrays: they may take blocks the preparation freed (see large_block.h). With
// `threads`, for an array filled whole, its pages are asked for at once on as many workers.
template <typename T>
T* LargeArray(size_t count, int threads = 0)
{
    return static_cast<T*>(LargeTake(std::max<size_t>(count, 1) * sizeof(T), threads));
}

template <typename T>
void FreeLargeArray(T* array, size_t count)
{
    LargeFree(array, std::max<size_t>(count, 1) * sizeof(T));
}

// The tree's node lists, as vectors whose blocks are large arrays: the workers' lists
// take blocks the preparation freed, and give theirs back for the arrays made after.
template <typename T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U>&)
    {
    }
    T* allocate(size_t count)
    {
        T* block = LargeArray<T>(count);
        if (!block)
            std::abort();  // as the standard allocator ends the program when memory runs out
        return block;
    }
    void deallocate(T* block, size_t count) { FreeLargeArray(block, count); }
};

template <typename T, typename U>
bool operator==(const LargeAllocator<T>&, const LargeAllocator<U>&)
{
    return true;
}

template <typename T, typename U>
bool operator!=(const LargeAllocator<T>&, const LargeAllocator<U>&)
{
    return false;
}

using TreeNodes = std::vector<TreeNode, LargeAllocator<TreeNode>>;
using WideNodes = std::vector<RayNode, LargeAllocator<RayNode>>;

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
void BuildNode(const RayScene& scene, const uint32_t* codes, size_t begin, size_t end, TreeNodes& nodes, size_t at)
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
void BuildTop(const uint32_t* codes, size_t begin, size_t end, int depth, TreeNodes& top, size_t at,
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
    auto* keys = LargeArray<uint64_t>(count, threads);
    auto* spare = LargeArray<uint64_t>(count, threads);
    *codes = LargeArray<uint32_t>(count, threads);
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
    auto* copy = static_cast<char*>(LargeTake(std::max<size_t>(count, 1) * size, threads));
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
void WidenInto(const TreeNodes& tree, WideNodes& wide, const TaskOf& task, std::vector<Link>* links)
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

// The task whose subtree stands at binary node `node` of the top, or -1.
long TaskAt(const std::vector<Task>& tasks, size_t node)
{
    for (size_t i = 0; i < tasks.size(); ++i)
        if (tasks[i].node == node)
            return long(i);
    return -1;
}

// The top's boxes, then the top widened and the subtrees' wide nodes after it, each
// subtree's children renumbered and the top's lanes that lead to a subtree linked to
// where its nodes begin. False when memory runs out.
bool JoinTree(TreeNodes& top, const std::vector<Task>& tasks, std::vector<WideNodes>& wides, int threads,
              RayScene* scene)
{
    // Children (made after their parents) first.
    for (size_t k = top.size(); k-- > 0;)
        if (top[k].count == 0 && TaskAt(tasks, k) < 0)
            Union(top[top[k].first], top[top[k].first + 1], &top[k]);
    for (int a = 0; a < 3; ++a)
        scene->largest = std::max({scene->largest, std::fabs(top[0].lo[a]), std::fabs(top[0].hi[a])});
    const auto subtree_at = [&](uint32_t b) { return top[b].count == 0 ? TaskAt(tasks, b) : -1L; };
    WideNodes top_wide;
    std::vector<Link> links;
    if (top[0].count != 0) {  // the whole tree is one leaf
        top_wide.push_back(EmptyNode());
        SetLane(top[0], 0, 0, &top_wide[0]);
    } else {  // more than a leaf's triangles: the top splits at least once
        WidenInto(top, top_wide, subtree_at, &links);
    }
    std::vector<size_t> base(tasks.size());
    size_t total = top_wide.size();
    for (size_t i = 0; i < tasks.size(); ++i) {
        base[i] = total;
        total += wides[i].size();
    }
    for (const Link& link : links)
        top_wide[link.wide].first[link.lane] = uint32_t(base[link.task]);
    scene->nodes = LargeArray<RayNode>(total, threads);
    if (!scene->nodes)
        return false;
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

}  // namespace

bool BuildRayScene(float* corners, uint32_t triangle_count, int threads, RayScene* scene)
{
    *scene = RayScene{corners, triangle_count, nullptr, 0, 0, nullptr};
    scene->order = LargeArray<uint32_t>(triangle_count, threads);
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
    TreeNodes top(1);
    std::vector<Task> tasks;
    BuildTop(codes, 0, count, depth, top, 0, tasks);
    // Each subtree is built and widened on a worker; its root's box takes its task's
    // place at the top.
    std::vector<WideNodes> wides(tasks.size());
    const auto none = [](uint32_t) { return -1L; };
    ParallelFor(threads, int64_t(tasks.size()), [&](int64_t i, int) {
        const Task& task = tasks[size_t(i)];
        TreeNodes subtree;
        subtree.reserve(2 * (task.end - task.begin));  // the most a subtree can hold
        subtree.resize(1);
        BuildNode(*scene, codes, task.begin, task.end, subtree, 0);
        top[task.node] = subtree[0];
        if (subtree[0].count == 0) {
            wides[size_t(i)].reserve((task.end - task.begin) / 2 + 1);
            WidenInto(subtree, wides[size_t(i)], none, nullptr);
        }
    });
    FreeLargeArray(codes, count);
    if (!JoinTree(top, tasks, wides, threads, scene)) {
        FreeRayScene(scene);
        return false;
    }
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
