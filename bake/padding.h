// Edge padding: the pixels around the islands of a bake take the value of the nearest
// island pixel, so that filtering and mipmaps show no seams at island edges.
#pragma once

#include <cstddef>
#include <cstdint>

// Gives every pixel outside the islands (island[i] == 0) whose Euclidean distance to
// the nearest island pixel is at most `reach` that pixel's whole value (of equally near
// ones, the one an exact distance transform finds first: the upper in a column, then
// the left), marks it 1 in `island` and counts it in *filled. Works on `threads`
// workers; false, with nothing changed, when memory runs out.
bool PadIslands(unsigned char* pixels, size_t pixel_bytes, uint8_t* island, int32_t width, int32_t height,
                int reach, int threads, int64_t* filled);

// The working memory PadIslands asks for.
size_t PaddingBytes(int32_t width, int32_t height, int threads);
