// texwarp-bake between different meshes of one surface: rays against every triangle,
// a reordered and re-split copy baked as its original, misses and their mask, normal
// maps through rays and through faces in other places.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "bake/bake.h"
#include "bake/rays.h"
#include "bake/surface_match.h"
#include "examples/sphere.h"
#include "testlib/command_line.h"
#include "testlib/files.h"

namespace {

// Half a cylinder of n x n quads (rectangles, so that either diagonal gives the same
// mapping), with layout 0 (u around, v along) or 1 (turned a quarter, mirrored, shrunk).
std::string HalfCylinder(int n, int layout)
{
    std::string obj;
    char line[128];
    const double pi = std::acos(-1.0);
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
            const double a = pi * j / n, u = double(j) / n, v = double(i) / n;
            std::snprintf(line, sizeof line, "v %.7f %.7f %.7f\nvn %.7f 0 %.7f\nvt %.7f %.7f\n", std::cos(a), 2.0 * v,
                          std::sin(a), std::cos(a), std::sin(a), layout ? 0.1 + 0.8 * v : u, layout ? 0.9 - 0.8 * u : v);
            obj += line;
        }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const int k[4] = {i * (n + 1) + j + 1, i * (n + 1) + j + 2, (i + 1) * (n + 1) + j + 2, (i + 1) * (n + 1) + j + 1};
            obj += "f";
            for (const int c : k)
                obj += " " + std::to_string(c) + "/" + std::to_string(c) + "/" + std::to_string(c);
            obj += "\n";
        }
    return obj;
}

// The same faces as an other exporter writes them: quads split along their other
// diagonal, then every face shuffled; only the faces of the first `keep` quads.
std::string Reordered(const std::string& obj, size_t keep = SIZE_MAX)
{
    std::istringstream in(obj);
    std::string head, line;
    std::vector<std::string> faces;
    for (size_t quads = 0; std::getline(in, line);) {
        if (line.rfind("f ", 0) != 0) {
            head += line + "\n";
            continue;
        }
        if (quads++ >= keep)
            continue;
        std::istringstream words(line.substr(2));
        std::string c[4];
        words >> c[0] >> c[1] >> c[2] >> c[3];
        faces.push_back("f " + c[1] + " " + c[2] + " " + c[3] + "\n");
        faces.push_back("f " + c[1] + " " + c[3] + " " + c[0] + "\n");
    }
    std::shuffle(faces.begin(), faces.end(), std::mt19937(7));
    for (const std::string& f : faces)
        head += f;
    return head;
}

std::vector<uint8_t> Pixels(const std::string& path)
{
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    EXPECT_TRUE(DecodeDeepPNGFile(path.c_str(), &image, reason)) << path << ": " << reason;
    const auto* p = static_cast<const uint8_t*>(image.pixels);
    std::vector<uint8_t> pixels(p, p + (p ? size_t(image.width) * size_t(image.height) * 4 : 0));
    FreeDeepImage(&image);
    return pixels;
}

}  // namespace

