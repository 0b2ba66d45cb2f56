// Edge padding by an exact Euclidean distance transform: for every pixel the nearest
// island row in its column, then each row as the lower envelope of one parabola per
// column. Bands of rows run on every thread; a first pass over columns gives each band
// the island rows just above and below it, so no band reads another's rows.
#include "bake/padding.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "support/parallel.h"

namespace {

constexpr int32_t NONE = -1;     // no island pixel (within reach)
constexpr int32_t BAND = 64;     // rows per job
constexpr int32_t STRIP = 256;   // columns per job of the first pass

struct Grid {
    unsigned char* pixels;
    size_t pixel_bytes;
    uint8_t* island;
    int32_t width, height;
    int64_t reach;
    int32_t bands;
    int32_t* above;  // bands x width: the last island row before each band's first row
    int32_t* below;  // bands x width: the first island row after each band's last row
};

// The island rows just outside every band, for columns [x0, x1), row by row through
// the strip. `last` holds x1 - x0 entries.
void FindBandEdges(const Grid& g, int32_t x0, int32_t x1, int32_t* last)
{
    const size_t n = size_t(x1 - x0), w = size_t(g.width);
    std::fill(last, last + n, NONE);
    for (int32_t y = 0; y < g.height; ++y) {
        if (y % BAND == 0)
            std::memcpy(g.above + size_t(y / BAND) * w + size_t(x0), last, n * sizeof(int32_t));
        const uint8_t* marks = g.island + size_t(y) * w + size_t(x0);
        for (size_t x = 0; x < n; ++x)
            last[x] = marks[x] ? y : last[x];
    }
    std::fill(last, last + n, NONE);
    for (int32_t y = g.height - 1; y >= 0; --y) {
        if (y % BAND == BAND - 1 || y == g.height - 1)
            std::memcpy(g.below + size_t(y / BAND) * w + size_t(x0), last, n * sizeof(int32_t));
        const uint8_t* marks = g.island + size_t(y) * w + size_t(x0);
        for (size_t x = 0; x < n; ++x)
            last[x] = marks[x] ? y : last[x];
    }
}

// For every pixel of the band, the row of the nearest island pixel in its column (the
// upper of two equally near), or NONE beyond reach. `edge` holds width entries.
void NearestInBand(const Grid& g, int32_t band, int32_t* nearest, int32_t* edge)
{
    const int32_t y0 = band * BAND, y1 = std::min(g.height, y0 + BAND);
    const size_t w = size_t(g.width);
    std::memcpy(edge, g.above + size_t(band) * w, w * sizeof(int32_t));
    for (int32_t y = y0; y < y1; ++y) {
        const uint8_t* marks = g.island + size_t(y) * w;
        int32_t* out = nearest + size_t(y - y0) * w;
        for (size_t x = 0; x < w; ++x) {
            if (marks[x])
                edge[x] = y;
            out[x] = edge[x] != NONE && y - edge[x] <= g.reach ? edge[x] : NONE;
        }
    }
    std::memcpy(edge, g.below + size_t(band) * w, w * sizeof(int32_t));
    for (int32_t y = y1 - 1; y >= y0; --y) {
        const uint8_t* marks = g.island + size_t(y) * w;
        int32_t* out = nearest + size_t(y - y0) * w;
        for (size_t x = 0; x < w; ++x) {
            if (marks[x])
                edge[x] = y;
            if (edge[x] != NONE && edge[x] - y <= g.reach && (out[x] == NONE || edge[x] - y < y - out[x]))
                out[x] = edge[x];
        }
    }
}

// One row: every pixel outside the islands takes the value at the column x' minimising
// (x - x')^2 + (y - row[x'])^2, if that is within reach. Only the columns within reach
// of the row's first and last such pixel take part. `columns` and `bounds` hold width
// entries each. Returns how many pixels it filled.
int64_t PadRow(const Grid& g, int32_t y, const int32_t* row, int32_t* columns, double* bounds)
{
    uint8_t* marks = g.island + size_t(y) * size_t(g.width);
    const auto* first_empty = static_cast<const uint8_t*>(std::memchr(marks, 0, size_t(g.width)));
    if (!first_empty)
        return 0;
    int32_t last_empty = g.width - 1;
    while (marks[last_empty])
        --last_empty;
    const int32_t from = int32_t(std::max<int64_t>(0, (first_empty - marks) - g.reach));
    const int32_t to = int32_t(std::min<int64_t>(g.width - 1, last_empty + g.reach));
    const auto height_at = [&](int32_t x) { return double(int64_t(y - row[x]) * (y - row[x])); };
    int32_t k = -1;
    for (int32_t q = from; q <= to; ++q) {
        if (row[q] == NONE)
            continue;
        const double f = height_at(q) + double(q) * q;
        double s = 0;
        while (k >= 0) {
            const int32_t v = columns[k];
            s = (f - (height_at(v) + double(v) * v)) / (2.0 * (q - v));
            if (s > bounds[k])
                break;
            --k;
        }
        columns[++k] = q;
        bounds[k] = k == 0 ? -1e300 : s;
    }
    int64_t filled = 0;
    for (int32_t x = int32_t(first_empty - marks), j = 0; x <= last_empty && k >= 0; ++x) {
        while (j < k && bounds[j + 1] < x)
            ++j;
        const int32_t source = columns[j];
        const double d2 = double(x - source) * (x - source) + height_at(source);
        if (marks[x] || d2 > double(g.reach * g.reach))
            continue;
        const size_t at = size_t(row[source]) * size_t(g.width) + size_t(source);
        std::memcpy(g.pixels + (size_t(y) * size_t(g.width) + size_t(x)) * g.pixel_bytes,
                    g.pixels + at * g.pixel_bytes, g.pixel_bytes);
        marks[x] = 1;  // the band's nearest rows are known: nothing reads this mark again
        ++filled;
    }
    return filled;
}

}  // namespace

