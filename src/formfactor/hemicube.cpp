// Hemicube set-up, delta form factors and placement.
//
// Delta form factors, with the base centred at the origin and unit height:
//   top cell (a, b):   s^2 / (pi (w_b^2 + w_a^2 + 1)^2)
//   side cell (a, c):  z_c s^2 / (pi (w_a^2 + z_c^2 + 1)^2)
// where w_k = c0 + k s is a cell centre's offset across a face (c0 = s/2 - 1)
// and z_c = z0 - c s its height on a side face (z0 = 1 - s/2). c0, z0 and s^2
// are rounded to single precision once; everything else is double until a
// value is stored. They are not normalised: their sum is what the cells give
// (about 1.0086 for s = 0.25, 0.9555 for s = 0.1).
//
// Placement: the hemicube is oriented and its cells laid out once per polygon,
// at the polygon's centre, then shifted from patch to patch. Only the corners
// and the cells are stored (single precision); the edge vectors between the
// corners that lay out the cells are differences of the widened corners, kept
// in double, so a cell is rounded once, where it is stored. The shifts add up
// in single precision over a polygon's patches; placing on the next polygon
// starts afresh.
#include <cmath>
#include <cstdlib>

#include "base/errors.h"
#include "formfactor/hemicube.h"
#include "geometry/patches.h"

Hemicube hemicube;

namespace {

const double PI = 3.141592653589793;

// Largest resolution whose 3*n*n cells still count in 32 bits.
const double MAX_RESOLUTION = 26754.0;

// Components of a stored point, widened for arithmetic.
struct Point {
    double x, y, z;
};

Point widen(const Vec3 &v) { return {(double)v.x, (double)v.y, (double)v.z}; }

// to - from, from the widened corners and kept in double precision: the
// placement stores only the corners and the cells, not the edges between them.
Point difference(const Vec3 &from, const Vec3 &to) {
    return {(double)to.x - (double)from.x, (double)to.y - (double)from.y, (double)to.z - (double)from.z};
}

void store(Vec3 *out, double x, double y, double z) {
    out->x = (float)x;
    out->y = (float)y;
    out->z = (float)z;
}

} // namespace

void hemicube_init(float pixel_size) {
    Hemicube &h = hemicube;
    h.hemicube_pixel_size = pixel_size;
    double quotient = 2.0 / (double)pixel_size;
    if (!(quotient <= MAX_RESOLUTION)) fatal_out_of_memory(EXIT_HEMICUBE_ITEMS_NO_MEMORY);
    int32_t n = (int32_t)quotient;
    int32_t rows = n / 2;
    h.hemicube_resolution = n;

    size_t allocated = 3 * (size_t)n * (size_t)n;
    h.hemicube_item_buffer = (int32_t *)checked_calloc(allocated, sizeof(int32_t), EXIT_HEMICUBE_ITEMS_NO_MEMORY);
    h.hemicube_delta_form_factors = (float *)checked_calloc(allocated, sizeof(float), EXIT_HEMICUBE_DELTAS_NO_MEMORY);
    h.hemicube_cells = (Vec3 *)checked_calloc(allocated, sizeof(Vec3), EXIT_HEMICUBE_CELLS_NO_MEMORY);

    double s = pixel_size;
    double c0 = (float)(s / 2.0 - 1.0);
    double z0 = (float)(1.0 - s / 2.0);
    double s2 = (float)(s * s);
    float *delta = h.hemicube_delta_form_factors;
    int32_t index = 0;

    for (int32_t a = 0; a < n; a++) {
        double wa = c0 + a * s;
        for (int32_t b = 0; b < n; b++) {
            double wb = c0 + b * s;
            double q = wb * wb + wa * wa + 1.0;
            delta[index++] = (float)(s2 / (PI * (q * q)));
        }
    }
    for (int face = 0; face < 4; face++) {
        for (int32_t a = 0; a < n; a++) {
            double wa = c0 + a * s;
            for (int32_t c = 0; c < rows; c++) {
                double zc = z0 - c * s;
                double q = wa * wa + zc * zc + 1.0;
                delta[index++] = (float)(zc * s2 / (PI * (q * q)));
            }
        }
    }
    h.hemicube_cell_count = index;
}

