// Float images: OpenEXR files of every kind read as stored, baked without clamping and
// written back as they came; conversions to and from PNG; files that cannot be baked.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <half.h>
#include <ImfChannelList.h>
#include <ImfDeepFrameBuffer.h>
#include <ImfDeepScanLineOutputFile.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfStandardAttributes.h>
#include <ImfTiledOutputFile.h>

#include "assets/exr_read.h"
#include "assets/exr_write.h"
#include "assets/png_encode.h"
#include "bake/bake.h"
#include "testlib/command_line.h"
#include "testlib/files.h"

namespace {

const char kIdentity[] = "vt 0 1\nvt 1 1\nvt 1 0\nvt 0 0\nf 1/1 2/2 3/3 4/4\n";  // the unit square
const float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();

struct Channel {
    const char* name;
    Imf::PixelType type;
};

enum class Kind { SCANLINES, TILES, TWO_PARTS };

// The channels' values in their types, pixel after pixel, as one frame buffer.
struct Planes {
    std::vector<std::vector<char>> bytes;
    Imf::FrameBuffer frame;
};

Planes MakePlanes(const std::vector<Channel>& channels, const Imath::Box2i& window,
                  const std::vector<std::vector<float>>& values)
{
    Planes planes;
    const int width = window.max.x - window.min.x + 1;
    for (size_t c = 0; c < channels.size(); ++c) {
        const size_t size = channels[c].type == Imf::HALF ? 2 : 4;
        std::vector<char> plane(values[c].size() * size);
        for (size_t i = 0; i < values[c].size(); ++i) {
            const float v = values[c][i];
            const Imath::half h(v);
            const uint32_t u = uint32_t(v);
            std::memcpy(plane.data() + i * size, channels[c].type == Imf::HALF ? static_cast<const void*>(&h)
                                                 : channels[c].type == Imf::UINT ? static_cast<const void*>(&u)
                                                                                  : static_cast<const void*>(&v),
                        size);
        }
        planes.bytes.push_back(std::move(plane));
        char* origin = planes.bytes.back().data() - (window.min.x + window.min.y * width) * int(size);
        planes.frame.insert(channels[c].name, Imf::Slice(channels[c].type, origin, size, size * size_t(width)));
    }
    return planes;
}

// A file of `values` (one list per channel, data window row after row); the display
// window's corner at `origin`.
void WriteExr(const std::string& path, const std::vector<Channel>& channels, int width, int height,
              const std::vector<std::vector<float>>& values, Kind kind = Kind::SCANLINES,
              Imath::Box2i data = Imath::Box2i(), Imath::V2i origin = Imath::V2i(0, 0))
{
    Imf::Header header(width, height);
    header.displayWindow() = Imath::Box2i(origin, origin + Imath::V2i(width - 1, height - 1));
    header.dataWindow() = data.isEmpty() ? header.displayWindow() : data;
    const Imath::Box2i window = header.dataWindow();
    for (const Channel& c : channels)
        header.channels().insert(c.name, Imf::Channel(c.type));
    header.compression() = kind == Kind::TILES ? Imf::PIZ_COMPRESSION : Imf::ZIP_COMPRESSION;
    Imf::addChromaticities(header, Imf::Chromaticities({0.7f, 0.3f}, {0.2f, 0.7f}, {0.1f, 0.05f}, {0.3f, 0.33f}));
    Imf::addWhiteLuminance(header, 120.5f);
    header.pixelAspectRatio() = 2;
    Planes planes = MakePlanes(channels, window, values);
    const int rows = window.max.y - window.min.y + 1;
    if (kind == Kind::TILES) {
        header.setTileDescription(Imf::TileDescription(3, 2));
        Imf::TiledOutputFile file(path.c_str(), header);
        file.setFrameBuffer(planes.frame);
        file.writeTiles(0, file.numXTiles() - 1, 0, file.numYTiles() - 1);
    } else if (kind == Kind::TWO_PARTS) {
        header.setName("first");
        header.setType(Imf::SCANLINEIMAGE);
        Imf::Header second = header;
        second.setName("second");
        Imf::MultiPartOutputFile file(path.c_str(), std::vector<Imf::Header>{header, second}.data(), 2);
        for (int p = 0; p < 2; ++p) {
            Imf::OutputPart part(file, p);
            part.setFrameBuffer(planes.frame);
            part.writePixels(rows);
        }
    } else {
        Imf::OutputFile file(path.c_str(), header);
        file.setFrameBuffer(planes.frame);
        file.writePixels(rows);
    }
}

// A file's channels as "name:type ..." and the first `count` values of each, as floats.
std::string ChannelsOf(const std::string& path)
{
    Imf::InputFile file(path.c_str());
    std::string listed;
    for (auto c = file.header().channels().begin(); c != file.header().channels().end(); ++c)
        listed += std::string(c.name()) + ":" + std::to_string(int(c.channel().type)) + " ";
    return listed;
}

std::vector<float> ValuesOf(const std::string& path, const char* channel)
{
    Imf::InputFile file(path.c_str());
    const Imath::Box2i w = file.header().dataWindow();
    const int width = w.max.x - w.min.x + 1, height = w.max.y - w.min.y + 1;
    std::vector<float> values(size_t(width) * size_t(height));
    Imf::FrameBuffer frame;
    frame.insert(channel, Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(values.data()), 4, 4 * size_t(width)));
    file.setFrameBuffer(frame);
    file.readPixels(w.min.y, w.max.y);
    return values;
}

