// Cell ray casting: one ray from the hemicube centre through a cell's centre,
// intersected with every polygon but the hemicube's own; the nearest hit picks
// the polygon, and the hit point picks a patch of it.
#pragma once

#include <cstdint>

#include "geometry/environment.h"

struct PolygonHit {
    int32_t hit;  // 1 when the current cell's ray meets the polygon's bounding box in its plane
    Vec3 point;   // the hit point, valid when hit is 1
};

// One bound of the hit-point box test: `value` (a coordinate of the hit point,
// already rounded to single precision) passes when it lies within [low, high]
// or closer than the tolerance to either end.
bool within_box_bound(double value, float low, float high);

// Fills hits[q] for every polygon q but the current one, for the ray through
// hemicube cell `cell`.
void cast_cell_ray(int32_t cell, PolygonHit *hits, const Polygon *polys, int32_t count);

// The polygon the cell sees: the nearest hit (equal distances keep the lower
// index), or -1 when nothing is hit or the nearest polygon faces exactly the
// way the hemicube's own polygon does.
int32_t nearest_polygon_hit(const PolygonHit *hits, const Polygon *polys, int32_t count);

// Global index of the patch of polygon q that strictly contains q's hit point,
// or -1 (a point on a patch boundary belongs to no patch).
int32_t patch_at_hit(int32_t q, const PolygonHit *hits, const Polygon *polys);
