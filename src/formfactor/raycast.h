// Cell ray casting: one ray from the hemicube centre through a cell's centre,
// intersected with every polygon but the hemicube's own; the nearest hit picks
// the polygon, and the hit point picks a patch of it.
//
// The exact arithmetic of a cell's ray is kept here once, as inline routines
// (the ray, the plane numerator, the box test with its rounded hit point, the
// rounded distance, the u/v of a hit and the grid lookup). The reference loop
// below and every fast path call these same routines, so where a fast path
// decides a cell by the exact arithmetic it decides it as the reference does.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "geometry/environment.h"
#include "geometry/patches.h"

struct PolygonHit {
    int32_t hit;  // 1 when the current cell's ray meets the polygon's bounding box in its plane
    Vec3 point;   // the hit point, valid when hit is 1
};

// A polygon's axis-aligned bounding box: min and max of p0..p3 (p2 included).
// The vertices are finite (the parser admits no other), so a plain compare
// picks the same values as fminf and fmaxf; where the two could differ, in
// the sign of a zero, no box test can tell (-0 and +0 compare and subtract
// alike).
struct PolygonBox {
    float low[3];
    float high[3];
};

inline PolygonBox polygon_box(const Polygon *polygon) {
    const Vec3 *p = polygon->vertices;
    PolygonBox box;
    for (int a = 0; a < 3; a++) {
        float c0 = (&p[0].x)[a], c1 = (&p[1].x)[a], c2 = (&p[2].x)[a], c3 = (&p[3].x)[a];
        float low01 = c1 < c0 ? c1 : c0, low23 = c3 < c2 ? c3 : c2;
        float high01 = c1 > c0 ? c1 : c0, high23 = c3 > c2 ? c3 : c2;
        box.low[a] = low23 < low01 ? low23 : low01;
        box.high[a] = high23 > high01 ? high23 : high01;
    }
    return box;
}

// One polygon as every cell cast reads it, the reference's and the fast
// paths' alike: built once for the run (form_factor_scene_init), read-only
// from then on.
struct CastPolygon {
    PolygonBox box;         // the reference's bounding box: min and max of p0..p3
    double lo[3], hi[3];    // the box widened by hit_box_margin: holds every point of a ray that a hit stands for
    Vec3 normal;            // the polygon's normal
    double normal_p0;       // N . p0, the first term of plane_numerator
    PlaneMapping mapping;   // plane_mapping(polygon, false), as patch_at_hit forms it
    int32_t first_patch;    // count_patches over the polygons before it
    bool chained;           // row and column boundaries chain (grid_is_chained): the grid may be searched
};

// a . b summed x, y, z in double, as vec3_dot forms it.
inline double ray_dot(const Vec3 *a, const Vec3 *b) {
    return (double)a->x * (double)b->x + (double)a->y * (double)b->y + (double)a->z * (double)b->z;
}

// The ray of a cell, d = cell - origin rounded to single precision (not
// normalised: t = 1 is the cell's centre).
inline Vec3 cell_ray(const Vec3 *cell, const Vec3 *origin) {
    return {(float)((double)cell->x - (double)origin->x), (float)((double)cell->y - (double)origin->y),
            (float)((double)cell->z - (double)origin->z)};
}

// N . p0 - N . O, the numerator of the ray parameter t: the same for every
// cell of one hemicube position.
inline double plane_numerator(const Polygon *polygon, const Vec3 *origin) {
    return ray_dot(&polygon->normal, &polygon->vertices[0]) - ray_dot(&polygon->normal, origin);
}

// plane_numerator from the cached N . p0: the same double.
inline double cast_numerator(const CastPolygon *cp, const Vec3 *origin) {
    return cp->normal_p0 - ray_dot(&cp->normal, origin);
}

// One bound of the hit-point box test: `value` (a coordinate of the hit point,
// already rounded to single precision) passes when it lies within [low, high]
// or closer than the tolerance to either end.
inline bool within_box_bound(double value, float low, float high) {
    bool above = value > (double)low || fabs(value - (double)low) < GEOMETRY_EPSILON;
    bool below = value < (double)high || fabs(value - (double)high) < GEOMETRY_EPSILON;
    return above && below;
}

