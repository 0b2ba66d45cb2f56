// Mesh pair load (both files at once, as the bake reads them) against the floor of
// streaming the same bytes, on a pair of 1024 x 1024-quad grids (2,097,152 triangles each).
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "bench/bench_util.h"
#include "support/log.h"
#include "support/parallel.h"

namespace {

constexpr int GRID = 1024;

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
    const std::string source = dir + "/bench-mesh1.obj", target = dir + "/bench-mesh2.obj";
    if (!Exists(source) || !Exists(target)) {
        std::printf("writing the benchmark meshes into %s\n", dir.c_str());
        WriteGrid(source, GRID, false);
        WriteGrid(target, GRID, true);
    }
    LogOpen((dir + "/bench-log.txt").c_str());

    // The floor and the load once a round, the fastest of each kept: this machine's speed
    // drifts over seconds, and rounds give both the same drift.
    long lines = 0;
    double floor_ms = 1e300, load_ms = 1e300, peak_mib = 0;
    for (int round = 0; round < 5; ++round) {
        floor_ms = std::min(floor_ms, BestOf(1, [&] { lines = CountLineFeeds(source) + CountLineFeeds(target); }));
        ClearRemapTable();
        malloc_trim(0);
        ResetPeakMemory();
        const long before = StatusKiB("VmRSS");
        load_ms = std::min(load_ms, BestOf(1, [&] {
            if (LoadRemapMeshPair(source.c_str(), target.c_str(), DefaultThreadCount()) != MeshLoad::OK) {
                std::printf("load failed\n");
                std::exit(1);
            }
        }));
        peak_mib = std::max(peak_mib, (StatusKiB("VmHWM") - before) / 1024.0);
    }
    if (remap_table.count != 2 * GRID * GRID || lines == 0) {
        std::printf("unexpected count %d\n", remap_table.count);
        return 1;
    }
    const double kept_mib = remap_table.count * (sizeof(RemapTriangle) + 1.0) / (1 << 20);
    std::printf("mesh-pair-load: %.1f ms, floor %.1f ms, ratio %.1f, peak %.1f MB, kept %.1f MB\n",
                load_ms, floor_ms, load_ms / floor_ms, peak_mib, kept_mib);
    return 0;
}
