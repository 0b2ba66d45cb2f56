// UDIM tile sets: a name with "<UDIM>" stands for the files where it is a tile number
// (1001 + column + 10 * row, columns 0 to 9), and texture coordinates name the tile
// that holds them.
#pragma once

#include <string>
#include <vector>

#include "bake/sampling.h"

constexpr int FIRST_TILE = 1001;
constexpr int LAST_TILE = 9999;
constexpr int TILE_COUNT = LAST_TILE - FIRST_TILE + 1;
constexpr int TILE_COLUMNS = 10;

bool HasUdim(const std::string& name);
// The name with "<UDIM>" replaced by the tile's number.
std::string TileName(const std::string& pattern, int tile);

// The tiles of the files the pattern stands for, ascending; false with *error naming
// the file when none exists, or when a file it matches is not named by a tile number
// (four digits, 1001 or more).
bool FindTiles(const std::string& pattern, std::vector<int>* tiles, std::string* error);

// The tile that holds coordinates (u, v) as the file gives them (v up). Outside the
// grid the nearest column or row holds them: u below 0 is column 0, u of 10 or more
// column 9, v below 0 row 0, v beyond the last whole row of tile numbers that row.
inline int TileAt(double u, double v)
{
    const double column = FastFloor(u), row = FastFloor(v);
    constexpr int ROWS = TILE_COUNT / TILE_COLUMNS;
    const int c = !(column >= 0) ? 0 : column >= TILE_COLUMNS - 1 ? TILE_COLUMNS - 1 : int(column);
    const int r = !(row >= 0) ? 0 : row >= ROWS - 1 ? ROWS - 1 : int(row);
    return FIRST_TILE + c + TILE_COLUMNS * r;
}
// The column's and row's lower coordinates of a tile.
inline int TileColumn(int tile)
{
    return (tile - FIRST_TILE) % TILE_COLUMNS;
}
inline int TileRow(int tile)
{
    return (tile - FIRST_TILE) / TILE_COLUMNS;
}
