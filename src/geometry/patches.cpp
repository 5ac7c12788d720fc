// Patch subdivision and PATCH.BIN.
//
// Row and column boundaries are running sums of the single-precision steps
// patch_size_u and patch_size_v, each sum rounded to single precision: with
// ten patches on an edge of 1 the last row ends at 1.0000001, not 1.
#include <cstdlib>

#include "base/binfile.h"
#include "base/errors.h"
#include "geometry/patches.h"

PatchGrid *patch_grid = nullptr;
int32_t patch_count = 0;

PlaneMapping plane_mapping(const Polygon *polygon, bool single_precision) {
    const Vec3 *p = polygon->vertices;
    PlaneMapping m;
    m.p0[0] = p[0].x;
    m.p0[1] = p[0].y;
    m.p0[2] = p[0].z;
    m.e1[0] = (double)p[1].x - (double)p[0].x;
    m.e1[1] = (double)p[1].y - (double)p[0].y;
    m.e1[2] = (double)p[1].z - (double)p[0].z;
    m.e3[0] = (double)p[3].x - (double)p[0].x;
    m.e3[1] = (double)p[3].y - (double)p[0].y;
    m.e3[2] = (double)p[3].z - (double)p[0].z;
    m.length_u = polygon->patches_u * (double)polygon->patch_size_u;
    m.length_v = polygon->patches_v * (double)polygon->patch_size_v;
    if (single_precision) {
        for (int c = 0; c < 3; c++) {
            m.e1[c] = (float)m.e1[c];
            m.e3[c] = (float)m.e3[c];
        }
        m.length_u = (float)m.length_u;
        m.length_v = (float)m.length_v;
    }
    return m;
}

void plane_point(const PlaneMapping *m, double u, double v, Vec3 *out) {
    double r[3];
    for (int c = 0; c < 3; c++) r[c] = ((v * m->e3[c]) / m->length_v + (u * m->e1[c]) / m->length_u) + m->p0[c];
    out->x = (float)r[0];
    out->y = (float)r[1];
    out->z = (float)r[2];
}

void build_patch_grid(const Polygon *polys, int32_t count) {
    patch_grid = (PatchGrid *)checked_calloc((size_t)count, sizeof(PatchGrid), EXIT_PATCH_GRID_NO_MEMORY);
    for (int32_t i = 0; i < count; i++) {
        const Polygon *polygon = &polys[i];
        patch_grid[i] = (PatchGrid)checked_calloc((size_t)polygon->patches_u, sizeof(PatchUV *),
                                                  EXIT_PATCH_ROWS_NO_MEMORY);
        float u_start = 0.0f;
        for (int32_t j = 0; j < polygon->patches_u; j++) {
            float u_end = (float)((double)u_start + (double)polygon->patch_size_u);
            PatchUV *row = (PatchUV *)checked_calloc((size_t)polygon->patches_v, sizeof(PatchUV),
                                                     EXIT_PATCH_ROW_NO_MEMORY);
            patch_grid[i][j] = row;
            float v_start = 0.0f;
            for (int32_t k = 0; k < polygon->patches_v; k++) {
                float v_end = (float)((double)v_start + (double)polygon->patch_size_v);
                float *uv = row[k].uv;
                uv[0] = u_start; uv[1] = v_start;
                uv[2] = u_end;   uv[3] = v_start;
                uv[4] = u_end;   uv[5] = v_end;
                uv[6] = u_start; uv[7] = v_end;
                v_start = v_end;
            }
            u_start = u_end;
        }
    }
}

int32_t count_patches(const Polygon *polys, int32_t count) {
    int32_t total = 0;
    for (int32_t i = 0; i < count; i++) total += polys[i].patches_u * polys[i].patches_v;
    return total;
}

void write_patch_vertices(const Polygon *polys, int32_t count, FILE *file) {
    for (int32_t i = 0; i < count; i++) {
        PlaneMapping mapping = plane_mapping(&polys[i], true);
        for (int32_t j = 0; j < polys[i].patches_u; j++) {
            for (int32_t k = 0; k < polys[i].patches_v; k++) {
                const float *uv = patch_grid[i][j][k].uv;
                for (int q = 0; q < 4; q++) {
                    Vec3 corner;
                    plane_point(&mapping, uv[2 * q], uv[2 * q + 1], &corner);
                    if (fwrite(&corner, sizeof(float), 3, file) != 3)
                        fatal(EXIT_PATCH_BIN_WRITE, "Couldn't write patch vertices binary file %s", PATCH_BIN);
                }
            }
        }
    }
}

void patch_center(const Polygon *polys, int32_t i, int32_t j, int32_t k, Vec3 *out) {
    const float *uv = patch_grid[i][j][k].uv;
    double su = ((double)uv[0] + (double)uv[2]) * 0.5;
    double sv = ((double)uv[1] + (double)uv[5]) * 0.5;
    PlaneMapping mapping = plane_mapping(&polys[i], false);
    plane_point(&mapping, su, sv, out);
}

void free_patch_grid(const Polygon *polys, int32_t count) {
    if (patch_grid == nullptr) return;
    for (int32_t i = 0; i < count; i++) {
        if (patch_grid[i] == nullptr) continue;
        for (int32_t j = 0; j < polys[i].patches_u; j++) free(patch_grid[i][j]);
        free(patch_grid[i]);
    }
    release(patch_grid);
}
