// Mesh pair loader: the OBJ forms exporters write, invalid input, logging, and a
// randomized comparison with a plain reference reader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "support/log.h"
#include "testlib/temp_dir.h"

// Counts operator new while a test asks for it. Every plain form is replaced, so
// that each block is freed by the family that took it.
static bool counting_operator_new = false;
static int operator_new_calls = 0;

static void* CountedNew(size_t size) noexcept
{
    operator_new_calls += counting_operator_new;
    return std::malloc(size ? size : 1);
}
void* operator new(size_t size)
{
    if (void* block = CountedNew(size))
        return block;
    throw std::bad_alloc();
}
void* operator new[](size_t size)
{
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return CountedNew(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return CountedNew(size);
}
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete[](void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, size_t) noexcept
{
    std::free(block);
}
void operator delete[](void* block, size_t) noexcept
{
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}

namespace {

class MeshPairLoader : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearRemapTable();
        log_state = LogState();
        LogOpen(log_path.c_str());
    }
    void TearDown() override
    {
        ClearRemapTable();
        log_state = LogState();
    }
    bool Load(const std::string& source, const std::string& target)
    {
        return LoadRemapMeshesFromBytes("mesh1.obj", source.data(), source.size(), "mesh2.obj",
                                        target.data(), target.size());
    }
    std::vector<std::string> Log() const { return ReadLines(log_path); }
    TempDir dir;
    const std::string log_path = dir.File("log.txt");
};

const char kTexcoords[] =
    "vt 0.0 0.0\n"
    "vt 1.0 0.0\n"
    "vt 0.0 1.0\n"
    "vt 0.25 0.75\n"
    "vt 0.5 0.5\n"
    "vt 0.1 0.2 0.3\n";

void ExpectCorner(const TexCoord& c, float u, float v)
{
    EXPECT_FLOAT_EQ(c.u, u);
    EXPECT_FLOAT_EQ(c.v, v);
}

// Source-side corners of record i.
void ExpectSource(int i, float u0, float v0, float u1, float v1, float u2, float v2)
{
    ASSERT_LT(i, remap_table.count);
    const RemapTriangle& r = remap_table.triangles[i];
    ExpectCorner(r.source[0], u0, v0);
    ExpectCorner(r.source[1], u1, v1);
    ExpectCorner(r.source[2], u2, v2);
}

TEST_F(MeshPairLoader, StoresVFlippedAndPairsTheNthFaces)
{
    const std::string source = std::string(kTexcoords) + "f 1/4 2/5 3/6\n";
    const std::string target = std::string(kTexcoords) + "f 1/1 2/2 3/3";  // no line feed
    EXPECT_TRUE(Load(source, target));
    ASSERT_EQ(remap_table.count, 1);
    ExpectSource(0, 0.25f, 0.25f, 0.5f, 0.5f, 0.1f, 0.8f);
    const RemapTriangle& r = remap_table.triangles[0];
    ExpectCorner(r.target[0], 0, 1);
    ExpectCorner(r.target[1], 1, 1);
    ExpectCorner(r.target[2], 0, 0);
    EXPECT_EQ(remap_table.drawable[0], 1);
    EXPECT_EQ(Log(), (std::vector<std::string>{"loading OBJ files", "'mesh1.obj'",
                                               "0 vertices, 1 triangles", "6 texcoords",
                                               "'mesh2.obj'", "0 vertices, 1 triangles",
                                               "6 texcoords", "done"}));
}

TEST_F(MeshPairLoader, ReadsTheTexcoordBetweenTheFirstAndSecondSlash)
{
    // v/vt/vn, v/vt, a tab, CR LF, an indented face, leading zeros.
    const std::string source = std::string(kTexcoords) +
                               "f 7/4/9 8/5/9 9/6/9\n"
                               "f 1/4\t2/5 \t 3/6\r\n"
                               "  \tf 1/004/1 2/05 3/0006\n"
                               "f 1/4 2/5 3/6 # 1/1 2/2 3/3\n"  // a comment ends the corners
                               "f 1/4 2/5 3/6#1/1\n";
    EXPECT_TRUE(Load(source, source));
    ASSERT_EQ(remap_table.count, 5);
    for (int i = 0; i < 5; ++i) {
        ExpectSource(i, 0.25f, 0.25f, 0.5f, 0.5f, 0.1f, 0.8f);
        EXPECT_EQ(remap_table.drawable[i], 1);
    }
}