// Bitwise, so that NaN equals NaN.
bool SameFloats(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Half and float images of every layout, tiled or in parts, come back from the identity
// layout exactly: values beyond 0..1, infinities and NaN, channel names and types, and
// what the header says of the pixels.
TEST(FloatImages, TheIdentityGivesEveryValueBackAsStored)
{
    TempDir dir;
    WriteWholeFile(dir.File("m.obj"), kIdentity);
    const std::vector<float> special = {0.25f, 2.5f, -0.75f, kNaN, kInf, -kInf, 1e-3f, 65504.0f, 3.0f, 0.5f, -2, 7};
    const struct {
        std::vector<Channel> channels;
        Kind kind;
        const char* warning;
    } cases[] = {
        {{{"A", Imf::HALF}, {"B", Imf::HALF}, {"G", Imf::HALF}, {"R", Imf::HALF}}, Kind::SCANLINES, nullptr},
        {{{"B", Imf::FLOAT}, {"G", Imf::FLOAT}, {"R", Imf::FLOAT}}, Kind::TILES, nullptr},
        {{{"Y", Imf::HALF}}, Kind::SCANLINES, nullptr},
        {{{"A", Imf::FLOAT}, {"Z", Imf::FLOAT}}, Kind::TILES, nullptr},
        {{{"B", Imf::HALF}, {"G", Imf::UINT}, {"R", Imf::FLOAT}}, Kind::TWO_PARTS, "has 2 parts; the first is baked"},
    };
    for (const auto& c : cases) {
        std::vector<std::vector<float>> values;
        for (size_t k = 0; k < c.channels.size(); ++k) {
            std::vector<float> v(4 * 3);
            for (size_t i = 0; i < v.size(); ++i)
                v[i] = c.channels[k].type == Imf::UINT ? float(i * 1000 + k) : special[(i + k * 5) % special.size()];
            values.push_back(v);
        }
        const std::string in = dir.File("in.exr"), out = dir.File("out.exr");
        WriteExr(in, c.channels, 4, 3, values, c.kind);
        testing::internal::CaptureStderr();
        ASSERT_EQ(Bake(dir.File("m.obj") + " " + dir.File("m.obj") + " " + in + " --padding 0 -o " + out), BAKE_DONE);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said.find("warning") != std::string::npos, c.warning != nullptr) << said;
        if (c.warning) {
            EXPECT_NE(said.find(c.warning), std::string::npos) << said;
        }
        std::string expected;
        for (const Channel& ch : c.channels)
            expected += std::string(ch.name) + ":" + std::to_string(int(ch.type)) + " ";
        EXPECT_EQ(ChannelsOf(out), expected);
        for (size_t k = 0; k < c.channels.size(); ++k) {
            std::vector<float> want = values[k];
            if (c.channels[k].type == Imf::HALF)
                for (float& v : want)
                    v = float(Imath::half(v));
            EXPECT_TRUE(SameFloats(ValuesOf(out, c.channels[k].name), want)) << c.channels[k].name;
        }
        Imf::InputFile file(out.c_str());
        const Imf::Chromaticities& c = Imf::chromaticities(file.header());
        EXPECT_EQ(std::vector<float>({c.red.x, c.red.y, c.green.x, c.green.y, c.blue.x, c.blue.y, c.white.x, c.white.y}),
                  std::vector<float>({0.7f, 0.3f, 0.2f, 0.7f, 0.1f, 0.05f, 0.3f, 0.33f}));
        EXPECT_EQ(Imf::whiteLuminance(file.header()), 120.5f);
        EXPECT_EQ(file.header().pixelAspectRatio(), 2.0f);
        EXPECT_EQ(file.header().compression(), Imf::ZIP_COMPRESSION);
    }
}