// Random triangles, and rays through random points, some through corners and edges
// exactly: the hierarchy finds what testing every triangle alone finds, ties going to
// the lowest triangle number. Large triangles, rays from near them; and small ones, few
// of them hidden, rays from far off, whose starts single precision rounds coarsely.
TEST(Rays, NearestHitIsTheOneEveryTriangleAloneGives)
{
    for (const double far : {0.0, 1000.0}) {
        const double size = far ? 0.05 : 1.0;
        std::mt19937 random(3);
        std::uniform_real_distribution<float> place(-1, 1);
        std::vector<float> corners(600 * 9);
        for (size_t i = 0; i < corners.size(); i += 9)
            for (int a = 0; a < 3; ++a) {
                const double middle = place(random) * (1 - size);
                for (int k = 0; k < 3; ++k)
                    corners[i + size_t(k) * 3 + size_t(a)] = float(middle + size * place(random));
            }
        for (int k = 0; k < 9; ++k)  // triangle 5 again as 400 and 17: ties on every point of it
            corners[400 * 9 + k] = corners[17 * 9 + k] = corners[5 * 9 + k];
        corners[90 * 9] = NAN;  // never hit
        std::vector<float> moved = corners;  // the scene puts them in its own order
        RayScene whole{};
        ASSERT_TRUE(BuildRayScene(moved.data(), 600, 3, &whole));
        float largest = 0;  // the box tests' slack is measured against it
        for (const float c : corners)
            largest = std::isfinite(c) ? std::max(largest, std::fabs(c)) : largest;
        EXPECT_GE(whole.largest, largest);
        EXPECT_LE(whole.largest, largest * 1.001f);
        std::vector<RayScene> alone(600);
        for (uint32_t t = 0; t < 600; ++t)
            ASSERT_TRUE(BuildRayScene(&corners[size_t(t) * 9], 1, 1, &alone[t]));
        int hits = 0, starts = 0;
        for (int r = 0; r < 3000; ++r) {
            const float* aim = &corners[size_t(r % 600) * 9];
            double to[3] = {aim[r % 3 * 3] + (r % 7 ? 0.0 : 0.3 * (aim[3] - aim[0])), aim[r % 3 * 3 + 1],
                            aim[r % 3 * 3 + 2]};
            const bool inside = r % 7 == 1 && r % 600 != 90;  // aimed at the middle: something is hit
            for (int a = 0; inside && a < 3; ++a)
                to[a] = (double(aim[a]) + aim[3 + a] + aim[6 + a]) / 3;
            // One ray in five is short and starts near what it aims at: it may begin deep in
            // the tree, where every leaf its box meets lies.
            const bool brief = r % 5 == 0;
            double from[3] = {far + place(random) * 2.0, far * 0.7 + place(random) * 2.0, far + 3.0};
            for (int a = 0; brief && a < 3; ++a)
                from[a] = to[a] + 0.02 * (place(random) + (a == 2));
            const double direction[3] = {to[0] - from[0], to[1] - from[1], to[2] - from[2]};
            const double reach = brief ? 2.0 : INFINITY;
            RayHit got{}, best{};
            bool found = false;
            for (uint32_t t = 0; t < 600; ++t) {
                RayHit hit{};
                if (CastRay(alone[t], from, direction, reach, &hit) && (!found || hit.distance < best.distance)) {
                    best = hit;
                    best.triangle = t;
                    found = true;
                }
            }
            ASSERT_EQ(CastRay(whole, from, direction, reach, &got), found) << r;
            if (brief) {
                double lo[3], hi[3];
                for (int a = 0; a < 3; ++a) {
                    lo[a] = std::min(from[a], from[a] + reach * direction[a]) - 1e-9;
                    hi[a] = std::max(from[a], from[a] + reach * direction[a]) + 1e-9;
                }
                const uint32_t start = StartAround(whole, lo, hi);
                starts += start != 0;
                RayHit deep{};
                ASSERT_EQ(start != NO_NODE && CastRay(whole, from, direction, reach, &deep, start), found) << r;
                EXPECT_TRUE(!found || (deep.triangle == got.triangle && deep.distance == got.distance)) << r;
            }
            ASSERT_TRUE(found || !inside || reach < INFINITY) << r;
            if (found) {
                EXPECT_EQ(got.triangle, best.triangle) << r;
                EXPECT_EQ(got.distance, best.distance) << r;
                // The hit is where the weights put it on the triangle, edges and corners too.
                for (int a = 0; a < 3; ++a) {
                    const float* c = &corners[size_t(got.triangle) * 9];
                    const double on = got.weights[0] * c[a] + got.weights[1] * c[3 + a] + got.weights[2] * c[6 + a];
                    ASSERT_NEAR(from[a] + got.distance * direction[a], on, 1e-9 * (1 + far)) << r;
                }
                EXPECT_NE(got.triangle, 400u);
                hits += 1;
            }
        }
        EXPECT_GT(hits, 1500);
        EXPECT_GT(starts, far ? 300 : 0);
        FreeRayScene(&whole);
        for (RayScene& one : alone)
            FreeRayScene(&one);
    }

    // A flat 3 x 3 grid of squares split in two, rays straight down through its corners
    // and the middles of its edges, where the arithmetic is exact: every one hits the
    // lowest-numbered triangle there, at that very point.
    std::vector<float> grid;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) {
            const float a[3] = {float(x), float(y), 0}, b[3] = {float(x + 1), float(y), 0},
                        c[3] = {float(x + 1), float(y + 1), 0}, e[3] = {float(x), float(y + 1), 0};
            for (const float* corner : {a, b, c, a, c, e})
                grid.insert(grid.end(), corner, corner + 3);
        }
    const std::vector<float> flat = grid;
    RayScene squares{};
    ASSERT_TRUE(BuildRayScene(grid.data(), 18, 2, &squares));
    for (int y = 0; y <= 6; ++y)
        for (int x = 0; x <= 6; ++x) {
            const double from[3] = {x / 2.0, y / 2.0, 1}, down[3] = {0, 0, -1};
            uint32_t lowest = UINT32_MAX;  // the first triangle whose closed area holds the point
            for (uint32_t t = 0; t < 18 && lowest == UINT32_MAX; ++t) {
                const float* c = &flat[t * 9];
                const auto side = [&](int i, int j) {
                    return (c[j * 3] - c[i * 3]) * (from[1] - c[i * 3 + 1]) - (c[j * 3 + 1] - c[i * 3 + 1]) * (from[0] - c[i * 3]);
                };
                if (side(0, 1) >= 0 && side(1, 2) >= 0 && side(2, 0) >= 0)
                    lowest = t;
            }
            RayHit hit{};
            ASSERT_TRUE(CastRay(squares, from, down, INFINITY, &hit)) << x << " " << y;
            EXPECT_EQ(hit.triangle, lowest) << x << " " << y;
            EXPECT_EQ(hit.distance, 1.0);
            const float* c = &flat[size_t(hit.triangle) * 9];
            for (int a = 0; a < 2; ++a)
                EXPECT_EQ(hit.weights[0] * c[a] + hit.weights[1] * c[3 + a] + hit.weights[2] * c[6 + a], from[a]);
        }
    FreeRayScene(&squares);
}

