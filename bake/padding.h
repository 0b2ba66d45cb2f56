// Edge padding: the pixels around the islands of a bake take the value of the nearest
// island pixel, so that filtering and mipmaps show no seams at island edges.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills every pixel outside the islands (island[i] == 0) but within `reach` steps of
// one (a step reaches the 8 neighbours) with the whole value of a pixel one step
// nearer the island: its left, right, upper or lower neighbour first, else a diagonal
// one. Works ring by ring outwards; returns how many pixels it filled.
int64_t PadIslands(unsigned char* pixels, size_t pixel_bytes, const uint8_t* island, int32_t width,
                   int32_t height, int reach);
