// Cell ray casting and patch lookup.
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
#include <cfloat>
#include <cmath>

#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "geometry/patches.h"

namespace {

float min4(float a, float b, float c, float d) { return fminf(fminf(a, b), fminf(c, d)); }
float max4(float a, float b, float c, float d) { return fmaxf(fmaxf(a, b), fmaxf(c, d)); }

} // namespace

bool within_box_bound(double value, float low, float high) {
    bool above = value > (double)low || fabs(value - (double)low) < GEOMETRY_EPSILON;
    bool below = value < (double)high || fabs(value - (double)high) < GEOMETRY_EPSILON;
    return above && below;
}

void cast_cell_ray(int32_t cell, PolygonHit *hits, const Polygon *polys, int32_t count) {
    const Vec3 *origin = &hemicube.hemicube_centre;
    Vec3 d;
    vec3_difference(origin, &hemicube.hemicube_cells[cell], &d);

    for (int32_t q = 0; q < count; q++) {
        if (q == hemicube.current_polygon) continue;
        PolygonHit *entry = &hits[q];
        entry->hit = 0;
        const Polygon *polygon = &polys[q];
        const Vec3 *normal = &polygon->normal;

        double den = vec3_dot(normal, &d);
        if (fabs(den) <= GEOMETRY_EPSILON) continue;
        double t = (vec3_dot(normal, &polygon->vertices[0]) - vec3_dot(normal, origin)) / den;
        if (!(t >= GEOMETRY_EPSILON)) continue;

        Vec3 x;
        x.x = (float)((double)origin->x + t * (double)d.x);
        x.y = (float)((double)origin->y + t * (double)d.y);
        x.z = (float)((double)origin->z + t * (double)d.z);

        const Vec3 *p = polygon->vertices;
        if (!within_box_bound(x.x, min4(p[0].x, p[1].x, p[2].x, p[3].x), max4(p[0].x, p[1].x, p[2].x, p[3].x))) continue;
        if (!within_box_bound(x.y, min4(p[0].y, p[1].y, p[2].y, p[3].y), max4(p[0].y, p[1].y, p[2].y, p[3].y))) continue;
        if (!within_box_bound(x.z, min4(p[0].z, p[1].z, p[2].z, p[3].z), max4(p[0].z, p[1].z, p[2].z, p[3].z))) continue;

        entry->hit = 1;
        entry->point = x;
    }
}

int32_t nearest_polygon_hit(const PolygonHit *hits, const Polygon *polys, int32_t count) {
    int32_t best = -1;
    float best_distance = FLT_MAX;
    for (int32_t q = 0; q < count; q++) {
        if (q == hemicube.current_polygon || !hits[q].hit) continue;
        float distance = (float)vec3_distance(&hemicube.hemicube_centre, &hits[q].point);
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
    const Vec3 *x = &hits[q].point;
    double rx = (double)x->x - m.p0[0], ry = (double)x->y - m.p0[1], rz = (double)x->z - m.p0[2];
    float u = (float)((rx * m.e1[0] + ry * m.e1[1] + rz * m.e1[2]) / m.length_u);
    float v = (float)((rx * m.e3[0] + ry * m.e3[1] + rz * m.e3[2]) / m.length_v);
    if (polygon->patches_u <= 0) return -1;

    PatchUV **rows = patch_grid[q];
    for (int32_t r = 0; r < polygon->patches_u; r++) {
        const float *first = rows[r][0].uv;
        if (!(first[0] < u && u < first[2])) continue;
        for (int32_t k = 0; k < polygon->patches_v; k++) {
            const float *uv = rows[r][k].uv;
            if (uv[1] < v && v < uv[5]) return count_patches(polys, q) + r * polygon->patches_v + k;
        }
    }
    return -1;
}
