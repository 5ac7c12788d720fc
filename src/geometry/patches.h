// Patch subdivision: every polygon cut into patches_u rows (along p0->p1) of
// patches_v patches (along p0->p3), and the one patch order every later stage
// uses: polygon by polygon, row by row, column by column. Patch (i, j, k) has
// index first_patch(i) + j * patches_v + k.
//
// The grid holds only plane coordinates (u, v); 3-D points are computed when
// needed by plane_point(). It lives from the patch stage to the end of the
// form-factor stage.
#pragma once

#include <cstdint>
#include <cstdio>

#include "geometry/environment.h"

// The (u, v) corners of one patch: corner 0 (u_start, v_start), corner 1
// (u_end, v_start), corner 2 (u_end, v_end), corner 3 (u_start, v_end).
struct PatchUV {
    float uv[8];
};

// patch_grid[i][j][k]: polygon i, row j, column k. Each level is a separate
// zero-filled block.
typedef PatchUV **PatchGrid;
extern PatchGrid *patch_grid;

// Total number of patches of the scene.
extern int32_t patch_count;

// A polygon's (u, v) -> 3-D mapping. The same formula places patch corners,
// patch centres and the hemicube; the callers differ only in whether e1, e3,
// L_u and L_v are first rounded to single precision.
struct PlaneMapping {
    double p0[3];
    double e1[3];   // p1 - p0
    double e3[3];   // p3 - p0
    double length_u; // patches_u * patch_size_u, about |e1|
    double length_v; // patches_v * patch_size_v, about |e3|
};

// Builds the mapping of `polygon`; with `single_precision` the edge vectors and
// lengths are rounded to float first (as for PATCH.BIN).
PlaneMapping plane_mapping(const Polygon *polygon, bool single_precision);

// P(u, v) = ((v * e3) / L_v + (u * e1) / L_u) + p0 per component, in double,
// stored rounded to single precision.
void plane_point(const PlaneMapping *mapping, double u, double v, Vec3 *out);

// Allocates and fills patch_grid (codes 20, 21, 22 when memory runs out).
void build_patch_grid(const Polygon *polys, int32_t count);

// Sum of patches_u * patches_v over the first `count` polygons.
int32_t count_patches(const Polygon *polys, int32_t count);

// Writes the 3-D corners of every patch to `file`, 3 floats per corner,
// corners 0..3, patches in order (code 30 on a short write).
void write_patch_vertices(const Polygon *polys, int32_t count, FILE *file);

// Centre of patch (i, j, k), mapping kept in double precision.
void patch_center(const Polygon *polys, int32_t i, int32_t j, int32_t k, Vec3 *out);

// Releases patch_grid and sets it to empty.
void free_patch_grid(const Polygon *polys, int32_t count);