TEST_F(MeshPairLoader, FansFacesOfManyCornersFromTheFirst)
{
    const std::string source = std::string(kTexcoords) + "f 1/1 2/2 3/3 4/4 5/5\n";
    EXPECT_TRUE(Load(source, source));
    ASSERT_EQ(remap_table.count, 3);
    ExpectSource(0, 0, 1, 1, 1, 0, 0);
    ExpectSource(1, 0, 1, 0, 0, 0.25f, 0.25f);
    ExpectSource(2, 0, 1, 0.25f, 0.25f, 0.5f, 0.5f);
    EXPECT_EQ(Log()[2], "0 vertices, 3 triangles");
}

TEST_F(MeshPairLoader, NegativeNumbersCountBackFromTheLatestTexcoord)
{
    const std::string source = "vt 0.5 0.5\nvt 0.25 0.25\nf 1/-2 1/-1 1/2\n"
                               "vt 0.75 0.0\nf 1/-1 1/-2 1/-3\n";
    EXPECT_TRUE(Load(source, source));
    ASSERT_EQ(remap_table.count, 2);
    ExpectSource(0, 0.5f, 0.5f, 0.25f, 0.75f, 0.25f, 0.75f);
    ExpectSource(1, 0.75f, 1.0f, 0.25f, 0.75f, 0.5f, 0.5f);
}

