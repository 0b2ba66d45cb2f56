// Offscreen drawing of the remap table into pixels for the bake: the image becomes a
// texture at its own size and depth, the table is drawn through view/'s drawing into
// framebuffer objects of the image's depth, tile by tile where the output is larger
// than GL can draw at once, with samples x samples samples per pixel.
#pragma once

#include <cstdint>
#include <string>

#include "assets/png_decode.h"

struct RenderRequest {
    const DeepImage* image;  // sampled with the source coordinates
    int32_t width;           // output size in pixels
    int32_t height;
    int samples;             // per side: samples x samples samples per pixel, 1 to 15
    bool nearest;            // nearest filtering instead of linear
    void (*progress)(int64_t done, int64_t total, void* context);  // per tile, when set
    void* progress_context;
};

// Every output pixel, first row first.
struct RenderResult {
    void* pixels;      // width x height RGBA at the image's depth: the mean of the covered
                       // samples, 0 where none is covered
    uint8_t* covered;  // width x height: how many of the samples x samples are covered
};

enum class RenderStatus { OK, NO_GL, NO_MEMORY };

// Needs a current GL context. On failure nothing is allocated and *error says why.
RenderStatus RenderRemap(const RenderRequest& request, RenderResult* result, std::string* error);
void FreeRenderResult(RenderResult* result, const RenderRequest& request);
