// Frame time of the remap view for 2,097,152 triangles (a 1024 x 1024-quad grid pair)
// drawn as the program draws them, in immediate mode, into a 1280 x 1024 pbuffer; and
// the same triangles drawn from client vertex arrays, for comparison.
#include "assets/gl_api.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "assets/large_block.h"
#include "assets/mesh_pair.h"
#include "assets/texture.h"
#include "bench/bench_util.h"
#include "support/window_state.h"
#include "testlib/offscreen_gl.h"
#include "view/remap_view.h"

namespace {

constexpr int GRID = 1024;
constexpr int WIDTH = 1280, HEIGHT = 1024;

void FillTable()
{
    const int count = 2 * GRID * GRID;
    remap_table.count = count;
    // Allocated as the loader allocates, so ClearRemapTable could release it.
    remap_table.triangles =
        static_cast<RemapTriangle*>(LargeResize(nullptr, 0, sizeof(RemapTriangle) * count));
    remap_table.drawable = static_cast<uint8_t*>(std::malloc(count));
    int i = 0;
    for (int y = 0; y < GRID; ++y)
        for (int x = 0; x < GRID; ++x) {
            const float u0 = float(x) / GRID, v0 = float(y) / GRID;
            const float u1 = float(x + 1) / GRID, v1 = float(y + 1) / GRID;
            const TexCoord a{u0, v0}, b{u1, v0}, c{u1, v1}, d{u0, v1};
            // Source: the grid; target: the grid mirrored left to right.
            auto mirror = [](TexCoord t) { return TexCoord{1.0f - t.u, t.v}; };
            remap_table.triangles[i] = {{a, b, c}, {mirror(a), mirror(b), mirror(c)}};
            remap_table.drawable[i++] = 1;
            remap_table.triangles[i] = {{a, c, d}, {mirror(a), mirror(c), mirror(d)}};
            remap_table.drawable[i++] = 1;
        }
}

void UploadNoiseTexture()
{
    std::vector<uint32_t> pixels(GRID * GRID);
    std::mt19937 rng(3);
    for (uint32_t& p : pixels)
        p = 0xFF000000u | (rng() & 0xFFFFFFu);
    remap_texture.Upload(pixels.data(), GRID, GRID, TEX_LINEAR);
}

// The same frame, with the triangles from interleaved client arrays built once.
void DrawWithArrays(const std::vector<float>& interleaved, int vertices)
{
    DrawRemapView();  // background, state and bands; its triangles are skipped below
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(remap_texture.GetName()));
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glEnableClientState(GL_VERTEX_ARRAY);
    glTexCoordPointer(2, GL_FLOAT, 5 * sizeof(float), interleaved.data());
    glVertexPointer(3, GL_FLOAT, 5 * sizeof(float), interleaved.data() + 2);
    glDrawArrays(GL_TRIANGLES, 0, vertices);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
}

}  // namespace

int main()
{
    if (!CreateOffscreenGL(WIDTH, HEIGHT)) {
        std::printf("view: no headless GL context\n");
        return 1;
    }
    window_state.window_width = WIDTH;
    window_state.window_height = HEIGHT;
    glViewport(0, 0, WIDTH, HEIGHT);
    UploadNoiseTexture();
    FillTable();

    DrawRemapView();
    glFinish();
    const double immediate_ms = BestOf(5, [] {
        DrawRemapView();
        glFinish();
    });

    std::vector<float> interleaved;
    interleaved.reserve(size_t(remap_table.count) * 15);
    for (int i = 0; i < remap_table.count; ++i)
        for (const int c : {0, 1, 2}) {
            const RemapTriangle& t = remap_table.triangles[i];
            interleaved.insert(interleaved.end(),
                               {t.source[c].u, t.source[c].v, GRID * t.target[c].u + REMAP_OFFSET,
                                GRID * t.target[c].v + REMAP_OFFSET, 0.0f});
        }
    const int vertices = remap_table.count * 3;
    const int32_t count = remap_table.count;
    remap_table.count = 0;  // DrawRemapView draws only the frame around the arrays
    DrawWithArrays(interleaved, vertices);
    glFinish();
    const double arrays_ms = BestOf(5, [&] {
        DrawWithArrays(interleaved, vertices);
        glFinish();
    });
    remap_table.count = count;
    std::printf("view-frame: %.1f ms immediate mode, %.1f ms client arrays (%d triangles, %dx%d)\n",
                immediate_ms, arrays_ms, count, WIDTH, HEIGHT);
    DestroyOffscreenGL();
    return 0;
}
