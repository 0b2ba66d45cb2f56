// Writes PNG files in memory through libpng's write API, in every layout PNG has: for the
// generated example, fuzzing seeds, hostile inputs and tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PngImage {
    int width = 1;
    int height = 1;
    int color_type = 2;   // PNG_COLOR_TYPE_*
    int bit_depth = 8;
    bool interlaced = false;
    std::vector<uint8_t> samples;           // packed rows as the PNG stores them, big-endian 16-bit
    std::vector<uint8_t> palette;           // r, g, b per entry
    std::vector<uint8_t> transparency;      // tRNS: palette alphas, or a grey/RGB key (16-bit each)
};

std::string EncodePng(const PngImage& image);

// Recomputes the CRC of the chunk whose length field starts at `offset`.
void FixChunkCrc(std::string& png, size_t offset);

// An 8-bit RGB image from words (red in the low byte; alpha is ignored).
std::string EncodeRgbPng(const std::vector<uint32_t>& pixels, int width, int height);
