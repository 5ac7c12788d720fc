// The bound forms of runs of cells: each decision the reference makes for a
// cell, written as an affine form along a line of cells with the bound that
// its sign must clear to be sure.
//
// Invariant: a form that holds (value >= bound) at a cell's nominal ray holds
// for the reference's own rounded arithmetic at that cell. Every bound is the
// form's sensitivity |g|_1 times the ray's distance from nominal (a), plus
// the errors of the quantities it is built from: the hit point's rounding (b)
// in the box forms' thresholds, the grid margins (d) in the grid forms'
// thresholds (runcast_tables_init), the rounded distances (e) in the depth
// form, and our own evaluation (f) everywhere. Reads the row's context only.
// Inline: every line of every face evaluates them.
#pragma once

#include <algorithm>
#include <cmath>

#include "formfactor/rounding.h"
#include "formfactor/runcast_internal.h"

// The form of a threshold tau on quantity A0 + w.X for candidate c along a
// line, the line's N.d0 and w.d0 given as bases; bound as in (a) and (f),
// plus the error of A.
inline Form threshold_form(const RunRow *r, const RunCandidate &c, const RunPolygon &rp, double A, double error_A,
                           double tau, double dir, double den0, double den1, double w0, double w1, double w_sum) {
    double k = A - tau, scale = c.sign * dir;
    Form f = {};
    f.f0 = scale * (k * den0 + c.num * w0);
    f.f1 = scale * (k * den1 + c.num * w1);
    f.bound = (fabs(k) * rp.normal_sum + c.size * w_sum) * r->slack + r->d_max * rp.normal_sum * error_A;
    return f;
}

// The box forms of candidate c on a line (up to six), surely passing
// (`certain`, (c): X*_c >= low + R_c) or possibly passing (X*_c >= low - 2 eps
// - R_c); bases of d0's components given.
inline int box_forms(const RunRow *r, const RunCandidate &c, const RunPolygon &rp, const CastPolygon &cp, const double comp0[3],
              const double comp1[3], double den0, double den1, bool certain, Form *out) {
    int n = 0;
    const double eps2 = 2 * GEOMETRY_EPSILON;
    for (int a = 0; a < 3; a++) {
        if (a == rp.flat_axis) continue;
        double o = (&r->origin.x)[a];
        double rc = with_room(c.R[a]);
        double low = certain ? (double)cp.box.low[a] + rc : (double)cp.box.low[a] - eps2 - rc;
        double high = certain ? (double)cp.box.high[a] - rc : (double)cp.box.high[a] + eps2 + rc;
        // lower: X_a >= low (dir +1); upper: X_a <= high (dir -1)
        out[n++] = threshold_form(r, c, rp, o, 0, low, 1, den0, den1, comp0[a], comp1[a], 1);
        out[n++] = threshold_form(r, c, rp, o, 0, high, -1, den0, den1, comp0[a], comp1[a], 1);
    }
    return n;
}

// The front form s N.d - floor: a ray that passes the box test has s N.d at
// least den_floor (loose candidates: above 0), and a ray surely beyond it
// has |N.d| large enough for the bounds of (b).
inline Form front_form(const RunRow *r, const RunCandidate &c, const RunPolygon &rp, double den0, double den1) {
    Form f = {};
    f.f0 = c.sign * den0 - std::max(c.den_floor, 0.0);
    f.f1 = c.sign * den1;
    f.bound = rp.normal_sum * r->slack;
    return f;
}

// |N|_2 <= 1 + 1e-6 for a normalised float normal, so |N.d| <= 1.000001 |d|.
constexpr double LENGTH_SLACK = 1.000001;

// The depth form: p (hit hp) surely nearer than q (hit hq), as (e): p wins
// whatever the indices when t_q - t_p > (E_p + E_q) / dmin, which holds when
// H >= (E_p + E_q) / dmin (LENGTH_SLACK dmax)^2.
inline Form nearer_form(const RunRow *r, const RunLineHit &hp, const RunLineHit &hq) {
    const RunCandidate &p = *hp.c, &q = *hq.c;
    double np = r->tables->polygons[p.q].normal_sum, nq = r->tables->polygons[q.q].normal_sum;
    Form f = {};
    f.f0 = q.size * p.sign * hp.den0 - p.size * q.sign * hq.den0;
    f.f1 = q.size * p.sign * hp.den1 - p.size * q.sign * hq.den1;
    double longest = LENGTH_SLACK * r->d_max;
    f.bound = (p.E + q.E) / r->d_min * longest * longest + (q.size * np + p.size * nq) * r->slack;
    return f;
}

// The form that puts u (axis 0) or v (axis 1) of line hit h surely above
// (dir +1) or below (dir -1) threshold tau: s dir (G - tau N.d0), its slope
// along the line; the bound as (a), (f), plus the error of A and of the
// products G and tau N.d0. Neither slope nor bound changes from line to line
// (grid_caches keeps them).
inline double grid_form_slope(const RunLineHit &h, int axis, double tau, double dir) {
    return h.c->sign * dir * (h.g1[axis] - tau * h.den1);
}

inline double grid_form_bound(const RunRow *r, const RunCandidate &c, const RunPolygon &rp, int axis, double tau) {
    double A = axis == 0 ? c.au : c.av, e_sum = axis == 0 ? rp.e1_sum : rp.e3_sum;
    double error = axis == 0 ? c.error_u : c.error_v;
    return (fabs(A - tau) * rp.normal_sum + c.size * e_sum) * r->slack +
           r->d_max * rp.normal_sum * (error + grid_product_error(tau));
}
