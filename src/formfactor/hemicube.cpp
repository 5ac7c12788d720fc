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
//
// For the fast paths the placement also records each face's layout as an
// affine map of the cell's line and position (in double, before rounding),
// the rays right after placement, and how far those lie from the map; every
// move then measures how far the rays have strayed from the placement rays
// (hemicube_drift). Together they bound |ray - nominal ray| for every cell.
// A move only records its offset; the cells take the recorded offsets, one
// after another, when they are read in full (hemicube_settle) or when
// HEMICUBE_PENDING_MOVES have gathered, and a single cell may be read with
// them replayed (hemicube_cell). The drift is measured at every settling and
// bounded in between. Settling adds the offsets in single precision, whole
// groups of cells at a time (settle.h): a single-precision sum is the double
// sum rounded once more to single precision (double carries more than
// 2 * 24 + 2 bits), so the cells get the bytes vec3_sum would give them.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "formfactor/hemicube.h"
#include "formfactor/rounding.h"
#include "formfactor/settle.h"
#include "geometry/patches.h"

namespace {

const double PI = 3.141592653589793;

// Largest resolution whose 3*n*n cells still count in 32 bits.
const double MAX_RESOLUTION = 26754.0;


// Components of a stored point, widened for arithmetic.
struct Point {
    double x, y, z;
};

Point widen(const Vec3 &v) { return {(double)v.x, (double)v.y, (double)v.z}; }

Vec3 cell_ray_of(const Hemicube &h, int32_t k) {
    const Vec3 &c = h.hemicube_cells[k], &o = h.hemicube_centre;
    return {(float)((double)c.x - (double)o.x), (float)((double)c.y - (double)o.y), (float)((double)c.z - (double)o.z)};
}

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

Point scaled(const Point &p, double f) { return {p.x * f, p.y * f, p.z * f}; }

void set_face(HemicubeFace *face, int32_t first_cell, int32_t lines, int32_t length, Point origin, Point step_i,
              Point step_j) {
    face->first_cell = first_cell;
    face->lines = lines;
    face->length = length;
    const Point *from[3] = {&origin, &step_i, &step_j};
    double *to[3] = {face->origin, face->step_i, face->step_j};
    for (int v = 0; v < 3; v++) {
        to[v][0] = from[v]->x;
        to[v][1] = from[v]->y;
        to[v][2] = from[v]->z;
    }
}

// The rays right after placement, and the largest component of their
// distance from the faces' nominal rays (a value that is not a number
// stays).
void measure_layout(Hemicube &h) {
    h.hemicube_drift = 0.0f;
    h.hemicube_drift_measured = true;
    h.hemicube_moves = 0;
    h.hemicube_pending = 0;
    if (h.hemicube_placement_rays == nullptr) return;
    double deviation = 0;
    for (int f = 0; f < 5; f++) {
        const HemicubeFace &face = h.hemicube_faces[f];
        for (int32_t i = 0; i < face.lines; i++) {
            for (int32_t j = 0; j < face.length; j++) {
                int32_t k = face.first_cell + i * face.length + j;
                Vec3 ray = cell_ray_of(h, k);
                h.hemicube_placement_rays[k] = ray;
                const float *r = &ray.x;
                for (int c = 0; c < 3; c++) {
                    double nominal = face.origin[c] + i * face.step_i[c] + j * face.step_j[c];
                    double gap = fabs((double)r[c] - nominal);
                    if (!(gap <= deviation)) deviation = gap;
                }
            }
        }
    }
    h.hemicube_layout_deviation = deviation;
}

// The cells along a top-face edge for cell edge s, floor(2 / s); false for
// an edge too small (or not a number) for any layout.
bool resolution_for(float pixel_size, int32_t *n) {
    double quotient = 2.0 / (double)pixel_size;
    if (!(quotient <= MAX_RESOLUTION)) return false;
    *n = (int32_t)quotient;
    return true;
}

} // namespace

