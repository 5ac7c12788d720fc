// Seeded scene building: the generator and the rectangle builders.
#include <cstdio>
#include <cstring>

#include "support/scene_builder.h"

#include "formfactor/hemicube.h"
#include "geometry/patches.h"

uint32_t SceneRandom::next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

double SceneRandom::unit() { return (double)next() / 16777216.0; }

double SceneRandom::between(double low, double high) { return low + (high - low) * unit(); }

int SceneRandom::below(int n) { return (int)(next() % (uint32_t)n); }

float SceneRandom::eighths(float low, float high) { return low + (float)below((int)((high - low) * 8)) / 8.0f; }

std::string polygon_line(const double c[4][3], Colour e, Colour r, int patches_u, int patches_v) {
    char line[512];
    snprintf(line, sizeof line,
             "[(%.6g %.6g %.6g),(%.6g %.6g %.6g),(%.6g %.6g %.6g),(%.6g %.6g %.6g)],(%g %g %g),(%g %g %g),(%d %d)\n",
             c[0][0], c[0][1], c[0][2], c[1][0], c[1][1], c[1][2], c[2][0], c[2][1], c[2][2], c[3][0], c[3][1], c[3][2],
             e.r, e.g, e.b, r.r, r.g, r.b, patches_u, patches_v);
    return line;
}

void rectangle_line(std::string *scene, const double p0[3], const double e1_in[3], const double e3_in[3],
                    const double facing[3], int nu, int nv, Colour emission, Colour reflectance) {
    const double *e1 = e1_in, *e3 = e3_in;
    double n[3] = {e1[1] * e3[2] - e1[2] * e3[1], e1[2] * e3[0] - e1[0] * e3[2], e1[0] * e3[1] - e1[1] * e3[0]};
    if (n[0] * facing[0] + n[1] * facing[1] + n[2] * facing[2] < 0) {
        const double *swap = e1;
        e1 = e3;
        e3 = swap;
        int count = nu;
        nu = nv;
        nv = count;
    }
    double p[4][3];
    for (int a = 0; a < 3; a++) {
        p[0][a] = p0[a];
        p[1][a] = p0[a] + e1[a];
        p[2][a] = p0[a] + e1[a] + e3[a];
        p[3][a] = p0[a] + e3[a];
    }
    *scene += polygon_line(p, emission, reflectance, nu, nv);
}

Polygon rectangle_polygon(const float p0[3], const float e1[3], const float e3[3], int32_t nu, int32_t nv) {
    Polygon p;
    memset(&p, 0, sizeof p);
    for (int a = 0; a < 3; a++) {
        (&p.vertices[0].x)[a] = p0[a];
        (&p.vertices[1].x)[a] = p0[a] + e1[a];
        (&p.vertices[2].x)[a] = p0[a] + e1[a] + e3[a];
        (&p.vertices[3].x)[a] = p0[a] + e3[a];
    }
    p.patches_u = nu;
    p.patches_v = nv;
    complete_polygon(&p);
    return p;
}

void each_patch_hemicube(Hemicube *h, const Polygon *polys, int32_t count, const std::function<void()> &row) {
    for (int32_t i = 0; i < count; i++) {
        hemicube_place(h, polys, i);
        for (int32_t j = 0; j < polys[i].patches_u; j++)
            for (int32_t k = 0; k < polys[i].patches_v; k++) {
                Vec3 centre;
                patch_center(polys, i, j, k, &centre);
                hemicube_move(h, &centre);
                row();
            }
    }
}
