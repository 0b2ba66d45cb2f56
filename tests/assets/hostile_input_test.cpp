// Every reader on every file in tests/data/hostile/ (one file per known class of reader
// crash) with the clean result each must give; under the sanitizers too.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "assets/png_decode.h"
#include "support/settings.h"
#include "support/window_state.h"

namespace {

// What a file gives: which records are drawn (meshes), whether it decodes to 5 x 4
// (images), or the placement applied over the defaults (settings).
std::string Outcome(const std::filesystem::path& file)
{
    const std::string path = file.string(), kind = file.extension().string();
    if (kind == ".obj") {
        if (!LoadRemapMeshes(path.c_str(), path.c_str()))
            return "not loaded";
        std::string drawn;
        for (int32_t i = 0; i < remap_table.count; ++i)
            drawn += char('0' + remap_table.drawable[i]);
        return drawn.size() > 8 ? std::to_string(drawn.size()) + " records" : drawn;
    }
    if (kind == ".png") {
        Image image{};
        char reason[PNG_REASON_SIZE];
        if (!DecodePNGFile(path.c_str(), &image, reason))
            return "refused";
        const std::string size = std::to_string(image.width) + " x " + std::to_string(image.height);
        FreeImage(&image);
        return size;
    }
    window_state = WindowState{950, 650, 0, 0, 1, false, 0, 0};
    ReadConfig(path.c_str());
    return std::to_string(window_state.window_width) + " " + std::to_string(window_state.window_height) + " " +
           std::to_string(window_state.window_x) + " " + std::to_string(window_state.window_maximized);
}

TEST(HostileInput, EveryFileGivesItsCleanResult)
{
    const std::map<std::string, std::string> expected = {
        {"face-index-0.obj", "01"}, {"face-index-past-end.obj", "01"}, {"face-index-int-max.obj", "01"},
        {"face-index-before-first-vt.obj", "01"}, {"vt-one-number.obj", "1"}, {"line-255.obj", "1"},
        {"line-256.obj", "1"}, {"line-257.obj", "1"}, {"line-100000.obj", "1"}, {"no-final-line-feed.obj", "1"},
        {"nul-in-line.obj", "01"}, {"face-1000-corners.obj", "998 records"},
        {"png-16-bit.png", "5 x 4"}, {"png-palette.png", "5 x 4"}, {"png-grey.png", "5 x 4"},
        {"png-grey-alpha.png", "5 x 4"}, {"png-1-bit.png", "5 x 4"}, {"png-interlaced.png", "5 x 4"},
        {"png-truncated.png", "refused"}, {"png-crc-ihdr.png", "refused"}, {"png-size-over-32-bits.png", "refused"},
        {"png-itxt-2gb.png", "refused"},
        {"config-99999999999.txt", std::to_string(INT_MAX) + " 600 10 0"},
        {"config-minus-2147483649.txt", std::to_string(INT_MIN) + " 600 10 0"},
        {"config-0x.txt", "0 600 10 0"}, {"config-missing-key.txt", "800 650 0 1"}, {"config-bom.txt", "950 650 0 1"},
    };
    std::map<std::string, std::string> seen;
    for (const auto& entry : std::filesystem::directory_iterator(TEXWARP_HOSTILE))
        seen[entry.path().filename().string()] = Outcome(entry.path());
    EXPECT_EQ(seen, expected);
    // A "vt" line with one number reads the missing v as 0, stored as 1.
    Outcome(std::filesystem::path(TEXWARP_HOSTILE) / "vt-one-number.obj");
    EXPECT_TRUE(remap_table.count == 1 && remap_table.triangles[0].source[0].u == 0.5f &&
                remap_table.triangles[0].source[0].v == 1.0f);
    ClearRemapTable();
}

}  // namespace