// The exact test of ray d from `origin` against a polygon's plane and box:
// parallel (|N.d| <= eps) or behind (t < eps, or t not a number) is no hit;
// else X = O + t d rounded to single precision must pass the box test. On a
// hit, *point = X.
inline bool ray_hits_box(const Vec3 *normal, double numerator, const PolygonBox *box, const Vec3 *origin,
                         const Vec3 *d, Vec3 *point) {
    double den = ray_dot(normal, d);
    if (fabs(den) <= GEOMETRY_EPSILON) return false;
    double t = numerator / den;
    if (!(t >= GEOMETRY_EPSILON)) return false;
    Vec3 x;
    x.x = (float)((double)origin->x + t * (double)d->x);
    x.y = (float)((double)origin->y + t * (double)d->y);
    x.z = (float)((double)origin->z + t * (double)d->z);
    if (!within_box_bound(x.x, box->low[0], box->high[0])) return false;
    if (!within_box_bound(x.y, box->low[1], box->high[1])) return false;
    if (!within_box_bound(x.z, box->low[2], box->high[2])) return false;
    *point = x;
    return true;
}

// Distance of a hit point from the origin as the nearest-hit rule compares
// it: the difference rounded to single precision, its length in double, the
// length rounded to single precision.
inline float hit_distance(const Vec3 *origin, const Vec3 *point) {
    Vec3 r = cell_ray(point, origin);
    double x = r.x, y = r.y, z = r.z;
    return (float)sqrt(x * x + y * y + z * z);
}

// u and v of a hit point on a polygon of mapping m, each rounded to single
// precision.
inline void hit_uv(const PlaneMapping *m, const Vec3 *point, float *u, float *v) {
    double rx = (double)point->x - m->p0[0], ry = (double)point->y - m->p0[1], rz = (double)point->z - m->p0[2];
    *u = (float)((rx * m->e1[0] + ry * m->e1[1] + rz * m->e1[2]) / m->length_u);
    *v = (float)((rx * m->e3[0] + ry * m->e3[1] + rz * m->e3[2]) / m->length_v);
}

// The patch of a polygon's grid (rows along u, patches along v) that strictly
// contains (u, v): its index within the polygon, row * patches_v + column,
// or -1. The first row, and within it the first column, that holds the point
// wins; a point on a boundary lies in none.
inline int32_t grid_patch(const Polygon *polygon, PatchUV *const *rows, float u, float v) {
    for (int32_t r = 0; r < polygon->patches_u; r++) {
        const float *first = rows[r][0].uv;
        if (!(first[0] < u && u < first[2])) continue;
        for (int32_t k = 0; k < polygon->patches_v; k++) {
            const float *uv = rows[r][k].uv;
            if (uv[1] < v && v < uv[5]) return r * polygon->patches_v + k;
        }
    }
    return -1;
}

// True when the grid's row and column boundaries chain: each interval's end
// is the next one's start and none runs backwards, and every row has the
// same column boundaries. Then at most one open row interval and one open
// column interval hold a value, and grid_patch_chained may stand in for
// grid_patch.
bool grid_is_chained(const Polygon *polygon, PatchUV *const *rows);

// The largest index i < count whose interval start start(i) lies strictly
// below x, or -1. Starts never decrease, so that index is where the walk from
// any first guess stops; the guess x / step only saves steps.
template <typename Start> int32_t last_below(float x, float step, int32_t count, Start start) {
    double guess = (double)x / (double)step;
    int32_t i = guess >= 0 && guess < (double)count ? (int32_t)guess : (guess >= (double)count ? count - 1 : 0);
    while (i >= 0 && !(start(i) < x)) i--;
    while (i + 1 < count && start(i + 1) < x) i++;
    return i;
}

