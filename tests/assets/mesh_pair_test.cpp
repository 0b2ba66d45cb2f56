// Mesh pair loader: the reading rules as one table of whole loaded tables and logs (the
// tables made from surfaces too), then the file paths: missing and unreadable files,
// long lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <random>
#include <filesystem>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "support/log.h"
#include "testlib/files.h"

namespace {

// The texture coordinates the files use, after the flip of v: (0, 1) is "vt 0 0".
const TexCoord kKnown[] = {{0, 1}, {0.25f, 0.5f}, {0.5f, 0.25f}, {1, 0}, {0, 0.75f}};
const char kVt[] = "vt 0 0\nvt 0.25 0.5\nvt 0.5 0.75\nvt 1 1\n";

char Known(const TexCoord& c)
{
    const auto k = std::find_if(kKnown, kKnown + 5, [&](const TexCoord& t) { return t.u == c.u && t.v == c.v; });
    return k == kKnown + 5 ? '?' : char('1' + (k - kKnown));
}

// The table, a line a record: "-" when skipped, else "+", the source corners and the
// target corners as numbers of kKnown.
std::string Table()
{
    std::string text;
    for (int32_t i = 0; i < remap_table.count; ++i) {
        const RemapTriangle& r = remap_table.triangles[i];
        text += remap_table.drawable[i] ? std::string{'+', Known(r.source[0]), Known(r.source[1]), Known(r.source[2]),
                                                      '|', Known(r.target[0]), Known(r.target[1]), Known(r.target[2])}
                                        : "-";
        text += "\n";
    }
    return text;
}

std::string Repeat(const std::string& text, int times)
{
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

TEST(MeshPairLoader, ReadingRules)
{
    const std::string vt = kVt;
    const struct {
        std::string source, target, table;
        std::string log;  // lines the log holds in a row, each ended by '|'
    } rows[] = {
        {vt + "f 1/1 2/2 3/3\n", vt + "f 3/3 4/4 1/1\n", "+123|341\n",
         "loading OBJ files|'mesh1.obj'|0 vertices, 1 triangles|4 texcoords|'mesh2.obj'|0 vertices, 1 triangles|"
         "4 texcoords|done|"},
        // v/vt/vn, a tab, CR LF, indentation, leading zeros (more than a number holds too),
        // comments after the corners.
        {vt + "f 7/4/9 8/1/9 9/2/9\nf 1/4\t2/1 \t 3/2\r\n  \tf 1/004/1 2/01 3/0002\nf 1/4 2/1 3/2 # 1/1 2/2\n"
              "f 1/4 2/1 3/2#1/1\nf 1/00000000000000000000004 2/1 3/2\n",
         vt + Repeat("f 1/1 1/1 1/1\n", 6), Repeat("+412|111\n", 6), ""},
        {vt + "f 1/1 2/2 3/3 4/4 5/5\n", vt + "f 1/1 2/2 3/3 4/4 5/5\n", "+123|123\n+134|134\n-\n", ""},
        {"vt 0 0\nvt 0.25 0.5\nf 1/-2 1/-1 1/2\nvt 0.5 0.75\nf 1/-1 1/-2 1/-3\n", vt + "f 1/1 1/1 1/1\nf 1/4 1/4 1/4\n",
         "+122|111\n+321|444\n", ""},
        // Corners without a texture coordinate keep their record, so later faces stay paired.
        {vt + "f 1 2 3\nf 1//1 2//2 3//3\nf 1/0 2/2 3/3\nf 1/5 2/2 3/3\nf 1/-5 2/2 3/3\nf 1/4294967297 2/2 3/3\n"
              "f 1/x 2/2 3/3\nf 1/1 2/2 3/3\n",
         vt + Repeat("f 1/1 2/2 3/3\n", 8), Repeat("-\n", 7) + "+123|123\n",
         "0 vertices, 8 triangles|4 texcoords|7 triangles without valid texcoords, not drawn|'mesh2.obj'|"},
        // Only whole keywords count; a bare "vt" reads as 0 0, a word that is not a
        // decimal number as 0 alone.
        {"v 1 2 3\nv\t1\nvn 0 0 1\nv1 2 3\nvt\n# f 1/1 2/2 3/3\nfo 1/1 2/2 3/3\ng f\n\n\tvp 1\nvt 1 1\n"
         "vt 0x1p-1 +0.25\nvt 0.5z 1e999 7\nf 1/1 1/2 1/3 1/4\nf 1/1 1/1\nf\nv",
         vt + "f 1/1 2/2 3/3\nf 1/1 2/2 3/3\n", "+145|123\n+151|123\n",
         "|3 vertices, 2 triangles|4 texcoords|warning: 'mesh1.obj' line 12: '0x1p-1' is not a number and reads as "
         "0 (2 lines have such numbers)|'mesh2.obj'|0 vertices, 2 triangles|4 texcoords|done|"},
        // A short target, its last line without a line feed: the rest is not drawn.
        {vt + Repeat("f 1/1 2/2 3/3\n", 3), vt + "f 1/4 2/4 3/4", "+123|444\n-\n-\n",
         "|0 vertices, 1 triangles|4 texcoords|triangle counts differ: 3 in 'mesh1.obj', 1 in 'mesh2.obj'|done|"},
        {vt + "f 1/1 2/2 3/3\n", vt + Repeat("f 1/2 2/2 3/2\n", 3), "+123|222\n", ""},
        {vt + Repeat("f 1/1 2/2 3/3\n", 2), vt + "f 1/9 2/2 3/3\nf 1/2 2/2 3/2\n", "-\n+123|222\n",
         "'mesh2.obj'|0 vertices, 2 triangles|4 texcoords|1 triangles without valid texcoords, not drawn|done|"},
        {"", "", "", ""},  // found by fuzzing: an empty table once reached memset with a null pointer
    };
    TempDir dir;
    const std::string log = dir.File("log.txt");
    for (const auto& row : rows) {
        LogOpen(log.c_str());
        EXPECT_TRUE(LoadRemapMeshesFromBytes("mesh1.obj", row.source.data(), row.source.size(), "mesh2.obj",
                                             row.target.data(), row.target.size()));
        EXPECT_EQ(Table(), row.table) << row.source;
        std::string lines;
        for (const std::string& line : ReadLines(log))
            lines += line + "|";
        EXPECT_NE(lines.find(row.log), std::string::npos) << lines;
        // The same table made afterwards from the two files' surfaces.
        WriteWholeFile(dir.File("mesh1.obj"), row.source);
        WriteWholeFile(dir.File("mesh2.obj"), row.target);
        MeshSurface surfaces[2] = {};
        ASSERT_EQ(LoadSurfacePair(dir.File("mesh1.obj").c_str(), dir.File("mesh2.obj").c_str(), 2, surfaces),
                  MeshLoad::OK);
        EXPECT_EQ(remap_table.count, 0);
        ASSERT_TRUE(RemapTableFromSurfaces(surfaces));
        EXPECT_EQ(Table(), row.table) << "from surfaces: " << row.source;
        FreeMeshSurface(&surfaces[0]);
        FreeMeshSurface(&surfaces[1]);
    }
    ClearRemapTable();
    EXPECT_EQ(remap_table.count, 0);
    EXPECT_EQ(remap_table.triangles, nullptr);
}

TEST(MeshPairLoader, FilesMissingUnreadableAndLong)
{
    TempDir dir;
    const std::string log = dir.File("log.txt"), source = dir.File("mesh1.obj"), target = dir.File("mesh2.obj");
    LogOpen(log.c_str());
    WriteWholeFile(source, std::string(kVt) + "f 1/1 2/2 3/3\n");
    const std::vector<std::vector<std::string>> rows = {  // source, target; the table, the last log line
        {target, source, "", "'" + target + "' not found"}, {source, target, "-\n", "'" + target + "' not found"},
#ifndef _WIN32
        // A file that opens but cannot be read (a folder) fails like a missing one.
        {source, dir.path, "-\n", "'" + dir.path + "' could not be read: Is a directory"},
        {dir.path, source, "", "'" + dir.path + "' could not be read: Is a directory"},
#endif
    };
    for (const auto& row : rows) {
        EXPECT_FALSE(LoadRemapMeshes(row[0].c_str(), row[1].c_str()));
        EXPECT_EQ(Table() + ReadLines(log).back(), row[2] + row[3]);
    }
    // A line longer than the read buffer, a face of 1,000 corners, lines across the
    // buffer's end, and a last line without a line feed.
    std::string text = std::string(kVt) + "# " + std::string(3 << 20, 'c') + "\nf";
    for (int i = 0; i < 1000; ++i)
        text += " 1/2/1";
    text += "\n";
    while (text.size() < (5u << 20))
        text += "vn 0.000000 0.000000 1.000000\nf 1/1/1 2/2/2 3/3/3\n";
    text += "f 1/4 1/4 1/4 1/4 1/4 1/4";
    WriteWholeFile(source, text);
    EXPECT_TRUE(LoadRemapMeshes(source.c_str(), source.c_str()));
    ASSERT_GT(remap_table.count, 1000);
    EXPECT_EQ(Table(), Repeat("+222|222\n", 998) + Repeat("+123|123\n", remap_table.count - 1002) +
                           Repeat("+444|444\n", 4));
    ClearRemapTable();
}

// What a normal-map bake asks for besides the table: positions and normals (missing
// numbers read as 0), each face of three corners or more with its corners' position,
// texcoord and normal numbers (negative ones counted back, others as written), and the
// smoothing group it was in.
TEST(MeshPairLoader, SurfacesKeepFacesAsTheyStand)
{
    TempDir dir;
    WriteWholeFile(dir.File("s.obj"), "v 1 2 3\nv 4 5\nvn 0 0 1\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                                      "s 1\nf 1/1/1 2/2/1 1/3/1 2/4/1\nf 1/1 2/2\ns off\nf -2/-4/-1 -1/-3 9/-2//\n"
                                      "s 0\nf 1/1/1 1/1/1 1/1/1\ns 7\nf 1//1 1//1 1//1\ns name\nf 1/1 1/1 1/1\n");
    MeshSurface surfaces[2] = {};
    ASSERT_EQ(LoadRemapMeshPair(dir.File("s.obj").c_str(), dir.File("s.obj").c_str(), 1, surfaces), MeshLoad::OK);
    const MeshSurface& s = surfaces[1];
    std::string faces;
    for (uint32_t f = 0; f < s.face_count; ++f) {
        faces += std::to_string(s.smoothing[f]) + ":";
        for (uint32_t c = s.face_start[f]; c < s.face_start[f + 1]; ++c)
            faces += " " + std::to_string(s.corners[c * 3]) + "/" + std::to_string(s.corners[c * 3 + 1]) + "/" +
                     std::to_string(s.corners[c * 3 + 2]);
        faces += "\n";
    }
    EXPECT_EQ(faces, "1: 1/1/1 2/2/1 1/3/1 2/4/1\n0: 1/1/1 2/2/0 9/3/0\n0: 1/1/1 1/1/1 1/1/1\n"
                     "7: 1/0/1 1/0/1 1/0/1\n1: 1/1/0 1/1/0 1/1/0\n");
    EXPECT_EQ(std::vector<float>(s.positions, s.positions + 6), std::vector<float>({1, 2, 3, 4, 5, 0}));
    EXPECT_EQ(std::vector<uint32_t>({s.position_count, s.normal_count, s.texcoord_count, uint32_t(remap_table.count)}),
              std::vector<uint32_t>({2, 1, 4, 6}));
    EXPECT_EQ(s.normals[2], 1.0f);
    FreeMeshSurface(&surfaces[0]);
    FreeMeshSurface(&surfaces[1]);
    ClearRemapTable();
}

// Numbers are read as the nearest float to what is written, whichever way they are
// read: plain decimals of every length and scale (halfway cases among them), and words
// with exponents, many digits or values beyond the normal floats.
TEST(MeshPairLoader, NumbersReadAsTheNearestFloat)
{
    std::vector<std::string> words = {"16777217", "16777219", "0.1", "-0", "+3.5", ".5", "5.", "1e5", "-2.5E-3",
                                      "9007199254740993", "0.12345678901234567890123", "3.4028235e38",
                                      "0.00000000000000000000000000000000000001", "1.00000005960464477539",
                                      "340282356779733661637539395458142568448", "0.000000059604644775390625",
                                      "1.000000059604644776", "1.000000059604644775"};
    std::mt19937 random(7);
    for (int i = 0; i < 30000; ++i) {
        std::string word = random() % 4 ? "" : "-";
        const int digits = 1 + int(random() % 20), point = int(random() % (digits + 1));
        for (int d = 0; d < digits; ++d)
            word += (d == point ? "." : "") + std::to_string(random() % 10);
        words.push_back(word);
    }
    while (words.size() % 3)
        words.push_back("0");
    std::string text;
    for (size_t i = 0; i < words.size(); i += 3)
        text += "v " + words[i] + " " + words[i + 1] + " " + words[i + 2] + "\n";
    TempDir dir;
    WriteWholeFile(dir.File("n.obj"), text);
    MeshSurface surfaces[2] = {};
    ASSERT_EQ(LoadRemapMeshPair(dir.File("n.obj").c_str(), dir.File("n.obj").c_str(), 1, surfaces), MeshLoad::OK);
    ASSERT_EQ(size_t(surfaces[0].position_count) * 3, words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        const char* start = words[i].c_str() + (words[i][0] == '+');
        float expected = 0;
        if (std::from_chars(start, words[i].c_str() + words[i].size(), expected).ec != std::errc())
            expected = 0;
        EXPECT_EQ(std::memcmp(&surfaces[0].positions[i], &expected, sizeof expected), 0)
            << words[i] << " read as " << surfaces[0].positions[i] << ", not " << expected;
    }
    FreeMeshSurface(&surfaces[0]);
    FreeMeshSurface(&surfaces[1]);
    ClearRemapTable();
}

// Shapes compared while they are read: two files whose faces are listed in another order
// stop part way, read on one thread or two, and the table is left empty; the same
// shapes read to the end, with one hash. Their ends tell them apart before any reading,
// long files or short, while other texture coordinates in the faces do not.
TEST(MeshPairLoader, ShapesThatDifferStopTheReading)
{
    std::string vertices, faces, turned, other;
    for (int i = 0; i < 20000; ++i)
        vertices += "v " + std::to_string(i) + " 0 " + std::to_string(i % 7) + "\nvt 0 0\n";
    for (int i = 1; i + 2 <= 20000; ++i) {
        faces += "f " + std::to_string(i) + "/1 " + std::to_string(i + 1) + "/1 " + std::to_string(i + 2) + "/1\n";
        turned += "f " + std::to_string(i + 1) + "/1 " + std::to_string(i + 2) + "/1 " + std::to_string(i) + "/1\n";
        other += "f " + std::to_string(i) + "/2 " + std::to_string(i + 1) + "/3 " + std::to_string(i + 2) + "\n";
    }
    TempDir dir;
    WriteWholeFile(dir.File("a.obj"), vertices + faces);
    WriteWholeFile(dir.File("b.obj"), vertices + turned);
    WriteWholeFile(dir.File("c.obj"), vertices + other + "# the end");
    WriteWholeFile(dir.File("short-a.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    WriteWholeFile(dir.File("short-b.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 2 3 1\n");
    const auto differ = [&](const char* a, const char* b) {
        return ShapeTailsDiffer(dir.File(a).c_str(), dir.File(b).c_str());
    };
    EXPECT_EQ(std::vector<bool>({differ("a.obj", "b.obj"), differ("a.obj", "c.obj"), differ("short-a.obj", "short-b.obj"),
                                 differ("short-a.obj", "short-a.obj"), differ("a.obj", "missing.obj")}),
              std::vector<bool>({true, false, true, false, false}));
    for (const int threads : {1, 2}) {
        uint64_t hashes[2] = {0, 0};
        EXPECT_EQ(LoadRemapMeshPair(dir.File("a.obj").c_str(), dir.File("b.obj").c_str(), threads, nullptr, hashes),
                  MeshLoad::SHAPES_DIFFER);
        EXPECT_EQ(remap_table.count, 0);
        EXPECT_EQ(LoadRemapMeshPair(dir.File("b.obj").c_str(), dir.File("b.obj").c_str(), threads, nullptr, hashes),
                  MeshLoad::OK);
        EXPECT_EQ(hashes[0], hashes[1]);
        EXPECT_EQ(remap_table.count, 19998);
        ClearRemapTable();
    }
}

}  // namespace
