// texwarp-bake: the command line's outcomes and messages, 16 bits end to end, partly
// covered pixels, edge padding, the same bytes from any thread count.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "assets/png_encode.h"
#include "bake/bake.h"
#include "bake/padding.h"
#include "bake/tangent_frames.h"
#include "examples/example_layout.h"
#include "fuzz/png_writer.h"
#include "support/safe_write.h"
#include "testlib/command_line.h"
#include "testlib/files.h"

namespace {

const char kIdentity[] = "vt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\nf 1/1 2/2 3/3 4/4\n";  // the unit square

DeepImage Decoded(const std::string& path)
{
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    EXPECT_TRUE(DecodeDeepPNGFile(path.c_str(), &image, reason)) << path << ": " << reason;
    return image;
}

TEST(Bake, CommandLinesAndTheirOutcomes)
{
    TempDir dir;  // its path has no spaces
    const std::string d = dir.path, out = d + "out.png", several = d + "several";
    WriteWholeFile(d + "m.obj", kIdentity);
    const uint32_t pixels[4] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF};
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile((d + "i.png").c_str(), PngOutput{pixels, 2, 2, 8, false, nullptr, nullptr, 1, nullptr}, reason));
    // Noise of two compressed pieces on two threads, the first a whole number of row
    // batches and the second one row long: back exactly, and through the identity too,
    // transparent texels with their colour.
    std::vector<uint32_t> noise(513 * 511);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = uint32_t(i * 2654435761u) & (i % 3 ? 0xFFFFFFFF : 0x00FFFFFF);
    ASSERT_TRUE(WritePNGFile((d + "n.png").c_str(), PngOutput{noise.data(), 511, 513, 8, false, nullptr, nullptr, 2, nullptr},
                             reason));
    ASSERT_EQ(Bake(d + "m.obj " + d + "m.obj " + d + "n.png -q --padding 0 -o " + d + "nb.png"), BAKE_DONE);
    for (const char* name : {"n.png", "nb.png"}) {
        DeepImage back = Decoded(d + name);
        EXPECT_TRUE(back.pixels && std::equal(noise.begin(), noise.end(), static_cast<const uint32_t*>(back.pixels)))
            << name;
        FreeDeepImage(&back);
    }
    WriteWholeFile(d + "empty.png", "");
    WriteWholeFile(d + "cut.png", ReadWholeFile(d + "n.png").substr(0, 1000));
    // No folder to write in, and an image of no width: no file, and a failure with its reason.
    EXPECT_FALSE(WritePNGFile((d + "no-folder/x.png").c_str(), PngOutput{pixels, 2, 2, 8, false, nullptr, nullptr, 1, nullptr},
                              reason));
    EXPECT_STREQ(reason, std::strerror(ENOENT));
    EXPECT_FALSE(WritePNGFile((d + "none.png").c_str(), PngOutput{pixels, 0, 2, 8, false, nullptr, nullptr, 1, nullptr}, reason) ||
                 std::filesystem::exists(d + "none.png"));
    WriteWholeFile(d + "broken.png", "\x89PNG\r\n\x1a\nnot really");
    std::filesystem::create_directories(d + "sub");
    WriteWholeFile(d + "sub/i.png", ReadWholeFile(d + "i.png"));
    WriteWholeFile(d + "sub/I.png", ReadWholeFile(d + "i.png"));
    WriteWholeFile(d + "half.obj", "vt 0 1\nvt 1 1\nvt 1 0\nf 1/1 2/2 3/3\n");
    WriteWholeFile(d + "p.obj", std::string("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n") + kIdentity);
    WriteWholeFile(d + "bent.obj", std::string("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0.01\n") + kIdentity);
    WriteWholeFile(d + "split.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\n"
                                    "f 2/2 3/3 4/4\nf 2/2 4/4 1/1\n");
    ASSERT_TRUE(WritePNGFile((d + "g.png").c_str(), PngOutput{pixels, 2, 2, 8, true, nullptr, nullptr, 1, nullptr}, reason));
    WriteWholeFile(d + "nan.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv nan 0 0\nv inf 0 0\nv -inf 0 0\n"
                                  "vt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\nf 1/1 2/2 3/3\nf 1/1 3/3 6/4\nf 5/1 7/3 4/4\n");
    WriteWholeFile(d + "allnan.obj", "v nan 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n" + std::string(kIdentity));
    WriteWholeFile(d + "empty.obj", "");
    WriteWholeFile(d + "bare.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n");
    WriteWholeFile(d + "line.obj", "vt 0 0\nvt 0.5 0.5\nvt 1 1\nvt 0.25 0.25\nf 1/1 2/2 3/3 4/4\n");
    WriteWholeFile(d + "comma.obj", "vt 0 1\nvt 0,5 1\nvt 1 0,5\nvt 0 0\nf 1/1 2/2 3/3 4/4\n");
#ifndef _WIN32
    std::filesystem::create_symlink("loop.png", d + "loop.png");
    std::filesystem::create_symlink("missing/x.png", d + "dangling.png");
    ASSERT_EQ(mkfifo((d + "fifo").c_str(), 0600), 0);