// A ramp far beyond 0..1 drawn at twice its size: bilinear filtering of a linear function
// is that function, so every pixel away from the REPEAT seam has its analytic value.
// A data window inside a display window away from the origin leaves 0 around it.
TEST(FloatImages, ARampIsFilteredToItsAnalyticValues)
{
    TempDir dir;
    WriteWholeFile(dir.File("m.obj"), kIdentity);
    const int width = 16, height = 8;
    std::vector<float> ramp;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ramp.push_back(float(x) * 0.75f - 3 + float(y) * 100);
    WriteExr(dir.File("ramp.exr"), {{"Y", Imf::FLOAT}}, width, height, {ramp});
    ASSERT_EQ(Bake(dir.File("m.obj") + " " + dir.File("m.obj") + " " + dir.File("ramp.exr") + " -q --size 32x16 -o " +
                   dir.File("out.exr")),
              BAKE_DONE);
    const std::vector<float> out = ValuesOf(dir.File("out.exr"), "Y");
    double worst = 0;
    for (int y = 1; y < 2 * height - 1; ++y)
        for (int x = 1; x < 2 * width - 1; ++x) {
            const double s = (x + 0.5) / 2 - 0.5, t = (y + 0.5) / 2 - 0.5;  // texel coordinates
            worst = std::max(worst, std::fabs(out[size_t(y * 2 * width + x)] - (s * 0.75 - 3 + t * 100)));
        }
    EXPECT_LT(worst, 1e-4);

    std::vector<float> inner(4, 9.0f);
    WriteExr(dir.File("window.exr"), {{"R", Imf::HALF}}, 4, 4, {inner}, Kind::SCANLINES,
             Imath::Box2i({11, 22}, {12, 23}), Imath::V2i(10, 20));
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    std::string warning;
    ASSERT_TRUE(DecodeExrFile(dir.File("window.exr").c_str(), 1, &image, reason, &warning)) << reason;
    std::vector<float> red;
    for (int i = 0; i < 16; ++i)
        red.push_back(static_cast<const float*>(image.pixels)[i * 4]);
    EXPECT_EQ(red, std::vector<float>({0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 0, 0, 9, 9, 0}));
    EXPECT_EQ(static_cast<const float*>(image.pixels)[3], 1.0f);  // no alpha in the file: opaque
    FreeDeepImage(&image);
}

// PNG into OpenEXR is half of value / 255 or / 65535; OpenEXR into PNG rounds and clamps,
// to 16 bits unless --depth 8.
TEST(FloatImages, ConversionsToAndFromPng)
{
    TempDir dir;
    const std::string m = dir.File("m.obj");
    WriteWholeFile(m, kIdentity);
    const uint16_t deep[8] = {0, 1, 32768, 65535, 65535, 12345, 2, 65535};
    char reason[PNG_REASON_SIZE];
    ASSERT_TRUE(WritePNGFile(dir.File("deep.png").c_str(), PngOutput{deep, 2, 1, 16, false, nullptr, nullptr, 1, nullptr},
                             reason));
    ASSERT_EQ(Bake(m + " " + m + " " + dir.File("deep.png") + " -q --padding 0 -o " + dir.File("deep.EXR")), BAKE_DONE);
    EXPECT_EQ(ChannelsOf(dir.File("deep.EXR")), "A:1 B:1 G:1 R:1 ");
    const std::vector<float> green = ValuesOf(dir.File("deep.EXR"), "G");
    EXPECT_EQ(green, std::vector<float>({float(Imath::half(1 / 65535.0f)), float(Imath::half(12345 / 65535.0f))}));

    // 16 bits narrowed to 8 as values are rounded: 12345 * 255 / 65535 = 48.04.
    ASSERT_EQ(Bake(m + " " + m + " " + dir.File("deep.png") + " -q --padding 0 --depth 8 -o " + dir.File("narrow.png")),
              BAKE_DONE);
    DeepImage narrow{};
    ASSERT_TRUE(DecodeDeepPNGFile(dir.File("narrow.png").c_str(), &narrow, reason)) << reason;
    const auto* bytes = static_cast<const uint8_t*>(narrow.pixels);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 8), std::vector<int>({0, 0, 128, 255, 255, 48, 0, 255}));
    FreeDeepImage(&narrow);

    WriteExr(dir.File("f.exr"), {{"Y", Imf::FLOAT}}, 6, 1, {{-1.0f, 0.5f, 2.0f, kNaN, 0.2f, 0.3f}});
    for (const char* depth : {"", " --depth 8"}) {
        const std::string out = dir.File("f.png");
        ASSERT_EQ(Bake(m + " " + m + " " + dir.File("f.exr") + " -q --padding 0" + depth + " -o " + out), BAKE_DONE);
        DeepImage image{};
        ASSERT_TRUE(DecodeDeepPNGFile(out.c_str(), &image, reason)) << reason;
        EXPECT_TRUE(image.grey);
        std::vector<int> values;
        for (int i = 0; i < 6; ++i)
            values.push_back(image.bits == 16 ? static_cast<const uint16_t*>(image.pixels)[i * 4]
                                              : static_cast<const uint8_t*>(image.pixels)[i * 4]);
        EXPECT_EQ(values, *depth ? std::vector<int>({0, 128, 255, 0, 51, 77}) : std::vector<int>({0, 32768, 65535, 0, 13107, 19661}))
            << depth;
        FreeDeepImage(&image);
    }

    // A set of a grey tile and a colour one gives colour channels, of the first tile's type.
    WriteExr(dir.File("set.1001.exr"), {{"Y", Imf::FLOAT}}, 6, 1, {{-1.0f, 0.5f, 2.0f, kNaN, 0.2f, 0.3f}});
    WriteExr(dir.File("set.1002.exr"), {{"R", Imf::HALF}, {"G", Imf::HALF}, {"B", Imf::HALF}}, 1, 1, {{0}, {0}, {0}});
    ASSERT_EQ(Bake(m + " " + m + " " + dir.File("set.<UDIM>.exr") + " -q --padding 0 -o " + dir.File("set.exr")),
              BAKE_DONE);
    EXPECT_EQ(ChannelsOf(dir.File("set.exr")), "B:2 G:2 R:2 ");
    EXPECT_TRUE(SameFloats(ValuesOf(dir.File("set.exr"), "B"), {-1.0f, 0.5f, 2.0f, kNaN, 0.2f, 0.3f}));
}

