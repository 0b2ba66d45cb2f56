// Small helpers shared by the benchmarks: timing and the process's resident memory.
#pragma once

#include <png.h>
#include <unistd.h>

#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

inline double MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The fastest of `runs` runs of `body`, in milliseconds.
inline double BestOf(int runs, const std::function<void()>& body)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const double ms = MillisecondsSince(start);
        if (ms < best)
            best = ms;
    }
    return best;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 when unknown.
inline long StatusKiB(const char* field)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long value = 0;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            std::sscanf(line + length + 1, "%ld", &value);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// Lets VmHWM measure the peak from now on.
inline void ResetPeakMemory()
{
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// Writes a grid of `grid` x `grid` quads as an exporter would: v, vt and vn lines, then
// v/vt/vn triangles. `mirrored` gives the target layout a different texture mapping.
// With `reordered`, the source layout's grid as another exporter writes it: each quad
// split along its other diagonal and every triangle shuffled, for surface matching.
// `u_scale` stretches the layouts across that many UDIM tiles.
inline void WriteGrid(const std::string& path, int grid, bool mirrored, bool reordered = false, double u_scale = 1)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    std::fprintf(f, "# grid of %d x %d quads\no grid\n", grid, grid);
    for (int y = 0; y <= grid; ++y)
        for (int x = 0; x <= grid; ++x)
            std::fprintf(f, "v %.6f %.6f %.6f\n", x / double(grid), y / double(grid), 0.0);
    for (int y = 0; y <= grid; ++y)
        for (int x = 0; x <= grid; ++x) {
            const double u = x / double(grid), v = y / double(grid);
            std::fprintf(f, "vt %.6f %.6f\n", (mirrored ? 1.0 - v : u) * u_scale, mirrored ? u * 0.5 : v);
        }
    for (int y = 0; y <= grid; ++y)
        for (int x = 0; x <= grid; ++x)
            std::fprintf(f, "vn 0.000000 0.000000 1.000000\n");
    std::fprintf(f, "s off\n");
    std::vector<int> order(size_t(grid) * grid * 2);
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    if (reordered)
        std::shuffle(order.begin(), order.end(), std::mt19937(1));
    for (const int i : order) {
        const int quad = i / 2, y = quad / grid, x = quad % grid;
        const int a = y * (grid + 1) + x + 1, b = a + 1, c = a + grid + 1, d = c + 1;
        const int first = reordered ? b : a, second = reordered ? (i % 2 ? d : c) : (i % 2 ? d : b),
                  third = reordered ? (i % 2 ? c : a) : (i % 2 ? c : d);
        std::fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", first, first, first, second, second, second, third, third,
                     third);
    }
    // On the disk before anything is timed, so that no write-back runs alongside.
    std::fflush(f);
    fsync(fileno(f));
    std::fclose(f);
}

inline bool Exists(const std::string& path)
{
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

// Gradients plus noise: compresses like a painted texture, not like a flat image.
inline bool WriteNoisyRgbPng(const std::string& path, int side)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::mt19937 rng(7);
    std::vector<png_byte> row(side * 3);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const int noise = static_cast<int>(rng() % 17) - 8;
            row[x * 3 + 0] = static_cast<png_byte>((x / 16 + noise) & 255);
            row[x * 3 + 1] = static_cast<png_byte>((y / 16 + noise) & 255);
            row[x * 3 + 2] = static_cast<png_byte>(((x + y) / 32) & 255);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return true;
}

// The floor of reading a text file: its bytes streamed through a 1 MiB buffer, line
// feeds counted with memchr.
inline long CountLineFeeds(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    std::vector<char> buffer(1 << 20);
    long lines = 0;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        const char* p = buffer.data();
        const char* end = p + got;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)))) != nullptr) {
            ++lines;
            ++p;
        }
    }
    std::fclose(f);
    return lines;
}

// libpng's own row decode of a file as it is stored, into `buffer`; false when it fails.
inline bool DecodeRowsWithLibpng(const std::string& path, std::vector<png_byte>& buffer)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info), height = png_get_image_height(png, info);
    buffer.resize(row_bytes * height);
    for (size_t y = 0; y < height; ++y)
        png_read_row(png, buffer.data() + y * row_bytes, nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return true;
}

// libpng's own write of 8-bit RGBA rows at zlib level 2 with the SUB and UP filters.
inline bool EncodeWithLibpng(const std::string& path, const unsigned char* rgba, int width, int height)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_compression_level(png, 2);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB | PNG_FILTER_UP);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(rgba + size_t(y) * size_t(width) * 4));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}