#endif
    const std::string mmi = d + "m.obj " + d + "m.obj " + d + "i.png ", to = " -o " + out;
    const struct {
        std::string line;
        int code;
        std::string made;  // the one output file there is afterwards, if any
        std::string said;  // part of what it writes to stdout and stderr
    } rows[] = {
        {"", BAKE_USAGE, "", "Try 'texwarp-bake --help'"}, {mmi, BAKE_USAGE, "", ""},
        {d + "m.obj " + d + "m.obj" + to, BAKE_USAGE, "", ""}, {mmi + "-o", BAKE_USAGE, "", ""},
        {mmi + d + "sub/i.png -o " + several, BAKE_USAGE, "", ""},  // one name twice
#ifdef _WIN32
        {mmi + d + "sub/I.png -o " + several, BAKE_USAGE, "", "two images"},  // one file, in other case
        {mmi + d + "sub/\u00C4.png " + d + "\u00E4.png -o " + several, BAKE_USAGE, "", "two images"},  // folded beyond ASCII
#else
        {mmi + "-o " + d + "loop.png", BAKE_OUTPUT, "", "loop.png' cannot be written: too many levels of symbolic links"},
        {mmi + "-o " + d + "fifo", BAKE_OUTPUT, "", "fifo' is not a regular file"},
        {mmi + "-o " + d + "dangling.png", BAKE_OUTPUT, "", "dangling.png' cannot be written: no such folder"},
        {mmi + "-o " + d + std::string(300, 'x'), BAKE_OUTPUT, "", std::strerror(ENAMETOOLONG)},
#endif
        {mmi + "-o -", BAKE_DONE, "", "written: standard output"},
        {mmi + d + "i.png -o -", BAKE_USAGE, "", "standard output ('-o -') takes one image, not 2"},
        {"-h", BAKE_DONE, "", "usage: texwarp-bake"},
        {d + "none.obj " + d + "m.obj " + d + "i.png" + to, BAKE_INPUT, "", "none.obj' not found"},
        {d + "m.obj " + d + "m.obj " + d + "none.png" + to, BAKE_INPUT, "", ""},
        {d + "m.obj " + d + "m.obj " + d + "broken.png" + to, BAKE_INPUT, "", ""},
        {d + "m.obj " + d + "m.obj " + d + "empty.png" + to, BAKE_INPUT, "", "empty.png': empty"},
        {d + "m.obj " + d + "m.obj " + d + "cut.png" + to, BAKE_INPUT, "", "cut.png': cut short after 1000 bytes"},
        {d + "m.obj " + d + "m.obj " + d + "sub" + to, BAKE_INPUT, "", "sub': a folder, not an image"},
        {d + "sub " + d + "m.obj " + d + "i.png" + to, BAKE_INPUT, "", "sub' could not be read: Is a directory"},
        {mmi + "-o " + d + "no-folder/out.png", BAKE_OUTPUT, "", "out.png' cannot be written: no such folder"},
        {mmi + "-o " + d + "sub", BAKE_OUTPUT, "", "one image needs an output file"},
        {d + "none.obj " + d + "m.obj " + d + "i.png -o " + d + "no-folder/out.png", BAKE_OUTPUT, "", ""},  // before any work
        // Every image's header is read before any work; the folder made for them goes again.
        {mmi + d + "broken.png -o " + several, BAKE_INPUT, "", "broken.png'"},
        {d + "m.obj " + d + "m.obj --normal-map " + d + "i.png" + to, BAKE_INPUT, "", "m.obj' has no vertex positions"},
        {d + "p.obj " + d + "nan.obj --normal-map " + d + "i.png" + to, BAKE_DONE, out,
         "nan.obj': 2 faces with values that are not finite have no tangent frames"},
        {d + "p.obj " + d + "p.obj " + d + "i.png --normal-map " + d + "g.png -o " + several, BAKE_INPUT, "",
         "g.png': a normal map must be RGB or RGBA"},
        // Nothing that can be drawn: exit 3 and why.
        {d + "empty.obj " + d + "m.obj " + d + "i.png" + to, BAKE_INPUT, "", "empty.obj' has no faces"},
        {d + "p.obj " + d + "bare.obj " + d + "i.png" + to, BAKE_INPUT, "", "none has texture coordinates (vt)"},
        {d + "m.obj " + d + "line.obj " + d + "i.png" + to, BAKE_INPUT, "", "no area in the layout of '" + d + "line.obj'"},
        {d + "m.obj " + d + "comma.obj " + d + "i.png" + to, BAKE_DONE, out,
         "comma.obj' line 2: '0,5' is not a number and reads as 0 (2 lines have such numbers)"},
        {mmi + "-q --size 1x272 --samples 15" + to, BAKE_DONE, out, ""},  // bands of rows, the last one short
        // Other faces: rays, which need positions, or faces where asked and they agree.
        {d + "m.obj " + d + "half.obj " + d + "i.png" + to, BAKE_INPUT, "", "the meshes list different faces (face 1 has"},
        {d + "p.obj " + d + "split.obj " + d + "i.png --match faces" + to, BAKE_INPUT, "", "--match faces: the meshes list"},
        {mmi + "--match surface" + to, BAKE_INPUT, "", "--match surface: '" + d + "m.obj' has no vertex positions"},
        {d + "p.obj " + d + "split.obj " + d + "i.png --misses " + out + to, BAKE_USAGE, "", "written over the output"},
        {d + "split.obj " + d + "p.obj " + d + "i.png" + to, BAKE_DONE, out, "match: surface, rays from the target"},
        {d + "p.obj " + d + "bent.obj " + d + "i.png" + to, BAKE_DONE, out, "the faces are not in the same places"},
        {d + "p.obj " + d + "split.obj " + d + "i.png --cage-offset 2 --max-distance 1" + to, BAKE_INPUT, "",
         "every sample missed"},
        {d + "allnan.obj " + d + "p.obj " + d + "i.png --match surface" + to, BAKE_INPUT, "", "every sample missed"},
        {d + "p.obj " + d + "p.obj " + d + "i.png --match surface --max-distance 0" + to, BAKE_DONE, out,
         "rays: 0 of 4 samples (0.000 %) found no source"},
        {"--size=3x5 " + mmi + "--filter=nearest" + to + " --samples 3 --padding 0 --background 1,2,3,4", BAKE_DONE, out,
         ""},
    };
    // Options that are not understood come first, so the last row's output is left to read.
    std::vector<std::string> lines;
    for (const char* bad : {"--bogus", "--samples 0", "--samples=16", "--size 0", "--size 8x", "--size 8x65537",
                            "--padding -1", "--background 1,2,3", "--background 1,2,3,4,5", "--background 1,2,3,256",
                            "--filter cubic", "--padding 4z", "--padding 65537", "--samples +3", "--threads 0",
                            "--normal-y sideways", "--match both", "--cage-offset -1", "--max-distance nan",
                            "--cage-offset 1e999", "--misses="})
        lines.push_back(mmi + bad + to);
    const size_t bad = lines.size();
    for (const auto& row : rows)
        lines.push_back(row.line);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::filesystem::remove_all(several);
        std::filesystem::remove(out);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(Bake(lines[i]), i < bad ? BAKE_USAGE : rows[i - bad].code) << lines[i];
        const std::string said = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(i < bad ? "texwarp-bake: " : rows[i - bad].said), std::string::npos) << said;
        EXPECT_EQ(said.find("usage:") == std::string::npos, lines[i] != "-h") << said;  // a reason, not the usage
        std::string made;  // outputs and half-written files
        for (const auto& entry : std::filesystem::recursive_directory_iterator(d)) {
            const std::string name = entry.path().generic_u8string();
            std::error_code loop;
            if ((entry.is_regular_file(loop) && (name == std::filesystem::path(out).generic_u8string() ||
                                                 name.find(".tmp") != std::string::npos)) ||
                name.find("several") != std::string::npos)
                made += name;
        }
        EXPECT_EQ(made, i < bad ? "" : std::filesystem::path(rows[i - bad].made).generic_u8string()) << lines[i];
    }
    // Names beyond any ANSI code page: Cyrillic meshes and image, a CJK output.
    WriteWholeFile(d + "сетка.obj", kIdentity);
    WriteWholeFile(d + "текстура.png", ReadWholeFile(d + "i.png"));
    EXPECT_EQ(Bake(d + "сетка.obj " + d + "сетка.obj " + d + "текстура.png -q -o " + d + "出力.png"), BAKE_DONE);
    EXPECT_EQ(ReadWholeFile(d + "出力.png").substr(1, 3), "PNG");
    // The quad's diagonal runs through sample centres (one at 3 x 5 with 3 x 3 samples,
    // where each triangle spans a few columns; every pixel's at 64 x 64, where rows near
    // the corners cover one column): each is drawn by one triangle, and every pixel is
    // whole.
    const auto opaque = [](const DeepImage& image) {
        int count = 0;
        for (int i = 0; i < image.width * image.height; ++i)
            count += static_cast<const uint8_t*>(image.pixels)[i * 4 + 3] == 255;
        return count;
    };
    DeepImage three_by_five = Decoded(out);
    EXPECT_EQ(std::vector<int>({three_by_five.width, three_by_five.height, opaque(three_by_five)}),
              std::vector<int>({3, 5, 15}));
    FreeDeepImage(&three_by_five);
    ASSERT_EQ(Bake(mmi + "-q --padding 0 --size 64" + to), BAKE_DONE);
    DeepImage square = Decoded(out);
    EXPECT_EQ(opaque(square), 64 * 64);
    FreeDeepImage(&square);
}

