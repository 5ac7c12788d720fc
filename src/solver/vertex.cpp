// Vertex radiosities from patch radiosities, polygon by polygon.
//
// Every corner first takes its patch's own colour. Then, for a polygon of
// P x Q patches with P, Q >= 2, each interior grid point gets the mean d of
// the four patches around it; each grid corner is extrapolated from its patch
// X through d as X + (X - d), each edge point from the mean m of its two
// patches as m + (m - d). Values are not clamped: extrapolation may give
// negative colours. Arithmetic is double; only stored values are rounded to
// single precision.
//
// Reads the patch radiosities and the polygons' patch grids; writes the
// corner array it returns (12 floats a patch).
//
// Invariant: each grid point is written by exactly one 2 x 2 block.
#include "base/errors.h"
#include "geometry/patches.h"
#include "solver/vertex.h"

float *vertex_radiosity = nullptr;

namespace {

struct Grid {
    const float *radiosity;
    float *corners;
    int32_t base, columns, channel;
};

double patch_value(const Grid &g, int32_t j, int32_t k) {
    return (double)g.radiosity[3 * (size_t)(g.base + j * g.columns + k) + (size_t)g.channel];
}

void set_corner(const Grid &g, int32_t j, int32_t k, int corner, double value) {
    size_t patch = (size_t)(g.base + j * g.columns + k);
    g.corners[12 * patch + 3 * (size_t)corner + (size_t)g.channel] = (float)value;
}

void polygon_corners(const Grid &g, int32_t rows, int32_t columns) {
    int32_t P = rows, Q = columns;
    for (int32_t j = 0; j <= P - 2; j++) {
        for (int32_t k = 0; k <= Q - 2; k++) {
            double d = (patch_value(g, j, k + 1) + patch_value(g, j + 1, k + 1) + patch_value(g, j + 1, k) +
                        patch_value(g, j, k)) * 0.25;
            set_corner(g, j, k, 2, d);
            set_corner(g, j, k + 1, 1, d);
            set_corner(g, j + 1, k, 3, d);
            set_corner(g, j + 1, k + 1, 0, d);

            if (j == 0 && k == 0) {
                double x = patch_value(g, 0, 0);
                set_corner(g, 0, 0, 0, x + (x - d));
            }
            if (j == P - 2 && k == 0) {
                double x = patch_value(g, P - 1, 0);
                set_corner(g, P - 1, 0, 1, x + (x - d));
            }
            if (j == P - 2 && k == Q - 2) {
                double x = patch_value(g, P - 1, Q - 1);
                set_corner(g, P - 1, Q - 1, 2, x + (x - d));
            }
            if (j == 0 && k == Q - 2) {
                double x = patch_value(g, 0, Q - 1);
                set_corner(g, 0, Q - 1, 3, x + (x - d));
            }

            if (j == 0) {
                double m = (patch_value(g, 0, k + 1) + patch_value(g, 0, k)) * 0.5;
                set_corner(g, 0, k + 1, 0, m + (m - d));
                set_corner(g, 0, k, 3, m + (m - d));
            }
            if (k == 0) {
                double m = (patch_value(g, j + 1, 0) + patch_value(g, j, 0)) * 0.5;
                set_corner(g, j + 1, 0, 0, m + (m - d));
                set_corner(g, j, 0, 1, m + (m - d));
            }
            if (j == P - 2) {
                double m = (patch_value(g, P - 1, k + 1) + patch_value(g, P - 1, k)) * 0.5;
                set_corner(g, P - 1, k + 1, 1, m + (m - d));
                set_corner(g, P - 1, k, 2, m + (m - d));
            }
            if (k == Q - 2) {
                double m = (patch_value(g, j, Q - 1) + patch_value(g, j + 1, Q - 1)) * 0.5;
                set_corner(g, j + 1, Q - 1, 3, m + (m - d));
                set_corner(g, j, Q - 1, 2, m + (m - d));
            }
        }
    }
}

} // namespace

float *compute_vertex_radiosities(const float *radiosity, int32_t patches, const Polygon *polys, int32_t count) {
    size_t n = (size_t)patches;
    float *corners = (float *)checked_calloc(12 * n, sizeof(float), EXIT_VERTEX_NO_MEMORY);
    for (size_t r = 0; r < n; r++)
        for (size_t q = 0; q < 4; q++)
            for (size_t c = 0; c < 3; c++) corners[12 * r + 3 * q + c] = radiosity[3 * r + c];

    for (int32_t channel = 0; channel < 3; channel++) {
        int32_t base = 0;
        for (int32_t i = 0; i < count; i++) {
            Grid grid = {radiosity, corners, base, polys[i].patches_v, channel};
            polygon_corners(grid, polys[i].patches_u, polys[i].patches_v);
            base += polys[i].patches_u * polys[i].patches_v;
        }
    }
    return corners;
}
