// The faces of one layout as the tangent generator is handed them: whole faces of up to
// four corners and fanned triangles of larger ones, all of them or one call's members,
// and each corner's values as given (crowded positions moved apart, see
// crowded_positions.h), with whether the generator takes a face as sound.
#pragma once

#include <cstdint>

#include "assets/mesh_pair.h"
#include "bake/surface_values.h"
#include "bake/tangent_frames.h"

// Values per corner the generator reads: position, normal, texture coordinates.
constexpr int VALUES = 8;

// How a crowded position's corner is moved (crowded_positions.h), 4 a face:
constexpr uint32_t NUDGE_NORMAL = 0x80000000u;  // the corner's normal moves by one unit in the last place
constexpr int NUDGE_AXIS_SHIFT = 29;            // bits 29 and 30: which axis of the position moves
constexpr uint32_t NUDGE_ULPS = 0x1FFFFFFFu;    // and by how many units in the last place

// One face as MikkTSpace sees it: a whole face of three or four corners, or one fanned
// triangle of a larger face.
struct MikkFace {
    uint32_t face;    // the file's face
    uint32_t first;   // its first record
    int32_t fan;      // which fanned triangle, or -1 for the whole face
};

// Where one call puts the frames it makes: each distinct one once, from `next` on in the
// layout's frame list (the call's own stretch of it), found again through an open table.
struct FrameSink {
    uint32_t next;
    uint32_t* slots;  // 1 + entry, or 0 for none
    size_t mask;
    uint32_t last;    // 1 + the entry found last, or 0: runs of corners share one frame
};

// One call's view of a layout: some of its faces (its members), or all of them.
struct Context {
    const MeshSurface* surface;
    const MikkFace* faces;      // the layout's
    const uint32_t* members;    // the faces this call hands over, in order; null for all
    uint32_t member_count;
    uint32_t core_begin;        // the faces whose frames this call gives
    uint32_t core_end;
    const Vec3* normals;        // per face corner, for corners without a normal of their own
    FrameTable* frames;
    FrameSink* sink;            // where this call's frames go
    // A piece's corners copied out together, which the generator reads many times over:
    // VALUES per corner (position, normal, texture coordinates), each face's first corner
    // and one more. Null where the generator reads the surface itself.
    const uint32_t* first_value;
    const float* values;
    const uint32_t* nudges;     // per face corner (4 a face) of the layout, or null: see CrowdNudges
};

// The layout's face that the call's face `face` is.
uint32_t FaceIndex(const Context& c, int face);
// The face corner that the generator's vertex `vert` of face `face` is.
uint32_t CornerOf(const Context& c, int face, int vert);
int CornersOf(const Context& c, int face);
// The copied values of a corner, from `offset` on.
const float* Copied(const Context& c, int face, int vert, int offset);
// The file's normal where the corner has one, else the one made for it.
Vec3 NormalOf(const Context& c, uint32_t corner);
// The position and normal the generator is given: the corner's, moved at crowded positions.
Vec3 GeneratorPosition(const Context& c, int face, int vert);
Vec3 GeneratorNormal(const Context& c, int face, int vert);
// All VALUES the generator is given for a corner.
void GeneratorValues(const Context& c, int face, int vert, float out[VALUES]);
// Whether a face is sound whichever way the generator splits it, with finite values at
// every corner.
bool SoundFace(const Context& c, int face);
// The corner's position by value (SamePositions' `ids`), corners without one as one more.
uint32_t PositionId(const MeshSurface& s, const uint32_t* ids, uint32_t corner);
// The same for every corner of the call's faces, 4 a face (face * 4 + corner), looked up
// once for the many passes over them; release with FreeSlotPositions. Null when memory
// runs out.
uint32_t* SlotPositions(const MeshSurface& s, const uint32_t* ids, const Context& c);
void FreeSlotPositions(uint32_t* slots, const Context& c);