TEST(Bake, SixteenBitsGreyAndPartlyCoveredPixels)
{
    TempDir dir;
    const std::string mesh = dir.File("square.obj"), image = dir.File("ramp.png"), out = dir.File("out.png");
    const std::string mmi = mesh + " " + mesh + " " + image + " -q -o " + out + " ";
    // Every 16-bit value once, grey, through the identity: back exactly, still grey. The
    // identity is one triangle reaching far past the image on every side, clipped first.
    WriteWholeFile(mesh, "vt -1e5 100001\nvt 2e5 0.5\nvt -1e5 -199999\nf 1/1 2/2 3/3\n");
    std::vector<uint16_t> ramp(256 * 256 * 4);
    for (int i = 0; i < 256 * 256 * 4; ++i)
        ramp[i] = i % 4 == 3 ? 65535 : uint16_t(i / 4);
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile(image.c_str(), PngOutput{ramp.data(), 256, 256, 16, true, nullptr, nullptr, 1, nullptr}, reason));
    DeepImage baked{};
    for (const char* filter : {"linear", "nearest"}) {  // pixel centres on texel centres: either way
        ASSERT_EQ(Bake(mmi + "--padding 0 --filter " + filter), BAKE_DONE);
        baked = Decoded(out);
        int worst = baked.bits == 16 && baked.grey ? 0 : 65536;
        for (int i = 0; i < 256 * 256 * 4; ++i)
            worst = std::max(worst, std::abs(int(static_cast<const uint16_t*>(baked.pixels)[i]) - int(ramp[i])));
        EXPECT_EQ(worst, 0) << filter;
        FreeDeepImage(&baked);
    }

    // Snapping decides coverage only: texture coordinates run from the exact corner
    // places. A square from u 0.13 to 0.91 of a 7-pixel row samples a 4096-texel ramp
    // at the texel its exact place gives, not its place snapped to 1/256 of a pixel.
    WriteWholeFile(dir.File("narrow.obj"), "vt 0.13 1\nvt 0.91 1\nvt 0.91 0\nvt 0.13 0\nf 1/1 2/2 3/3 4/4\n");
    WriteWholeFile(mesh, kIdentity);
    std::vector<uint16_t> long_ramp(4096 * 4);
    for (int i = 0; i < 4096 * 4; ++i)
        long_ramp[i] = uint16_t(i % 4 == 3 ? 65535 : i / 4 * 16);
    ASSERT_TRUE(WritePNGFile(image.c_str(), PngOutput{long_ramp.data(), 4096, 1, 16, true, nullptr, nullptr, 1, nullptr}, reason));
    ASSERT_EQ(Bake(mesh + " " + dir.File("narrow.obj") + " " + image + " -q -o " + out +
                   " --size 7x1 --filter nearest --padding 0"), BAKE_DONE);
    baked = Decoded(out);
    std::vector<int> texels, exact;
    const double left = double(7.0f * 0.13f), right = double(7.0f * 0.91f);
    for (int x = 1; x <= 5 && baked.bits == 16; ++x) {
        texels.push_back(static_cast<const uint16_t*>(baked.pixels)[x * 4] / 16);
        exact.push_back(int(std::floor((x + 0.5 - left) / (right - left) * 4096)));
    }
    EXPECT_EQ(texels, exact);
    FreeDeepImage(&baked);

    // Half the square: the pixels along the diagonal are partly covered. Their alpha is
    // the covered share without padding, and full with it; their colour stays the image's.
    // A sliver within the last row covers that row's first sample row.
    WriteWholeFile(mesh, "vt 0 1\nvt 1 1\nvt 0 0\nvt 0 0.03\nvt 1 0.03\nf 1/1 2/2 3/3\nf 4/4 5/5 3/3\n");
    WriteWholeFile(image, EncodePng({2, 1, 2, 8, false, {255, 0, 0, 0, 0, 255}, {}, {}}));  // red, blue
    for (const std::string padding : {"0", "2"}) {
        ASSERT_EQ(Bake(mmi + "--size 16 --samples 4 --filter nearest --padding " + padding), BAKE_DONE);
        DeepImage half = Decoded(out);
        const auto* row5 = static_cast<const uint32_t*>(half.pixels) + 5 * 16;
        std::string alphas;  // F full, P partial, 0 none
        for (int x = 0; x < 16; ++x)
            alphas += row5[x] >> 24 == 255 ? 'F' : row5[x] >> 24 == 0 ? '0' : 'P';
        EXPECT_EQ(alphas, padding == "0" ? "FFFFFFFFFFP00000" : "FFFFFFFFFFFFF000") << "padding " << padding;
        EXPECT_EQ(row5[10] & 0xFFFFFF, 0xFF0000u);  // blue, not darkened
        EXPECT_NE(row5[15 * 16 - 5 * 16 + 4] >> 24, 0u);  // the sliver, at (4, 15)
        FreeDeepImage(&half);
    }
}