// A target triangle whose corner normals fan out: at its middle the normal leans
// further than at any corner, and its rays reach a wall of source triangles that rays
// along the corners' normals never reach. The walk begun where RaysStart says, and the
// packets that gather from where the last ones began, find what the walk from the root
// finds, sample by sample.
TEST(Rays, WalksBegunNearTheTargetFindWhatTheRootFinds)
{
    std::vector<float> wall;  // x = -0.8, squares of 0.1 over y and z in [-1, 1]
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) {
            const float y = -1 + 0.1f * float(i), z = -1 + 0.1f * float(j);
            for (const float c : {-0.8f, y, z, -0.8f, y + 0.1f, z, -0.8f, y, z + 0.1f, -0.8f, y + 0.1f, z, -0.8f,
                                  y + 0.1f, z + 0.1f, -0.8f, y, z + 0.1f})
                wall.push_back(c);
        }
    float positions[9] = {0, 0, 0, 0, 0.1f, 0, 0, 0, 0.1f};
    float normals[9] = {0.6f, 0.8f, 0, 0.6f, -0.8f, 0, 0.6f, 0, 0.8f};
    uint32_t corners[6] = {1, 2, 3, 0, 1, 2};
    SurfaceTransfer transfer{};
    ASSERT_TRUE(BuildRayScene(wall.data(), uint32_t(wall.size() / 9), 2, &transfer.scene));
    std::vector<TexCoord> uv(wall.size() / 3);
    transfer.source_uv = uv.data();
    transfer.target_positions = positions;
    transfer.target_normals = normals;
    transfer.target_corners = corners;
    transfer.target_triangles = 1;
    transfer.offset = 0;
    transfer.reach = 1;
    const TargetCorners target = TargetCornersOf(transfer, 0);
    uint32_t start = RaysStart(transfer, target, nullptr), root = 0;
    GatherPace walks, tries;
    walks.skip = INT_MAX;  // every packet walks
    int hits = 0;
    for (int a = 0; a <= 10; ++a)
        for (int b = 0; a + b <= 10; ++b) {
            const double w[3] = {1 - a / 10.0 - b / 10.0, a / 10.0, b / 10.0};
            SourcePoint from_root{}, from_start{}, gathered{};
            bool found = false, found_start = false, found_gathered = false;
            FindSources(transfer, target, &w, 1, &root, nullptr, &from_root, &found, &walks);
            FindSources(transfer, target, &w, 1, &start, nullptr, &from_start, &found_start, &walks);
            tries.skip = 0;
            uint32_t later = RAYS_START_UNKNOWN;
            FindSources(transfer, target, &w, 1, &later, nullptr, &gathered, &found_gathered, &tries);
            ASSERT_EQ(found_start, found) << a << " " << b;
            ASSERT_EQ(found_gathered, found) << a << " " << b;
            EXPECT_TRUE(!found || from_start.triangle == from_root.triangle) << a << " " << b;
            EXPECT_TRUE(!found || gathered.triangle == from_root.triangle) << a << " " << b;
            hits += found;
        }
    EXPECT_GT(hits, 10);
    EXPECT_LT(hits, 66);  // rays near the corners fall short of the wall
    FreeRayScene(&transfer.scene);
}


