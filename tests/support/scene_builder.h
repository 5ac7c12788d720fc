// Seeded scene building shared by the tests and the benchmark: one linear
// congruential generator, so a seed gives the same scene on every machine,
// and the builders of polygons, both as environment definition lines and as
// completed Polygon records. No test framework: the benchmark links it too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "geometry/environment.h"

// The generator: state = state * 1664525 + 1013904223 (mod 2^32); each draw
// uses the top 24 bits of the new state.
struct SceneRandom {
    uint32_t state;
    uint32_t next();                           // 0 .. 2^24 - 1
    double unit();                             // next() / 2^24, in [0, 1)
    double between(double low, double high);   // low + (high - low) unit()
    int below(int n);                          // next() mod n
    // A multiple of 1/8 in [low, high): hit points land on patch and box
    // boundaries, and distances tie.
    float eighths(float low, float high);
};

struct Colour {
    double r, g, b;
};

// One line of an environment definition file: the four corners (printed with
// six significant digits), emission, reflectance and the patch counts.
std::string polygon_line(const double corners[4][3], Colour emission, Colour reflectance, int patches_u, int patches_v);

// Appends the rectangle p0, p0 + e1, p0 + e1 + e3, p0 + e3 with nu x nv
// patches as a line; swaps e1 and e3 (and the counts) when their normal
// does not point along `facing`.
void rectangle_line(std::string *scene, const double p0[3], const double e1[3], const double e3[3],
                    const double facing[3], int nu, int nv, Colour emission, Colour reflectance);

// The completed Polygon p0, p0 + e1, p0 + e1 + e3, p0 + e3 (corners summed in
// single precision) with nu x nv patches.
Polygon rectangle_polygon(const float p0[3], const float e1[3], const float e3[3], int32_t nu, int32_t nv);

// A random scene of completed polygons: a room facing in, boxes (on the
// floor or floating, faces facing out), tilted rectangles with exactly
// perpendicular integer edges, and now and then a duplicate of an earlier
// polygon; every fourth seed turned as a whole. Coordinates are eighths, so
// hits land on boundaries and distances tie.
std::vector<Polygon> random_scene(uint32_t seed);

struct Hemicube;

// The form-factor stage's walk without its file: the hemicube placed on each
// polygon in turn and moved to each of its patch centres, row by row of the
// patch grid, with `row` called at every patch. The hemicube is initialised.
void each_patch_hemicube(Hemicube *h, const Polygon *polys, int32_t count, const std::function<void()> &row);
