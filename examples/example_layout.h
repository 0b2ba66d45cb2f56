// The bundled example's layout: four islands on a SIDE x SIDE texture, each with a large
// glyph, and where the target layout puts each island.
#pragma once

constexpr int SIDE = 256;        // the texture is SIDE x SIDE
constexpr int ISLAND = 112;      // each island is ISLAND x ISLAND
constexpr int GLYPH_SCALE = 12;  // 5 x 7 glyphs drawn 60 x 84

struct Island {
    int x, y;                 // top-left corner in the texture
    unsigned char r, g, b;    // colour
    const char* glyph[7];     // 5 x 7 bitmap, '#' set
};

constexpr Island kIslands[] = {
    {8, 8, 220, 40, 40, {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},      // F
    {136, 8, 40, 180, 60, {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},   // R
    {8, 136, 240, 150, 20, {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},  // 4
    {136, 136, 190, 60, 200, {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}}, // 7
};

// Whether pixel (x, y) of an island (0..ISLAND) is in its glyph.
inline bool Ink(const Island& island, int x, int y)
{
    const int glyph_x = (ISLAND - 5 * GLYPH_SCALE) / 2, glyph_y = (ISLAND - 7 * GLYPH_SCALE) / 2;
    if (x < glyph_x || y < glyph_y)
        return false;
    const int gx = (x - glyph_x) / GLYPH_SCALE, gy = (y - glyph_y) / GLYPH_SCALE;
    return gx < 5 && gy < 7 && island.glyph[gy][gx] == '#';
}

// Where a point (s, t) of island i (0..1, t downwards) lands in the target layout, in
// texture pixels: F moved, R turned a quarter clockwise, 4 mirrored, 7 halved.
inline void TargetPoint(int i, double s, double t, double* x, double* y)
{
    switch (i) {
    case 0: *x = 136 + ISLAND * s; *y = 136 + ISLAND * t; break;
    case 1: *x = 8 + ISLAND * (1 - t); *y = 136 + ISLAND * s; break;
    case 2: *x = 136 + ISLAND * (1 - s); *y = 8 + ISLAND * t; break;
    default: *x = 36 + ISLAND / 2 * s; *y = 36 + ISLAND / 2 * t; break;
    }
}
