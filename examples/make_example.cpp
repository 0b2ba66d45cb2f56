// Writes the bundled example: texture.png (four coloured islands, each with a large
// glyph), normal.png (the glyphs embossed, as a tangent-space normal map), mesh1.obj
// (the islands as painted), mesh2.obj (the same faces laid out anew: moved, rotated,
// mirrored, scaled), icon-16.ico, and a pair of different meshes of one model for
// surface transfer: sphere1.obj (24 x 12, unrolled) and sphere2.obj (48 x 24, its
// layout turned and mirrored).
//   build/native/examples/make_example examples
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "examples/example_layout.h"
#include "examples/sphere.h"
#include "fuzz/png_writer.h"

namespace {

bool WritePng(const std::string& path, const std::vector<unsigned char>& rgb)
{
    PngImage image;
    image.width = SIDE;
    image.height = SIDE;
    image.samples = rgb;
    const std::string png = EncodePng(image);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::fwrite(png.data(), 1, png.size(), f);
    return std::fclose(f) == 0;
}

std::vector<unsigned char> PaintTexture()
{
    std::vector<unsigned char> rgb(SIDE * SIDE * 3, 90);  // grey between the islands
    for (const Island& island : kIslands)
        for (int y = 0; y < ISLAND; ++y)
            for (int x = 0; x < ISLAND; ++x) {
                const bool ink = Ink(island, x, y);
                unsigned char* p = &rgb[((island.y + y) * SIDE + island.x + x) * 3];
                p[0] = ink ? 255 : island.r;
                p[1] = ink ? 255 : island.g;
                p[2] = ink ? 255 : island.b;
            }
    return rgb;
}

// The glyphs raised with a rounded bevel: each island's height is its glyph blurred over
// BEVEL pixels each way, and the normal map holds the height's slopes in the painted
// layout's frame (red along +u, green along +v, which is up the image).
std::vector<unsigned char> PaintNormalMap()
{
    constexpr int BEVEL = 5;
    constexpr double STRENGTH = 6;  // height units per pixel of slope
    std::vector<unsigned char> rgb(SIDE * SIDE * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {  // flat between the islands
        rgb[i] = rgb[i + 1] = 128;
        rgb[i + 2] = 255;
    }
    for (const Island& island : kIslands) {
        std::vector<double> ink(ISLAND * ISLAND), across(ISLAND * ISLAND), height(ISLAND * ISLAND);
        for (int y = 0; y < ISLAND; ++y)
            for (int x = 0; x < ISLAND; ++x)
                ink[y * ISLAND + x] = Ink(island, x, y);
        const auto blur = [&](const std::vector<double>& in, std::vector<double>& out, int dx, int dy) {
            for (int y = 0; y < ISLAND; ++y)
                for (int x = 0; x < ISLAND; ++x) {
                    double sum = 0;
                    for (int k = -BEVEL; k <= BEVEL; ++k) {
                        const int sx = std::clamp(x + k * dx, 0, ISLAND - 1), sy = std::clamp(y + k * dy, 0, ISLAND - 1);
                        sum += in[sy * ISLAND + sx];
                    }
                    out[y * ISLAND + x] = sum / (2 * BEVEL + 1);
                }
        };
        blur(ink, across, 1, 0);
        blur(across, height, 0, 1);
        for (int y = 0; y < ISLAND; ++y)
            for (int x = 0; x < ISLAND; ++x) {
                const auto h = [&](int hx, int hy) {
                    return height[std::clamp(hy, 0, ISLAND - 1) * ISLAND + std::clamp(hx, 0, ISLAND - 1)];
                };
                const double du = (h(x + 1, y) - h(x - 1, y)) / 2, dv = (h(x, y - 1) - h(x, y + 1)) / 2;
                double n[3] = {-STRENGTH * du, -STRENGTH * dv, 1};
                const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
                unsigned char* p = &rgb[((island.y + y) * SIDE + island.x + x) * 3];
                for (int c = 0; c < 3; ++c)
                    p[c] = static_cast<unsigned char>(std::lround((0.5 + 0.5 * n[c] / length) * 255));
            }
    }
    return rgb;
}

// One mesh: each island a 2 x 2 grid of quads, as an exporter writes it (v, vt, vn,
// v/vt/vn quads). `target` chooses the layout the texture coordinates describe.
bool WriteMesh(const std::string& path, bool target)
{
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "# texwarp example: four islands, %s layout\n", target ? "target" : "source");
    std::fprintf(f, "mtllib example.mtl\no islands\n");
    for (int i = 0; i < 4; ++i)
        for (int row = 0; row <= 2; ++row)
            for (int col = 0; col <= 2; ++col)
                std::fprintf(f, "v %.6f %.6f %.6f\n", i * 1.5 + col * 0.5, -row * 0.5, 0.0);
    for (int i = 0; i < 4; ++i)
        for (int row = 0; row <= 2; ++row)
            for (int col = 0; col <= 2; ++col) {
                const double s = col / 2.0, t = row / 2.0;
                double x = kIslands[i].x + ISLAND * s, y = kIslands[i].y + ISLAND * t;
                if (target)
                    TargetPoint(i, s, t, &x, &y);
                std::fprintf(f, "vt %.6f %.6f\n", x / SIDE, 1.0 - y / SIDE);  // OBJ's v grows upwards
            }
    std::fprintf(f, "vn 0.0000 0.0000 1.0000\nusemtl painted\ns off\n");
    for (int i = 0; i < 4; ++i) {
        std::fprintf(f, "g island%d\n", i + 1);
        for (int row = 0; row < 2; ++row)
            for (int col = 0; col < 2; ++col) {
                const int a = i * 9 + row * 3 + col + 1, b = a + 1, c = a + 4, d = a + 3;
                std::fprintf(f, "f %d/%d/1 %d/%d/1 %d/%d/1 %d/%d/1\n", d, d, c, c, b, b, a, a);
            }
    }
    return std::fclose(f) == 0;
}

bool WriteText(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::fwrite(text.data(), 1, text.size(), f);
    return std::fclose(f) == 0;
}

// A 16 x 16 32-bit icon: the four island colours in quarters.
bool WriteIcon(const std::string& path)
{
    std::vector<unsigned char> ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    const uint32_t image_bytes = 40 + 16 * 16 * 4 + 16 * 4;  // header, colours, AND mask
    for (int i = 0; i < 4; ++i)
        ico.push_back(static_cast<unsigned char>(image_bytes >> (8 * i)));
    for (int i = 0; i < 4; ++i)
        ico.push_back(static_cast<unsigned char>(22 >> (8 * i)));
    const unsigned char header[40] = {40, 0, 0, 0, 16, 0, 0, 0, 32, 0, 0, 0, 1, 0, 32, 0};
    ico.insert(ico.end(), header, header + 40);
    for (int y = 15; y >= 0; --y)  // bottom row first
        for (int x = 0; x < 16; ++x) {
            const Island& island = kIslands[(y / 8) * 2 + x / 8];
            ico.insert(ico.end(), {island.b, island.g, island.r, 255});
        }
    ico.insert(ico.end(), 16 * 4, 0);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::fwrite(ico.data(), 1, ico.size(), f);
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? std::string(argv[1]) + "/" : std::string();
    if (!WritePng(dir + "texture.png", PaintTexture()) || !WritePng(dir + "normal.png", PaintNormalMap()) ||
        !WriteMesh(dir + "mesh1.obj", false) ||
        !WriteMesh(dir + "mesh2.obj", true) || !WriteIcon(dir + "icon-16.ico") ||
        !WriteText(dir + "sphere1.obj", SphereObj(24, 12, 0)) || !WriteText(dir + "sphere2.obj", SphereObj(48, 24, 1))) {
        std::perror("make_example");
        return 1;
    }
    return 0;
}