void hemicube_free() {
    free(hemicube.hemicube_item_buffer);
    hemicube.hemicube_item_buffer = nullptr;
    free(hemicube.hemicube_delta_form_factors);
    hemicube.hemicube_delta_form_factors = nullptr;
    free(hemicube.hemicube_cells);
    hemicube.hemicube_cells = nullptr;
}

void hemicube_place(const Polygon *polys, int32_t i) {
    Hemicube &h = hemicube;
    const Polygon *polygon = &polys[i];
    h.current_polygon = i;
    h.hemicube_placements++;

    PlaneMapping mapping = plane_mapping(polygon, false);
    double hu = mapping.length_u / 2.0;
    double hv = mapping.length_v / 2.0;
    plane_point(&mapping, hu, hv, &h.hemicube_centre);

    Vec3 *base = h.hemicube_base_corners;
    Vec3 *top = h.hemicube_top_corners;
    plane_point(&mapping, hu - 1.0, hv - 1.0, &base[0]);
    plane_point(&mapping, hu + 1.0, hv - 1.0, &base[1]);
    plane_point(&mapping, hu + 1.0, hv + 1.0, &base[2]);
    plane_point(&mapping, hu - 1.0, hv + 1.0, &base[3]);
    for (int k = 0; k < 4; k++) vec3_sum(&polygon->normal, &base[k], &top[k]);

    int32_t n = h.hemicube_resolution;
    int32_t rows = n / 2;
    double s = h.hemicube_pixel_size;
    double half = (float)(s / 2.0);
    Vec3 *cell = h.hemicube_cells;

    Point t0 = widen(top[0]), d1 = difference(top[0], top[1]), d3 = difference(top[0], top[3]);
    for (int32_t a = 0; a < n; a++) {
        double fa = a * s + half;
        for (int32_t b = 0; b < n; b++) {
            double fb = b * s + half;
            store(cell++, t0.x + (fb * d1.x + fa * d3.x) * 0.5, t0.y + (fb * d1.y + fa * d3.y) * 0.5,
                  t0.z + (fb * d1.z + fa * d3.z) * 0.5);
        }
    }

    // Side faces: start corner S and end corner E along the top edge, base
    // corner B below S.
    const int start_corner[4] = {1, 3, 0, 2};
    const int end_corner[4] = {2, 0, 1, 3};
    for (int face = 0; face < 4; face++) {
        const Vec3 &corner = top[start_corner[face]];
        Point start = widen(corner), along = difference(corner, top[end_corner[face]]),
              down = difference(corner, base[start_corner[face]]);
        for (int32_t a = 0; a < n; a++) {
            double fa = a * s + half;
            for (int32_t c = 0; c < rows; c++) {
                double fc = c * s + half;
                store(cell++, start.x + fa * along.x * 0.5 + fc * down.x, start.y + fa * along.y * 0.5 + fc * down.y,
                      start.z + fa * along.z * 0.5 + fc * down.z);
            }
        }
    }
}

void hemicube_move(const Vec3 *centre) {
    Hemicube &h = hemicube;
    Vec3 offset;
    vec3_difference(&h.hemicube_centre, centre, &offset);
    for (int32_t k = 0; k < h.hemicube_cell_count; k++) {
        h.hemicube_item_buffer[k] = -1;
        vec3_sum(&h.hemicube_cells[k], &offset, &h.hemicube_cells[k]);
    }
    for (int k = 0; k < 4; k++) {
        vec3_sum(&h.hemicube_base_corners[k], &offset, &h.hemicube_base_corners[k]);
        vec3_sum(&h.hemicube_top_corners[k], &offset, &h.hemicube_top_corners[k]);
    }
    h.hemicube_centre = *centre;
}
