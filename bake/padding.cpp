// Edge padding by an exact Euclidean distance transform in two passes (each column,
// then each row as a lower envelope of parabolas), both shared out among threads.
#include "bake/padding.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "support/parallel.h"

namespace {

constexpr int32_t NONE = -1;       // no island pixel within reach in this column
constexpr int32_t STRIP = 64;      // columns per job of the first pass
constexpr int32_t ROWS_PER_JOB = 16;

// For every pixel, the row of the nearest island pixel in its column (the upper of two
// equally near ones), or NONE beyond `reach`. Columns [x0, x1).
void NearestInColumns(const uint8_t* island, int32_t width, int32_t height, int64_t reach, int32_t x0, int32_t x1,
                      int32_t* nearest)
{
    for (int32_t x = x0; x < x1; ++x) {
        int32_t above = NONE;
        for (int32_t y = 0; y < height; ++y) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            if (island[i])
                above = y;
            nearest[i] = above != NONE && y - above <= reach ? above : NONE;
        }
        int32_t below = NONE;
        for (int32_t y = height - 1; y >= 0; --y) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            if (island[i])
                below = y;
            if (below != NONE && below - y <= reach && (nearest[i] == NONE || below - y < y - nearest[i]))
                nearest[i] = below;
        }
    }
}

// One row: for every pixel the column x' minimising (x - x')^2 + (y - nearest[x'])^2,
// over the lower envelope of one parabola per column that has an island row.
// `columns` and `bounds` hold width entries each.
int64_t PadRow(unsigned char* pixels, size_t pixel_bytes, uint8_t* island, const int32_t* nearest, int32_t width,
               int32_t y, int64_t reach, int32_t* columns, double* bounds)
{
    const int32_t* row = nearest + size_t(y) * size_t(width);
    const auto height_at = [&](int32_t x) { return int64_t(y - row[x]) * (y - row[x]); };
    int32_t k = -1;
    for (int32_t q = 0; q < width; ++q) {
        if (row[q] == NONE)
            continue;
        const double f = double(height_at(q)) + double(q) * q;
        double s = 0;
        while (k >= 0) {
            const int32_t v = columns[k];
            s = (f - (double(height_at(v)) + double(v) * v)) / (2.0 * (q - v));
            if (s > bounds[k])
                break;
            --k;
        }
        columns[++k] = q;
        bounds[k] = k == 0 ? -1e300 : s;
    }
    if (k < 0)
        return 0;
    int64_t filled = 0;
    int32_t j = 0;
    uint8_t* marks = island + size_t(y) * size_t(width);
    for (int32_t x = 0; x < width; ++x) {
        while (j < k && bounds[j + 1] < x)
            ++j;
        const int32_t from = columns[j];
        const int64_t d2 = int64_t(x - from) * (x - from) + height_at(from);
        if (marks[x] || d2 > reach * reach)
            continue;
        const size_t source = size_t(row[from]) * size_t(width) + size_t(from);
        std::memcpy(pixels + (size_t(y) * size_t(width) + size_t(x)) * pixel_bytes, pixels + source * pixel_bytes,
                    pixel_bytes);
        marks[x] = 1;  // the first pass, the only one that reads the marks, is over
        ++filled;
    }
    return filled;
}

}  // namespace

bool PadIslands(unsigned char* pixels, size_t pixel_bytes, uint8_t* island, int32_t width, int32_t height,
                int reach, int threads, int64_t* filled)
{
    *filled = 0;
    if (reach <= 0 || width <= 0 || height <= 0)
        return true;
    if (threads < 1)
        threads = 1;
    const size_t count = size_t(width) * size_t(height);
    auto* nearest = static_cast<int32_t*>(std::malloc(count * sizeof(int32_t)));
    auto* scratch = static_cast<unsigned char*>(std::malloc(size_t(width) * (sizeof(int32_t) + sizeof(double)) *
                                                            size_t(threads)));
    if (!nearest || !scratch) {
        std::free(nearest);
        std::free(scratch);
        return false;
    }
    ParallelFor(threads, (width + STRIP - 1) / STRIP, [&](int64_t job, int) {
        const int32_t x0 = int32_t(job) * STRIP;
        NearestInColumns(island, width, height, reach, x0, std::min(width, x0 + STRIP), nearest);
    });
    std::atomic<int64_t> total{0};
    ParallelFor(threads, (height + ROWS_PER_JOB - 1) / ROWS_PER_JOB, [&](int64_t job, int worker) {
        unsigned char* mine = scratch + size_t(width) * (sizeof(int32_t) + sizeof(double)) * size_t(worker);
        auto* bounds = reinterpret_cast<double*>(mine);
        auto* columns = reinterpret_cast<int32_t*>(mine + size_t(width) * sizeof(double));
        int64_t done = 0;
        const int32_t y0 = int32_t(job) * ROWS_PER_JOB;
        for (int32_t y = y0; y < std::min(height, y0 + ROWS_PER_JOB); ++y)
            done += PadRow(pixels, pixel_bytes, island, nearest, width, y, reach, columns, bounds);
        total += done;
    });
    std::free(nearest);
    std::free(scratch);
    *filled = total;
    return true;
}
