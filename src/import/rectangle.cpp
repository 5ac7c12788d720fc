// The exact rectangle test and the fit of rectangle.h.
//
// The fit. Corner k of the rectangle always stands in for corner k of the
// face (same winding, p0 -> p1 along u, p0 -> p3 along v), and two
// rectangles are considered, the first that lies within the tolerance wins:
//
// 1. The rectangle with sides along the coordinate axes nearest to the face's
//    sides: in each axis the least-squares value of the corners that share
//    it (p0 and p3 for the start of u, p1 and p2 for its end, and so on; the
//    plane's coordinate is the mean of all four). Measured rooms are meant to
//    stand along the axes, and such a rectangle has exact right angles
//    whatever its numbers, so they are rounded to the shortest decimals
//    within a millionth of the face's longest side.
// 2. The least-squares rectangle: the plane through the corners' centre with
//    Newell's normal (the face's area vector, so the winding gives its side),
//    then in that plane the rectangle centred there that minimises the sum of
//    squared corner distances. With centre c, half sides a and b along unit
//    axes U and V = N x U, corner k lies at c + sx_k a U + sy_k b V (signs
//    - -, + -, + +, - +). For a given direction of U the best a and b are
//    P.U and W.U with P = sum sx_k d_k / 4, Q = sum sy_k d_k / 4 and W = Q
//    turned back a quarter (d_k the corners about c in the plane), and the
//    squared error is sum |d_k|^2 - 4 (a^2 + b^2): so U is the leading
//    eigenvector of P P^T + W W^T, in closed form.
//
// Single precision. Halvora's right-angle test normalises both sides in
// single precision and wants the cosine below 1e-9, far finer than the
// rounding of a tilted rectangle's corners (about 6e-8). So rectangle 2 is
// put on a grid g, a power of two at which every coordinate is an integer
// multiple below 2^24, so every corner is a float exactly: p0
// and the side vectors E1 and E3 as integers, E3 corrected to be
// perpendicular to E1 in integers. How halvora's normalisation rounds the two
// sides decides the rest, and it changes as both sides turn together about
// the normal: turns of one grid step at the end of E1 (a millionth of a
// radian or less) are tried, each way, until halvora's own test passes on
// the corners p0, p0 + E1, p0 + E1 + E3, p0 + E3. A turn about the normal
// keeps a rectangle in a coordinate plane in it. The changes are millionths
// of a side; the shift reported is measured on the corners written.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "geometry/environment.h"
#include "import/rectangle.h"

