// Edge padding, ring by ring from the island edges outwards.
#include "bake/padding.h"

#include <cstring>
#include <vector>

namespace {

constexpr uint8_t EMPTY = 0, FILLED = 1, QUEUED = 2;

struct Grid {
    int32_t width, height;
    std::vector<uint8_t> state;

    uint8_t At(int64_t x, int64_t y) const
    {
        return x < 0 || y < 0 || x >= width || y >= height ? EMPTY : state[size_t(y) * width + size_t(x)];
    }
};

constexpr int STEPS[8][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};

// Queues the empty neighbours of pixel i for the next ring.
void QueueNeighbours(Grid& grid, size_t i, std::vector<size_t>& ring)
{
    const int64_t x = int64_t(i % size_t(grid.width)), y = int64_t(i / size_t(grid.width));
    for (const auto& step : STEPS) {
        const int64_t nx = x + step[0], ny = y + step[1];
        if (nx < 0 || ny < 0 || nx >= grid.width || ny >= grid.height)
            continue;
        const size_t n = size_t(ny) * grid.width + size_t(nx);
        if (grid.state[n] == EMPTY) {
            grid.state[n] = QUEUED;
            ring.push_back(n);
        }
    }
}

}  // namespace

int64_t PadIslands(unsigned char* pixels, size_t pixel_bytes, uint8_t* island, int32_t width, int32_t height,
                   int reach)
{
    if (reach <= 0 || width <= 0 || height <= 0)
        return 0;
    const size_t count = size_t(width) * size_t(height);
    Grid grid{width, height, std::vector<uint8_t>(count)};
    for (size_t i = 0; i < count; ++i)
        grid.state[i] = island[i] ? FILLED : EMPTY;
    // The first ring: empty pixels that touch an island.
    std::vector<size_t> ring, next;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const size_t i = size_t(y) * width + size_t(x);
            if (grid.state[i] != EMPTY)
                continue;
            for (const auto& step : STEPS) {
                if (grid.At(x + step[0], y + step[1]) == FILLED) {
                    ring.push_back(i);
                    break;
                }
            }
        }
    }
    for (size_t i : ring)
        grid.state[i] = QUEUED;
    int64_t filled = 0;
    for (int r = 0; r < reach && !ring.empty(); ++r) {
        // Every pixel of the ring takes its value from a pixel filled before the ring.
        for (size_t i : ring) {
            const int64_t x = int64_t(i % size_t(width)), y = int64_t(i / size_t(width));
            for (const auto& step : STEPS) {
                if (grid.At(x + step[0], y + step[1]) == FILLED) {
                    const size_t source = size_t(y + step[1]) * width + size_t(x + step[0]);
                    std::memcpy(pixels + i * pixel_bytes, pixels + source * pixel_bytes, pixel_bytes);
                    break;
                }
            }
        }
        for (size_t i : ring) {
            grid.state[i] = FILLED;
            island[i] = 1;
        }
        filled += int64_t(ring.size());
        next.clear();
        if (r + 1 < reach) {
            for (size_t i : ring)
                QueueNeighbours(grid, i, next);
        }
        ring.swap(next);
    }
    return filled;
}