// Files that cannot be baked: each refused with its name and why, and nothing written.
// Blocks of one line where a channel sampled every second line has none: the
// channels at full resolution are read as stored, uncompressed or not; an uncompressed
// block shorter than its pixels need is refused.
TEST(FloatImages, ABlockWithoutLinesOfOneChannel)
{
    TempDir dir;
    const int side = 16;
    std::vector<Imath::half> full(side * side), half_rows(side * side / 2);
    for (int i = 0; i < side * side; ++i)
        full[size_t(i)] = Imath::half(float(i % 7) / 8);
    for (const Imf::Compression compression : {Imf::NO_COMPRESSION, Imf::ZIPS_COMPRESSION}) {
        Imf::Header header(side, side);
        header.compression() = compression;
        for (const char* name : {"A", "G", "R"})
            header.channels().insert(name, Imf::Channel(Imf::HALF));
        header.channels().insert("B", Imf::Channel(Imf::HALF, 1, 2));
        Imf::FrameBuffer frame;
        for (const char* name : {"A", "G", "R"})
            frame.insert(name, Imf::Slice(Imf::HALF, reinterpret_cast<char*>(full.data()), 2, 2 * side));
        frame.insert("B", Imf::Slice(Imf::HALF, reinterpret_cast<char*>(half_rows.data()), 2, 2 * side, 1, 2));
        {
            Imf::OutputFile file(dir.File("b.exr").c_str(), header);
            file.setFrameBuffer(frame);
            file.writePixels(side);
        }
        std::string bytes = ReadWholeFile(dir.File("b.exr"));
        DeepImage image{};
        char reason[PNG_REASON_SIZE];
        std::string warning;
        ASSERT_TRUE(DecodeExr(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 1, &image, reason,
                              &warning)) << reason;
        const auto* pixels = static_cast<const float*>(image.pixels);
        size_t wrong = 0;
        for (int i = 0; i < side * side; ++i)
            wrong += pixels[i * 4] != float(full[size_t(i)]) || pixels[i * 4 + 1] != float(full[size_t(i)]) ||
                     pixels[i * 4 + 2] != 0 || pixels[i * 4 + 3] != float(full[size_t(i)]);
        EXPECT_EQ(wrong, 0u) << compression;
        FreeDeepImage(&image);
        if (compression != Imf::NO_COMPRESSION)
            continue;
        // The blocks end the file: a line number and a size each, then R, G, A and every
        // second line B. The first block's size, less one byte.
        const size_t blocks = size_t(side) * (8 + 3 * 2 * side) + size_t(side / 2) * 2 * side;
        int32_t size = 0;
        std::memcpy(&size, &bytes[bytes.size() - blocks + 4], 4);
        ASSERT_EQ(size, 4 * 2 * side);
        size -= 1;
        std::memcpy(&bytes[bytes.size() - blocks + 4], &size, 4);
        EXPECT_FALSE(DecodeExr(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 1, &image, reason,
                               &warning));
        FreeDeepImage(&image);
    }
}