TEST_F(MeshPairLoader, InvalidCornersKeepTheirRecordSoLaterFacesStayPaired)
{
    const std::string source = std::string(kTexcoords) +
                               "f 1/1 2/2 3/3\n"
                               "f 1 2 3\n"            // no texcoord
                               "f 1//1 2//2 3//3\n"   // none either
                               "f 1/0 2/2 3/3\n"      // 0
                               "f 1/7 2/2 3/3\n"      // past the end
                               "f 1/-7 2/2 3/3\n"     // before the start
                               "f 1/2147483648 2/99999999999999999999 3/3\n"
                               "f 1/x 2/2 3/3\n"
                               "f 1/4 2/5 3/6\n";
    const std::string target = std::string(kTexcoords) + std::string(9, 'x') + "\n" +
                               [] {
                                   std::string faces;
                                   for (int i = 0; i < 9; ++i)
                                       faces += "f 1/1 2/2 3/3\n";
                                   return faces;
                               }();
    EXPECT_TRUE(Load(source, target));
    ASSERT_EQ(remap_table.count, 9);
    const uint8_t expected[9] = {1, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(remap_table.drawable[i], expected[i]) << "record " << i;
    ExpectSource(8, 0.25f, 0.25f, 0.5f, 0.5f, 0.1f, 0.8f);
    const auto log = Log();
    EXPECT_EQ(log[4], "7 triangles without valid texcoords, not drawn");
}

TEST_F(MeshPairLoader, CountsOnlyExactKeywords)
{
    const std::string source = "v 1 2 3\nv\t1 2 3\nvn 0 0 1\nv1 2 3\nvt\n# f 1/1 2/2 3/3\n"
                               "fo 1/1 2/2 3/3\ng f\n\n   \n\tvp 1\nvt 1 1\nvt 0x1p-1 0.25\n"
                               "f 1/1 1/3 1/2\nf 1/1 1/1\nf\n";
    EXPECT_TRUE(Load(source, source));
    EXPECT_EQ(Log()[2], "2 vertices, 1 triangles");
    EXPECT_EQ(Log()[3], "3 texcoords");
    ASSERT_EQ(remap_table.count, 1);
    // The bare "vt" line reads as 0 0; a word that is not a decimal number as 0 alone.
    ExpectSource(0, 0, 1, 0, 0.75f, 1, 0);
}

TEST_F(MeshPairLoader, EmptyFilesGiveAnEmptyTable)
{
    // Found by fuzzing: an empty table once reached memset with a null pointer.
    EXPECT_TRUE(Load("", ""));
    EXPECT_EQ(remap_table.count, 0);
    EXPECT_TRUE(Load("vt 1 1\n", std::string(kTexcoords) + "f 1/1 2/2 3/3\n"));
    EXPECT_EQ(remap_table.count, 0);
}

TEST_F(MeshPairLoader, ShortTargetLeavesTheRestUndrawnAndSaysSo)
{
    const std::string faces = "f 1/1 2/2 3/3\n";
    const std::string source = std::string(kTexcoords) + faces + faces + faces;
    EXPECT_TRUE(Load(source, std::string(kTexcoords) + faces));
    ASSERT_EQ(remap_table.count, 3);
    EXPECT_EQ(remap_table.drawable[0], 1);
    EXPECT_EQ(remap_table.drawable[1], 0);
    EXPECT_EQ(remap_table.drawable[2], 0);
    EXPECT_EQ(Log()[7], "triangle counts differ: 3 in 'mesh1.obj', 1 in 'mesh2.obj'");

    // A longer target writes nothing past the table.
    EXPECT_TRUE(Load(std::string(kTexcoords) + faces, source));
    ASSERT_EQ(remap_table.count, 1);
    EXPECT_EQ(remap_table.drawable[0], 1);
}

TEST_F(MeshPairLoader, MissingFilesAreLoggedAndNothingIsDrawn)
{
    const std::string source = dir.File("mesh1.obj");
    const std::string target = dir.File("mesh2.obj");
    EXPECT_FALSE(LoadRemapMeshes(source.c_str(), target.c_str()));
    EXPECT_EQ(remap_table.count, 0);
    EXPECT_EQ(Log(), (std::vector<std::string>{"loading OBJ files", "'" + source + "'",
                                               "'" + source + "' not found"}));

    WriteWholeFile(source, std::string(kTexcoords) + "f 1/1 2/2 3/3\n");
    LogOpen(log_path.c_str());
    EXPECT_FALSE(LoadRemapMeshes(source.c_str(), target.c_str()));
    ASSERT_EQ(remap_table.count, 1);
    EXPECT_EQ(remap_table.drawable[0], 0);
    EXPECT_EQ(Log(), (std::vector<std::string>{"loading OBJ files", "'" + source + "'",
                                               "0 vertices, 1 triangles", "6 texcoords",
                                               "'" + target + "'", "'" + target + "' not found"}));
#ifndef _WIN32
    // A file that opens but cannot be read (a folder here) fails like a missing one,
    // after a good source too: nothing of the pair is drawn.
    LogOpen(log_path.c_str());
    EXPECT_FALSE(LoadRemapMeshes(source.c_str(), dir.path.c_str()));
    ASSERT_EQ(remap_table.count, 1);
    EXPECT_EQ(remap_table.drawable[0], 0);
    EXPECT_EQ(Log().back(), "'" + dir.path + "' could not be read");
    EXPECT_FALSE(LoadRemapMeshes(dir.path.c_str(), source.c_str()));
    EXPECT_EQ(remap_table.count, 0);
#endif
}

TEST_F(MeshPairLoader, TakesNoMemoryThatEndsTheProcessWhenItRunsOut)
{
    // operator new ends a program without exceptions when memory runs out; the
    // loader's memory must all come from where running out is an answer.
    const std::string last_line = "vt 0 0\nf 1/1 1/1 1/1 1/1 1/1 1/1";  // no line feed
    const std::string path = dir.File("mesh.obj");
    WriteWholeFile(path, last_line);
    operator_new_calls = 0;
    counting_operator_new = true;
    const bool from_file = LoadRemapMeshes(path.c_str(), path.c_str());
    const bool from_bytes = Load(last_line, last_line);
    counting_operator_new = false;
    EXPECT_TRUE(from_file && from_bytes);
    EXPECT_EQ(remap_table.count, 4);
    EXPECT_EQ(operator_new_calls, 0);
}

TEST_F(MeshPairLoader, ReadsLinesOfAnyLengthAcrossReadChunks)
{
    // A face of 1,000 corners, a line longer than the read buffer, and lines that
    // straddle the buffer's end.
    std::string text = "vt 0 0\nvt 1 0\nvt 0 1\n# " + std::string(3 << 20, 'c') + "\n";
    text += "f";
    for (int i = 0; i < 1000; ++i)
        text += " 1/" + std::to_string(1 + i % 3) + "/1";
    text += "\n";
    while (text.size() < (5u << 20))
        text += "vn 0.000000 0.000000 1.000000\nf 1/1/1 2/2/2 3/3/3\n";
    const std::string path = dir.File("long.obj");
    WriteWholeFile(path, text);
    EXPECT_TRUE(LoadRemapMeshes(path.c_str(), path.c_str()));
    ASSERT_GT(remap_table.count, 998);
    for (int i = 0; i < remap_table.count; ++i)
        ASSERT_EQ(remap_table.drawable[i], 1) << "record " << i;
}

// --- Randomized comparison with a reference reader -------------------------------

struct Reference {
    std::vector<std::vector<TexCoord>> triangles;  // 3 corners each
    std::vector<bool> valid;
};

Reference ReadReference(const std::string& text)
{
    std::vector<TexCoord> texcoords;
    std::vector<std::vector<long long>> faces;  // texcoord numbers, 0 = invalid
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        for (char& c : line)
            if (c == '\t' || c == '\r')
                c = ' ';
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword == "vt") {
            std::string a, b;
            words >> a >> b;
            const float u = a.empty() ? 0.0f : std::strtof(a.c_str(), nullptr);
            const float v = b.empty() ? 0.0f : std::strtof(b.c_str(), nullptr);
            texcoords.push_back({u, 1.0f - v});
        } else if (keyword == "f") {
            std::vector<long long> corners;
            std::string corner;
            while (words >> corner) {
                const size_t slash = corner.find('/');
                const size_t second = corner.find('/', slash + 1);
                const std::string number = slash == std::string::npos
                                               ? ""
                                               : corner.substr(slash + 1, second - slash - 1);
                long long n = number.empty() ? 0 : std::atoll(number.c_str());
                if (n < 0)
                    n = static_cast<long long>(texcoords.size()) + 1 + n;
                corners.push_back(n > 0 ? n : 0);
            }
            for (size_t i = 2; i < corners.size(); ++i)
                faces.push_back({corners[0], corners[i - 1], corners[i]});
        }
    }
    Reference ref;
    for (const auto& face : faces) {
        std::vector<TexCoord> corners;
        bool valid = true;
        for (long long n : face) {
            valid = valid && n >= 1 && n <= static_cast<long long>(texcoords.size());
            corners.push_back(valid ? texcoords[n - 1] : TexCoord{0, 0});
        }
        ref.triangles.push_back(corners);
        ref.valid.push_back(valid);
    }
    return ref;
}

