// Cell ray casting and patch lookup, the reference loop's three operations.
//
// A ray starts at the hemicube centre O and passes through a cell's centre at
// parameter t = 1 (d = cell - O is not normalised). Against each polygon:
// parallel (|N.d| <= eps) or behind/at the centre (t < eps) is no hit; the hit
// point X = O + t d, rounded to single precision, must lie in the polygon's
// axis-aligned bounding box, with eps slack at every bound. The box, not the
// outline, is tested: for a tilted polygon the box's corners outside the
// polygon can be the nearest hit and then lie on no patch.
//
// The nearest hit wins; distances are compared after rounding to single
// precision, as the best one is stored, so equal distances always keep the
// lower polygon index. A nearest polygon facing exactly like the hemicube's
// own makes the cell see nothing.
//
// A hit point belongs to a patch only strictly inside the patch's u and v
// ranges: a point on a patch boundary, or on the polygon's edge, lies on none.
// The arithmetic itself is the inline routines of raycast.h, shared with the
// fast paths; so is the per-polygon cache, built here.
#include <algorithm>
#include <cfloat>

#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "formfactor/rounding.h"

CastPolygon cast_polygon(const Polygon *polygon, PatchUV *const *rows, int32_t first_patch, double extent) {
    CastPolygon cp = {};
    cp.box = polygon_box(polygon);
    double margin = hit_box_margin(extent);
    for (int a = 0; a < 3; a++) {
        cp.lo[a] = (double)cp.box.low[a] - margin;
        cp.hi[a] = (double)cp.box.high[a] + margin;
    }
    cp.normal = polygon->normal;
    cp.normal_p0 = ray_dot(&polygon->normal, &polygon->vertices[0]);
    cp.mapping = plane_mapping(polygon, false);
    cp.first_patch = first_patch;
    cp.chained = rows != nullptr && grid_is_chained(polygon, rows);
    return cp;
}

void cast_cell_ray(const Hemicube *h, int32_t cell, PolygonHit *hits, const FormFactorScene *scene) {
    const Vec3 *origin = &h->hemicube_centre;
    Vec3 d = cell_ray(&h->hemicube_cells[cell], origin);
    for (int32_t q = 0; q < scene->polygon_count; q++) {
        if (q == h->current_polygon) continue;
        const CastPolygon *cp = &scene->cast[q];
        hits[q].hit = ray_hits_box(&cp->normal, plane_numerator(&scene->polygons[q], origin), &cp->box, origin, &d,
                                   &hits[q].point);
    }
}

int32_t nearest_polygon_hit(const Hemicube *h, const PolygonHit *hits, const FormFactorScene *scene) {
    int32_t best = -1;
    float best_distance = FLT_MAX;
    for (int32_t q = 0; q < scene->polygon_count; q++) {
        if (q == h->current_polygon || !hits[q].hit) continue;
        float distance = hit_distance(&h->hemicube_centre, &hits[q].point);
        if (nearer_hit(distance, q, best_distance, best)) {
            best = q;
            best_distance = distance;
        }
    }
    if (best == -1) return -1;
    if (faces_alike(&scene->cast[best], &scene->cast[h->current_polygon])) return -1;
    return best;
}

int32_t patch_at_hit(int32_t q, const PolygonHit *hits, const FormFactorScene *scene) {
    const Polygon *polygon = &scene->polygons[q];
    const CastPolygon *cp = &scene->cast[q];
    float u, v;
    hit_uv(&cp->mapping, &hits[q].point, &u, &v);
    if (polygon->patches_u <= 0) return -1;
    int32_t k = grid_patch(polygon, scene->patch_grid[q], u, v);
    return k == -1 ? -1 : cp->first_patch + k;
}

bool grid_is_chained(const Polygon *polygon, PatchUV *const *rows) {
    if (polygon->patches_u <= 0 || polygon->patches_v <= 0) return false;
    for (int32_t r = 0; r < polygon->patches_u; r++) {
        const float *first = rows[r][0].uv;
        if (!(first[0] <= first[2])) return false;
        if (r + 1 < polygon->patches_u && !(first[2] == rows[r + 1][0].uv[0])) return false;
        for (int32_t k = 0; k < polygon->patches_v; k++) {
            const float *uv = rows[r][k].uv;
            if (!(uv[1] <= uv[5])) return false;
            if (k + 1 < polygon->patches_v && !(uv[5] == rows[r][k + 1].uv[1])) return false;
            if (!(uv[1] == rows[0][k].uv[1] && uv[5] == rows[0][k].uv[5])) return false;
        }
    }
    return true;
}