// Packets of four rays straight down onto a flat grid of small squares, some listed twice,
// through their middles, edges and corners and past the grid's side: those that gather
// the leaves near all four find what each ray's own walk finds, and what testing every
// triangle alone finds, ties going to the lowest triangle number.
TEST(Rays, PacketsThatGatherTheirLeavesFindWhatEachRayFinds)
{
    constexpr int SIDE = 12;
    std::vector<float> corners;
    for (int y = 0; y < SIDE; ++y)
        for (int x = 0; x < SIDE; ++x) {
            const float a[3] = {float(x), float(y), 0}, b[3] = {float(x + 1), float(y), 0},
                        c[3] = {float(x + 1), float(y + 1), 0}, d[3] = {float(x), float(y + 1), 0};
            for (const float* corner : (x + y) % 2 ? std::vector<const float*>{a, b, c, a, c, d}
                                                   : std::vector<const float*>{a, b, d, b, c, d})
                corners.insert(corners.end(), corner, corner + 3);
        }
    for (int t = 0; t < 40; t += 3)  // again, later: every point of them is a tie
        corners.insert(corners.end(), corners.begin() + t * 9, corners.begin() + t * 9 + 9);
    const uint32_t count = uint32_t(corners.size() / 9);
    std::vector<float> moved = corners;
    RayScene scene{};
    ASSERT_TRUE(BuildRayScene(moved.data(), count, 2, &scene));
    std::vector<RayScene> alone(count);
    for (uint32_t t = 0; t < count; ++t)
        ASSERT_TRUE(BuildRayScene(&corners[size_t(t) * 9], 1, 1, &alone[t]));
    const double reach = 0.5;
    int gathered = 0, hits = 0;
    GatherPace tries;
    for (int packet = 0; packet < 4 * (SIDE + 1) * (SIDE + 1); ++packet) {
        // Four points of a quarter of a square, on its lines where the packet says so.
        const int cell = packet / 4, quarter = packet % 4;
        const double x0 = cell % (SIDE + 1) + 0.5 * (quarter % 2), y0 = cell / (SIDE + 1) + 0.5 * (quarter / 2);
        // In one packet in three, the first ray lies in the square before the others'.
        Ray rays[RAY_PACKET];
        for (int r = 0; r < RAY_PACKET; ++r) {
            const double dx = packet % 3 == 0 ? 0.5 * (r % 2) : packet % 3 == 2 && r == 0 ? -0.3 : 0.1 + 0.3 * (r % 2);
            const double dy = packet % 3 == 0 ? 0.5 * (r / 2) : 0.2 + 0.2 * (r / 2);
            // Every other packet's rays lean apart, so that their far ends lie away from
            // their starts, each its own way.
            const double lean = packet % 2 ? 0.4 * (r - 1.5) : 0.0, length = std::sqrt(1 + lean * lean);
            rays[r] = Ray{{x0 + dx, y0 + dy, 0.25}, {lean / length, 0, -1 / length}};
        }
        RayHit near[RAY_PACKET], walked[RAY_PACKET];
        bool found_near[RAY_PACKET], found_walked[RAY_PACKET];
        tries.skip = 0;  // every packet tries, from where the last ones began where it may
        const bool gathers = GatherRays(scene, rays, RAY_PACKET, reach, near, found_near, &tries);
        if (!gathers)
            CastRays(scene, rays, RAY_PACKET, reach, 0, near, found_near);
        CastRays(scene, rays, RAY_PACKET, reach, 0, walked, found_walked);
        gathered += gathers;
        for (int r = 0; r < RAY_PACKET; ++r) {
            RayHit best{};
            bool found = false;
            for (uint32_t t = 0; t < count; ++t) {
                RayHit hit{};
                if (CastRay(alone[t], rays[r].origin, rays[r].direction, reach, &hit) &&
                    (!found || hit.distance < best.distance)) {
                    best = hit;
                    best.triangle = t;
                    found = true;
                }
            }
            ASSERT_EQ(found_near[r], found) << packet << " " << r;
            ASSERT_EQ(found_walked[r], found) << packet << " " << r;
            if (!found)
                continue;
            hits += 1;
            EXPECT_EQ(near[r].triangle, best.triangle) << packet << " " << r;
            EXPECT_EQ(walked[r].triangle, best.triangle) << packet << " " << r;
            EXPECT_EQ(near[r].distance, walked[r].distance);
            EXPECT_EQ(std::memcmp(near[r].weights, walked[r].weights, sizeof near[r].weights), 0);
            EXPECT_EQ(near[r].slot, walked[r].slot);
        }
    }
    EXPECT_GT(gathered, 150);  // most upright packets: the rest walk
    EXPECT_TRUE(tries.known);  // where the last ones began
    EXPECT_GT(hits, 2000);
    EXPECT_LT(hits, 4 * 4 * (SIDE + 1) * (SIDE + 1));  // past the side, nothing
    // Rays far apart meet too many leaves: the next packet walks straight away.
    const Ray apart[2] = {{{0.5, 0.5, 0.25}, {0, 0, -1}}, {{SIDE - 0.5, SIDE - 0.5, 0.25}, {0, 0, -1}}};
    RayHit hit[2];
    bool found[2];
    GatherPace pace;
    EXPECT_FALSE(GatherRays(scene, apart, 2, reach, hit, found, &pace));
    EXPECT_EQ(pace.misses, 1);
    EXPECT_EQ(pace.skip, 1);
    EXPECT_FALSE(GatherRays(scene, apart, 1, reach, hit, found, &pace));
    EXPECT_EQ(pace.misses, 1);
    EXPECT_EQ(pace.skip, 0);
    FreeRayScene(&scene);
    for (RayScene& one : alone)
        FreeRayScene(&one);
}

