// Offscreen drawing for the bake: framebuffer objects of the image's depth, tiles and
// several samples per pixel, resolved so that partly covered pixels keep their colour.
#include "bake/render.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <vector>

#include "assets/gl_api.h"
#include "assets/large_block.h"
#include "bake/offscreen_gl.h"
#include "view/remap_view.h"

#ifdef _WIN32
#define GL_ENTRY __stdcall  // the calling convention of GL entry points on 32-bit Windows
#else
#define GL_ENTRY
#endif

namespace {

// Beyond OpenGL 1.1; named here so that the Windows headers need not have them.
constexpr GLenum FRAMEBUFFER = 0x8D40;
constexpr GLenum COLOR_ATTACHMENT0 = 0x8CE0;
constexpr GLenum FRAMEBUFFER_COMPLETE = 0x8CD5;
constexpr GLenum MAX_RENDERBUFFER_SIZE = 0x84E8;
constexpr GLenum RGBA16 = 0x805B;
constexpr GLint LARGEST_TILE = 4096;  // samples per side drawn at once, to bound the tile buffers

struct FramebufferApi {
    void(GL_ENTRY* gen)(GLsizei, GLuint*);
    void(GL_ENTRY* bind)(GLenum, GLuint);
    void(GL_ENTRY* attach_texture)(GLenum, GLenum, GLenum, GLuint, GLint);
    GLenum(GL_ENTRY* status)(GLenum);
    void(GL_ENTRY* remove)(GLsizei, const GLuint*);
};

template <typename F>
bool Load(F*& entry, const char* name, const char* suffix)
{
    entry = reinterpret_cast<F*>(OffscreenGLProc((std::string(name) + suffix).c_str()));
    return entry != nullptr;
}

// Framebuffer objects of OpenGL 3.0, or of EXT_framebuffer_object before it.
bool LoadFramebufferApi(FramebufferApi* api)
{
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    const bool core = version && std::atoi(version) >= 3;
    if (!core && !HasExtension(extensions, "GL_EXT_framebuffer_object"))
        return false;
    const char* suffix = core ? "" : "EXT";
    return Load(api->gen, "glGenFramebuffers", suffix) && Load(api->bind, "glBindFramebuffer", suffix) &&
           Load(api->attach_texture, "glFramebufferTexture2D", suffix) &&
           Load(api->status, "glCheckFramebufferStatus", suffix) &&
           Load(api->remove, "glDeleteFramebuffers", suffix);
}

GLint Limit(GLenum name)
{
    GLint values[2] = {0, 0};
    glGetIntegerv(name, values);
    return values[0];
}

// The largest square GL draws into at once.
GLint LargestTarget()
{
    GLint largest = std::min(Limit(GL_MAX_TEXTURE_SIZE), Limit(GL_MAX_VIEWPORT_DIMS));
    const GLint renderbuffer = Limit(MAX_RENDERBUFFER_SIZE);
    glGetError();  // an implementation without renderbuffers refuses the query
    if (renderbuffer > 0)
        largest = std::min(largest, renderbuffer);
    return std::min(largest, LARGEST_TILE);
}

void FlushErrors()
{
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
    }
}

GLenum PixelType(int bits)
{
    return bits == 16 ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE;
}

GLint InternalFormat(int bits)
{
    return bits == 16 ? GLint(RGBA16) : GLint(GL_RGBA8);
}

GLuint MakeTexture(GLint format, GLsizei width, GLsizei height, GLenum type, const void* pixels, GLint filter)
{
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, format, width, height, 0, GL_RGBA, type, pixels);
    return name;
}

// One tile's worth of drawing: where it lies in the output and its sample buffers.
struct Tile {
    int32_t x, y, width, height;   // in output pixels
    std::vector<unsigned char> colour;  // samples, GL's bottom row first
    std::vector<unsigned char> coverage;  // RGBA8 of the untextured pass, images with alpha only
};

void DrawTile(const RenderRequest& request, const Tile& tile, GLuint texture)
{
    const int n = request.samples;
    glViewport(0, 0, tile.width * n, tile.height * n);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(tile.x, tile.x + tile.width, tile.y + tile.height, tile.y, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    if (texture) {
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, texture);
    } else {
        glDisable(GL_TEXTURE_2D);
    }
    glColor4f(1, 1, 1, 1);
    DrawRemapTable(float(request.width), float(request.height), 0, 0);
}