void hemicube_layout_init(HemicubeLayout *layout, float pixel_size) {
    HemicubeLayout &h = *layout;
    h.hemicube_pixel_size = pixel_size;
    int32_t n;
    if (!resolution_for(pixel_size, &n)) fatal_out_of_memory(EXIT_HEMICUBE_ITEMS_NO_MEMORY);
    int32_t rows = n / 2;
    h.hemicube_resolution = n;

    size_t allocated = 3 * (size_t)n * (size_t)n;
    h.hemicube_delta_form_factors = (float *)checked_calloc(allocated, sizeof(float), EXIT_HEMICUBE_DELTAS_NO_MEMORY);

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

int64_t hemicube_cells_for(float pixel_size) {
    int32_t n;
    if (!resolution_for(pixel_size, &n)) return -1;
    return (int64_t)n * n + 4 * (int64_t)n * (n / 2);
}

void hemicube_layout_free(HemicubeLayout *layout) { release(layout->hemicube_delta_form_factors); }

void hemicube_init(Hemicube *hemicube, const HemicubeLayout *layout) {
    Hemicube &h = *hemicube;
    h = Hemicube{};
    h.hemicube_pixel_size = layout->hemicube_pixel_size;
    h.hemicube_resolution = layout->hemicube_resolution;
    h.hemicube_cell_count = layout->hemicube_cell_count;
    h.hemicube_delta_form_factors = layout->hemicube_delta_form_factors;
    int32_t n = layout->hemicube_resolution;
    size_t allocated = 3 * (size_t)n * (size_t)n;
    h.hemicube_item_buffer =
        (int32_t *)checked_calloc_apart(allocated, sizeof(int32_t), EXIT_HEMICUBE_ITEMS_NO_MEMORY);
    h.hemicube_cells = (Vec3 *)checked_calloc_apart(allocated, sizeof(Vec3), EXIT_HEMICUBE_CELLS_NO_MEMORY);
    h.hemicube_placement_rays = (Vec3 *)checked_calloc_apart(allocated, sizeof(Vec3), EXIT_HEMICUBE_CELLS_NO_MEMORY);
    h.hemicube_items_clear = false;
}

void hemicube_free(Hemicube *h) {
    release(h->hemicube_item_buffer);
    release(h->hemicube_cells);
    release(h->hemicube_placement_rays);
}

void hemicube_place(Hemicube *hemicube, const Polygon *polys, int32_t i) {
    Hemicube &h = *hemicube;
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
    Point c0 = widen(h.hemicube_centre);
    set_face(&h.hemicube_faces[0], 0, n, n, {t0.x - c0.x + (half * d1.x + half * d3.x) * 0.5, t0.y - c0.y + (half * d1.y + half * d3.y) * 0.5,
             t0.z - c0.z + (half * d1.z + half * d3.z) * 0.5}, scaled(d3, s * 0.5), scaled(d1, s * 0.5));
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
        set_face(&h.hemicube_faces[1 + face], n * n + face * n * rows, n, rows,
                 {start.x - c0.x + half * along.x * 0.5 + half * down.x, start.y - c0.y + half * along.y * 0.5 + half * down.y,
                  start.z - c0.z + half * along.z * 0.5 + half * down.z},
                 scaled(along, s * 0.5), scaled(down, s));
        for (int32_t a = 0; a < n; a++) {
            double fa = a * s + half;
            for (int32_t c = 0; c < rows; c++) {
                double fc = c * s + half;
                store(cell++, start.x + fa * along.x * 0.5 + fc * down.x, start.y + fa * along.y * 0.5 + fc * down.y,
                      start.z + fa * along.z * 0.5 + fc * down.z);
            }
        }
    }
    measure_layout(h);
}

namespace {

// A move's bookkeeping, the cells aside: the offset to `centre` (returned),
// the corners and centre shifted, the drift bounded (moved_drift) until the
// next settling measures it.
Vec3 shift_frame(Hemicube &h, const Vec3 *centre) {
    Vec3 offset;
    vec3_difference(&h.hemicube_centre, centre, &offset);
    float largest_centre = fmaxf(fmaxf(fabsf(centre->x), fabsf(centre->y)), fabsf(centre->z));
    float largest_offset = fmaxf(fmaxf(fabsf(offset.x), fabsf(offset.y)), fabsf(offset.z));
    for (int c = 0; c < 4; c++) {
        vec3_sum(&h.hemicube_base_corners[c], &offset, &h.hemicube_base_corners[c]);
        vec3_sum(&h.hemicube_top_corners[c], &offset, &h.hemicube_top_corners[c]);
    }
    h.hemicube_centre = *centre;
    h.hemicube_drift = moved_drift(h.hemicube_drift, h.hemicube_drift_measured, largest_centre, largest_offset);
    h.hemicube_drift_measured = false;
    h.hemicube_moves++;
    return offset;
}

} // namespace

void hemicube_move(Hemicube *hemicube, const Vec3 *centre) {
    Hemicube &h = *hemicube;
    int32_t cells = h.hemicube_cell_count;
    if (cells > 0 && !h.hemicube_items_clear)
        memset(h.hemicube_item_buffer, 0xff, (size_t)cells * sizeof(int32_t)); // -1 in every cell
    h.hemicube_items_clear = true;
    h.hemicube_pending_offsets[h.hemicube_pending++] = shift_frame(h, centre);
    if (h.hemicube_pending == HEMICUBE_PENDING_MOVES) hemicube_settle(&h);
}