std::string RandomObj(std::mt19937& rng, int faces)
{
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto blank = [&]() -> std::string {
        static const char* blanks[] = {" ", "  ", "\t", " \t "};
        return blanks[pick(4)];
    };
    auto number = [&]() {
        std::uniform_real_distribution<float> d(-0.5f, 1.5f);
        char text[32];
        std::snprintf(text, sizeof text, pick(2) ? "%.6f" : "%g", d(rng));
        return std::string(text);
    };
    std::string text;
    int texcoords = 0;
    for (int f = 0; f < faces;) {
        const std::string eol = pick(5) ? "\n" : "\r\n";
        switch (pick(9)) {
        case 0: text += "# comment f 1/2/3" + eol; break;
        case 1: text += eol; break;
        case 2: text += "g group" + std::to_string(f) + eol; break;
        case 3: text += "v" + blank() + number() + " " + number() + " " + number() + eol; break;
        case 4: text += "vn 0 0 1" + eol; break;
        case 5:
        case 6:
            text += (pick(4) ? "" : blank()) + "vt" + blank() + number() + blank() + number() +
                    (pick(3) ? "" : " " + number()) + eol;
            ++texcoords;
            break;
        default: {
            if (texcoords == 0)
                break;
            text += "f";
            const int corners = 3 + pick(3);
            const int form = pick(4);
            for (int c = 0; c < corners; ++c) {
                int n = 1 + pick(texcoords + 1);  // sometimes one past the end
                if (pick(4) == 0)
                    n = -(1 + pick(texcoords));
                const std::string vt = std::to_string(n);
                text += blank();
                switch (form) {
                case 0: text += "1/" + vt; break;
                case 1: text += "1/" + vt + "/1"; break;
                case 2: text += "1//1"; break;
                default: text += "1/" + vt + "/" + std::to_string(c); break;
                }
            }
            text += eol;
            ++f;
        }
        }
    }
    return text;
}

TEST_F(MeshPairLoader, MatchesAReferenceReaderOnRandomFiles)
{
    std::mt19937 rng(20261206);
    for (int round = 0; round < 40; ++round) {
        const int faces = 1 + static_cast<int>(rng() % 300);
        const std::string source = RandomObj(rng, faces);
        const std::string target = RandomObj(rng, faces);
        const std::string source_path = dir.File("s.obj"), target_path = dir.File("t.obj");
        WriteWholeFile(source_path, source);
        WriteWholeFile(target_path, target);
        ASSERT_TRUE(LoadRemapMeshes(source_path.c_str(), target_path.c_str()));
        const Reference s = ReadReference(source), t = ReadReference(target);
        ASSERT_EQ(remap_table.count, static_cast<int32_t>(s.triangles.size()));
        for (int i = 0; i < remap_table.count; ++i) {
            const bool drawable = s.valid[i] && i < static_cast<int>(t.valid.size()) && t.valid[i];
            ASSERT_EQ(remap_table.drawable[i], drawable) << "round " << round << " record " << i;
            if (!drawable)
                continue;
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(remap_table.triangles[i].source[c].u, s.triangles[i][c].u);
                ASSERT_EQ(remap_table.triangles[i].source[c].v, s.triangles[i][c].v);
                ASSERT_EQ(remap_table.triangles[i].target[c].u, t.triangles[i][c].u);
                ASSERT_EQ(remap_table.triangles[i].target[c].v, t.triangles[i][c].v);
            }
        }
    }
}

}  // namespace