// Outputs go through temporaries of their own: a file or a link at the name the old
// fixed temporary had is not touched, an output that is a link gets its file replaced,
// and two writers of one output each leave a whole file, the last one's.
TEST(Bake, OutputsAreWrittenWholeThroughTheirOwnTemporaries)
{
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string out = dir.File("out.png");
    const uint32_t red[4] = {0xFF0000FF, 0xFF0000FF, 0xFF0000FF, 0xFF0000FF}, blue[3] = {0xFFFF0000, 0, 0xFFFF0000};
    const PngOutput images[2] = {{red, 2, 2, 8, false, nullptr, nullptr, 1, nullptr}, {blue, 3, 1, 8, false, nullptr, nullptr, 1, nullptr}};
    WriteWholeFile(out + ".partial", "mine");
    char reason[PNG_REASON_SIZE];
#ifndef _WIN32
    WriteWholeFile(dir.File("victim.txt"), "victim");
    fs::create_symlink(dir.File("victim.txt"), out + ".tmp");
    fs::create_directories(dir.File("assets"));
    fs::create_symlink("assets/real.png", dir.File("link.png"));
    ASSERT_TRUE(WritePNGFile(dir.File("link.png").c_str(), images[0], reason)) << reason;
    EXPECT_TRUE(fs::is_symlink(dir.File("link.png")));
    DeepImage real = Decoded(dir.File("assets/real.png"));
    EXPECT_EQ(real.width, 2);
    FreeDeepImage(&real);
    EXPECT_EQ(ReadWholeFile(dir.File("victim.txt")), "victim");
#endif
    for (int round = 0; round < 10; ++round) {
        bool written[2] = {false, false};
        char other_reason[PNG_REASON_SIZE];
        std::thread other([&] { written[1] = WritePNGFile(out.c_str(), images[1], other_reason); });
        written[0] = WritePNGFile(out.c_str(), images[0], reason);
        other.join();
        DeepImage last = Decoded(out);
        EXPECT_TRUE(written[0] && written[1] && (last.width == 2 || last.width == 3));
        FreeDeepImage(&last);
    }
    EXPECT_EQ(ReadWholeFile(out + ".partial"), "mine");
#ifndef _WIN32
    // A replaced output keeps its permissions; an interruption while it is being written
    // leaves no temporary behind.
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(WritePNGFile(out.c_str(), images[0], reason)) << reason;
    EXPECT_EQ(fs::status(out).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EXIT(
        {
            RemoveTemporariesWhenInterrupted();
            SafeFile file;
            int error = 0;
            if (OpenSafeFile(out.c_str(), true, &file, &error))
                raise(SIGTERM);
            _exit(0);
        },
        testing::KilledBySignal(SIGTERM), "");
#endif
    int left = 0;  // temporaries left behind
    for (const auto& entry : fs::directory_iterator(dir.path))
        left += entry.path().extension() == ".tmp" && !fs::is_symlink(entry.path());
    EXPECT_EQ(left, 0);
}

#ifndef _WIN32
// Limits a child process runs the bake under: exit 4, a message that says why, no file.
// Under a memory limit a --size whose buffers cannot be had is refused before any work
// (the meshes, missing here, are never read); the sanitizers reserve more address space
// than any limit allows. Under a file size limit the write fails with the system's reason.
TEST(Bake, LimitsGiveExitFourAndTheReason)
{
    TempDir dir;
    const std::string out = dir.File("out.png"), said = dir.File("said.txt"), examples = TEXWARP_EXAMPLES;
    const auto run = [&](int resource, const std::string& line) {
        const pid_t child = fork();
        if (child == 0) {
            long pages = 0;
            FILE* statm = std::fopen("/proc/self/statm", "r");
            if (!statm || std::fscanf(statm, "%ld", &pages) != 1)
                _exit(99);
            std::fclose(statm);
            signal(SIGXFSZ, SIG_IGN);
            // Within any limit the test runs under already: the hard limit stays.
            rlimit limit{};
            const rlim_t size = resource == RLIMIT_AS ? rlim_t(pages) * 4096 + (rlim_t(512) << 20) : 10000;
            if (getrlimit(resource, &limit) != 0)
                _exit(98);
            limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? size : std::min(size, limit.rlim_max);
            if (setrlimit(resource, &limit) != 0)
                _exit(98);
            std::freopen(said.c_str(), "w", stderr);
            const int code = Bake(line + " -o " + out);
            std::fflush(stderr);
            _exit(code);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 98)
            return std::string("the limit cannot be set here");
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, BAKE_OUTPUT) << line;
        EXPECT_FALSE(std::filesystem::exists(out)) << line;
        return ReadWholeFile(said);
    };
#ifndef __SANITIZE_ADDRESS__
    const std::string memory = run(RLIMIT_AS, dir.File("none.obj ") + dir.File("none.obj ") + examples +
                                                  "/texture.png --size 16384");
    if (memory == "the limit cannot be set here")
        GTEST_SKIP() << memory;
    // The drawing, its coverage and the compressed output: 9 bytes a pixel at 8 bits.
    EXPECT_NE(memory.find("16384 x 16384 output (2304 MB)"), std::string::npos) << memory;
#endif
    const std::string line = examples + "/mesh1.obj " + examples + "/mesh2.obj " + examples + "/texture.png -q";
    const std::string size = run(RLIMIT_FSIZE, line + " --size 1000");
    if (size == "the limit cannot be set here")
        GTEST_SKIP() << size;
    EXPECT_NE(size.find(std::strerror(EFBIG)), std::string::npos) << size;
}
#endif