// A target of more quads than one worker's run: every fanned triangle takes its own
// corners, whichever run its face falls in.
TEST(SurfaceBake, ManyQuadsFanAcrossRuns)
{
    std::string text = "vt 0 0\n";
    const int side = 400;  // three runs of faces
    for (int y = 0; y <= side; ++y)
        for (int x = 0; x <= side; ++x)
            text += "v " + std::to_string(x) + " " + std::to_string(y) + " 0\n";
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const int a = y * (side + 1) + x + 1;
            text += "f " + std::to_string(a) + "/1 " + std::to_string(a + 1) + "/1 " + std::to_string(a + side + 2) +
                    "/1 " + std::to_string(a + side + 1) + "/1\n";
        }
    TempDir dir;
    WriteWholeFile(dir.File("quads.obj"), text);
    MeshSurface surfaces[2] = {};
    ASSERT_EQ(LoadSurfacePair(dir.File("quads.obj").c_str(), dir.File("quads.obj").c_str(), 2, surfaces), MeshLoad::OK);
    SurfaceTransfer transfer{};
    ASSERT_TRUE(PrepareSurfaceTarget(surfaces[1], 3, &transfer));
    ASSERT_EQ(transfer.target_triangles, uint32_t(2 * side * side));
    size_t wrong = 0;
    for (uint32_t t = 0; t < transfer.target_triangles; ++t) {
        const uint32_t face = t / 2, a = face / side * (side + 1) + face % side + 1;
        const uint32_t expected[3] = {a, t % 2 ? a + side + 2 : a + 1, t % 2 ? a + side + 1 : a + side + 2};
        wrong += !std::equal(expected, expected + 3, transfer.target_corners + size_t(t) * 6);
    }
    EXPECT_EQ(wrong, 0u);
    FreeSurfaceTransfer(&transfer);
    FreeMeshSurface(&surfaces[0]);
    FreeMeshSurface(&surfaces[1]);
    ClearRemapTable();
}


