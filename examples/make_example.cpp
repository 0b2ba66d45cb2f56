// Writes the bundled example: texture.png (four coloured islands, each with a large
// glyph), mesh1.obj (the islands as painted), mesh2.obj (the same faces laid out anew:
// moved, rotated, mirrored, scaled) and icon-16.ico.
//   build/native/examples/make_example examples
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/png_writer.h"

namespace {

constexpr int SIDE = 256;        // the texture is SIDE x SIDE
constexpr int ISLAND = 112;      // each island is ISLAND x ISLAND
constexpr int GLYPH_SCALE = 12;  // 5 x 7 glyphs drawn 60 x 84

struct Island {
    int x, y;                 // top-left corner in the texture
    unsigned char r, g, b;    // colour
    const char* glyph[7];     // 5 x 7 bitmap, '#' set
};

const Island kIslands[] = {
    {8, 8, 220, 40, 40, {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},      // F
    {136, 8, 40, 180, 60, {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},   // R
    {8, 136, 240, 150, 20, {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},  // 4
    {136, 136, 190, 60, 200, {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}}, // 7
};

// Where a point (s, t) of island i (0..1, t downwards) lands in the target layout, in
// texture pixels: F moved, R turned a quarter clockwise, 4 mirrored, 7 halved.
void TargetPoint(int i, double s, double t, double* x, double* y)
{
    switch (i) {
    case 0: *x = 136 + ISLAND * s; *y = 136 + ISLAND * t; break;
    case 1: *x = 8 + ISLAND * (1 - t); *y = 136 + ISLAND * s; break;
    case 2: *x = 136 + ISLAND * (1 - s); *y = 8 + ISLAND * t; break;
    default: *x = 36 + ISLAND / 2 * s; *y = 36 + ISLAND / 2 * t; break;
    }
}

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
    for (const Island& island : kIslands) {
        const int glyph_x = (ISLAND - 5 * GLYPH_SCALE) / 2, glyph_y = (ISLAND - 7 * GLYPH_SCALE) / 2;
        for (int y = 0; y < ISLAND; ++y)
            for (int x = 0; x < ISLAND; ++x) {
                const int gx = (x - glyph_x) / GLYPH_SCALE, gy = (y - glyph_y) / GLYPH_SCALE;
                const bool ink = x >= glyph_x && y >= glyph_y && gx < 5 && gy < 7 &&
                                 island.glyph[gy][gx] == '#';
                unsigned char* p = &rgb[((island.y + y) * SIDE + island.x + x) * 3];
                p[0] = ink ? 255 : island.r;
                p[1] = ink ? 255 : island.g;
                p[2] = ink ? 255 : island.b;
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
    if (!WritePng(dir + "texture.png", PaintTexture()) || !WriteMesh(dir + "mesh1.obj", false) ||
        !WriteMesh(dir + "mesh2.obj", true) || !WriteIcon(dir + "icon-16.ico")) {
        std::perror("make_example");
        return 1;
    }
    return 0;
}
