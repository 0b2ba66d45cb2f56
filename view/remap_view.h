// Remap view: the application on top of the window framework. plxInit loads
// texture.png, mesh1.obj and mesh2.obj from the current directory once the GL context
// exists; DrawRemapView draws every drawable record of the remap table textured with
// its source coordinates at its target coordinates (one texel per pixel, 20 pixels in
// from the client's top-left corner) on blue, framed by four white guide bands.
#pragma once

constexpr float REMAP_OFFSET = 20.0f;  // pixels between the client's corner and the image

void plxInit();
void DrawRemapView();

// Every drawable record of the remap table in one glBegin/glEnd, textured with its
// source coordinates (the texture bound by the caller) at its target coordinates times
// (scale_x, scale_y) plus (offset_x, offset_y): the placement the viewer and the bake
// share, so that what is baked is what the window shows.
void DrawRemapTable(float scale_x, float scale_y, float offset_x, float offset_y);

// White bands one pixel thick across the whole client area: column x, row y.
void DrawVerticalBand(float x);
void DrawHorizontalBand(float y);
