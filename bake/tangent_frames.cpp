// Tangent frames through the reference MikkTSpace generator: the file's faces are
// handed over as they stand, a large layout in pieces on every worker, and what it
// gives each face corner is kept once per distinct frame and named by every record
// corner that corner became.
#include "bake/tangent_frames.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "assets/large_block.h"
#include "bake/crowded_positions.h"
#include "bake/generator_view.h"
#include "bake/surface_values.h"
#include "support/parallel.h"

extern "C" {
#include "mikktspace.h"
}

namespace {

const Context& Of(const SMikkTSpaceContext* context)
{
    return *static_cast<const Context*>(context->m_pUserData);
}

int FaceCount(const SMikkTSpaceContext* context)
{
    return int(Of(context).member_count);
}

int CornerCount(const SMikkTSpaceContext* context, const int face)
{
    return CornersOf(Of(context), face);
}

void GetPosition(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    const Context& c = Of(context);
    if (c.values) {
        std::memcpy(out, Copied(c, face, vert, 0), 3 * sizeof(float));
        return;
    }
    const Vec3 p = GeneratorPosition(c, face, vert);
    out[0] = p.x;
    out[1] = p.y;
    out[2] = p.z;
}

void GetNormal(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    if (Of(context).values) {
        std::memcpy(out, Copied(Of(context), face, vert, 3), 3 * sizeof(float));
        return;
    }
    const Vec3 n = GeneratorNormal(Of(context), face, vert);
    out[0] = n.x;
    out[1] = n.y;
    out[2] = n.z;
}

void GetTexCoord(const SMikkTSpaceContext* context, float out[], const int face, const int vert)
{
    const Context& c = Of(context);
    if (c.values)
        std::memcpy(out, Copied(c, face, vert, 6), 2 * sizeof(float));
    else
        TexCoordOf(*c.surface, CornerOf(c, face, vert), out);
}

uint32_t Entry(const Context& c, const CornerFrame& frame)
{
    FrameSink& sink = *c.sink;
    if (sink.last && std::memcmp(&c.frames->frames[sink.last - 1], &frame, sizeof frame) == 0)
        return sink.last - 1;
    uint32_t bits[7];
    std::memcpy(bits, &frame, sizeof bits);
    uint64_t key = 0;
    for (const uint32_t b : bits)
        key = (key ^ b) * 0x9E3779B97F4A7C15u;
    for (size_t slot = size_t(key >> 32) & sink.mask;; slot = (slot + 1) & sink.mask) {
        const uint32_t entry = sink.slots[slot];
        if (entry == 0) {
            c.frames->frames[sink.next] = frame;
            sink.slots[slot] = sink.next + 1;
            sink.last = sink.next + 1;
            return sink.next++;
        }
        if (std::memcmp(&c.frames->frames[entry - 1], &frame, sizeof frame) == 0) {
            sink.last = entry;
            return entry - 1;
        }
    }
}

void Store(const Context& c, uint32_t record, int slot, uint32_t entry)
{
    if (record < uint32_t(c.frames->records))
        c.frames->corners[size_t(record) * 3 + size_t(slot)] = entry;
}

// Writes the frame of a face corner to every record corner it became: corner 0 of a
// face is corner 0 of all its records; corner j > 0 is corner 1 of record j - 1 and
// corner 2 of record j - 2.
void SetFrame(const SMikkTSpaceContext* context, const float tangent[], const float sign, const int face,
              const int vert)
{
    const Context& c = Of(context);
    const uint32_t index = FaceIndex(c, face);
    if (index < c.core_begin || index >= c.core_end)
        return;  // a face handed over for its neighbours' sake; its own call gives its frames
    const MikkFace& f = c.faces[index];
    const Vec3 n = NormalOf(c, CornerOf(c, face, vert));
    const uint32_t frame = Entry(c, CornerFrame{{tangent[0], tangent[1], tangent[2]}, sign, {n.x, n.y, n.z}});
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

// The corners of all the faces the generator is given: fanned faces give 3 per triangle.
size_t MikkCorners(const MeshSurface& s)
{
    size_t corners = 0;
    for (uint32_t f = 0; f < s.face_count; ++f) {
        const uint32_t n = s.face_start[f + 1] - s.face_start[f];
        corners += n <= 4 ? n : 3 * (n - 2);
    }
    return corners;
}

size_t CornerBytes(int32_t records)
{
    return std::max<size_t>(size_t(std::max(records, 0)) * 3 * sizeof(uint32_t), 1);
}

// One layout's work: its faces as the generator sees them, and the calls they are
// handed over in.
struct Layout {
    FrameTable made;
    MikkFace* faces;
    uint32_t face_count;
    Vec3* normals;
    uint32_t piece_faces;   // faces whose frames one call gives
    uint32_t pieces;        // calls
    uint32_t* members;      // the faces each call hands over, call after call; null for one call
    size_t* member_start;   // pieces + 1 offsets into the members
    uint32_t* frame_start;  // pieces + 1: each call's stretch of the frame list
    uint32_t* nudges;       // see CrowdNudges
    bool ready;
};

Context WholeLayout(const MeshSurface& s, const Layout& l)
{
    return Context{&s, l.faces, nullptr, l.face_count, 0, l.face_count, l.normals,
                   const_cast<FrameTable*>(&l.made), nullptr, nullptr, nullptr, l.nudges};
}

// Leaves the layout to go in one call.
void OneCall(Layout& l)
{
    std::free(l.members);
    std::free(l.member_start);
    std::free(l.frame_start);
    l.members = nullptr;
    l.member_start = nullptr;
    l.frame_start = nullptr;
    l.pieces = 1;
    l.piece_faces = l.face_count;
}

uint32_t Root(uint32_t* parent, uint32_t id)
{
    while (parent[id] != id)
        id = parent[id] = parent[parent[id]];
    return id;
}

// Joins the positions of every face the generator may take as unsound (see SoundFace),
// as it finds it: one joined position stands for them all.
void JoinUnsoundFaces(const uint32_t* slots, const uint32_t* moved, const Context& whole, uint32_t* parent, size_t count)
{
    for (size_t id = 0; id < count; ++id)
        parent[id] = uint32_t(id);
    for (uint32_t m = 0; m < whole.member_count; ++m) {
        if (SoundFace(whole, int(m)))
            continue;
        uint32_t root = Root(parent, GeneratorPositionId(slots, moved, whole, m, 0));
        for (int k = 1; k < CornersOf(whole, int(m)); ++k) {
            const uint32_t other = Root(parent, GeneratorPositionId(slots, moved, whole, m, k));
            parent[std::max(root, other)] = std::min(root, other);
            root = std::min(root, other);
        }
    }
}

// Splits the layout into calls of `piece_faces` faces each, every one handed over with
// all the faces that share a position with it, as the generator is given positions (a
// crowded one's blocks apart). The generator's frame at a corner comes from the faces
// around the corner's welded vertex alone, where they are sound; a face it finds unsound
// takes its orientation from whichever group reaches it first, at any of its corners,
// so the positions of unsound faces count as one (JoinUnsoundFaces), and a call has all
// the faces that can reach its own. Each call then gives its own faces the frames of one
// call over the whole layout. One call when the pieces would overlap too much to pay,
// or memory runs out.
void SplitIntoPieces(const MeshSurface& s, const uint32_t* slots, Layout& l)
{
    const Context whole = WholeLayout(s, l);
    uint32_t* moved = MovedPositions(s, slots, whole);
    const size_t count = moved ? moved[s.position_count + 1] : 0;
    auto* low = count ? static_cast<uint32_t*>(std::malloc(count * sizeof(uint32_t))) : nullptr;
    auto* high = low ? static_cast<uint32_t*>(std::calloc(count, sizeof(uint32_t))) : nullptr;
    auto* parent = high ? static_cast<uint32_t*>(std::malloc(count * sizeof(uint32_t))) : nullptr;
    if (parent)
        JoinUnsoundFaces(slots, moved, whole, parent, count);
    const auto id_of = [&](uint32_t m, int k) { return Root(parent, GeneratorPositionId(slots, moved, whole, m, k)); };
    const uint32_t pieces = (l.face_count + l.piece_faces - 1) / l.piece_faces;
    bool split = parent != nullptr;
    if (split) {
        std::fill(low, low + count, pieces);
        for (uint32_t m = 0; m < l.face_count; ++m)
            for (int k = 0; k < CornersOf(whole, int(m)); ++k) {
                const uint32_t id = id_of(m, k), piece = m / l.piece_faces;
                low[id] = std::min(low[id], piece);
                high[id] = std::max(high[id], piece);
            }
    }
    // A face goes to every call from the first to the last that shares one of its
    // positions: more than is needed where a position's calls are far apart, which is
    // harmless, as is any face that shares no welded vertex with the call's own.
    auto* range = split ? static_cast<uint32_t*>(std::malloc(size_t(l.face_count) * 2 * sizeof(uint32_t))) : nullptr;
    size_t total = 0;
    for (uint32_t m = 0; range && m < l.face_count; ++m) {
        uint32_t first = pieces, last = 0;
        for (int k = 0; k < CornersOf(whole, int(m)); ++k) {
            const uint32_t id = id_of(m, k);
            first = std::min(first, low[id]);
            last = std::max(last, high[id]);
        }
        range[m * 2] = first;
        range[m * 2 + 1] = last;
        total += last - first + 1;
    }
    split = range && total <= size_t(l.face_count) * 2;
    l.members = split ? static_cast<uint32_t*>(std::malloc(total * sizeof(uint32_t))) : nullptr;
    l.member_start = l.members ? static_cast<size_t*>(std::calloc(size_t(pieces) + 1, sizeof(size_t))) : nullptr;
    split = l.member_start != nullptr;
    for (uint32_t m = 0; split && m < l.face_count; ++m)
        for (uint32_t p = range[m * 2]; p <= range[m * 2 + 1]; ++p)
            ++l.member_start[p + 1];
    for (uint32_t p = 0; split && p < pieces; ++p)
        l.member_start[p + 1] += l.member_start[p];
    for (uint32_t m = 0; split && m < l.face_count; ++m)  // in order, so each call keeps the layout's order
        for (uint32_t p = range[m * 2]; p <= range[m * 2 + 1]; ++p)
            l.members[l.member_start[p]++] = m;
    for (uint32_t p = pieces; split && p > 0; --p)  // back to the starts
        l.member_start[p] = l.member_start[p - 1];
    if (split)
        l.member_start[0] = 0;
    // Each call's stretch of the frame list: room for its own faces' corners.
    l.frame_start = split ? static_cast<uint32_t*>(std::malloc((size_t(pieces) + 1) * sizeof(uint32_t))) : nullptr;
    split = l.frame_start != nullptr;
    for (uint32_t m = 0, at = 1; split && m <= l.face_count; ++m) {
        if (m % l.piece_faces == 0 || m == l.face_count)
            l.frame_start[(m + l.piece_faces - 1) / l.piece_faces] = at;
        at += m < l.face_count ? uint32_t(CornersOf(whole, int(m))) : 0;
    }
    std::free(range);
    std::free(low);
    std::free(high);
    std::free(moved);
    std::free(parent);
    if (split)
        l.pieces = pieces;
    else
        OneCall(l);
}

// Sets the records of a face the generator is not given to the zero frame.
void ZeroFrames(FrameTable& made, uint32_t record, uint32_t count)
{
    const uint32_t records = uint32_t(std::max(made.records, 0));
    if (record < records)
        std::memset(made.corners + size_t(record) * 3, 0, size_t(std::min(count, records - record)) * 3 * sizeof(uint32_t));
}

// The generator's faces of one layout and the normals it is given; its frame table,
// with the records no face gives, and those of faces whose values are unusable, set to
// the zero frame (counted in skipped_faces).
void Prepare(const MeshSurface& s, int32_t records, uint32_t piece_faces, Layout& l)
{
    uint32_t mikk_faces = 0, face_records = 0;
    size_t missing = 0;  // corners without a normal
    auto* usable = static_cast<uint8_t*>(std::malloc(std::max<size_t>(s.face_count, 1)));
    for (uint32_t f = 0; usable && f < s.face_count; ++f) {
        const uint32_t n = s.face_start[f + 1] - s.face_start[f];
        usable[f] = UsableFace(s, f);
        mikk_faces += !usable[f] ? 0 : n <= 4 ? 1 : n - 2;
        face_records += n - 2;
        for (uint32_t corner = s.face_start[f]; corner < s.face_start[f + 1]; ++corner)
            missing += !HasNormal(s, corner);
    }
    const uint32_t corners = s.face_count ? s.face_start[s.face_count] : 0;
    l = Layout{};
    // Room for every corner's frame, though most are shared. From the C heap, in small
    // pages: those no call writes are never touched. Entry 0 is the zero frame.
    l.made.records = records;
    l.made.frame_room = size_t(MikkCorners(s)) + 1;
    l.made.frames = static_cast<CornerFrame*>(std::calloc(l.made.frame_room, sizeof(CornerFrame)));
    l.made.corners = static_cast<uint32_t*>(LargeResize(nullptr, 0, CornerBytes(records)));
    l.faces = static_cast<MikkFace*>(std::malloc(std::max<size_t>(mikk_faces, 1) * sizeof(MikkFace)));
    l.normals = missing ? static_cast<Vec3*>(std::malloc(corners * sizeof(Vec3))) : nullptr;
    l.ready = usable && l.made.frames && l.made.corners && l.faces && (l.normals || !missing) &&
              (!l.normals || MakeCornerNormals(s, usable, l.normals));
    l.pieces = 1;
    if (l.ready) {
        if (uint32_t(std::max(records, 0)) > face_records)  // records no face gives keep the zero frame
            ZeroFrames(l.made, face_records, uint32_t(records) - face_records);
        uint32_t m = 0, record = 0;
        for (uint32_t f = 0; f < s.face_count; ++f) {
            const uint32_t n = s.face_start[f + 1] - s.face_start[f];
            if (!usable[f] || !UsableNormals(s, l.normals, f)) {
                ZeroFrames(l.made, record, n - 2);
                ++l.made.skipped_faces;
            } else if (n <= 4) {
                l.faces[m++] = MikkFace{f, record, -1};
            } else {
                for (uint32_t k = 0; k < n - 2; ++k)
                    l.faces[m++] = MikkFace{f, record + k, int32_t(k)};
            }
            record += n - 2;
        }
        l.face_count = m;
        l.piece_faces = m;
        // Positions equal by value, as the generator welds them; without them (memory)
        // the layout goes in one call, crowded or not.
        uint32_t* ids = SamePositions(s);
        uint32_t* slots = ids ? SlotPositions(s, ids, WholeLayout(s, l)) : nullptr;
        std::free(ids);
        l.nudges = slots ? CrowdNudges(s, slots, WholeLayout(s, l)) : nullptr;
        if (piece_faces > 0 && m > piece_faces) {
            l.piece_faces = piece_faces;
            if (slots)
                SplitIntoPieces(s, slots, l);
            else
                OneCall(l);
        }
        FreeSlotPositions(slots, WholeLayout(s, l));
    }
    std::free(usable);
}

// A piece's corner values, copied out for the generator; false when memory runs out.
bool CopyValues(const Context& whole, Context& piece, uint32_t** first_value, float** values)
{
    *first_value = static_cast<uint32_t*>(std::malloc((size_t(piece.member_count) + 1) * sizeof(uint32_t)));
    if (!*first_value)
        return false;
    uint32_t corners = 0;
    for (uint32_t i = 0; i < piece.member_count; ++i) {
        (*first_value)[i] = corners;
        corners += uint32_t(CornersOf(whole, int(piece.members[i])));
    }
    (*first_value)[piece.member_count] = corners;
    *values = static_cast<float*>(std::malloc(size_t(corners) * VALUES * sizeof(float)));
    if (!*values)
        return false;
    float* out = *values;
    for (uint32_t i = 0; i < piece.member_count; ++i) {
        const int face = int(piece.members[i]);
        for (int k = 0; k < CornersOf(whole, face); ++k, out += VALUES)
            GeneratorValues(whole, face, k, out);
    }
    piece.first_value = *first_value;
    piece.values = *values;
    return true;
}

// One call of the generator: a piece of the layout, or all of it. False when memory runs out.
bool MakePiece(const MeshSurface& s, const Layout& l, uint32_t piece)
{
    const Context whole = WholeLayout(s, l);
    Context context = whole;
    uint32_t* first_value = nullptr;
    float* values = nullptr;
    FrameSink sink{1, nullptr, 0, 0};
    size_t room = l.made.frame_room - 1;
    bool made = true;
    if (l.members) {
        context.members = l.members + l.member_start[piece];
        context.member_count = uint32_t(l.member_start[piece + 1] - l.member_start[piece]);
        context.core_begin = piece * l.piece_faces;
        context.core_end = std::min(l.face_count, context.core_begin + l.piece_faces);
        sink.next = l.frame_start[piece];
        room = l.frame_start[piece + 1] - l.frame_start[piece];
        made = CopyValues(whole, context, &first_value, &values);
    }
    size_t slots = 2;
    while (slots < 2 * room)
        slots *= 2;
    sink.mask = slots - 1;
    sink.slots = made ? static_cast<uint32_t*>(std::calloc(slots, sizeof(uint32_t))) : nullptr;
    context.sink = &sink;
    made = made && sink.slots;
    if (made && context.member_count > 0) {
        SMikkTSpaceInterface callbacks{};
        callbacks.m_getNumFaces = FaceCount;
        callbacks.m_getNumVerticesOfFace = CornerCount;
        callbacks.m_getPosition = GetPosition;
        callbacks.m_getNormal = GetNormal;
        callbacks.m_getTexCoord = GetTexCoord;
        callbacks.m_setTSpaceBasic = SetFrame;
        SMikkTSpaceContext mikk{&callbacks, &context};
        made = genTangSpaceDefault(&mikk);
    }
    std::free(sink.slots);
    std::free(first_value);
    std::free(values);
    return made;
}

// Makes every call of the layouts on every worker, the whole layouts first as the
// longest calls. False when memory runs out.
bool MakeCalls(const MeshSurface surfaces[], const std::vector<Layout>& work, int threads)
{
    std::vector<std::pair<size_t, uint32_t>> jobs;
    for (int pass = 0; pass < 2; ++pass)
        for (size_t i = 0; i < work.size(); ++i)
            for (uint32_t p = 0; (work[i].pieces == 1) == (pass == 0) && p < work[i].pieces; ++p)
                jobs.emplace_back(i, p);
    std::atomic<bool> memory{true};
    ParallelFor(threads, int64_t(jobs.size()), [&](int64_t j, int) {
        const size_t i = jobs[size_t(j)].first;
        if (memory && !MakePiece(surfaces[i], work[i], jobs[size_t(j)].second))
            memory = false;
    });
    return memory;
}

// Whether two layouts hand the generator the same values, which give the same frames.
bool SameSurface(const MeshSurface& a, int32_t a_records, const MeshSurface& b, int32_t b_records)
{
    const auto same = [](const void* x, const void* y, size_t bytes) { return bytes == 0 || std::memcmp(x, y, bytes) == 0; };
    if (a_records != b_records || a.position_count != b.position_count || a.normal_count != b.normal_count ||
        a.texcoord_count != b.texcoord_count || a.face_count != b.face_count || a.face_count == 0)
        return false;
    const uint32_t corners = a.face_start[a.face_count];
    return same(a.face_start, b.face_start, (size_t(a.face_count) + 1) * sizeof(uint32_t)) &&
           same(a.corners, b.corners, size_t(corners) * 3 * sizeof(uint32_t)) &&
           same(a.smoothing, b.smoothing, size_t(a.face_count) * sizeof(uint32_t)) &&
           same(a.positions, b.positions, size_t(a.position_count) * 3 * sizeof(float)) &&
           same(a.normals, b.normals, size_t(a.normal_count) * 3 * sizeof(float)) &&
           same(a.texcoords, b.texcoords, size_t(a.texcoord_count) * sizeof(TexCoord));
}

}  // namespace

uint32_t FramePieceFaces(int64_t faces, int threads)
{
    return uint32_t(std::clamp<int64_t>(faces / (std::max(threads, 1) * 4), 4096, 32768));
}

bool MakeFrames(const MeshSurface surfaces[], const int32_t records[], int layouts, uint32_t piece_faces,
                int threads, FrameTable frames[], int* calls)
{
    // A layout given twice (one file as source and target) is made once, on every worker,
    // and its table lent to the other.
    std::vector<int> copy_of(size_t(std::max(layouts, 0)), -1);
    for (int i = 0; i < layouts; ++i)
        for (int j = 0; j < i && copy_of[size_t(i)] < 0; ++j)
            if (copy_of[size_t(j)] < 0 && SameSurface(surfaces[i], records[i], surfaces[j], records[j]))
                copy_of[size_t(i)] = j;
    std::vector<Layout> work(size_t(std::max(layouts, 0)));
    ParallelFor(threads, layouts, [&](int64_t i, int) {
        if (copy_of[size_t(i)] < 0)
            Prepare(surfaces[i], records[i], piece_faces, work[size_t(i)]);
        else
            work[size_t(i)].ready = true;  // and no calls of its own
    });
    bool all = std::all_of(work.begin(), work.end(), [](const Layout& l) { return l.ready; }) &&
               MakeCalls(surfaces, work, threads);
    if (calls)
        *calls = 0;
    for (int i = 0; i < layouts; ++i) {
        if (calls)
            *calls += int(work[size_t(i)].pieces);
        Layout& l = work[size_t(i)];
        std::free(l.faces);
        std::free(l.normals);
        LargeFree(l.nudges, NudgeBytes(l.face_count));
        OneCall(l);
        frames[i] = l.made;  // empty for a layout given twice, which borrows below
    }
    for (int i = 0; i < layouts; ++i)
        if (copy_of[size_t(i)] >= 0) {
            frames[i] = frames[copy_of[size_t(i)]];
            frames[i].borrowed = true;
        }
    for (int i = layouts; !all && i-- > 0;)  // the borrowers first
        FreeFrames(&frames[i]);
    return all;
}

void FreeFrames(FrameTable* frames)
{
    if (!frames->borrowed) {
        std::free(frames->frames);
        LargeFree(frames->corners, CornerBytes(frames->records));
    }
    *frames = FrameTable{};
}
