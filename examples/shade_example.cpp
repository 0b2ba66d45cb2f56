// Shows the bundled example's normal map baked into the target layout as a lit surface:
// each island drawn where it lies on the model, its baked normals turned into the
// model's space through the target layout's frames and lit from the upper left. Two
// panels side by side: the map merely copied (left) and baked with --normal-map (right).
//   shade_example OUT.png COPIED.png BAKED.png
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "examples/example_layout.h"

namespace {

constexpr int GAP = 16;

struct Vec {
    double x, y, z;
};

Vec Normalized(Vec v)
{
    const double length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

// Island i's target frame on the model, whose islands are flat (normal +z), with x to
// the right and y up as painted: the directions in which u and v grow.
void TargetFrame(int i, Vec* tangent, Vec* bitangent)
{
    // Texture pixels per unit of s and t (t runs down the island), in u and v (v runs up).
    double x0, y0, xs, ys, xt, yt;
    TargetPoint(i, 0, 0, &x0, &y0);
    TargetPoint(i, 1, 0, &xs, &ys);
    TargetPoint(i, 0, 1, &xt, &yt);
    const double du_ds = xs - x0, du_dt = xt - x0, dv_ds = -(ys - y0), dv_dt = -(yt - y0);
    // The model's point moves by (1, 0) along s and (0, -1) along t: invert the map.
    const double det = du_ds * dv_dt - du_dt * dv_ds;
    const double ds_du = dv_dt / det, dt_du = -dv_ds / det, ds_dv = -du_dt / det, dt_dv = du_ds / det;
    *tangent = Normalized({ds_du, -dt_du, 0});
    *bitangent = Normalized({ds_dv, -dt_dv, 0});
}

// One panel: every island lit from the upper left, the baked image read where the
// target layout put each point.
void ShadePanel(const DeepImage& baked, std::vector<unsigned char>& rgb, int width, int left)
{
    const Vec light = Normalized({-1, 1, 1.2});
    const auto* texels = static_cast<const unsigned char*>(baked.pixels);
    for (int i = 0; i < 4; ++i) {
        Vec tangent, bitangent;
        TargetFrame(i, &tangent, &bitangent);
        for (int y = 0; y < ISLAND; ++y)
            for (int x = 0; x < ISLAND; ++x) {
                double tx, ty;
                TargetPoint(i, (x + 0.5) / ISLAND, (y + 0.5) / ISLAND, &tx, &ty);
                const int px = std::clamp(int(tx * baked.width / SIDE), 0, baked.width - 1);
                const int py = std::clamp(int(ty * baked.height / SIDE), 0, baked.height - 1);
                const unsigned char* t = texels + (size_t(py) * size_t(baked.width) + size_t(px)) * 4;
                const double a = t[0] / 127.5 - 1, b = t[1] / 127.5 - 1, c = t[2] / 127.5 - 1;
                const Vec n = Normalized({a * tangent.x + b * bitangent.x, a * tangent.y + b * bitangent.y, c});
                const double lit = std::max(0.0, n.x * light.x + n.y * light.y + n.z * light.z);
                const auto level = static_cast<unsigned char>(std::lround(40 + 215 * lit));
                unsigned char* out = &rgb[(size_t(kIslands[i].y + y) * size_t(width) + size_t(left + kIslands[i].x + x)) * 4];
                out[0] = out[1] = out[2] = level;
                out[3] = 255;
            }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: shade_example OUT.png COPIED.png BAKED.png\n");
        return 2;
    }
    const int width = 2 * SIDE + GAP;
    std::vector<unsigned char> rgb(size_t(width) * SIDE * 4, 255);  // white around the islands
    for (int panel = 0; panel < 2; ++panel) {
        DeepImage baked{};
        char reason[PNG_REASON_SIZE];
        if (!DecodeDeepPNGFile(argv[2 + panel], &baked, reason) || baked.bits != 8) {
            std::fprintf(stderr, "shade_example: %s: %s\n", argv[2 + panel], reason);
            return 1;
        }
        ShadePanel(baked, rgb, width, panel * (SIDE + GAP));
        FreeDeepImage(&baked);
    }
    char reason[PNG_REASON_SIZE];
    if (!WritePNGFile(argv[1], PngOutput{rgb.data(), width, SIDE, 8, false, nullptr, nullptr, 1, nullptr}, reason)) {
        std::fprintf(stderr, "shade_example: %s: %s\n", argv[1], reason);
        return 1;
    }
    return 0;
}