namespace {

// Faces within this part of their longest side of a rectangle are rounded rectangles.
constexpr double ROUNDING_LEVEL = 1e-4;
// The multiples c tried for a rectangle in a coordinate plane.
constexpr long long PLANE_MULTIPLES = 4096;
// The turns of rectangle 2 tried on its grid, each way; at each, the grid
// steps by which E3's smaller components may change; and the cosine in real
// numbers below which halvora's own test is tried (the rounding of its
// normalisation adds some 6e-8).
constexpr long long SNAP_TURNS = 2048;
constexpr long long SNAP_REACH = 6;
constexpr double SNAP_COSINE = 2e-7;
// Decimals of rectangle 1 may move a corner this part of the longest side.
constexpr double SHORT_DECIMAL_BUDGET = 1e-6;

struct Point {
    double c[3];
};

Point point_of(const Vec3 &v) { return {{(double)v.x, (double)v.y, (double)v.z}}; }
Point sub(const Point &a, const Point &b) { return {{a.c[0] - b.c[0], a.c[1] - b.c[1], a.c[2] - b.c[2]}}; }
Point add(const Point &a, const Point &b) { return {{a.c[0] + b.c[0], a.c[1] + b.c[1], a.c[2] + b.c[2]}}; }
Point scale(const Point &a, double s) { return {{a.c[0] * s, a.c[1] * s, a.c[2] * s}}; }
double dot(const Point &a, const Point &b) { return a.c[0] * b.c[0] + a.c[1] * b.c[1] + a.c[2] * b.c[2]; }
double norm(const Point &a) { return std::sqrt(dot(a, a)); }
Point cross(const Point &a, const Point &b) {
    return {{a.c[1] * b.c[2] - a.c[2] * b.c[1], a.c[2] * b.c[0] - a.c[0] * b.c[2], a.c[0] * b.c[1] - a.c[1] * b.c[0]}};
}

double largest_shift(const Vec3 face[4], const Vec3 rectangle[4]) {
    double shift = 0.0;
    for (int k = 0; k < 4; k++) shift = std::fmax(shift, norm(sub(point_of(face[k]), point_of(rectangle[k]))));
    return shift;
}

// The float with the fewest significant digits within `budget` of x.
float short_float(double x, double budget) {
    char text[32];
    for (int digits = 1; digits <= 9; digits++) {
        snprintf(text, sizeof text, "%.*g", digits, x);
        float f = strtof(text, nullptr);
        if (std::fabs((double)f - x) <= budget) return f;
    }
    return (float)x;
}

// Rectangle 1 of the file's head.
RectangleFit axis_rectangle(const Vec3 face[4], double longest) {
    Point q[4];
    for (int k = 0; k < 4; k++) q[k] = point_of(face[k]);
    Point u = add(sub(q[1], q[0]), sub(q[2], q[3])), v = add(sub(q[3], q[0]), sub(q[2], q[1]));
    int i = 0, j = -1;
    for (int a = 1; a < 3; a++)
        if (std::fabs(u.c[a]) > std::fabs(u.c[i])) i = a;
    for (int a = 0; a < 3; a++)
        if (a != i && (j < 0 || std::fabs(v.c[a]) > std::fabs(v.c[j]))) j = a;
    int k = 3 - i - j;
    double budget = SHORT_DECIMAL_BUDGET * longest;
    float u0 = short_float((q[0].c[i] + q[3].c[i]) / 2, budget), u1 = short_float((q[1].c[i] + q[2].c[i]) / 2, budget);
    float v0 = short_float((q[0].c[j] + q[1].c[j]) / 2, budget), v1 = short_float((q[3].c[j] + q[2].c[j]) / 2, budget);
    float w = short_float((q[0].c[k] + q[1].c[k] + q[2].c[k] + q[3].c[k]) / 4, budget);
    RectangleFit fit = {false, false, {}, 0.0};
    const float at_u[4] = {u0, u1, u1, u0}, at_v[4] = {v0, v0, v1, v1};
    for (int c = 0; c < 4; c++) {
        float *xyz = &fit.corners[c].x;
        xyz[i] = at_u[c];
        xyz[j] = at_v[c];
        xyz[k] = w;
    }
    fit.within = u0 != u1 && v0 != v1;
    fit.shift = fit.within ? largest_shift(face, fit.corners) : HUGE_VAL;
    return fit;
}

// The ideal corners of rectangle 2; false when the corners span no plane or
// turn against their own normal.
bool least_squares_rectangle(const Vec3 face[4], Point out[4]) {
    Point q[4], centre = {{0, 0, 0}}, n = {{0, 0, 0}};
    for (int k = 0; k < 4; k++) q[k] = point_of(face[k]);
    for (int k = 0; k < 4; k++) centre = add(centre, scale(q[k], 0.25));
    for (int k = 0; k < 4; k++) {
        const Point &a = q[k], &b = q[(k + 1) % 4];
        n.c[0] += (a.c[1] - b.c[1]) * (a.c[2] + b.c[2]);
        n.c[1] += (a.c[2] - b.c[2]) * (a.c[0] + b.c[0]);
        n.c[2] += (a.c[0] - b.c[0]) * (a.c[1] + b.c[1]);
    }
    if (!(norm(n) > 0.0)) return false;
    n = scale(n, 1.0 / norm(n));
    Point u = add(sub(q[1], q[0]), sub(q[2], q[3]));
    u = sub(u, scale(n, dot(u, n)));
    if (!(norm(u) > 0.0)) return false;
    u = scale(u, 1.0 / norm(u));
    Point v = cross(n, u);

    static const double sx[4] = {-1, 1, 1, -1}, sy[4] = {-1, -1, 1, 1};
    double P[2] = {0, 0}, Q[2] = {0, 0};
    for (int k = 0; k < 4; k++) {
        Point d = sub(q[k], centre);
        double x = dot(d, u), y = dot(d, v);
        P[0] += sx[k] * x / 4, P[1] += sx[k] * y / 4;
        Q[0] += sy[k] * x / 4, Q[1] += sy[k] * y / 4;
    }
    double W[2] = {Q[1], -Q[0]};
    double mxx = P[0] * P[0] + W[0] * W[0], myy = P[1] * P[1] + W[1] * W[1], mxy = P[0] * P[1] + W[0] * W[1];
    double angle = 0.5 * std::atan2(2 * mxy, mxx - myy);
    double cu = std::cos(angle), su = std::sin(angle);
    double a = cu * P[0] + su * P[1];
    if (a < 0) cu = -cu, su = -su, a = -a;
    double b = cu * W[0] + su * W[1];
    if (!(a > 0.0) || !(b > 0.0)) return false;
    Point U = add(scale(u, cu), scale(v, su)), V = cross(n, U);
    for (int k = 0; k < 4; k++) out[k] = add(centre, add(scale(U, sx[k] * a), scale(V, sy[k] * b)));
    return true;
}

struct Grid {
    double step;
    long long p0[3];
};

bool corners_on_grid(const Grid &grid, const long long e1[3], const long long e3[3], Vec3 out[4]) {
    const long long limit = 1ll << 24;
    for (int k = 0; k < 4; k++) {
        float *xyz = &out[k].x;
        for (int a = 0; a < 3; a++) {
            long long value = grid.p0[a] + (k == 1 || k == 2 ? e1[a] : 0) + (k >= 2 ? e3[a] : 0);
            if (value > limit || value < -limit) return false;
            xyz[a] = (float)((double)value * grid.step);
        }
    }
    return true;
}

// Rectangle 2 on the grid (the file's head), or false.
bool snap_rectangle(const Point ideal[4], Vec3 out[4]) {
    double largest = 0.0;
    for (int k = 0; k < 4; k++)
        for (int a = 0; a < 3; a++) largest = std::fmax(largest, std::fabs(ideal[k].c[a]));
    if (!(largest > 0.0) || !std::isfinite(largest)) return false;
    int exponent;
    std::frexp(largest, &exponent);
    Grid grid;
    grid.step = std::ldexp(1.0, exponent - 24);
    Point side1 = scale(sub(ideal[1], ideal[0]), 1.0 / grid.step), side3 = scale(sub(ideal[3], ideal[0]), 1.0 / grid.step);
    double length1 = norm(side1), length3 = norm(side3);
    if (!(length1 > 0.0) || !(length3 > 0.0)) return false;
    for (int a = 0; a < 3; a++) grid.p0[a] = std::llround(ideal[0].c[a] / grid.step);
    // Turn both sides together about the normal by `turn` grid steps at the
    // end of side 1: each turn rounds the two sides differently.
    for (long long step = 0; step <= 2 * SNAP_TURNS; step++) {
        double turn = (double)(step % 2 == 0 ? step / 2 : -(step + 1) / 2);
        long long e1[3], e3[3];
        for (int a = 0; a < 3; a++) {
            e1[a] = std::llround(side1.c[a] + turn * side3.c[a] / length3);
            e3[a] = std::llround(side3.c[a] - turn * side1.c[a] / length1);
        }
        int j = 0;
        for (int a = 1; a < 3; a++)
            if (std::llabs(e1[a]) > std::llabs(e1[j])) j = a;
        if (e1[j] == 0) return false;
        // E3 made perpendicular to E1 through its largest component j, and
        // nearly so in real numbers too through small changes of the others
        // (those in which E1 is not 0, so a side in a coordinate plane stays).
        int k1 = (j + 1) % 3, k2 = (j + 2) % 3;
        long long reach1 = e1[k1] == 0 ? 0 : SNAP_REACH, reach2 = e1[k2] == 0 ? 0 : SNAP_REACH;
        double lengths = length1 * length3;
        for (long long a = -reach1; a <= reach1; a++)
            for (long long b = -reach2; b <= reach2; b++) {
                long long f3[3] = {e3[0], e3[1], e3[2]};
                f3[k1] += a;
                f3[k2] += b;
                long long d = e1[0] * f3[0] + e1[1] * f3[1] + e1[2] * f3[2];
                f3[j] -= std::llround((double)d / (double)e1[j]);
                d = e1[0] * f3[0] + e1[1] * f3[1] + e1[2] * f3[2];
                if (std::fabs((double)d) > SNAP_COSINE * lengths) continue;
                Polygon polygon = {};
                if (!corners_on_grid(grid, e1, f3, polygon.vertices)) continue;
                if (!polygon_is_valid(&polygon)) continue;
                for (int c = 0; c < 4; c++) out[c] = polygon.vertices[c];
                return true;
            }
    }
    return false;
}

// Rectangle 2 laid into the coordinate plane nearest to the face's (the
// file's head): the corners' coordinate across that plane is their mean, and
// the sides are E1 = c w and E3 = d w' with w' the integer vector w turned a
// quarter in the plane. Both sides normalise to a vector and that vector
// turned, float for float, so halvora's cosine is 0 exactly. Of the c near
// the best one (errors of about c in direction and |w| in length) the
// rectangle of the smallest shift is kept; false when none passes.
bool plane_rectangle(const Vec3 face[4], double budget, Vec3 out[4]) {
    Point normal = {{0, 0, 0}};
    for (int k = 0; k < 4; k++) {
        Point a = point_of(face[k]), b = point_of(face[(k + 1) % 4]);
        normal = add(normal, cross(a, b));
    }
    int across = 0;
    for (int a = 1; a < 3; a++)
        if (std::fabs(normal.c[a]) > std::fabs(normal.c[across])) across = a;
    int i = (across + 1) % 3, j = (across + 2) % 3;
    float level = short_float(((double)(&face[0].x)[across] + (double)(&face[1].x)[across] +
                               (double)(&face[2].x)[across] + (double)(&face[3].x)[across]) / 4, budget);
    Vec3 flat[4];
    for (int k = 0; k < 4; k++) {
        flat[k] = face[k];
        (&flat[k].x)[across] = level;
    }
    Point ideal[4];
    if (!least_squares_rectangle(flat, ideal)) return false;
    double largest = 0.0;
    for (int k = 0; k < 4; k++) largest = std::fmax(largest, std::fmax(std::fabs(ideal[k].c[i]), std::fabs(ideal[k].c[j])));
    if (!(largest > 0.0) || !std::isfinite(largest)) return false;
    int exponent;
    std::frexp(largest, &exponent);
    double step = std::ldexp(1.0, exponent - 24);
    double s1[2] = {(ideal[1].c[i] - ideal[0].c[i]) / step, (ideal[1].c[j] - ideal[0].c[j]) / step};
    double s3[2] = {(ideal[3].c[i] - ideal[0].c[i]) / step, (ideal[3].c[j] - ideal[0].c[j]) / step};
    double length1 = std::hypot(s1[0], s1[1]), length3 = std::hypot(s3[0], s3[1]);
    double turning = s1[0] * s3[1] - s1[1] * s3[0];
    if (!(length1 >= 1.0) || !(length3 >= 1.0) || turning == 0.0) return false;
    long long sign = turning > 0 ? 1 : -1;
    long long p0[2] = {std::llround(ideal[0].c[i] / step), std::llround(ideal[0].c[j] / step)};
    double best_c = std::sqrt(length1 * length1 / (length3 + length1));
    long long first = std::max(1ll, (long long)(best_c / 2)), last = first + PLANE_MULTIPLES;
    double best_shift = HUGE_VAL;
    for (long long c = first; c <= last; c++) {
        long long w[2] = {std::llround(s1[0] / (double)c), std::llround(s1[1] / (double)c)};
        double w_length = std::hypot((double)w[0], (double)w[1]);
        if (w_length == 0.0) continue;
        long long d = std::llround(length3 / w_length);
        if (d < 1) continue;
        long long e1[2] = {c * w[0], c * w[1]}, e3[2] = {-sign * d * w[1], sign * d * w[0]};
        Polygon polygon = {};
        bool fits = true;
        for (int k = 0; k < 4 && fits; k++) {
            long long u = p0[0] + (k == 1 || k == 2 ? e1[0] : 0) + (k >= 2 ? e3[0] : 0);
            long long v = p0[1] + (k == 1 || k == 2 ? e1[1] : 0) + (k >= 2 ? e3[1] : 0);
            fits = std::llabs(u) <= (1ll << 24) && std::llabs(v) <= (1ll << 24);
            float *xyz = &polygon.vertices[k].x;
            xyz[i] = (float)((double)u * step);
            xyz[j] = (float)((double)v * step);
            xyz[across] = level;
        }
        if (!fits || !polygon_is_valid(&polygon)) continue;
        double shift = largest_shift(face, polygon.vertices);
        if (shift < best_shift) {
            best_shift = shift;
            for (int k = 0; k < 4; k++) out[k] = polygon.vertices[k];
        }
    }
    return best_shift < HUGE_VAL;
}

} // namespace

