// A unit sphere as an exporter writes it: `segments` around, `rings` from pole to pole,
// quads between the rings and triangles at the poles, with smooth normals (`vn` lines,
// or without `normals` one smoothing group). Layout 0 is
// the sphere unrolled (u east, v north, a seam of its own); layout 1 the same turned a
// quarter and mirrored (u north, v east), so that a bake between the two is seen at once.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

inline std::string SphereObj(int segments, int rings, int layout, bool normals = true)
{
    std::string obj = "# a sphere, " + std::to_string(segments) + " x " + std::to_string(rings) + "\n";
    char line[96];
    const double pi = std::acos(-1.0);
    const auto add = [&](const char* format, double a, double b, double c) {
        std::snprintf(line, sizeof line, format, a, b, c);
        obj += line;
    };
    // Positions and normals: the north pole, the rings, the south pole.
    for (int i = 0; i <= rings; ++i)
        for (int j = 0; j < ((i == 0 || i == rings) ? 1 : segments); ++j) {
            const double lat = pi / 2 - pi * i / rings, lon = 2 * pi * j / segments;
            add("v %.7f %.7f %.7f\n", std::cos(lat) * std::cos(lon), std::sin(lat), -std::cos(lat) * std::sin(lon));
            if (normals)
                add("vn %.7f %.7f %.7f\n", std::cos(lat) * std::cos(lon), std::sin(lat), -std::cos(lat) * std::sin(lon));
        }
    // Texture coordinates: a grid with one more column for the seam.
    for (int i = 0; i <= rings; ++i)
        for (int j = 0; j <= segments; ++j) {
            const double east = double(j) / segments, north = 1.0 - double(i) / rings;
            add("vt %.7f %.7f\n", layout == 0 ? east : north, layout == 0 ? north : east, 0);
        }
    const auto position = [&](int i, int j) {
        return i == 0 ? 1 : i == rings ? 2 + (rings - 1) * segments : 2 + (i - 1) * segments + j % segments;
    };
    const auto corner = [&](int i, int j, int texture_j) {
        const int p = position(i, j), t = i * (segments + 1) + texture_j + 1;
        return " " + std::to_string(p) + "/" + std::to_string(t) + (normals ? "/" + std::to_string(p) : "");
    };
    if (!normals)
        obj += "s 1\n";
    // Counter-clockwise seen from outside: north-west, south-west, south-east, north-east.
    for (int i = 0; i < rings; ++i)
        for (int j = 0; j < segments; ++j) {
            const std::string nw = corner(i, j, j), sw = corner(i + 1, j, j), se = corner(i + 1, j + 1, j + 1),
                              ne = corner(i, j + 1, j + 1);
            obj += "f" + (i == 0 ? nw + sw + se : i + 1 == rings ? nw + sw + ne : nw + sw + se + ne) + "\n";
        }
    return obj;
}
