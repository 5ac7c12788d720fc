// Seeded scene building: the generator and the rectangle builders.
#include <cstdio>
#include <cstring>
#include <vector>

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

namespace {

// Both turning senses of a rectangle (normal one way or the other).
Polygon turned(SceneRandom *random, const float p0[3], const float e1[3], const float e3[3], int32_t nu, int32_t nv) {
    return random->below(2) ? rectangle_polygon(p0, e1, e3, nu, nv) : rectangle_polygon(p0, e3, e1, nv, nu);
}

} // namespace

// A random scene: a room facing in, boxes (on the floor or floating, faces
// facing out), tilted rectangles with exactly perpendicular integer edges,
// and now and then a duplicate of an earlier polygon.
std::vector<Polygon> random_scene(uint32_t seed) {
    SceneRandom random = {seed};
    std::vector<Polygon> polys;
    float size[3] = {random.eighths(2, 5), random.eighths(2, 5), random.eighths(1.5f, 3.5f)};
    const float zero[3] = {0, 0, 0};
    const float ex[3] = {size[0], 0, 0}, ey[3] = {0, size[1], 0}, ez[3] = {0, 0, size[2]};
    const float top[3] = {0, 0, size[2]}, far_x[3] = {size[0], 0, 0}, far_y[3] = {0, size[1], 0};
    auto count = [&random]() { return 1 + random.below(random.below(4) == 0 ? 9 : 4); };
    polys.push_back(rectangle_polygon(zero, ex, ey, count(), count()));   // floor, up
    polys.push_back(rectangle_polygon(top, ey, ex, count(), count()));    // ceiling, down
    polys.push_back(rectangle_polygon(zero, ey, ez, count(), count()));   // wall x = 0, facing +x
    polys.push_back(rectangle_polygon(far_x, ez, ey, count(), count()));  // wall x = max
    polys.push_back(rectangle_polygon(zero, ez, ex, count(), count()));   // wall y = 0
    polys.push_back(rectangle_polygon(far_y, ex, ez, count(), count()));  // wall y = max

    int boxes = random.below(4);
    for (int b = 0; b < boxes; b++) {
        float w = random.eighths(0.25f, 1.25f), d = random.eighths(0.25f, 1.25f), h = random.eighths(0.25f, 1.5f);
        float x = random.eighths(0, size[0] - w), y = random.eighths(0, size[1] - d);
        float z = random.below(2) ? 0.0f : random.eighths(0, size[2] - h);
        const float bx[3] = {w, 0, 0}, by[3] = {0, d, 0}, bz[3] = {0, 0, h};
        const float base[3] = {x, y, z}, lid[3] = {x, y, z + h}, side_x[3] = {x + w, y, z}, side_y[3] = {x, y + d, z};
        polys.push_back(rectangle_polygon(lid, bx, by, count(), count()));     // top, up
        polys.push_back(rectangle_polygon(base, bz, by, count(), count()));    // -x
        polys.push_back(rectangle_polygon(side_x, by, bz, count(), count()));  // +x
        polys.push_back(rectangle_polygon(base, bx, bz, count(), count()));    // -y
        polys.push_back(rectangle_polygon(side_y, bz, bx, count(), count()));  // +y
    }

    // Perpendicular integer edge pairs: tilted planes, bounding boxes wider
    // than the polygon.
    const float pairs[][2][3] = {{{1, 2, 2}, {2, 1, -2}}, {{2, -1, 0}, {1, 2, 1}}, {{1, 1, 0}, {1, -1, 1}},
                                 {{0, 1, 1}, {1, 0, 0}},  {{1, 0, 1}, {-1, 2, 1}}, {{2, 1, -2}, {2, -2, 1}},
                                 {{2, -2, 1}, {1, 2, 2}}};
    int tilted = random.below(4);
    for (int t = 0; t < tilted; t++) {
        const float(*pair)[3] = pairs[random.below(7)];
        float scale = (float)(1 + random.below(3)) / 8.0f;
        float e1[3], e3[3];
        for (int a = 0; a < 3; a++) {
            e1[a] = pair[0][a] * scale;
            e3[a] = pair[1][a] * scale;
        }
        const float p0[3] = {random.eighths(0.5f, size[0] - 0.5f), random.eighths(0.5f, size[1] - 0.5f),
                             random.eighths(0.25f, size[2] - 0.5f)};
        polys.push_back(turned(&random, p0, e1, e3, count(), count()));
    }

    if (random.below(3) == 0) polys.push_back(polys[(size_t)random.below((int)polys.size())]);

    // Every fourth scene is turned as a whole by the orthogonal integer
    // matrix of rows (1,2,2), (2,1,-2), (2,-2,1), which also scales it by 3:
    // every wall, floor and box is then tilted, and the eighths stay exact.
    if (seed % 4 == 0) {
        const float turn[3][3] = {{1, 2, 2}, {2, 1, -2}, {2, -2, 1}};
        for (Polygon &p : polys) {
            for (Vec3 &v : p.vertices) {
                const float x[3] = {v.x, v.y, v.z};
                float *out = &v.x;
                for (int r = 0; r < 3; r++) out[r] = turn[r][0] * x[0] + turn[r][1] * x[1] + turn[r][2] * x[2];
            }
            complete_polygon(&p);
        }
    }
    return polys;
}