// Per worker: a band's nearest rows, a row of edges, the envelope's columns and bounds.
static size_t WorkerBytes(int32_t width)
{
    return size_t(width) * ((size_t(BAND) + 2) * sizeof(int32_t) + sizeof(double));
}

// Workers are at most the jobs of the larger pass: scratch follows the workers used.
static int Workers(int32_t width, int32_t height, int threads)
{
    const int64_t jobs = std::max<int64_t>((width + STRIP - 1) / STRIP, (height + BAND - 1) / BAND);
    return int(std::clamp<int64_t>(threads, 1, std::max<int64_t>(jobs, 1)));
}

size_t PaddingBytes(int32_t width, int32_t height, int threads)
{
    const size_t bands = size_t((height + BAND - 1) / BAND);
    return 2 * bands * size_t(width) * sizeof(int32_t) + WorkerBytes(width) * size_t(Workers(width, height, threads));
}

bool PadIslands(unsigned char* pixels, size_t pixel_bytes, uint8_t* island, int32_t width, int32_t height,
                int reach, int threads, int64_t* filled)
{
    *filled = 0;
    if (reach <= 0 || width <= 0 || height <= 0)
        return true;
    threads = Workers(width, height, threads);
    const int32_t bands = (height + BAND - 1) / BAND;
    const size_t w = size_t(width);
    const size_t scratch_bytes = WorkerBytes(width);
    auto* edges = static_cast<int32_t*>(std::malloc(2 * size_t(bands) * w * sizeof(int32_t)));
    auto* scratch = static_cast<unsigned char*>(std::malloc(scratch_bytes * size_t(threads)));
    if (!edges || !scratch) {
        std::free(edges);
        std::free(scratch);
        return false;
    }
    const Grid g{pixels, pixel_bytes, island, width, height, reach, bands, edges, edges + size_t(bands) * w};
    ParallelFor(threads, (width + STRIP - 1) / STRIP, [&](int64_t job, int worker) {
        const int32_t x0 = int32_t(job) * STRIP;
        FindBandEdges(g, x0, std::min(width, x0 + STRIP),
                      reinterpret_cast<int32_t*>(scratch + scratch_bytes * size_t(worker)));
    });
    std::atomic<int64_t> total{0};
    ParallelFor(threads, bands, [&](int64_t band, int worker) {
        const int32_t y0 = int32_t(band) * BAND, rows = std::min(height, y0 + BAND) - y0;
        if (!std::memchr(island + size_t(y0) * w, 0, size_t(rows) * w))
            return;  // wholly covered: nothing to fill
        unsigned char* mine = scratch + scratch_bytes * size_t(worker);
        auto* bounds = reinterpret_cast<double*>(mine);
        auto* nearest = reinterpret_cast<int32_t*>(mine + w * sizeof(double));
        int32_t* edge = nearest + size_t(BAND) * w;
        int32_t* columns = edge + w;
        NearestInBand(g, int32_t(band), nearest, edge);
        int64_t done = 0;
        for (int32_t y = y0; y < y0 + rows; ++y)
            done += PadRow(g, y, nearest + size_t(y - y0) * w, columns, bounds);
        total += done;
    });
    std::free(edges);
    std::free(scratch);
    *filled = total;
    return true;
}
