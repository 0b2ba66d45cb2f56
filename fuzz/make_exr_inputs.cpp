// Writes the OpenEXR fuzz seeds (every compression, scanlines and tiles, each pixel
// type, several parts, a data window of its own) and the hostile OpenEXR files; both
// are committed.
#include <cstdio>
#include <string>
#include <vector>

#include <half.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfTiledOutputFile.h>

namespace {

constexpr int SIZE = 8;

// Every channel gets the same plane of values, in its own type.
struct Planes {
    std::vector<Imath::half> halves;
    std::vector<float> floats;
    std::vector<unsigned> uints;
    Imf::FrameBuffer frame;
};

void Fill(Planes* p, const Imf::Header& header)
{
    const size_t n = SIZE * SIZE;
    for (size_t i = 0; i < n; ++i) {
        p->halves.push_back(Imath::half(float(i) / 7 - 2));
        p->floats.push_back(float(i) * 1.5f - 10);
        p->uints.push_back(unsigned(i * 977));
    }
    for (auto c = header.channels().begin(); c != header.channels().end(); ++c) {
        const Imf::PixelType type = c.channel().type;
        char* base = type == Imf::HALF    ? reinterpret_cast<char*>(p->halves.data())
                     : type == Imf::FLOAT ? reinterpret_cast<char*>(p->floats.data())
                                          : reinterpret_cast<char*>(p->uints.data());
        const size_t size = type == Imf::HALF ? 2 : 4;
        const Imath::Box2i& w = header.dataWindow();
        base -= (w.min.x + w.min.y * SIZE) * int(size);
        p->frame.insert(c.name(), Imf::Slice(type, base, size, size * SIZE));
    }
}

Imf::Header MakeHeader(const std::vector<const char*>& names, Imf::PixelType type, Imf::Compression compression)
{
    Imf::Header header(SIZE, SIZE);
    for (const char* name : names)
        header.channels().insert(name, Imf::Channel(type));
    header.compression() = compression;
    return header;
}

void Scanlines(const std::string& path, const Imf::Header& header)
{
    Planes planes;
    Fill(&planes, header);
    Imf::OutputFile file(path.c_str(), header);
    file.setFrameBuffer(planes.frame);
    file.writePixels(header.dataWindow().max.y - header.dataWindow().min.y + 1);
}

void Tiles(const std::string& path, Imf::Header header)
{
    header.setTileDescription(Imf::TileDescription(4, 3, Imf::MIPMAP_LEVELS));
    Planes planes;
    Fill(&planes, header);
    Imf::TiledOutputFile file(path.c_str(), header);
    file.setFrameBuffer(planes.frame);
    for (int level = 0; level < file.numLevels(); ++level)
        file.writeTiles(0, file.numXTiles(level) - 1, 0, file.numYTiles(level) - 1, level);
}

void TwoParts(const std::string& path, Imf::Header header)
{
    header.setName("one");
    header.setType(Imf::SCANLINEIMAGE);
    Imf::Header other = header;
    other.setName("two");
    Planes planes;
    Fill(&planes, header);
    Imf::MultiPartOutputFile file(path.c_str(), std::vector<Imf::Header>{header, other}.data(), 2);
    for (int p = 0; p < 2; ++p) {
        Imf::OutputPart part(file, p);
        part.setFrameBuffer(planes.frame);
        part.writePixels(SIZE);
    }
}

std::string ReadAll(const std::string& path)
{
    std::string bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char block[4096];
        size_t got;
        while ((got = std::fread(block, 1, sizeof block, f)) > 0)
            bytes.append(block, got);
        std::fclose(f);
    }
    return bytes;
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_exr_inputs SEED_DIR HOSTILE_DIR\n");
        return 2;
    }
    const std::string seeds = std::string(argv[1]) + "/", hostile = std::string(argv[2]) + "/";
    const char* const compressions[] = {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};
    for (int c = 0; c < 10; ++c)
        Scanlines(seeds + "rgba-half-" + compressions[c] + ".exr",
                  MakeHeader({"R", "G", "B", "A"}, Imf::HALF, Imf::Compression(c)));
    Tiles(seeds + "y-float-tiles.exr", MakeHeader({"Y"}, Imf::FLOAT, Imf::ZIP_COMPRESSION));
    Scanlines(seeds + "uint-depth.exr", MakeHeader({"Z"}, Imf::UINT, Imf::RLE_COMPRESSION));
    TwoParts(seeds + "two-parts.exr", MakeHeader({"R", "G", "B"}, Imf::HALF, Imf::PIZ_COMPRESSION));
    Imf::Header window = MakeHeader({"B", "G", "R"}, Imf::FLOAT, Imf::ZIPS_COMPRESSION);
    window.dataWindow() = Imath::Box2i({2, 1}, {5, 6});
    Scanlines(seeds + "data-window.exr", window);

    const std::string whole = ReadAll(seeds + "rgba-half-zip.exr");
    WriteAll(hostile + "exr-truncated.exr", whole.substr(0, whole.size() / 2));
    // The display window claims 2^17 x 2^17 pixels: refused before any is held.
    Imf::Header vast = MakeHeader({"Y"}, Imf::HALF, Imf::NO_COMPRESSION);
    vast.displayWindow() = Imath::Box2i({0, 0}, {(1 << 17) - 1, (1 << 17) - 1});
    Scanlines(hostile + "exr-display-2-to-17.exr", vast);
    return 0;
}