bool is_rectangle(const Vec3 corners[4]) {
    Polygon polygon = {};
    for (int k = 0; k < 4; k++) polygon.vertices[k] = corners[k];
    if (!polygon_is_valid(&polygon)) return false;
    double gap = 0.0, size = vec3_distance(&corners[0], &corners[1]) + vec3_distance(&corners[0], &corners[3]);
    const float *p[4] = {&corners[0].x, &corners[1].x, &corners[2].x, &corners[3].x};
    for (int c = 0; c < 3; c++)
        gap += fabs((double)p[0][c] + (double)p[2][c] - (double)p[1][c] - (double)p[3][c]);
    return size > 0.0 && gap <= 1e-6 * size;
}

double longest_side(const Vec3 corners[4]) {
    double longest = 0.0;
    for (int k = 0; k < 4; k++) longest = std::fmax(longest, norm(sub(point_of(corners[(k + 1) % 4]), point_of(corners[k]))));
    return longest;
}

RectangleFit fit_rectangle(const Vec3 corners[4], double tolerance) {
    double longest = longest_side(corners);
    RectangleFit axis = axis_rectangle(corners, longest);
    if (axis.within && axis.shift <= tolerance) return axis;

    RectangleFit fit = {false, false, {}, axis.shift};
    Point ideal[4];
    if (!least_squares_rectangle(corners, ideal)) return fit;
    double ideal_shift = 0.0;
    for (int k = 0; k < 4; k++) ideal_shift = std::fmax(ideal_shift, norm(sub(point_of(corners[k]), ideal[k])));
    fit.shift = std::fmin(fit.shift, ideal_shift);
    // A face this near its least-squares rectangle is one in all but
    // rounding: its rectangles are made even beyond the tolerance, so that
    // the shift reported is that of one that can be written.
    if (!(ideal_shift <= tolerance) && !(ideal_shift <= ROUNDING_LEVEL * longest)) return fit;
    // The rectangle in a coordinate plane, then the one in the face's own plane.
    // The rectangle in a coordinate plane, then the one in the face's own
    // plane; when both lie beyond the tolerance, the nearer tells by how much.
    Vec3 found[4];
    double nearest = HUGE_VAL;
    for (int candidate = 0; candidate < 2; candidate++) {
        bool snapped = candidate == 0 ? plane_rectangle(corners, SHORT_DECIMAL_BUDGET * longest, found)
                                      : snap_rectangle(ideal, found);
        if (!snapped) continue;
        double shift = largest_shift(corners, found);
        if (shift <= tolerance) {
            fit.within = true;
            fit.shift = shift;
            memcpy(fit.corners, found, sizeof fit.corners);
            return fit;
        }
        nearest = std::fmin(nearest, shift);
    }
    fit.unwritable = nearest == HUGE_VAL && ideal_shift <= tolerance;
    if (nearest < HUGE_VAL) fit.shift = std::fmin(axis.shift, nearest);
    return fit;
}
