// texwarp-bake: command line, stages and their reports.
#include "bake/bake.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "assets/mesh_pair.h"
#include "assets/png_decode.h"
#include "assets/png_encode.h"
#include "bake/offscreen_gl.h"
#include "bake/padding.h"
#include "bake/render.h"
#include "support/log.h"

const char BAKE_USAGE_TEXT[] =
    "usage: texwarp-bake [options] SOURCE.obj TARGET.obj IMAGE.png [IMAGE2.png ...] -o OUT\n"
    "Writes each image re-laid-out from the SOURCE layout to the TARGET layout. With one\n"
    "image OUT is the output file; with several, a folder that gets each image's name.\n"
    "  --size W[xH]          output size (default: each image's own)\n"
    "  --padding N           pixels of edge padding around the islands (default 8, 0: none)\n"
    "  --samples N           N x N samples per pixel, 1 to 15 (default 1)\n"
    "  --background R,G,B,A  where no island or padding reaches (default 0,0,0,0)\n"
    "  --filter linear|nearest  how the image is sampled (default linear)\n"
    "  -q, --quiet           no progress lines\n"
    "  --help, --version\n";

static const char VERSION_TEXT[] = "texwarp-bake 1.0\n";

namespace {

// A whole decimal number in [low, high], and nothing after it.
bool ParseNumber(const char* text, long low, long high, long* value)
{
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || n < low || n > high || *text == '+' || *text == ' ')
        return false;
    *value = n;
    return true;
}

bool ParseSize(const std::string& text, BakeOptions* options)
{
    const size_t x = text.find('x');
    long width = 0, height = 0;
    if (!ParseNumber(text.substr(0, x).c_str(), 1, 65536, &width))
        return false;
    height = width;
    if (x != std::string::npos && !ParseNumber(text.substr(x + 1).c_str(), 1, 65536, &height))
        return false;
    options->width = int32_t(width);
    options->height = int32_t(height);
    return true;
}

bool ParseBackground(const std::string& text, BakeOptions* options)
{
    size_t start = 0;
    for (int c = 0; c < 4; ++c) {
        const size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (c == 3))
            return false;
        long value = 0;
        if (!ParseNumber(text.substr(start, comma - start).c_str(), 0, 255, &value))
            return false;
        options->background[c] = int(value);
        start = comma + 1;
    }
    return true;
}

// One option that takes a value; false with the reason when the value is wrong.
bool ApplyOption(const std::string& name, const std::string& value, BakeOptions* options, std::string* error)
{
    long n = 0;
    bool good = true;
    if (name == "-o")
        options->out = value;
    else if (name == "--size")
        good = ParseSize(value, options);
    else if (name == "--padding")
        good = ParseNumber(value.c_str(), 0, 65536, &n) && (options->padding = int(n), true);
    else if (name == "--samples")
        good = ParseNumber(value.c_str(), 1, 15, &n) && (options->samples = int(n), true);
    else if (name == "--background")
        good = ParseBackground(value, options);
    else if (name == "--filter")
        good = (value == "linear" || value == "nearest") && (options->nearest = value == "nearest", true);
    if (!good)
        *error = "bad value for " + name + ": '" + value + "'";
    return good;
}

bool TakesValue(const std::string& name)
{
    return name == "-o" || name == "--size" || name == "--padding" || name == "--samples" ||
           name == "--background" || name == "--filter";
}

}  // namespace

bool ParseBakeOptions(int argc, const char* const* argv, BakeOptions* options, std::string* info,
                      std::string* error)
{
    std::vector<std::string> inputs;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
        } else if (arg == "--help" || arg == "--version") {
            *info = arg == "--help" ? BAKE_USAGE_TEXT : VERSION_TEXT;
            return true;
        } else if (arg == "-q" || arg == "--quiet") {
            options->quiet = true;
        } else {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            if (!TakesValue(name)) {
                *error = "unknown option '" + arg + "'";
                return false;
            }
            if (equals == std::string::npos && i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            const std::string value = equals == std::string::npos ? argv[++i] : arg.substr(equals + 1);
            if (!ApplyOption(name, value, options, error))
                return false;
        }
    }
    if (inputs.size() < 3) {
        *error = "needs SOURCE.obj, TARGET.obj and at least one IMAGE.png";
        return false;
    }
    if (options->out.empty()) {
        *error = "needs -o OUT";
        return false;
    }
    options->source = inputs[0];
    options->target = inputs[1];
    options->images.assign(inputs.begin() + 2, inputs.end());
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool ErrorIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

