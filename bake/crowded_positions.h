// Positions that many faces share, which the tangent generator handles in time that
// grows with the square of their faces: the moves that hand them over in runs and
// blocks, and the ids of the positions as moved.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bake/generator_view.h"

// All take the whole layout's positions by value per face corner (SlotPositions).
// How far the generator's view of each face corner of the whole layout (4 a face) is
// moved, or null when no position is crowded (nothing changes) or memory runs out.
// Released with LargeFree and NudgeBytes of the layout's faces.
uint32_t* CrowdNudges(const MeshSurface& s, const uint32_t* slots, const Context& whole);
size_t NudgeBytes(uint32_t faces);
// Ids for the positions the generator is given (see GeneratorPositionId): past
// position_count for moved ones; entry position_count + 1 is the count of ids. Null
// when memory runs out.
uint32_t* MovedPositions(const MeshSurface& s, const uint32_t* slots, const Context& whole);
// The id of the position the generator is given at corner `k` of face `m`.
uint32_t GeneratorPositionId(const uint32_t* slots, const uint32_t* moved, const Context& whole, uint32_t m, int k);
