// Crowded positions: runs of faces kept apart by nudged normals, and runs and blocks
// moved apart by units in the last place, so that the generator's welding and grouping
// stay linear and pieces of a layout can split a crowded position between them.
#include "bake/crowded_positions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "assets/large_block.h"

namespace {

// Around a position many faces share, the generator's time grows with the square of
// their number: it welds a corner there by comparing it with the others there, and
// compares every face of a welded vertex with every other. A position more faces share
// than CROWD_FACES is handed over in runs of RUN_FACES faces, and in blocks of
// BLOCK_FACES faces in file order, which pieces of the layout can then split between
// them; the other positions as they are.
constexpr uint32_t CROWD_FACES = 128;
constexpr uint32_t RUN_FACES = 32;
constexpr uint32_t BLOCK_FACES = 4096;
// Two units apart: the generator's welding halves the span between the values it sorts,
// and between neighbouring floats there is no value to split at.
constexpr uint32_t RUN_UNITS = 2;

// A corner at a crowded position: what the generator welds it by besides its position.
struct Crowded {
    uint32_t id;       // the position's
    uint32_t block;    // which BLOCK_FACES faces there, in file order
    uint32_t bits[5];  // its normal and texture coordinates
    uint32_t slot;     // face * 4 + corner
    bool operator<(const Crowded& o) const
    {
        if (id != o.id || block != o.block)
            return id != o.id ? id < o.id : block < o.block;
        return std::lexicographical_compare(bits, bits + 5, o.bits, o.bits + 5);
    }
};

// Gives the crowded corners of one position, sorted, their moves along `axis`: each
// block RUN_UNITS units in the last place past the one before, and where a block has
// more than CROWD_FACES distinct normals and texture coordinates, each run of RUN_FACES
// of them as far again, so that the welding compares few at a time. The first block's
// first run stays where it is.
void SpreadPosition(const Crowded* corners, size_t count, uint32_t axis, uint32_t* nudges)
{
    uint32_t first_run = 0;  // of the block
    for (size_t i = 0; i < count;) {
        size_t j = i, distinct = 0;
        for (; j < count && corners[j].block == corners[i].block; ++j)
            distinct += j == i || corners[j - 1] < corners[j];
        const bool spread = distinct > CROWD_FACES;
        for (size_t rank = 0, k = i; k < j; ++k) {
            rank += k > i && corners[k - 1] < corners[k];
            const size_t run = first_run + (spread ? rank / RUN_FACES : 0);
            nudges[corners[k].slot] |= uint32_t(std::min<size_t>(run * RUN_UNITS, NUDGE_ULPS)) | axis;
        }
        first_run += spread ? uint32_t((distinct + RUN_FACES - 1) / RUN_FACES) : 1;
        i = j;
    }
}

}  // namespace

size_t NudgeBytes(uint32_t faces)
{
    return std::max<size_t>(faces, 1) * 4 * sizeof(uint32_t);
}

