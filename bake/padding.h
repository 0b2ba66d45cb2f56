// Edge padding: the pixels around the islands of a bake take the value of the nearest
// island pixel, so that filtering and mipmaps show no seams at island edges.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills every pixel outside the islands (island[i] == 0) but within `reach` steps of
// one (a step reaches the 8 neighbours) with the whole value of a pixel one step
// nearer the island: its left, right, upper or lower neighbour first, else a diagonal
// one. Works ring by ring outwards; marks the filled pixels 1 in `island` and returns
// how many it filled.
int64_t PadIslands(unsigned char* pixels, size_t pixel_bytes, uint8_t* island, int32_t width, int32_t height,
                   int reach);