void ReadTile(const Tile& tile, int samples, GLenum type, unsigned char* out)
{
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, tile.width * samples, tile.height * samples, GL_RGBA, type, out);
}

// One sample a pixel, coverage in the colour's alpha: the rows, turned top to bottom.
template <typename Sample>
void CopyTile(const RenderRequest& request, const Tile& tile, RenderResult* result)
{
    const auto* colour = reinterpret_cast<const Sample*>(tile.colour.data());
    const Sample half = std::numeric_limits<Sample>::max() / 2;
    auto* out = static_cast<Sample*>(result->pixels);
    for (int32_t y = 0; y < tile.height; ++y) {
        const Sample* in = colour + size_t(tile.height - 1 - y) * size_t(tile.width) * 4;
        const size_t first = size_t(tile.y + y) * size_t(request.width) + size_t(tile.x);
        Sample* row = out + first * 4;
        uint8_t* covered = result->covered + first;
        for (int32_t x = 0; x < tile.width; ++x) {
            const bool in_island = in[x * 4 + 3] > half;
            for (int c = 0; c < 4; ++c)
                row[x * 4 + c] = in_island ? in[x * 4 + c] : 0;
            covered[x] = in_island;
        }
    }
}

// Averages the covered samples of every pixel of the tile into the result.
template <typename Sample>
void ResolveTile(const RenderRequest& request, const Tile& tile, bool separate_coverage, RenderResult* result)
{
    const int n = request.samples;
    if (n == 1 && !separate_coverage) {
        CopyTile<Sample>(request, tile, result);
        return;
    }
    const size_t row_samples = size_t(tile.width) * n;
    const auto* colour = reinterpret_cast<const Sample*>(tile.colour.data());
    const Sample half = std::numeric_limits<Sample>::max() / 2;
    auto* out = static_cast<Sample*>(result->pixels);
    for (int32_t y = 0; y < tile.height; ++y) {
        for (int32_t x = 0; x < tile.width; ++x) {
            uint64_t sum[4] = {0, 0, 0, 0};
            int covered = 0;
            for (int sy = 0; sy < n; ++sy) {
                const size_t gl_row = size_t(tile.height) * n - 1 - (size_t(y) * n + sy);
                for (int sx = 0; sx < n; ++sx) {
                    const size_t s = gl_row * row_samples + size_t(x) * n + sx;
                    const bool in = separate_coverage ? tile.coverage[s * 4 + 3] > 127 : colour[s * 4 + 3] > half;
                    if (!in)
                        continue;
                    ++covered;
                    for (int c = 0; c < 4; ++c)
                        sum[c] += colour[s * 4 + c];
                }
            }
            const size_t pixel = size_t(tile.y + y) * size_t(request.width) + size_t(tile.x + x);
            for (int c = 0; c < 4; ++c)
                out[pixel * 4 + c] = covered ? Sample((sum[c] + covered / 2) / covered) : 0;
            result->covered[pixel] = uint8_t(covered);
        }
    }
}

struct GLObjects {
    FramebufferApi api{};
    GLuint framebuffer = 0, target = 0, image = 0;
    ~GLObjects()
    {
        if (framebuffer) {
            api.bind(FRAMEBUFFER, 0);
            api.remove(1, &framebuffer);
        }
        if (target)
            glDeleteTextures(1, &target);
        if (image)
            glDeleteTextures(1, &image);
    }
};

}  // namespace

