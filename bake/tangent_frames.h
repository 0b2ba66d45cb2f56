// Tangent frames of one layout for normal-map bakes: for every corner of every record
// of the remap table, MikkTSpace's tangent and bitangent sign and the normal (each
// distinct frame kept once), from one file's positions, normals (or, without them,
// normals smoothed within each smoothing group) and texture coordinates. Faces of up to
// four corners go to MikkTSpace whole; larger ones as the loader fans them.
#pragma once

#include <cstdint>

#include "assets/mesh_pair.h"

struct CornerFrame {
    float tangent[3];
    float sign;       // the bitangent is sign * (normal x tangent)
    float normal[3];
};

struct FrameTable {
    CornerFrame* frames;   // each distinct frame once (entry 0 is all zero), with room to spare
    uint32_t* corners;     // 3 per record, in the table's order: the entry of its frame
    int32_t records;
    size_t frame_room;     // entries there is room for: one per face corner, and entry 0
    uint32_t skipped_faces;  // faces with values that are not finite (or too large to
                             // compute with), never given to the generator: zero frames
    bool borrowed;           // the arrays are another table's (a layout given twice),
                             // which outlives this one: FreeFrames leaves them
};

// The frames of `layouts` layouts at once on `threads` workers, for the first
// `records[i]` records of the table (those the file's faces give; any beyond keep zero
// frames). With `piece_faces` > 0 a large layout goes to the generator in pieces of
// that many faces, each with the faces around it, which gives the frames of one call;
// a layout whose faces rule that out, and any with `piece_faces` 0, goes in one call.
// *calls, when given, is set to the calls the layouts went in. False when memory runs out.
bool MakeFrames(const MeshSurface surfaces[], const int32_t records[], int layouts, uint32_t piece_faces,
                int threads, FrameTable frames[], int* calls = nullptr);
// Pieces for `faces` faces on `threads` workers: enough to keep every worker busy, each
// large enough that the faces around it add little, and small enough to stay in cache.
uint32_t FramePieceFaces(int64_t faces, int threads);
void FreeFrames(FrameTable* frames);
