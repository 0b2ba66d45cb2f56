// Tangent frames of one layout for normal-map bakes: for every corner of every record
// of the remap table, MikkTSpace's tangent and bitangent sign and the normal, from one
// file's positions, normals (or, without them, normals smoothed within each smoothing
// group) and texture coordinates. Faces of up to four corners go to MikkTSpace whole;
// larger ones as the loader fans them.
#pragma once

#include <cstdint>

#include "assets/mesh_pair.h"

struct CornerFrame {
    float tangent[3];
    float sign;       // the bitangent is sign * (normal x tangent)
    float normal[3];
};

struct FrameTable {
    CornerFrame* corners;  // 3 per record, in the table's order
    int32_t records;
};

// Frames for the first `records` records of the table (those the file's faces give;
// any beyond keep zero frames). False when memory runs out.
bool MakeFrames(const MeshSurface& surface, int32_t records, FrameTable* frames);
void FreeFrames(FrameTable* frames);