RenderStatus RenderRemap(const RenderRequest& request, RenderResult* result, std::string* error)
{
    const DeepImage& image = *request.image;
    GLObjects gl;
    if (!LoadFramebufferApi(&gl.api)) {
        *error = "the OpenGL here has no framebuffer objects (OpenGL 3.0 or EXT_framebuffer_object)";
        return RenderStatus::NO_GL;
    }
    FlushErrors();
    if (image.width > Limit(GL_MAX_TEXTURE_SIZE) || image.height > Limit(GL_MAX_TEXTURE_SIZE)) {
        *error = "the image is larger than the largest texture of this OpenGL (" +
                 std::to_string(Limit(GL_MAX_TEXTURE_SIZE)) + " pixels a side)";
        return RenderStatus::NO_GL;
    }
    const GLenum type = PixelType(image.bits);
    gl.image = MakeTexture(InternalFormat(image.bits), image.width, image.height, type, image.pixels,
                           request.nearest ? GL_NEAREST : GL_LINEAR);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GLfloat(GL_MODULATE));
    const GLint largest = LargestTarget() / request.samples * request.samples;
    const int32_t tile_size = largest / request.samples;  // output pixels a side
    const GLsizei target_w = GLsizei(std::min<int64_t>(request.width, tile_size) * request.samples);
    const GLsizei target_h = GLsizei(std::min<int64_t>(request.height, tile_size) * request.samples);
    gl.target = MakeTexture(InternalFormat(image.bits), target_w, target_h, type, nullptr, GL_NEAREST);
    gl.api.gen(1, &gl.framebuffer);
    gl.api.bind(FRAMEBUFFER, gl.framebuffer);
    gl.api.attach_texture(FRAMEBUFFER, COLOR_ATTACHMENT0, GL_TEXTURE_2D, gl.target, 0);
    const GLenum gl_error = glGetError();
    if (tile_size < 1 || gl_error != GL_NO_ERROR || gl.api.status(FRAMEBUFFER) != FRAMEBUFFER_COMPLETE) {
        *error = gl_error == GL_OUT_OF_MEMORY ? "OpenGL ran out of memory for the image"
                                              : "OpenGL cannot draw into a " + std::to_string(image.bits) +
                                                    "-bit target of this size";
        return RenderStatus::NO_GL;
    }
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_BLEND);
    glDisable(GL_SCISSOR_TEST);

    const size_t pixels = size_t(request.width) * size_t(request.height);
    const size_t pixel_bytes = size_t(image.bits / 2);
    Tile tile{};
    RenderResult made{};
    made.pixels = LargeResize(nullptr, 0, pixels * pixel_bytes);
    made.covered = static_cast<uint8_t*>(LargeResize(nullptr, 0, pixels));
    if (!made.pixels || !made.covered) {
        LargeFree(made.pixels, pixels * pixel_bytes);
        LargeFree(made.covered, pixels);
        *error = "not enough memory for a " + std::to_string(request.width) + " x " +
                 std::to_string(request.height) + " output";
        return RenderStatus::NO_MEMORY;
    }
    const int64_t tiles_x = (request.width + tile_size - 1) / tile_size;
    const int64_t tiles = tiles_x * ((request.height + tile_size - 1) / tile_size);
    for (int64_t t = 0; t < tiles; ++t) {
        tile.x = int32_t(t % tiles_x) * tile_size;
        tile.y = int32_t(t / tiles_x) * tile_size;
        tile.width = std::min(tile_size, request.width - tile.x);
        tile.height = std::min(tile_size, request.height - tile.y);
        const size_t samples = size_t(tile.width) * tile.height * request.samples * request.samples;
        tile.colour.resize(samples * pixel_bytes);
        DrawTile(request, tile, gl.image);
        ReadTile(tile, request.samples, type, tile.colour.data());
        if (image.alpha) {
            // The image's own alpha can be 0 inside an island: coverage needs its own pass.
            tile.coverage.resize(samples * 4);
            DrawTile(request, tile, 0);
            ReadTile(tile, request.samples, GL_UNSIGNED_BYTE, tile.coverage.data());
        }
        if (image.bits == 16)
            ResolveTile<uint16_t>(request, tile, image.alpha, &made);
        else
            ResolveTile<uint8_t>(request, tile, image.alpha, &made);
        if (request.progress)
            request.progress(t + 1, tiles, request.progress_context);
    }
    *result = made;
    return RenderStatus::OK;
}

void FreeRenderResult(RenderResult* result, const RenderRequest& request)
{
    const size_t pixels = size_t(request.width) * size_t(request.height);
    LargeFree(result->pixels, pixels * size_t(request.image->bits / 2));
    LargeFree(result->covered, pixels);
    *result = RenderResult{};
}
