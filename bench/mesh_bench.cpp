// Mesh pair load against the floor of streaming the same bytes, on a pair of
// 1024 x 1024-quad grids (2,097,152 triangles each).
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "bench/bench_util.h"
#include "support/log.h"

namespace {

constexpr int GRID = 1024;

// Writes a grid as an exporter would: v, vt and vn lines, then v/vt/vn triangles.
// `mirrored` gives the target layout a different texture mapping.
void WriteGrid(const std::string& path, bool mirrored)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    std::fprintf(f, "# grid of %d x %d quads\no grid\n", GRID, GRID);
    for (int y = 0; y <= GRID; ++y)
        for (int x = 0; x <= GRID; ++x)
            std::fprintf(f, "v %.6f %.6f %.6f\n", x / double(GRID), y / double(GRID), 0.0);
    for (int y = 0; y <= GRID; ++y)
        for (int x = 0; x <= GRID; ++x) {
            const double u = x / double(GRID), v = y / double(GRID);
            std::fprintf(f, "vt %.6f %.6f\n", mirrored ? 1.0 - v : u, mirrored ? u * 0.5 : v);
        }
    for (int y = 0; y <= GRID; ++y)
        for (int x = 0; x <= GRID; ++x)
            std::fprintf(f, "vn 0.000000 0.000000 1.000000\n");
    std::fprintf(f, "s off\n");
    for (int y = 0; y < GRID; ++y)
        for (int x = 0; x < GRID; ++x) {
            const int a = y * (GRID + 1) + x + 1, b = a + 1, c = a + GRID + 1, d = c + 1;
            std::fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, b, b, b, d, d, d);
            std::fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, d, d, d, c, c, c);
        }
    std::fclose(f);
}

bool Exists(const std::string& path)
{
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

// The floor: the same bytes streamed through a 1 MiB buffer, line feeds counted.
long CountLineFeeds(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    std::vector<char> buffer(1 << 20);
    long lines = 0;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        const char* p = buffer.data();
        const char* end = p + got;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
            ++lines;
            ++p;
        }
    }
    std::fclose(f);
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
    const std::string source = dir + "/bench-mesh1.obj", target = dir + "/bench-mesh2.obj";
    if (!Exists(source) || !Exists(target)) {
        std::printf("writing the benchmark meshes into %s\n", dir.c_str());
        WriteGrid(source, false);
        WriteGrid(target, true);
    }
    LogOpen((dir + "/bench-log.txt").c_str());

    long lines = 0;
    const double floor_ms = BestOf(3, [&] { lines = CountLineFeeds(source) + CountLineFeeds(target); });

    double peak_mib = 0;
    const double load_ms = BestOf(3, [&] {
        ClearRemapTable();
        malloc_trim(0);
        ResetPeakMemory();
        const long before = StatusKiB("VmRSS");
        if (!LoadRemapMeshes(source.c_str(), target.c_str())) {
            std::printf("load failed\n");
            std::exit(1);
        }
        peak_mib = (StatusKiB("VmHWM") - before) / 1024.0;
    });
    if (remap_table.count != 2 * GRID * GRID || lines == 0) {
        std::printf("unexpected count %d\n", remap_table.count);
        return 1;
    }
    const double kept_mib = remap_table.count * (sizeof(RemapTriangle) + 1.0) / (1 << 20);
    std::printf("mesh-pair-load: %.1f ms, floor %.1f ms, ratio %.1f, peak %.1f MB, kept %.1f MB\n",
                load_ms, floor_ms, load_ms / floor_ms, peak_mib, kept_mib);
    return 0;
}