// A copy of the source with its faces reordered and its quads split the other way,
// matched by surface, gives the bytes of the faces bake of the original pair, on any
// number of threads; a source with half its faces leaves the rest missed: background,
// and white in the mask, exactly there.
TEST(SurfaceBake, ReorderedCopyBakesAsTheOriginalAndMissesAreMasked)
{
    TempDir dir;
    const std::string d = dir.path, image = " " TEXWARP_EXAMPLES "/texture.png", flat = " -q --padding 0 -o ";
    WriteWholeFile(d + "a.obj", HalfCylinder(24, 0));
    WriteWholeFile(d + "b.obj", HalfCylinder(24, 1));
    WriteWholeFile(d + "copy.obj", Reordered(HalfCylinder(24, 0)));
    WriteWholeFile(d + "half.obj", Reordered(HalfCylinder(24, 0), 24 * 12));
    ASSERT_EQ(Bake(d + "a.obj " + d + "b.obj" + image + flat + d + "faces.png"), BAKE_DONE);
    const std::vector<uint8_t> faces = Pixels(d + "faces.png");
    for (const char* threads : {"1", "2", "7"}) {
        ASSERT_EQ(Bake(d + "copy.obj " + d + "b.obj" + image + flat + d + "rays.png --threads " + threads), BAKE_DONE);
        EXPECT_TRUE(Pixels(d + "rays.png") == faces) << threads;
    }
    ASSERT_EQ(Bake(d + "half.obj " + d + "b.obj" + image + flat + d + "half.png --misses " + d + "mask.png"),
              BAKE_DONE);
    const std::vector<uint8_t> half = Pixels(d + "half.png"), mask = Pixels(d + "mask.png");
    ASSERT_EQ(mask.size(), faces.size());
    size_t missed = 0;
    for (size_t p = 0; p < faces.size(); p += 4) {
        const bool miss = faces[p + 3] == 255 && half[p + 3] == 0;
        ASSERT_EQ(mask[p], miss ? 255 : 0) << p / 4;
        missed += miss;
        for (size_t c = 0; c < 4 && !miss; ++c)
            ASSERT_LE(std::abs(half[p + c] - faces[p + c]), 1) << p / 4;
    }
    EXPECT_GT(missed, faces.size() / 16);
}

// A source triangle without texture coordinates is never hit: the rays through it find
// nothing, and its half of the target is missed.
TEST(SurfaceBake, SourceTrianglesWithoutTextureCoordinatesAreNeverHit)
{
    TempDir dir;
    const std::string d = dir.path, square = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n";
    WriteWholeFile(d + "source.obj", square + "f 1/1 2/2 3/3\nf 1 3 4\n");
    WriteWholeFile(d + "target.obj", square + "f 1/1 2/2 3/3 4/4\n");
    ASSERT_EQ(Bake(d + "source.obj " + d + "target.obj " TEXWARP_EXAMPLES "/texture.png -q --padding 0 --size 64 -o " +
                   d + "out.png --misses " + d + "mask.png"),
              BAKE_DONE);
    const std::vector<uint8_t> mask = Pixels(d + "mask.png");
    ASSERT_EQ(mask.size(), size_t(64 * 64 * 4));
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            if (std::abs(x - (63 - y)) > 1) {  // away from the diagonal: u < v is the second triangle's
                ASSERT_EQ(mask[size_t(y * 64 + x) * 4], x < 63 - y ? 255 : 0) << x << " " << y;
            }
}

