// The image sampled as GL samples it: the texel footprint of a texel coordinate with
// REPEAT wrap, bilinear weighting in single precision (four channels at once with
// SSE2), nearest texels, and the same at full precision for normal maps.
#pragma once

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define HAVE_SSE2 1
#else
#define HAVE_SSE2 0
#endif

template <typename Sample>
struct Texels {
    const Sample* pixels;
    int64_t width, height;
    bool nearest;
};

// std::floor without the library call it is without SSE4.1: every sample takes some.
// The first for |x| < 2^30 only.
inline double FloorNear(double x)
{
    const double truncated = double(int64_t(x));
    return truncated > x ? truncated - 1 : truncated;
}

inline double FastFloor(double x)
{
    return x > -double(1 << 30) && x < double(1 << 30) ? FloorNear(x) : std::floor(x);  // far out, inf, NaN
}

// The texel at or before texel coordinate s and the distance past it, REPEAT-wrapped
// into [0, size). A coordinate far beyond the image loses nothing by coming nearer first.
inline int64_t TexelAt(double s, int64_t size, double* past)
{
    if (!(std::fabs(s) < double(1 << 30)))
        s = std::isfinite(s) ? std::fmod(s, double(size)) : 0.0;
    const double floor = FloorNear(s);
    int64_t i = int64_t(floor);
    *past = s - floor;
    if (uint64_t(i) < uint64_t(size))
        return i;
    i %= size;
    return i < 0 ? i + size : i;
}

#if HAVE_SSE2
// Bilinear weighting of four RGBA texels, four channels at once in single precision:
// the same operations, in the same order, as the plain version below.
inline __m128 Channels(const uint8_t* p)
{
    uint32_t word;
    std::memcpy(&word, p, 4);
    const __m128i zero = _mm_setzero_si128();
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(int(word)), zero), zero));
}

inline __m128 Channels(const uint16_t* p)
{
    return _mm_cvtepi32_ps(
        _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128()));
}

inline void Store(__m128 value, uint8_t* out)
{
    __m128i words = _mm_cvttps_epi32(value);
    words = _mm_packus_epi16(_mm_packs_epi32(words, words), words);
    const int packed = _mm_cvtsi128_si32(words);
    std::memcpy(out, &packed, 4);
}

inline void Store(__m128 value, uint16_t* out)
{
    // SSE2 packs 32-bit words only as signed: shifted down by 32768 and back.
    __m128i words = _mm_sub_epi32(_mm_cvttps_epi32(value), _mm_set1_epi32(32768));
    words = _mm_xor_si128(_mm_packs_epi32(words, words), _mm_set1_epi16(short(0x8000)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), words);
}

template <typename Sample>
inline void Blend(const Sample* p00, const Sample* p10, const Sample* p01, const Sample* p11, float a, float b,
                  Sample* out)
{
    const __m128 wa = _mm_set1_ps(a), wb = _mm_set1_ps(b);
    const __m128 v00 = Channels(p00), v01 = Channels(p01);
    const __m128 top = _mm_add_ps(v00, _mm_mul_ps(wa, _mm_sub_ps(Channels(p10), v00)));
    const __m128 bottom = _mm_add_ps(v01, _mm_mul_ps(wa, _mm_sub_ps(Channels(p11), v01)));
    Store(_mm_add_ps(_mm_add_ps(top, _mm_mul_ps(wb, _mm_sub_ps(bottom, top))), _mm_set1_ps(0.5f)), out);
}
#else
template <typename Sample>
inline void Blend(const Sample* p00, const Sample* p10, const Sample* p01, const Sample* p11, float a, float b,
                  Sample* out)
{
    for (int c = 0; c < 4; ++c) {
        const float top = float(p00[c]) + a * (float(p10[c]) - float(p00[c]));
        const float bottom = float(p01[c]) + a * (float(p11[c]) - float(p01[c]));
        out[c] = Sample(top + b * (bottom - top) + 0.5f);
    }
}
#endif

