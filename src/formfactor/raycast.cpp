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
// fast paths.
#include <cfloat>

#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"

void cast_cell_ray(int32_t cell, PolygonHit *hits, const Polygon *polys, int32_t count) {
    const Vec3 *origin = &hemicube.hemicube_centre;
    Vec3 d = cell_ray(&hemicube.hemicube_cells[cell], origin);
    for (int32_t q = 0; q < count; q++) {
        if (q == hemicube.current_polygon) continue;
        const Polygon *polygon = &polys[q];
        PolygonBox box = polygon_box(polygon);
        hits[q].hit = ray_hits_box(&polygon->normal, plane_numerator(polygon, origin), &box, origin, &d, &hits[q].point);
    }
}

int32_t nearest_polygon_hit(const PolygonHit *hits, const Polygon *polys, int32_t count) {
    int32_t best = -1;
    float best_distance = FLT_MAX;
    for (int32_t q = 0; q < count; q++) {
        if (q == hemicube.current_polygon || !hits[q].hit) continue;
        float distance = hit_distance(&hemicube.hemicube_centre, &hits[q].point);
        if (distance < best_distance) {
            best = q;
            best_distance = distance;
        }
    }
    if (best == -1) return -1;
    if (vec3_equal(&polys[best].normal, &polys[hemicube.current_polygon].normal)) return -1;
    return best;
}

int32_t patch_at_hit(int32_t q, const PolygonHit *hits, const Polygon *polys) {
    const Polygon *polygon = &polys[q];
    PlaneMapping m = plane_mapping(polygon, false);
    float u, v;
    hit_uv(&m, &hits[q].point, &u, &v);
    if (polygon->patches_u <= 0) return -1;
    int32_t k = grid_patch(polygon, patch_grid[q], u, v);
    return k == -1 ? -1 : count_patches(polys, q) + k;
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