// Stage lines on standard error, with a percentage for long stages on a terminal.
struct Reporter {
    bool quiet = false;
    bool terminal = false;
    std::string stage;  // what the percentage is of

    void Line(const char* format, ...) const
    {
        if (quiet)
            return;
        va_list args;
        va_start(args, format);
        if (terminal)
            std::fputs("\r\033[K", stderr);
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
        va_end(args);
    }
};

void ShowProgress(int64_t done, int64_t total, void* context)
{
    const auto* reporter = static_cast<const Reporter*>(context);
    if (reporter->quiet || !reporter->terminal || total <= 1)
        return;
    std::fprintf(stderr, "\r\033[K%s %d%%", reporter->stage.c_str(), int(done * 100 / total));
    std::fflush(stderr);
}

void ShowRowProgress(int32_t done, int32_t total, void* context)
{
    if (done % 256 == 0 || done == total)
        ShowProgress(done, total, context);
}

// The loader reports through the log; the bake keeps the lines that matter to it.
std::vector<std::string> loader_lines;

void KeepLoaderLine(const char* line)
{
    loader_lines.push_back(line);
}

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

int Fail(int code, const std::string& message)
{
    std::fprintf(stderr, "texwarp-bake: %s\n", message.c_str());
    return code;
}

int LoadMeshes(const BakeOptions& options, const Reporter& report)
{
    const Clock::time_point start = Clock::now();
    loader_lines.clear();
    LogToSink(KeepLoaderLine);
    const bool loaded = LoadRemapMeshes(options.source.c_str(), options.target.c_str());
    LogToSink(nullptr);
    for (const std::string& line : loader_lines) {
        const bool failure = Contains(line, "not found") || Contains(line, "could not be read") ||
                             Contains(line, "not enough memory");
        if (!loaded && failure)
            return Fail(Contains(line, "memory") ? BAKE_OUTPUT : BAKE_INPUT, line);
        if (Contains(line, "triangle counts differ"))
            std::fprintf(stderr, "texwarp-bake: warning: %s; the paired triangles are baked\n", line.c_str());
    }
    if (!loaded)
        return Fail(BAKE_INPUT, "the meshes could not be read");
    int64_t undrawable = 0;
    for (int32_t i = 0; i < remap_table.count; ++i)
        undrawable += remap_table.drawable[i] == 0;
    report.Line("meshes read: %d triangles, %lld not drawable, in %.3f s", int(remap_table.count),
                static_cast<long long>(undrawable), SecondsSince(start));
    return BAKE_DONE;
}

const char* Layout(const DeepImage& image)
{
    return image.grey ? (image.alpha ? "grey+alpha" : "grey") : (image.alpha ? "RGBA" : "RGB");
}

// Alpha from coverage: partly covered pixels keep their colour, and their alpha mixes
// the image's (or full) with the background's by the share of covered samples. With
// `whole`, every covered or padded pixel counts as fully covered: padding then
// continues the islands without a translucent seam between them.
template <typename Sample>
void Compose(Sample* pixels, const uint8_t* covered, size_t count, int samples, bool image_alpha, bool whole,
             const int background[4])
{
    const uint32_t max = std::numeric_limits<Sample>::max();
    const uint32_t all = uint32_t(samples * samples);
    Sample fill[4];
    for (int c = 0; c < 4; ++c)
        fill[c] = Sample(uint32_t(background[c]) * max / 255);
    for (size_t i = 0; i < count; ++i) {
        Sample* p = pixels + i * 4;
        const uint32_t share = covered[i] && whole ? all : covered[i];
        if (share == 0) {
            std::memcpy(p, fill, sizeof fill);
            continue;
        }
        const uint32_t alpha = image_alpha ? p[3] : max;
        p[3] = Sample((uint64_t(alpha) * share + uint64_t(fill[3]) * (all - share) + all / 2) / all);
    }
}

std::string OutputPath(const BakeOptions& options, const std::string& image)
{
    if (options.images.size() == 1)
        return options.out;
    return (std::filesystem::path(options.out) / std::filesystem::path(image).filename()).string();
}