// Floats are not rounded, and a texel of weight 0 takes no part, so that an infinity or
// NaN beside a texel centre leaves the centre's value as stored.
inline void Blend(const float* p00, const float* p10, const float* p01, const float* p11, float a, float b, float* out)
{
    for (int c = 0; c < 4; ++c) {
        const float top = a == 0 ? p00[c] : p00[c] + a * (p10[c] - p00[c]);
        const float bottom = a == 0 ? p01[c] : p01[c] + a * (p11[c] - p01[c]);
        out[c] = b == 0 ? top : top + b * (bottom - top);
    }
}

// A channel's full value (1 for floats), and a value stored as a sample: integers
// rounded and clamped to their range, floats as they are.
template <typename Sample>
constexpr double SampleMax()
{
    return std::is_floating_point<Sample>::value ? 1.0 : double(std::numeric_limits<Sample>::max());
}

template <typename Sample>
inline Sample ToSample(double value)
{
    if (std::is_floating_point<Sample>::value)
        return Sample(value);
    return Sample(value >= 0 ? std::min(value + 0.5, SampleMax<Sample>()) : 0.0);
}

// The four texels around texel coordinates (s, t) with REPEAT wrap (p[0] and p[1] on
// the upper row, p[2] and p[3] below) and their weights (a, b); only p[0] where
// `nearest`, the texel GL samples then.
template <typename Sample>
struct Footprint {
    const Sample* p[4];
    double a, b;
};

template <bool NEAREST, typename Sample>
inline Footprint<Sample> TexelsAt(const Texels<Sample>& tex, double s, double t)
{
    Footprint<Sample> f{};
    if (NEAREST) {
        const int64_t i = TexelAt(s + 0.5, tex.width, &f.a), j = TexelAt(t + 0.5, tex.height, &f.b);
        f.p[0] = tex.pixels + size_t(j * tex.width + i) * 4;
        return f;
    }
    const int64_t i0 = TexelAt(s, tex.width, &f.a), j0 = TexelAt(t, tex.height, &f.b);
    const int64_t i1 = i0 + 1 == tex.width ? 0 : i0 + 1, j1 = j0 + 1 == tex.height ? 0 : j0 + 1;
    const Sample* row0 = tex.pixels + size_t(j0 * tex.width) * 4;
    const Sample* row1 = tex.pixels + size_t(j1 * tex.width) * 4;
    f.p[0] = row0 + i0 * 4;
    f.p[1] = row0 + i1 * 4;
    f.p[2] = row1 + i0 * 4;
    f.p[3] = row1 + i1 * 4;
    return f;
}

// The image at texel coordinates (s, t), as GL samples it. Single precision is exact
// for every sample value and weighs to far finer than the 1/256 of a texel GL weighs to.
template <bool NEAREST, typename Sample>
inline void Fetch(const Texels<Sample>& tex, double s, double t, Sample* out)
{
    const Footprint<Sample> f = TexelsAt<NEAREST>(tex, s, t);
    if (NEAREST)
        std::memcpy(out, f.p[0], 4 * sizeof(Sample));
    else
        Blend(f.p[0], f.p[1], f.p[2], f.p[3], float(f.a), float(f.b), out);
}

// The same at full precision, for a normal map's texels, which are turned before they
// are rounded once.
template <bool NEAREST, typename Sample>
inline void FetchExact(const Texels<Sample>& tex, double s, double t, double out[4])
{
    const Footprint<Sample> f = TexelsAt<NEAREST>(tex, s, t);
    const Sample* const* p = f.p;
    for (int c = 0; c < 4; ++c) {
        if (NEAREST) {
            out[c] = p[0][c];
            continue;
        }
        const double top = p[0][c] + f.a * (double(p[1][c]) - p[0][c]);
        const double bottom = p[2][c] + f.a * (double(p[3][c]) - p[2][c]);
        out[c] = top + f.b * (bottom - top);
    }
}