// What describes the pixels' meaning comes through a bake: gamma 1.0, chromaticities,
// significant bits (fitted to the output) and pixel size on an RGBA image; an ICC
// profile on a 16-bit grey one; the sRGB intent on a third.
TEST(Bake, ColourMetadataIsKept)
{
    TempDir dir;
    WriteWholeFile(dir.File("m.obj"), kIdentity);
    std::string icc(1000, '\0');  // a header for greys (D50, XYZ) and one tag of noise
    for (size_t i = 144; i < icc.size(); ++i)
        icc[i] = char(i * 2654435761u >> 13);
    const auto put = [&](size_t at, const char* bytes, size_t n) { icc.replace(at, n, bytes, n); };
    put(0, "\0\0\x03\xE8", 4);
    put(8, "\x02\x10\0\0mntrGRAYXYZ ", 16);
    put(36, "acsp", 4);
    put(68, "\0\0\xF6\xD6\0\x01\0\0\0\0\xD3\x2D", 12);
    put(128, "\0\0\0\x01zzzz\0\0\0\x90\0\0\x03\x58", 16);
    PngMetadata sets[3];
    sets[0].has_gamma = sets[0].has_chromaticities = sets[0].has_significant_bits = sets[0].has_pixel_size = true;
    sets[0].gamma = 100000;
    const int32_t primaries[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
    std::copy(primaries, primaries + 8, sets[0].chromaticities);
    const uint8_t significant[5] = {5, 6, 5, 0, 9};
    std::copy(significant, significant + 5, sets[0].significant_bits);
    sets[0].pixels_per_unit[0] = 2835;
    sets[0].pixels_per_unit[1] = 1417;
    sets[0].unit = 1;
    sets[1].has_icc = true;
    sets[1].icc_name = "grey";
    sets[1].icc_profile = icc;
    sets[2].has_srgb = true;
    sets[2].srgb_intent = 2;
    const uint16_t pixels[16] = {1, 2, 3, 65535, 4, 5, 6, 65535, 7, 8, 9, 65535, 10, 11, 12, 65535};
    for (int k = 0; k < 3; ++k) {
        char reason[PNG_REASON_SIZE];
        const std::string in = dir.File("in.png"), out = dir.File("out.png");
        const PngOutput image{pixels, 2, 2, k == 1 ? 16 : 8, k == 1, nullptr, nullptr, 1, &sets[k]};
        ASSERT_TRUE(WritePNGFile(in.c_str(), image, reason)) << reason;
        ASSERT_EQ(Bake(dir.File("m.obj") + " " + dir.File("m.obj") + " " + in + " -q -o " + out), BAKE_DONE);
        // The output says what the input says (as libpng reads both: sRGB brings its gamma
        // and chromaticities along), and what was asked for is there.
        const auto fields = [](const PngMetadata& m) {
            return std::make_tuple(m.has_gamma, m.gamma, m.has_chromaticities, m.chromaticities[0], m.chromaticities[7],
                                   m.has_srgb, m.srgb_intent, m.has_icc, m.icc_name, m.icc_profile,
                                   m.has_significant_bits, m.significant_bits[0], m.significant_bits[1],
                                   m.significant_bits[4], m.has_pixel_size, m.pixels_per_unit[1], m.unit);
        };
        DeepImage given = Decoded(in), baked = Decoded(out);
        const PngMetadata& m = baked.metadata;
        EXPECT_TRUE(fields(given.metadata) == fields(m)) << k;
        const std::vector<int64_t> got[3] = {{m.gamma, m.significant_bits[0], m.significant_bits[4], m.pixels_per_unit[0]},
                                             {m.icc_profile == icc}, {m.srgb_intent}};
        const std::vector<int64_t> asked[3] = {{100000, 5, 8, 2835}, {1}, {2}};  // alpha's 9 bits fitted to 8
        EXPECT_EQ(got[k], asked[k]) << k;
        FreeDeepImage(&given);
        FreeDeepImage(&baked);
    }
}

// One tilted quad, no normals given (the face's own). From its identity layout a
// normal map keeps its texel (once normalised); turned 180 degrees red and green mirror
// about the middle; mirrored, red alone; sheared, nothing changes, as MikkTSpace's
// bitangent is normal x tangent, not the sheared v direction. Green read and written
// as -v equals +v with green inverted on both sides. At 8 and 16 bits, and an image
// baked beside a normal map is the image baked alone.
TEST(Bake, NormalMapsTurnIntoTheTargetFrames)
{
    TempDir dir;
    const std::string quad = "v 0 0 0\nv 2 0 0\nv 2 1 1\nv 0 1 1\n", face = "f 1/1 2/2 3/3 4/4\n";
    const std::pair<const char*, const char*> layouts[] = {
        {"same", "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"}, {"turned", "vt 1 1\nvt 0 1\nvt 0 0\nvt 1 0\n"},
        {"mirrored", "vt 1 0\nvt 0 0\nvt 0 1\nvt 1 1\n"}, {"sheared", "vt 0 0\nvt 0.6 0\nvt 1 1\nvt 0.4 1\n"}};
    for (const auto& [name, texcoords] : layouts)
        WriteWholeFile(dir.File(name + std::string(".obj")), quad + texcoords + face);
    const std::string mesh = dir.File("same.obj"), map = dir.File("map.png"), colour = dir.File("colour.png");
    ASSERT_EQ(Bake(mesh + " " + mesh + " " + TEXWARP_EXAMPLES + "/texture.png -q -o " + colour), BAKE_DONE);
    for (const int bits : {8, 16}) {
        const int max = (1 << bits) - 1;
        const int texel[3] = {200 * max / 255, 90 * max / 255, 230 * max / 255};
        const double length = std::hypot(2.0 * texel[0] / max - 1, 2.0 * texel[1] / max - 1, 2.0 * texel[2] / max - 1);
        int kept[3];  // the texel normalised in its own frame
        for (int c = 0; c < 3; ++c)
            kept[c] = int((0.5 + 0.5 * (2.0 * texel[c] / max - 1) / length) * max + 0.5);
        const auto write_map = [&](int green) {
            std::vector<uint16_t> words(8 * 8 * 4);
            for (size_t i = 0; i < words.size(); ++i)
                words[i] = uint16_t(i % 4 == 3 ? max : i % 4 == 1 ? green : texel[i % 4]);
            std::vector<uint8_t> bytes(words.begin(), words.end());
            const void* pixels = bits == 16 ? static_cast<const void*>(words.data()) : bytes.data();
            char reason[PNG_REASON_SIZE];
            ASSERT_TRUE(WritePNGFile(map.c_str(), PngOutput{pixels, 8, 8, bits, false, nullptr, nullptr, 1, nullptr}, reason));
        };
        const struct {
            const char* layout;
            bool down;
            int expected[3];
        } rows[] = {{"same", false, {kept[0], kept[1], kept[2]}},
                    {"turned", false, {max - kept[0], max - kept[1], kept[2]}},
                    {"mirrored", false, {max - kept[0], kept[1], kept[2]}},
                    {"sheared", false, {kept[0], kept[1], kept[2]}},
                    {"turned", true, {max - kept[0], kept[1], kept[2]}}};
        for (const auto& row : rows) {
            write_map(row.down ? max - texel[1] : texel[1]);
            const std::string out = dir.File("out"), line = mesh + " " + dir.File(row.layout + std::string(".obj")) +
                                                            " -q --padding 0 --normal-map " + map + " " + colour +
                                                            (row.down ? " --normal-y down" : "") + " -o " + out;
            ASSERT_EQ(Bake(line), BAKE_DONE) << line;
            DeepImage baked = Decoded(out + "/map.png");
            const auto rgba = [&](int pixel) {  // of the pixel, as its depth has it
                std::vector<int> values;
                for (int c = 0; c < 4 && baked.bits == bits; ++c)
                    values.push_back(bits == 16 ? static_cast<const uint16_t*>(baked.pixels)[pixel * 4 + c]
                                                : static_cast<const uint8_t*>(baked.pixels)[pixel * 4 + c]);
                return values;
            };
            EXPECT_EQ(rgba(4 * 8 + 4), std::vector<int>({row.expected[0], row.expected[1], row.expected[2], max}))
                << row.layout << (row.down ? ", green down, " : ", ") << bits << " bits";
            if (std::string(row.layout) == "sheared") {  // where it leaves the image empty: the flat normal
                EXPECT_EQ(rgba(0), std::vector<int>({max / 2 + 1, max / 2 + 1, max, 0}));
            }
            FreeDeepImage(&baked);
            const std::string alone = dir.File("alone.png");
            ASSERT_EQ(Bake(mesh + " " + dir.File(row.layout + std::string(".obj")) + " -q --padding 0 " + colour + " -o " +
                           alone), BAKE_DONE);
            EXPECT_TRUE(ReadWholeFile(out + "/colour.png") == ReadWholeFile(alone)) << "the colour image changed";
        }
    }

    // Sampled at full precision and rounded once: between texels the blend is
    // re-expressed as it is, not as rounded to 8 bits first. Sampled the same way as a
    // colour image, wrapping past the last column and row to the first.
    const uint8_t four[12] = {200, 90, 230, 30, 181, 140, 120, 250, 180, 10, 60, 255};
    WriteWholeFile(map, EncodePng({2, 2, 2, 8, false, std::vector<uint8_t>(four, four + 12), {}, {}}));
    const std::string blended = dir.File("blend.png"), plain = dir.File("plain.png");
    ASSERT_EQ(Bake(mesh + " " + mesh + " -q --padding 0 --size 16x3 --normal-map " + map + " -o " + blended), BAKE_DONE);
    ASSERT_EQ(Bake(mesh + " " + mesh + " -q --padding 0 --size 16x3 " + map + " -o " + plain), BAKE_DONE);
    DeepImage blend = Decoded(blended), colour_blend = Decoded(plain);
    std::vector<int> got, want;
    int worst_colour = 0;
    for (int i = 0; i < 16 * 3 && blend.bits == 8 && colour_blend.bits == 8; ++i) {
        const double s = (i % 16 + 0.5) / 8 - 0.5, t = (i / 16 + 0.5) * 2 / 3 - 0.5;  // in texels
        const double a = s - std::floor(s), b = t - std::floor(t);
        const int i0 = int(std::floor(s) + 2) % 2, j0 = int(std::floor(t) + 2) % 2;  // wrapped
        const auto at = [&](int x, int y, int c) { return double(four[(y % 2 * 2 + x % 2) * 3 + c]); };
        double n[3], length = 0;
        for (int c = 0; c < 3; ++c) {
            const double top = at(i0, j0, c) + a * (at(i0 + 1, j0, c) - at(i0, j0, c));
            const double bottom = at(i0, j0 + 1, c) + a * (at(i0 + 1, j0 + 1, c) - at(i0, j0 + 1, c));
            const double value = top + b * (bottom - top);
            worst_colour = std::max(worst_colour, std::abs(static_cast<const uint8_t*>(colour_blend.pixels)[i * 4 + c] -
                                                           int(value + 0.5)));
            n[c] = value * 2 / 255 - 1;
            length += n[c] * n[c];
        }
        for (int c = 0; c < 3; ++c) {
            want.push_back(int((0.5 + 0.5 * n[c] / std::sqrt(length)) * 255 + 0.5));
            got.push_back(static_cast<const uint8_t*>(blend.pixels)[i * 4 + c]);
        }
    }
    EXPECT_EQ(got, want);
    EXPECT_LE(worst_colour, 1);  // single precision
    FreeDeepImage(&blend);
    FreeDeepImage(&colour_blend);

    // The same quad with a normal of its own at each corner, as the target: its frames
    // written out by hand. MikkTSpace's tangent at a corner is the quad's u direction
    // (1, 0, 0) made perpendicular to the corner's normal; the pixel (4, 4) lies in the
    // first triangle (corners 0, 1, 2) at weights 7/16, 2/16, 7/16. The source is the
    // flat quad: T (1, 0, 0), B (0, 1, 1) / sqrt 2, N (0, -1, 1) / sqrt 2.
    const double normals[3][3] = {{0, -0.6, 0.8}, {0.3, -0.5, 0.8}, {-0.2, -0.8, 0.6}};
    std::string bent = quad + "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n";
    const auto dot = [](const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    const auto cross = [](const double* a, const double* b, double* out) {
        const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
        std::copy(c, c + 3, out);
    };
    const double w[3] = {7 / 16.0, 2 / 16.0, 7 / 16.0}, r = std::sqrt(0.5);
    double t[3] = {0, 0, 0}, nn[3] = {0, 0, 0}, b[3], bn[3], nt[3], tb[3];
    for (int k = 0; k < 3; ++k) {
        const double* n = normals[k];
        bent += "vn " + std::to_string(n[0]) + " " + std::to_string(n[1]) + " " + std::to_string(n[2]) + "\n";
        const double n2 = dot(n, n), tk[3] = {1 - n[0] * n[0] / n2, -n[0] * n[1] / n2, -n[0] * n[2] / n2};
        for (int i = 0; i < 3; ++i) {
            t[i] += w[k] * tk[i] / std::sqrt(dot(tk, tk));
            nn[i] += w[k] * n[i] / std::sqrt(n2);
        }
    }
    cross(nn, t, b);
    WriteWholeFile(dir.File("bent.obj"), bent + "f 1/1/1 2/2/2 3/3/3 4/4/1\n");
    // The source's x T + y B + z N, solved for in the target frame by Cramer's rule (its
    // determinant, left out as the result is normalised, is positive: B = N x T).
    const double x = 2 * 200 / 255.0 - 1, y = 2 * 90 / 255.0 - 1, z = 2 * 230 / 255.0 - 1;
    const double n[3] = {x, r * y - r * z, r * y + r * z};
    cross(b, nn, bn);
    cross(nn, t, nt);
    cross(t, b, tb);
    const double abc[3] = {dot(n, bn), dot(n, nt), dot(n, tb)}, solved = std::sqrt(dot(abc, abc));
    std::vector<int> expected;
    for (const double v : abc)
        expected.push_back(int((0.5 + 0.5 * v / solved) * 255 + 0.5));
    std::vector<uint8_t> rgb(8 * 8 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = uint8_t(i % 3 == 0 ? 200 : i % 3 == 1 ? 90 : 230);
    WriteWholeFile(map, EncodePng({8, 8, 2, 8, false, rgb, {}, {}}));
    ASSERT_EQ(Bake(mesh + " " + dir.File("bent.obj") + " -q --normal-map " + map + " -o " + dir.File("bent.png")),
              BAKE_DONE);
    DeepImage baked = Decoded(dir.File("bent.png"));
    const auto* pixel = static_cast<const uint8_t*>(baked.pixels) + (4 * 8 + 4) * 4;
    EXPECT_EQ(std::vector<int>(pixel, pixel + 3), expected);
    FreeDeepImage(&baked);

    // Without normals: a strip of two quads folded at right angles bakes as with the
    // normals written out, the faces' own for "s off", and at the fold their sum (equal
    // corner angles) for one smoothing group.
    const std::string strip = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 1 0 -1\nv 1 1 -1\n"
                              "vt 0 0\nvt 0.5 0\nvt 0.5 1\nvt 0 1\nvt 1 0\nvt 1 1\n";
    WriteWholeFile(dir.File("flat.obj"), "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 0 0\nv 2 1 0\n" + strip.substr(strip.find("vt")) +
                                            "f 1/1 2/2 3/3 4/4\nf 2/2 5/5 6/6 3/3\n");
    const std::pair<std::string, std::string> cases[] = {
        {"s off\nf 1/1 2/2 3/3 4/4\nf 2/2 5/5 6/6 3/3\n",
         "vn 0 0 1\nvn 1 0 0\nf 1/1/1 2/2/1 3/3/1 4/4/1\nf 2/2/2 5/5/2 6/6/2 3/3/2\n"},
        {"s 1\nf 1/1 2/2 3/3 4/4\nf 2/2 5/5 6/6 3/3\n",
         "vn 0 0 1\nvn 1 0 0\nvn 1 0 1\nf 1/1/1 2/2/3 3/3/3 4/4/1\nf 2/2/3 5/5/2 6/6/2 3/3/3\n"}};
    for (const auto& [made, written] : cases) {
        std::string bakes[2];
        for (int k = 0; k < 2; ++k) {
            WriteWholeFile(dir.File("strip.obj"), strip + (k ? written : made));
            ASSERT_EQ(Bake(dir.File("flat.obj") + " " + dir.File("strip.obj") + " -q --normal-map " + map + " -o " +
                           dir.File("strip.png")),
                      BAKE_DONE);
            bakes[k] = ReadWholeFile(dir.File("strip.png"));
        }
        EXPECT_TRUE(bakes[0] == bakes[1]) << made;
    }
}

// The example with every stage at work (3 x 3 samples, padding, an output of two
// compressed pieces): the same bytes from 1, 2 and 7 threads. Its normal map, baked: F
// keeps its texels, R turned a quarter turns them (red from green, green from inverted
// red) and 4 mirrored inverts red, to within the rounding of renormalising (1).
TEST(Bake, TheExampleOnAnyThreadCountAndItsNormalMap)
{
    TempDir dir;
    const std::string examples = TEXWARP_EXAMPLES, meshes = examples + "/mesh1.obj " + examples + "/mesh2.obj -q ";
    std::vector<std::string> files;
    for (const char* threads : {"1", "2", "7"}) {
        ASSERT_EQ(Bake(meshes + examples + "/texture.png --size 700 --samples 3 --threads " + threads + " -o " +
                       dir.File("t.png")), BAKE_DONE);
        files.push_back(ReadWholeFile(dir.File("t.png")));
    }
    EXPECT_TRUE(files[0] == files[1] && files[0] == files[2] && !files[0].empty());
    ASSERT_EQ(Bake(meshes + "--normal-map " + examples + "/normal.png -o " + dir.File("n.png")), BAKE_DONE);
    DeepImage painted = Decoded(examples + "/normal.png"), baked = Decoded(dir.File("n.png"));
    ASSERT_TRUE(painted.pixels && baked.pixels && baked.width == SIDE && baked.height == SIDE);
    int worst = 0;
    for (int i = 0; i < 3; ++i)
        for (int y = 2; y < ISLAND - 2; ++y)
            for (int x = 2; x < ISLAND - 2; ++x) {
                const auto* from = static_cast<const uint8_t*>(painted.pixels) +
                                   ((kIslands[i].y + y) * SIDE + kIslands[i].x + x) * 4;
                double tx, ty;
                TargetPoint(i, (x + 0.5) / ISLAND, (y + 0.5) / ISLAND, &tx, &ty);
                const auto* to = static_cast<const uint8_t*>(baked.pixels) + (int(ty) * SIDE + int(tx)) * 4;
                const int expected[3][2] = {{from[0], from[1]}, {from[1], 255 - from[0]}, {255 - from[0], from[1]}};
                worst = std::max({worst, std::abs(to[0] - expected[i][0]), std::abs(to[1] - expected[i][1]),
                                  std::abs(to[2] - from[2])});
            }
    EXPECT_LE(worst, 1);
    FreeDeepImage(&painted);
    FreeDeepImage(&baked);
}

// A bumpy grid of quads, triangles and hexagons with a mirrored island, a seam, repeated
// positions under other numbers, edges shared by three faces, flat and smooth faces.
// `unsound` adds a face the generator cannot use: 1 texture coordinates on a line, 2 a
// position twice, 3 positions on a line that follows u alone.
std::string Bumpy(int unsound)
{
    const int n = 12;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> jitter(-0.2f, 0.2f);
    const auto number = [](double value) { return " " + std::to_string(value); };
    std::string obj = "vn 0 0 1\n";  // the first row's, given
    // Every position twice, the second copy used on odd rows; unused ones between the first.
    for (int i = 0; i < 2; ++i)
        for (int y = 0; y <= n; ++y)
            for (int x = 0; x <= n; ++x)
                obj += "v" + number(x) + number(y) + number(std::sin(x * 0.7) * std::cos(y * 0.5)) +
                       (i ? "\n" : "\nv 99" + number(x) + number(y) + "\n");
    for (int k = 0; k < (n + 1) * (n + 1); ++k)  // the right half mirrored: a seam
        obj += "vt" + number((k % (n + 1) + jitter(random)) / n) + number((k / (n + 1) + jitter(random)) / n) + "\nvt" +
               number(1 - (k % (n + 1) + jitter(random)) / n) + number((k / (n + 1) + jitter(random)) / n) + "\n";
    const auto corner = [&](int x, int y, int half, int copy = 0) {
        const int k = y * (n + 1) + x, v = (y + copy) % 2 ? 2 * (n + 1) * (n + 1) + k + 1 : 2 * k + 1;
        return " " + std::to_string(v) + "/" + std::to_string(2 * k + 1 + half) + (y == 0 ? "/1" : "");
    };
    for (int y = 0; y < n; ++y) {
        obj += y < n / 2 ? "s off\n" : "s 1\n";
        for (int x = 0; x < n; ++x) {
            const int h = x >= n / 2;
            const std::string a = corner(x, y, h), b = corner(x + 1, y, h), c = corner(x + 1, y + 1, h),
                              d = corner(x, y + 1, h);
            if ((x + y) % 3 == 2 && x + 1 != n / 2 && x + 1 < n)  // two cells as one hexagon
                obj += "f" + a + b + corner(x + 2, y, h) + corner(x + 2, y + 1, h) + c + d + "\n", ++x;
            else if ((x + y) % 3 == 1)  // a third face on two edges at times, turned the other way
                obj += "f" + a + b + c + "\nf" + a + c + d + "\n" + ((x * 7 + y) % 5 ? "" : "f" + a + d + corner(x + 1, y, 1 - h) + "\n");
            else
                obj += "f" + a + b + c + d + "\n";
        }
    }
    // Last in the file, flaps on the first row's lower edge, through the other copies of
    // its positions: the first piece needs them, found by value.
    for (int x = 1; x < n / 2; x += 3)
        obj += "v" + number(x + 0.5) + " -1 0.3\nvt" + number((x + 0.5) / n) + " -0.1\nf" + corner(x + 1, 0, 0, 1) +
               corner(x, 0, 0, 1) + " -1/-1/1\n";
    const char* unusable[] = {"", "vt 0.5 0.25\nvt 0.75 0.5\nvt 1 0.75\nf 1/-3 3/-2 5/-1\n", "f 1/1 1/3 3/5 5/7\n",
                              "v 0 -2 0\nv 1 -1 0\nv 2 0 0\nvt 0 0\nvt 0.1 0\nvt 0.2 0.3\nf -3/-3 -2/-2 -1/-1\n"};
    return obj + unusable[unsound];
}

TEST(Bake, TangentFramesInPiecesAreThoseOfOneCall)
{
    TempDir dir;
    for (const int unsound : {0, 1, 2, 3}) {
        WriteWholeFile(dir.File("bumpy.obj"), Bumpy(unsound));
        MeshSurface surface[2] = {};
        ASSERT_EQ(LoadRemapMeshPair(dir.File("bumpy.obj").c_str(), dir.File("bumpy.obj").c_str(), 1, surface),
                  MeshLoad::OK);
        std::string frames[2];  // each record corner's frame: one call, then pieces of 100 faces of about 280
        int calls[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            FrameTable table{};
            ASSERT_TRUE(MakeFrames(surface, &remap_table.count, 1, k ? 100 : 0, k ? 3 : 1, &table, &calls[k]));
            for (size_t i = 0; i < size_t(table.records) * 3; ++i)
                frames[k].append(reinterpret_cast<const char*>(&table.frames[table.corners[i]]), sizeof(CornerFrame));
            FreeFrames(&table);
        }
        EXPECT_EQ(std::vector<int>(calls, calls + 2), std::vector<int>({1, 3})) << unsound;
        EXPECT_TRUE(frames[0] == frames[1]) << unsound;
        FreeMeshSurface(&surface[0]);
        FreeMeshSurface(&surface[1]);
        ClearRemapTable();
    }
}

// One flat face of 20,000 corners (a quarter disc from its centre), its texture
// coordinates half its positions: a crowded vertex (the centre, the fan's first corner)
// does not make the generator's time grow with the square of its faces (it took about
// 40 s), and every frame stays the face's own: tangent +x, normal +z, bitangent +v
// (but at the centre, where the faces' angles are 0 in single precision and the
// generator gives a zero tangent, as it does in one call).
TEST(Bake, CrowdedVerticesKeepTheirFramesInLinearTime)
{
    TempDir dir;
    const int n = 20000;
    std::string disc, face = "f";
    for (int i = 0; i < n; ++i) {  // the centre, then a quarter circle
        const double a = std::acos(0.0) * (i - 1) / (n - 2), r = i > 0;
        char line[128];
        std::snprintf(line, sizeof line, "v %.9g %.9g 0\nvt %.9g %.9g\n", r * std::cos(a), r * std::sin(a),
                      0.5 * r * std::cos(a), 0.5 * r * std::sin(a));
        disc += line;
        face += " " + std::to_string(i + 1) + "/" + std::to_string(i + 1);
    }
    // A pentagon beside it, which goes to the generator fanned, and a pole of 300
    // triangles, each with texture coordinates of its own at the pole (its position is
    // spread in its last bits for the generator).
    disc += face + "\nv 2 0 0\nv 3 0 0\nv 3 1 0\nv 2.5 1.5 0\nv 2 1 0\nvt 1 0\nvt 1.5 0\nvt 1.5 0.5\n"
            "vt 1.25 0.75\nvt 1 0.5\nf -5/-5 -4/-4 -3/-3 -2/-2 -1/-1\nv 5 1 2\n";
    for (int i = 0; i < 300; ++i) {
        const double a = std::acos(0.0) * 4 * i / 300;
        char line[160];
        std::snprintf(line, sizeof line, "v %.9g %.9g 2\nvt %.9g %.9g\nvt %.9g 0.5\n", 5 + std::cos(a), 1 + std::sin(a),
                      0.5 * (5 + std::cos(a)), 0.5 * (1 + std::sin(a)), 2.5 + i * 1e-6);
        disc += line;
    }
    for (int i = 0; i < 300; ++i)  // this rim point, the next, the pole: crowded at the third corner
        disc += "f " + std::to_string(n + 7 + i) + "/" + std::to_string(n + 6 + 2 * i) + " " +
                std::to_string(n + 7 + (i + 1) % 300) + "/" + std::to_string(n + 6 + 2 * ((i + 1) % 300)) + " " +
                std::to_string(n + 6) + "/" + std::to_string(n + 7 + 2 * i) + "\n";
    WriteWholeFile(dir.File("disc.obj"), disc);
    MeshSurface surface[2] = {};
    ASSERT_EQ(LoadRemapMeshPair(dir.File("disc.obj").c_str(), dir.File("disc.obj").c_str(), 1, surface), MeshLoad::OK);
    FrameTable table{}, whole{};
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(MakeFrames(surface, &remap_table.count, 1, 4096, 2, &table, &calls));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
    // In pieces, the crowded centre split between them, as in one call.
    EXPECT_EQ(calls, 5);
    ASSERT_TRUE(MakeFrames(surface, &remap_table.count, 1, 0, 1, &whole));
    for (size_t i = 0; i < size_t(table.records) * 3; ++i)
        ASSERT_EQ(std::memcmp(&table.frames[table.corners[i]], &whole.frames[whole.corners[i]], sizeof(CornerFrame)), 0) << i;
    FreeFrames(&whole);
    double worst = 0;
    for (size_t i = 0; i < size_t(table.records) * 3; ++i) {
        const CornerFrame& f = table.frames[table.corners[i]];
        const bool zero = i % 3 == 0 && f.tangent[0] == 0;  // the centre's angles are 0 in single precision
        const double off[7] = {f.tangent[0] - !zero, f.tangent[1], f.tangent[2], f.sign - 1, f.normal[0], f.normal[1],
                               f.normal[2] - 1};
        for (const double d : off)
            worst = std::max(worst, std::fabs(d));
    }
    EXPECT_LT(worst, 1e-2);
    FreeFrames(&table);
    FreeMeshSurface(&surface[0]);
    FreeMeshSurface(&surface[1]);
    ClearRemapTable();
}

// Random islands: every pixel within the reach of one (and only those) takes the value
// of an island pixel at the least distance, checked against every island pixel near
// it; the thread count changes nothing. Three bands of rows, one column past a strip of
// the column pass.
TEST(Bake, PaddingTakesTheNearestIslandPixelByTrueDistance)
{
    constexpr int W = 257, H = 140, R = 6;
    std::mt19937 random(5);
    std::vector<uint8_t> islands(W * H);
    // An island on the first column, and a band of rows (the second of 64) covered but for
    // one pixel on its last row, which the bands beside it are padded from.
    for (int y = 10; y < 20; ++y)
        islands[y * W] = 1;
    std::fill(islands.begin() + 64 * W, islands.begin() + 128 * W, uint8_t(1));
    islands[127 * W + 100] = 0;
    for (int k = 0; k < 90; ++k) {
        const int x0 = int(random() % W), y0 = int(random() % H), w = int(random() % 5), h = int(random() % 4);
        for (int y = y0; y <= std::min(H - 1, y0 + h); ++y)
            for (int x = x0; x <= std::min(W - 1, x0 + w); ++x)
                islands[y * W + x] = 1;
    }
    std::vector<uint32_t> results[2];
    for (int threads : {1, 3}) {
        std::vector<uint32_t> pixels(W * H);  // each island pixel holds its own index + 1
        std::vector<uint8_t> marks = islands;
        for (int i = 0; i < W * H; ++i)
            pixels[i] = islands[i] ? uint32_t(i + 1) : 0;
        int64_t filled = -1, wrong = 0, expected_filled = 0;
        ASSERT_TRUE(PadIslands(reinterpret_cast<unsigned char*>(pixels.data()), 4, marks.data(), W, H, R, threads,
                               &filled));
        for (int i = 0; i < W * H; ++i) {
            const int x = i % W, y = i / W, from = int(pixels[i]) - 1;
            int best = INT32_MAX;
            for (int dy = -R; dy <= R && !islands[i]; ++dy)
                for (int dx = -R; dx <= R; ++dx)
                    if (x + dx >= 0 && x + dx < W && y + dy >= 0 && y + dy < H && islands[(y + dy) * W + x + dx])
                        best = std::min(best, dx * dx + dy * dy);
            const bool padded = !islands[i] && best <= R * R;
            const int got = from < 0 ? -1 : (x - from % W) * (x - from % W) + (y - from / W) * (y - from / W);
            expected_filled += padded;
            wrong += padded ? !(marks[i] == 1 && from >= 0 && islands[from] && got == best)
                            : !islands[i] && (marks[i] || pixels[i]);
        }
        EXPECT_EQ(wrong, 0) << threads << " threads";
        EXPECT_EQ(filled, expected_filled);
        results[threads == 3] = pixels;
    }
    EXPECT_EQ(results[0], results[1]);
}

}  // namespace