// How far the generator's view of each face corner (4 a face) is nudged, or null when
// no position is crowded (nothing changes) or memory runs out (it then takes its time).
// At a crowded position, the corners of every RUN_FACES-th face that are not there get
// their normals nudged: the faces around it then form runs of at most that many, which
// the generator does not join. The position itself is moved by units in the last place
// (SpreadPosition) along the axis where it is nearest 0: blocks, and runs of a block
// with many distinct values, become positions of their own. Both change the generator's
// sums by about what rounding does.
uint32_t* CrowdNudges(const MeshSurface& s, const uint32_t* slots, const Context& whole)
{
    const uint32_t face_count = whole.member_count;
    auto* faces = static_cast<uint32_t*>(std::calloc(size_t(s.position_count) + 1, sizeof(uint32_t)));
    const auto id_of = [&](uint32_t m, int k) { return slots[size_t(m) * 4 + size_t(k)]; };
    bool crowded = false;
    for (uint32_t m = 0; faces && m < face_count; ++m)
        for (int k = 0; k < CornersOf(whole, int(m)); ++k)
            crowded = ++faces[id_of(m, k)] > CROWD_FACES || crowded;
    auto* seen = crowded ? static_cast<uint32_t*>(std::calloc(size_t(s.position_count) + 1, sizeof(uint32_t))) : nullptr;
    auto* nudges = seen ? static_cast<uint32_t*>(LargeResize(nullptr, 0, NudgeBytes(face_count))) : nullptr;
    if (nudges)
        std::memset(nudges, 0, NudgeBytes(face_count));
    // The crowded corners position after position, each position's in file order: a
    // block is a stretch of its own, which needs sorting only when its values differ.
    auto* start = nudges ? static_cast<size_t*>(std::malloc((size_t(s.position_count) + 2) * sizeof(size_t))) : nullptr;
    size_t total = 0;
    for (uint32_t id = 0; start && id <= s.position_count; ++id) {
        start[id] = total;
        total += faces[id] > CROWD_FACES ? faces[id] : 0;
    }
    const size_t corner_bytes = std::max<size_t>(total, 1) * sizeof(Crowded);
    auto* corners = start ? static_cast<Crowded*>(LargeResize(nullptr, 0, corner_bytes)) : nullptr;
    for (uint32_t m = 0; corners && m < face_count; ++m) {
        const int n = CornersOf(whole, int(m));
        for (int k = 0; k < n; ++k) {
            const uint32_t id = id_of(m, k);
            if (faces[id] <= CROWD_FACES)
                continue;
            const uint32_t order = seen[id]++;
            if ((order + 1) % RUN_FACES == 0)  // a face ending a run: apart from its neighbours
                for (int other = 0; other < n; ++other)
                    if (other != k && faces[id_of(m, other)] <= CROWD_FACES)
                        nudges[size_t(m) * 4 + size_t(other)] |= NUDGE_NORMAL;
            Crowded c{id, order / BLOCK_FACES, {}, m * 4 + uint32_t(k)};
            const uint32_t corner = CornerOf(whole, int(m), k);
            const Vec3 normal = NormalOf(whole, corner);
            float t[2];
            TexCoordOf(s, corner, t);
            const float values[5] = {normal.x, normal.y, normal.z, t[0], t[1]};
            for (int i = 0; i < 5; ++i)
                c.bits[i] = Bits(values[i]);
            corners[start[id] + order] = c;
        }
    }
    for (size_t i = 0, j = 0; corners && i < total; i = j) {
        for (j = i; j < total && corners[j].id == corners[i].id && corners[j].block == corners[i].block; ++j) {
        }
        const auto differs = [&](const Crowded& c) { return std::memcmp(c.bits, corners[i].bits, sizeof c.bits) != 0; };
        if (std::any_of(corners + i, corners + j, differs))
            std::sort(corners + i, corners + j);
    }
    for (size_t i = 0, j = 0; corners && i < total; i = j) {
        for (j = i; j < total && corners[j].id == corners[i].id; ++j) {
        }
        // Along the axis where the position is nearest 0, where units in the last place are smallest.
        const Vec3 p = Position(s, CornerOf(whole, int(corners[i].slot / 4), int(corners[i].slot % 4)));
        const float size[3] = {std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)};
        const int smallest = size[0] <= size[1] && size[0] <= size[2] ? 0 : size[1] <= size[2] ? 1 : 2;
        SpreadPosition(corners + i, j - i, uint32_t(smallest) << NUDGE_AXIS_SHIFT, nudges);
    }
    if (nudges && !corners) {  // out of memory: the generator takes its time
        LargeFree(nudges, NudgeBytes(face_count));
        nudges = nullptr;
    }
    LargeFree(corners, corner_bytes);
    std::free(start);
    std::free(faces);
    std::free(seen);
    return nudges;
}

// Ids for the positions the generator is given, where crowded positions are moved
// (CrowdNudges): position p moved by u units is numbered moved[p] + u - 1, past
// position_count; moved[position_count + 1] is the count of ids. Null when memory runs out.
uint32_t* MovedPositions(const MeshSurface& s, const uint32_t* slots, const Context& whole)
{
    auto* moved = static_cast<uint32_t*>(std::calloc(size_t(s.position_count) + 2, sizeof(uint32_t)));
    for (uint32_t m = 0; moved && whole.nudges && m < whole.member_count; ++m)
        for (int k = 0; k < CornersOf(whole, int(m)); ++k) {
            uint32_t& most = moved[slots[size_t(m) * 4 + size_t(k)]];
            most = std::max(most, whole.nudges[size_t(m) * 4 + size_t(k)] & NUDGE_ULPS);
        }
    size_t next = size_t(s.position_count) + 1;
    for (uint32_t p = 0; moved && p <= s.position_count; ++p) {
        const uint32_t units = moved[p];
        moved[p] = uint32_t(next);
        next += units;
    }
    if (moved && next > UINT32_MAX) {
        std::free(moved);
        return nullptr;
    }
    if (moved)
        moved[s.position_count + 1] = uint32_t(next);
    return moved;
}

uint32_t GeneratorPositionId(const uint32_t* slots, const uint32_t* moved, const Context& whole, uint32_t m, int k)
{
    const uint32_t id = slots[size_t(m) * 4 + size_t(k)];
    const uint32_t units = whole.nudges ? whole.nudges[size_t(m) * 4 + size_t(k)] & NUDGE_ULPS : 0;
    return units ? moved[id] + units - 1 : id;
}