void hemicube_settle(Hemicube *hemicube) {
    Hemicube &h = *hemicube;
    if (h.hemicube_pending == 0) return;
    const float *ray0 = h.hemicube_placement_rays != nullptr ? &h.hemicube_placement_rays[0].x : nullptr;
    SettleCells cells = {&h.hemicube_cells[0].x, &h.hemicube_cells[0].x, ray0, h.hemicube_cell_count,
                         h.hemicube_pending_offsets, h.hemicube_pending, h.hemicube_centre};
    SettleScan scan = {0.0f, false};
    int32_t k = settle_has_eight() ? settle_by_eight(&cells, 0, &scan) : 0;
    k = settle_by_four(&cells, k, &scan);
    settle_one_by_one(&cells, k, &scan);
    h.hemicube_pending = 0;
    if (ray0 == nullptr) return;
    h.hemicube_drift = scan.lost ? NAN : scan.largest;
    h.hemicube_drift_measured = true;
}

Vec3 *hemicube_relay_cells(const HemicubeLayout *layout) {
    size_t n = (size_t)layout->hemicube_resolution;
    return (Vec3 *)checked_calloc_apart(3 * n * n, sizeof(Vec3), EXIT_HEMICUBE_CELLS_NO_MEMORY);
}

void hemicube_relay_from(Hemicube *relay, Hemicube *h) {
    hemicube_settle(h);
    Vec3 *cells = relay->hemicube_cells;
    *relay = *h;
    relay->hemicube_cells = cells;
    relay->hemicube_relay_source = h->hemicube_cells; // copied by the replay's first pass
    relay->hemicube_item_buffer = nullptr;
    relay->hemicube_items_clear = true; // a relay's moves have no items to clear
}

void hemicube_relay_moves(Hemicube *relay, const Vec3 *centres, int32_t count, Vec3 *offsets) {
    Hemicube &h = *relay;
    hemicube_settle(&h); // nothing is pending once the relay has started
    for (int32_t m = 0; m < count; m++) offsets[m] = shift_frame(h, &centres[m]);
}

void hemicube_relay_replay(const Hemicube *relay, const Vec3 *offsets, int32_t count, int32_t from, int32_t to,
                           SettleScan *scan) {
    // As the settlings would: HEMICUBE_PENDING_MOVES offsets at a time (the
    // grouping changes no byte), the drift measured after the last. The
    // first pass reads the source's cells, the others the relay's own; with
    // no move at all the first pass only copies.
    for (int32_t done = 0; done == 0 || done < count; done += HEMICUBE_PENDING_MOVES) {
        int32_t pending = std::min(HEMICUBE_PENDING_MOVES, count - done);
        bool last = done + pending == count;
        const float *ray0 = last && relay->hemicube_placement_rays != nullptr ? &relay->hemicube_placement_rays[0].x
                                                                               : nullptr;
        const Vec3 *source = done == 0 && relay->hemicube_relay_source != nullptr ? relay->hemicube_relay_source
                                                                                   : relay->hemicube_cells;
        SettleCells cells = {&source[0].x, &relay->hemicube_cells[0].x, ray0, to, offsets + done, pending,
                             relay->hemicube_centre};
        int32_t k = settle_has_eight() ? settle_by_eight(&cells, from, scan) : from;
        k = settle_by_four(&cells, k, scan);
        settle_one_by_one(&cells, k, scan);
    }
}

void hemicube_relay_finish(Hemicube *relay, const SettleScan *scan) {
    if (relay->hemicube_placement_rays != nullptr) {
        relay->hemicube_drift = scan->lost ? NAN : scan->largest;
        relay->hemicube_drift_measured = true;
    }
    relay->hemicube_placement_rays = nullptr;
    relay->hemicube_relay_source = nullptr;
}

void hemicube_take_relay(Hemicube *h, Hemicube *relay) {
    hemicube_settle(relay); // nothing is pending once the relay has ended
    Vec3 *cells = h->hemicube_cells;
    h->hemicube_cells = relay->hemicube_cells;
    relay->hemicube_cells = cells;
    h->hemicube_pending = 0;
    h->hemicube_centre = relay->hemicube_centre;
    memcpy(h->hemicube_base_corners, relay->hemicube_base_corners, sizeof h->hemicube_base_corners);
    memcpy(h->hemicube_top_corners, relay->hemicube_top_corners, sizeof h->hemicube_top_corners);
    h->hemicube_drift = relay->hemicube_drift;
    h->hemicube_drift_measured = relay->hemicube_drift_measured;
    h->hemicube_moves = relay->hemicube_moves;
}