TEST(FloatImages, FilesThatCannotBeBaked)
{
    TempDir dir;
    const std::string m = dir.File("m.obj");
    WriteWholeFile(m, kIdentity);
    WriteExr(dir.File("good.exr"), {{"R", Imf::HALF}}, 64, 64, {std::vector<float>(64 * 64, 0.5f)});
    const std::string good = ReadWholeFile(dir.File("good.exr"));
    WriteWholeFile(dir.File("cut.exr"), good.substr(0, good.size() - 100));
    WriteWholeFile(dir.File("header.exr"), good.substr(0, 40));
    WriteWholeFile(dir.File("magic.exr"), std::string("v/1\x01", 4) + std::string(200, '\xFF'));
    std::string corrupt = good;  // the header whole, a chunk's data not
    for (size_t i = good.size() - 60; i < good.size() - 40; ++i)
        corrupt[i] = char(~corrupt[i]);
    WriteWholeFile(dir.File("corrupt.exr"), corrupt);
    WriteExr(dir.File("uv.exr"), {{"U", Imf::HALF}, {"V", Imf::HALF}}, 2, 2, {{0, 0, 0, 0}, {0, 0, 0, 0}});
    {
        Imf::Header header(2, 2);
        header.channels().insert("Z", Imf::Channel(Imf::FLOAT));
        header.setType(Imf::DEEPSCANLINE);
        header.compression() = Imf::ZIPS_COMPRESSION;
        Imf::DeepScanLineOutputFile deep(dir.File("deep.exr").c_str(), header);
        std::vector<unsigned> counts(4, 1);
        std::vector<float> z = {1, 2, 3, 4};
        std::vector<float*> samples = {&z[0], &z[1], &z[2], &z[3]};
        Imf::DeepFrameBuffer frame;
        frame.insertSampleCountSlice(Imf::Slice(Imf::UINT, reinterpret_cast<char*>(counts.data()), 4, 8));
        frame.insert("Z", Imf::DeepSlice(Imf::FLOAT, reinterpret_cast<char*>(samples.data()), sizeof(float*),
                                         2 * sizeof(float*), sizeof(float)));
        deep.setFrameBuffer(frame);
        deep.writePixels(2);
    }
    const struct {
        const char* image;
        const char* said;
    } rows[] = {
        {"cut.exr", "cut.exr': not a readable OpenEXR file"},
        {"header.exr", "header.exr': not a readable OpenEXR file"},
        {"magic.exr", "magic.exr': not a readable OpenEXR file"},
        {"deep.exr", "deep.exr': a deep image"},
        {"corrupt.exr", "corrupt.exr': not a readable OpenEXR file"},
        {"uv.exr", "uv.exr': has no R, G, B or Y channel to read (it has U, V)"},
    };
    for (const auto& row : rows) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Bake(m + " " + m + " " + dir.File(row.image) + " -o " + dir.File("out.exr")), BAKE_INPUT) << row.image;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        EXPECT_FALSE(std::filesystem::exists(dir.File("out.exr"))) << row.image;
    }
    // More channels than the pixels allow: 64 pixels of 5 floats against room for 64 of 4.
    const std::vector<float> zeros(64, 0.0f);
    WriteExr(dir.File("five.exr"), {{"A", Imf::FLOAT}, {"B", Imf::FLOAT}, {"G", Imf::FLOAT}, {"R", Imf::FLOAT},
                                    {"Z", Imf::FLOAT}}, 8, 8, {zeros, zeros, zeros, zeros, zeros});
    const std::string five = ReadWholeFile(dir.File("five.exr"));
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    std::string warning;
    EXPECT_FALSE(DecodeExr(reinterpret_cast<const unsigned char*>(five.data()), five.size(), 1, &image, reason,
                           &warning, 64));
    EXPECT_NE(std::string(reason).find("(5 channels), beyond what can be baked"), std::string::npos) << reason;
    ASSERT_TRUE(DecodeExr(reinterpret_cast<const unsigned char*>(five.data()), five.size(), 1, &image, reason,
                          &warning, 80));
    FreeDeepImage(&image);
    for (const char* bad : {"--depth 12", "--exr-compression lzw", "--depth="}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Bake(m + " " + m + " " + dir.File("good.exr") + " " + bad + " -o " + dir.File("out.exr")), BAKE_USAGE);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("bad value for"), std::string::npos) << bad;
    }
}

}  // namespace