// A target whose arrays are large enough to be kept for the drawing's result once freed:
// the result, taken from them, is cleared first, and the rays' bake of a reordered copy
// gives the bytes of the faces' bake, background and all.
TEST(SurfaceBake, ResultInTheTargetsFreedBlocksStartsClear)
{
    TempDir dir;
    const std::string d = dir.path, rest = " " TEXWARP_EXAMPLES "/texture.png -q --padding 0 --size 1024 -o ";
    WriteWholeFile(d + "a.obj", HalfCylinder(300, 0));
    WriteWholeFile(d + "b.obj", HalfCylinder(300, 1));
    WriteWholeFile(d + "copy.obj", Reordered(HalfCylinder(300, 0)));
    ASSERT_EQ(Bake(d + "a.obj " + d + "b.obj" + rest + d + "faces.png"), BAKE_DONE);
    ASSERT_EQ(Bake(d + "copy.obj " + d + "b.obj" + rest + d + "rays.png --misses " + d + "mask.png"), BAKE_DONE);
    const std::vector<uint8_t> faces = Pixels(d + "faces.png"), rays = Pixels(d + "rays.png");
    EXPECT_TRUE(rays == faces);
    const std::vector<uint8_t> mask = Pixels(d + "mask.png");
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), std::ptrdiff_t(mask.size() / 4 * 3));  // nothing missed
}

// Normal maps. Through rays: a square whose source layout is turned a quarter turns a
// constant normal with it. Through faces: a copy turned to stand up (a Y-up export of a
// Z-up model) and scaled gives the map the unmoved copy gives.
TEST(SurfaceBake, NormalMapsTurnWithTheLayoutAndNotWithTheModel)
{
    TempDir dir;
    const std::string d = dir.path;
    const uint16_t normal[4] = {uint16_t(0.5 + 0.8 * 65535), 32768, uint16_t(0.5 + 0.9 * 65535), 65535};  // (0.6, 0, 0.8)
    std::vector<uint16_t> map(16 * 16 * 4);
    for (size_t i = 0; i < map.size(); ++i)
        map[i] = normal[i % 4];
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile((d + "n.png").c_str(), PngOutput{map.data(), 16, 16, 16, false, nullptr, nullptr, 1, nullptr},
                             reason));
    const std::string square = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
    WriteWholeFile(d + "flat.obj", square + "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nf 1/1 2/2 3/3 4/4\n");
    WriteWholeFile(d + "turned.obj", square + "vt 0 1\nvt 0 0\nvt 1 0\nvt 1 1\nf 1/1 2/2 3/3\nf 1/1 3/3 4/4\n");
    // Laid out turned a quarter, so that the normals must turn into it.
    const std::string turned_layout = "vt 1 0\nvt 1 1\nvt 0 1\nvt 0 0\nf 1/1 2/2 3/3 4/4\n";
    WriteWholeFile(d + "flat-turned.obj", square + turned_layout);
    WriteWholeFile(d + "standing.obj", "v 0 0 0\nv 2 0 0\nv 2 0 -2\nv 0 0 -2\n" + turned_layout);
    const auto baked = [&](const std::string& source, const std::string& target) {
        EXPECT_EQ(Bake(d + source + " " + d + target + " --normal-map " + d + "n.png -q -o " + d + "out.png"), BAKE_DONE);
        DeepImage image{};
        char why[PNG_REASON_SIZE];
        EXPECT_TRUE(DecodeDeepPNGFile((d + "out.png").c_str(), &image, why));
        const auto* p = static_cast<const uint16_t*>(image.pixels);
        std::vector<uint16_t> pixels(p, p + (p ? 16 * 16 * 4 : 0));
        FreeDeepImage(&image);
        return pixels;
    };
    // The source's +u is the target's +v: (0.6, 0, 0.8) there is (0, 0.6, 0.8) here.
    const std::vector<uint16_t> rays = baked("turned.obj", "flat.obj");
    const double expected[3] = {0.5, 0.5 + 0.5 * 0.6, 0.5 + 0.5 * 0.8};
    for (size_t i = 0; i < rays.size(); ++i)
        ASSERT_NEAR(rays[i], i % 4 == 3 ? 65535.0 : expected[i % 4] * 65535, 1.0) << i;
    const std::vector<uint16_t> unmoved = baked("flat.obj", "flat-turned.obj"), standing = baked("flat.obj", "standing.obj");
    for (size_t i = 0; i < unmoved.size(); ++i)
        ASSERT_NEAR(standing[i], unmoved[i], 1.0) << i;
    // One file as both: the map as it was (its frames are made once and copied).
    const std::vector<uint16_t> same = baked("flat.obj", "flat.obj");
    for (size_t i = 0; i < same.size(); ++i)
        ASSERT_NEAR(same[i], normal[i % 4], 1.0) << i;
    // The layout's turn is in it: the target's +v is the source's +u.
    EXPECT_NEAR(unmoved[0], 65535 * 0.5, 1.0);
    EXPECT_NEAR(unmoved[1], 65535 * (0.5 + 0.5 * 0.6), 1.0);
}