// grid_patch for a chained grid: the last row whose start lies below u is the
// only one that can hold it, and likewise the column.
inline int32_t grid_patch_chained(const Polygon *polygon, PatchUV *const *rows, float u, float v) {
    int32_t r = last_below(u, polygon->patch_size_u, polygon->patches_u, [rows](int32_t i) { return rows[i][0].uv[0]; });
    if (r < 0 || !(u < rows[r][0].uv[2])) return -1;
    const PatchUV *row = rows[r];
    int32_t k = last_below(v, polygon->patch_size_v, polygon->patches_v, [row](int32_t i) { return row[i].uv[1]; });
    if (k < 0 || !(v < row[k].uv[5])) return -1;
    return r * polygon->patches_v + k;
}

// The nearest-hit rule, the one every path applies: a hit on polygon q at
// rounded distance `distance` takes the cell from the best so far when it is
// nearer, or as near and of a lower index (best -1: nothing yet, at
// FLT_MAX). The reference tries the polygons in index order with a strict
// comparison, which gives the same: the lexicographic least (distance, q).
inline bool nearer_hit(float distance, int32_t q, float best_distance, int32_t best) {
    return distance < best_distance || (distance == best_distance && q < best);
}

// A cell's nearest hit so far.
struct NearestHit {
    int32_t polygon;  // -1 for none
    float distance;   // its rounded distance, FLT_MAX for none
    Vec3 point;       // its hit point
};

inline NearestHit no_hit() { return NearestHit{-1, FLT_MAX, {0, 0, 0}}; }

// Ray d from `origin` against polygon q (plane numerator given): a hit that
// passes the box test takes `best` by the nearest-hit rule.
inline void offer_hit(NearestHit *best, int32_t q, const CastPolygon *cp, double numerator, const Vec3 *origin,
                      const Vec3 *d) {
    Vec3 x;
    if (!ray_hits_box(&cp->normal, numerator, &cp->box, origin, d, &x)) return;
    float distance = hit_distance(origin, &x);
    if (nearer_hit(distance, q, best->distance, best->polygon)) *best = NearestHit{q, distance, x};
}

// A polygon facing exactly like the one the hemicube stands on makes a cell
// whose nearest hit it is see nothing.
inline bool faces_alike(const CastPolygon *a, const CastPolygon *b) { return vec3_equal(&a->normal, &b->normal); }

// The patch of polygon q (cache cp, grid rows) that strictly contains hit
// point x, as a global index, or -1: the chained grid searched, any other
// scanned as the reference scans it.
inline int32_t hit_patch(const CastPolygon *cp, const Polygon *polygon, PatchUV *const *rows, const Vec3 *x) {
    float u, v;
    hit_uv(&cp->mapping, x, &u, &v);
    if (polygon->patches_u <= 0) return -1;
    int32_t k = cp->chained ? grid_patch_chained(polygon, rows, u, v) : grid_patch(polygon, rows, u, v);
    return k == -1 ? -1 : cp->first_patch + k;
}

// The cache of polygon `polygon`, whose grid rows are `rows` (null: no grid)
// and whose first patch is `first_patch`; `extent` is the scene's largest
// absolute vertex coordinate.
CastPolygon cast_polygon(const Polygon *polygon, PatchUV *const *rows, int32_t first_patch, double extent);

struct Hemicube;
struct FormFactorScene;

// The reference's three operations, for the hemicube `h` of one worker:
// fills hits[q] for every polygon q but the current one, for the ray through
// hemicube cell `cell`.
void cast_cell_ray(const Hemicube *h, int32_t cell, PolygonHit *hits, const FormFactorScene *scene);

// The polygon the cell sees: the nearest hit (equal distances keep the lower
// index), or -1 when nothing is hit or the nearest polygon faces exactly the
// way the hemicube's own polygon does.
int32_t nearest_polygon_hit(const Hemicube *h, const PolygonHit *hits, const FormFactorScene *scene);

// Global index of the patch of polygon q that strictly contains q's hit point,
// or -1 (a point on a patch boundary belongs to no patch). Scans the grid as
// the reference does, whether or not it chains.
int32_t patch_at_hit(int32_t q, const PolygonHit *hits, const FormFactorScene *scene);