int BakeImage(const BakeOptions& options, const std::string& path, Reporter& report)
{
    const std::string name = std::filesystem::path(path).filename().string();
    Clock::time_point start = Clock::now();
    DeepImage image{};
    char reason[PNG_REASON_SIZE];
    if (!DecodeDeepPNGFile(path.c_str(), &image, reason))
        return Fail(BAKE_INPUT, "'" + path + "': " + reason);
    report.Line("%s: decoded %d x %d, %d-bit %s, in %.3f s", name.c_str(), int(image.width), int(image.height),
                image.bits, Layout(image), SecondsSince(start));

    start = Clock::now();
    RenderRequest request{&image,          options.width ? options.width : image.width,
                          options.height ? options.height : image.height,
                          options.samples, options.nearest, ShowProgress, &report};
    report.stage = name + ": drawing";
    RenderResult result{};
    std::string error;
    const RenderStatus status = RenderRemap(request, &result, &error);
    if (status != RenderStatus::OK) {
        FreeDeepImage(&image);
        return Fail(status == RenderStatus::NO_GL ? BAKE_NO_GL : BAKE_OUTPUT, name + ": " + error);
    }
    report.Line("%s: drawn at %d x %d, %d x %d samples, in %.3f s", name.c_str(), int(request.width),
                int(request.height), options.samples, options.samples, SecondsSince(start));

    start = Clock::now();
    if (options.padding > 0) {
        const int64_t padded = PadIslands(static_cast<unsigned char*>(result.pixels), size_t(image.bits / 2),
                                          result.covered, request.width, request.height, options.padding);
        report.Line("%s: padded %lld pixels within %d, in %.3f s", name.c_str(), static_cast<long long>(padded),
                    options.padding, SecondsSince(start));
    }
    const size_t count = size_t(request.width) * size_t(request.height);
    const bool whole = options.padding > 0;
    if (image.bits == 16)
        Compose(static_cast<uint16_t*>(result.pixels), result.covered, count, options.samples, image.alpha, whole,
                options.background);
    else
        Compose(static_cast<uint8_t*>(result.pixels), result.covered, count, options.samples, image.alpha, whole,
                options.background);

    start = Clock::now();
    const std::string out = OutputPath(options, path);
    report.stage = name + ": writing";
    const PngOutput output{result.pixels, request.width, request.height, image.bits, image.grey,
                           ShowRowProgress, &report};
    const bool written = WritePNGFile(out.c_str(), output, reason);
    FreeRenderResult(&result, request);
    FreeDeepImage(&image);
    if (!written)
        return Fail(BAKE_OUTPUT, "'" + out + "' not written: " + reason);
    report.Line("written: %s in %.3f s", out.c_str(), SecondsSince(start));
    return BAKE_DONE;
}

// With several images OUT is a folder, made if missing; names must not collide.
int PrepareOutputs(const BakeOptions& options)
{
    if (options.images.size() == 1)
        return BAKE_DONE;
    for (size_t i = 0; i < options.images.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (OutputPath(options, options.images[i]) == OutputPath(options, options.images[j]))
                return Fail(BAKE_USAGE, "two images would be written to '" +
                                            OutputPath(options, options.images[i]) + "'");
    std::error_code error;
    std::filesystem::create_directories(options.out, error);
    if (!std::filesystem::is_directory(options.out, error))
        return Fail(BAKE_OUTPUT, "'" + options.out + "' is not a folder that can be written to");
    return BAKE_DONE;
}

}  // namespace

int RunBake(int argc, const char* const* argv)
{
    BakeOptions options;
    std::string info, error;
    if (!ParseBakeOptions(argc, argv, &options, &info, &error)) {
        std::fprintf(stderr, "texwarp-bake: %s\n%s", error.c_str(), BAKE_USAGE_TEXT);
        return BAKE_USAGE;
    }
    if (!info.empty()) {
        std::fputs(info.c_str(), stdout);
        return BAKE_DONE;
    }
    Reporter report;
    report.quiet = options.quiet;
    report.terminal = ErrorIsTerminal();
    int code = PrepareOutputs(options);
    if (code == BAKE_DONE)
        code = LoadMeshes(options, report);
    if (code != BAKE_DONE)
        return code;
    if (!CreateOffscreenGL(1, 1, &error)) {
        ClearRemapTable();
        return Fail(BAKE_NO_GL, error);
    }
    for (const std::string& image : options.images) {
        code = BakeImage(options, image, report);
        if (code != BAKE_DONE)
            break;
    }
    DestroyOffscreenGL();
    ClearRemapTable();
    return code;
}