// A texture painted as a function of direction for a coarse sphere's layout, moved onto a
// fine sphere laid out otherwise: every covered pixel has the colour of its own
// direction, within what 24 faces around allow: 2.5 levels at most, measured.
TEST(SurfaceBake, SpherePaintedByDirectionKeepsItsDirections)
{
    TempDir dir;
    const std::string d = dir.path;
    const double pi = std::acos(-1.0);
    const auto colour = [&](double east, double north, int c) {
        const double lat = pi * (north - 0.5), lon = 2 * pi * east;
        const double direction[3] = {std::cos(lat) * std::cos(lon), std::sin(lat), -std::cos(lat) * std::sin(lon)};
        return 127.5 * (1 + direction[c]);
    };
    std::vector<uint8_t> texture(256 * 128 * 4);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 256; ++x)
            for (int c = 0; c < 4; ++c)
                texture[size_t(y * 256 + x) * 4 + size_t(c)] =
                    uint8_t(c == 3 ? 255 : std::lround(colour((x + 0.5) / 256, 1 - (y + 0.5) / 128, c)));
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile((d + "t.png").c_str(), PngOutput{texture.data(), 256, 128, 8, false, nullptr, nullptr, 1,
                                                              nullptr}, reason));
    WriteWholeFile(d + "coarse.obj", SphereObj(24, 12, 0));
    WriteWholeFile(d + "fine.obj", SphereObj(48, 24, 1, false));  // its normals made from its faces
    ASSERT_EQ(Bake(d + "coarse.obj " + d + "fine.obj " + d + "t.png -q --padding 0 --size 128 -o " + d + "out.png"),
              BAKE_DONE);
    const std::vector<uint8_t> out = Pixels(d + "out.png");
    double worst = 0, sum = 0;
    size_t covered = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            const uint8_t* p = &out[size_t(y * 128 + x) * 4];
            if (p[3] != 255)
                continue;
            ++covered;
            for (int c = 0; c < 3; ++c) {  // layout 1: u is north, v east
                const double off = std::fabs(p[c] - colour(1 - (y + 0.5) / 128, (x + 0.5) / 128, c));
                worst = std::max(worst, off);
                sum += off;
            }
        }
    EXPECT_GT(covered, size_t(128 * 128 * 9 / 10));
    EXPECT_LT(worst, 4.0);
    EXPECT_LT(sum / double(covered * 3), 0.6);
}
