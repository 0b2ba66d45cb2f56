// The bake's drawing, on the CPU: every drawable record of the remap table drawn into
// the output as the viewer's GL draws it (vertices snapped to 1/256 of a sample, the
// top-left fill rule, GL_LINEAR or GL_NEAREST sampling with REPEAT wrap), with
// samples x samples samples per pixel, in bands of rows on every thread. The bytes
// depend only on the inputs: not on the thread count, nor on the machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "assets/png_decode.h"
#include "bake/surface_match.h"
#include "bake/tangent_frames.h"
#include "bake/udim.h"

// How a tangent-space normal map's texels turn from the source layout's frames into the
// target layout's: per sample, both frames are interpolated at the sample's place in
// its record (tangent and normal not normalised, bitangent = sign * normal x tangent),
// the texel decoded in the source frame and solved for in the target frame.
struct NormalMapping {
    const FrameTable* source;
    const FrameTable* target;
    bool y_down;  // green is -v on both sides instead of +v
    // Per record, where the target's faces are the source's in other places: the matrix
    // (FaceTurns) that takes the decoded normal into the target's space. Null: none.
    const double* turns = nullptr;
};

// A UDIM set as the drawing samples it: tile FIRST_TILE + i is tiles[i], null where the
// set has no image. Every tile is at the drawing's depth.
struct TileImages {
    const DeepImage* tiles[TILE_COUNT];
};

struct RenderRequest {
    const DeepImage* image;  // sampled with the source coordinates
    int32_t width;           // output size in pixels
    int32_t height;
    int samples;             // per side: samples x samples samples per pixel, 1 to 15
    bool nearest;            // nearest filtering instead of linear
    int threads;             // workers, at least 1
    const NormalMapping* normals;  // set for a normal map
    void (*progress)(int64_t done, int64_t total, void* context);  // per band, when set
    void* progress_context;
    // Set to find each sample's source by a ray; the table then holds the target's own
    // triangles. Else a record's corners sample the image at its source coordinates.
    const SurfaceTransfer* surface = nullptr;
    // Set for a UDIM source: each sample reads the tile its coordinates fall in, at their
    // fraction, as one image with REPEAT (`image` is then one of the tiles).
    const TileImages* tiles = nullptr;
    // A tile of a UDIM output: only that tile's part of the target layout is drawn, its
    // corner at the output's. 0: the whole layout, where it falls.
    int target_tile = 0;
    // The records that may be drawn, ascending (those that reach the tile); all where null.
    const std::vector<uint32_t>* records = nullptr;
};

// Every output pixel, first row first.
struct RenderResult {
    void* pixels;      // width x height RGBA at the image's depth: the mean of the covered
                       // samples, 0 where none is covered
    uint8_t* covered;  // width x height: how many of the samples x samples are covered
    uint8_t* missed;   // width x height with a surface transfer: how many found no source
    int missing_tile;  // the lowest tile a sample needed that has no image; 0 for none
};

// False when memory runs out: nothing is then allocated and *error says how much was asked.
bool RenderRemap(const RenderRequest& request, RenderResult* result, std::string* error);
void FreeRenderResult(RenderResult* result, const RenderRequest& request);
