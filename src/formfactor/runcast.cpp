// Form-factor rows by runs of cells, with the reference's bytes.
//
// Every decision the reference makes for a cell is the sign of a linear form
// in the cell's ray d. With N the polygon's normal, num = N.p0 - N.O (the
// numerator of t, the same for every cell of a patch), s = sign(num), and
// X*(d) = O + num d / (N.d) the exact hit point of the plane, a quantity
// Q(X) = A0 + w.X (a coordinate of X, or (X - p0).e1 for u) lies on the side
// dir (+1 above, -1 below) of a threshold tau exactly when
//     F(d) = s dir ((A - tau) (N.d) + num (w.d)) >= 0,   A = A0 + w.O,
// for every ray in front of the plane (s N.d > 0). The depth order of two
// polygons is such a form too: t_q - t_p has the sign of
//     H(d) = |num_q| s_p (N_p.d) - |num_p| s_q (N_q.d).
// Across a hemicube face the nominal ray of cell (i, j) is affine,
// d0(i, j) = origin + i step_i + j step_j (HemicubeFace), so along a line of
// cells every form is affine in j: its sign changes at most once, and a run
// of cells between two changes is settled by checking its two end cells.
//
// Conservativeness. The reference does not evaluate the exact forms at d0:
//   (a) its ray d differs from d0 by at most delta in every component:
//       delta = hemicube_layout_deviation (placement rounding, measured) plus
//       hemicube_drift (the single-precision moves since: measured at every
//       settling of the cells, bounded in between, see hemicube.cpp), each widened by
//       its own rounding. Then |F(d) - F(d0)| <= |g|_1 delta, g the form's
//       vector, |g|_1 <= |A - tau| |N|_1 + |num| |w|_1.
//   (b) its hit point X is rounded: per axis |X - X*(d)| <= R_c, with
//         R_c = 2^-23 reach_c + 2 (reach_c + |O_c|) (kappa + 2^-51),
//         kappa = 2^-52 + 2^-50 dmax / den_floor   (relative error of t),
//       where reach_c bounds |X_c| on the (eps-widened) box, dmax bounds
//       |d|, and den_floor bounds |N.d| from below for any ray whose hit
//       passes the box test: such a hit has |t d_c| <= reach_c + |O_c| for
//       the largest component of d (at least |d| / sqrt 3), so
//       |N.d| >= |num| dmin / (sqrt 3 W (1 + 2^-13)) - 2^-50 dmax,
//       W = max_c (reach_c + |O_c|). 2^-24 is half an ulp of single
//       precision; the double terms carry a factor 2 to spare.
//   (c) the box test passes X_c > low or |X_c - low| < eps: certain when
//       X*_c >= low + R_c, impossible when X*_c < low - 2 eps - R_c.
//   (d) u = fl32(((X - p0).e1) / L_u) is compared with a grid boundary b (a
//       float): fl32(x) > b once x >= b + rho(b), rho(b) = 2^-22 |b| +
//       1e-38 (an ulp of b at most, a subnormal step at least). The double
//       arithmetic of u adds at most 2^-49 sum_c (reach_c + |p0_c|) |e1_c|
//       in units of u L_u, and X's rounding sum_c |e1_c| R_c. The grid's
//       thresholds b L +- margin are fixed for the run (runcast_init): R_c
//       is taken there with |O_c| <= origin_bound, dmax <= MAX_RAY and
//       den_floor >= DEN_FLOOR_MIN, and rows outside these are declined.
//   (e) the distances are rounded: |dist - |X* - O|| <= E = |R|_2 +
//       2^-22 sqrt 3 W, so p is surely nearer than q (whatever their
//       indices) when t_q - t_p > (E_p + E_q) / dmin; as |N.d| <= 1.000001
//       dmax this holds when H >= (E_p + E_q) / dmin (1.000001 dmax)^2.
//   (f) our own double evaluation of a form at d0 errs by far less than
//       EVALUATION (2^-40) times its scale, which every bound adds, plus the
//       error of A ((O - p0).e1 in double) and, for the grid forms written
//       as G - tau N.d0, 2^-46 (|A| + |tau|) dmax |N|_1.
// A candidate surely passes its box test only where s N.d >= den_floor +
// |N|_1 slack (so t > eps, and (b) holds) and its box forms of (c) hold; it
// possibly passes wherever none of s N.d >= den_floor and (c)'s wider forms
// surely fails. Ranges of cells are found by dividing out a crossing as a
// guess and then checking the forms at the range's end cells: a range whose
// ends hold holds throughout (an affine form is smallest at one end: where
// the range starts if it rises along the line, where it ends if it falls, so
// a form whose slope is known is checked at that end alone), and a range cut
// off is cut off by one form that surely fails at both of its ends. The
// guess may be rounded either way; only the checks decide.
// A cell is certain when some polygon surely passes its box test, is surely
// nearer than every other polygon that possibly passes, and (unless it faces
// like the hemicube's polygon) its u and v lie surely inside one row and one
// column, or surely outside the grid. Every other cell is cast by the exact
// routines of raycast.h against the polygons that possibly pass, which are
// all that can pass: the others are dropped only where one of their forms is
// surely negative.
//
// Two special cases. A polygon whose plane is z = Z (or x, y) with its
// normal exactly +-1 on that axis has no extent there; its hit point's
// coordinate on that axis is Z itself (the double error stays below half an
// ulp of Z when |O_z| <= 2^20 |Z|, and below eps when Z = 0 and |O_z| <=
// 1e5), so that bound always passes and is not tested. A polygon whose
// den_floor is tiny (its plane nearly through O) is "loose": it may pass
// wherever it lies in front, and is never certain.
//
// Lines come from the face's layout: line i of the top face is row a, of a
// side face position a, and j runs along consecutive cells, so runs are added
// in cell order (add_cell_run) and the row's bytes are the reference's.
//
// A row with few cells per candidate polygon is declined (the rule in
// runcast.h) and done by the culled search. Where HALVORA_CHECK_INVARIANTS is
// defined (the sanitizer build) the first and last cell of one settled run
// in 31 are cast against every polygon and must agree, and the ranges and
// spans are checked for order.
#include <emmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "base/errors.h"
#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "formfactor/runcast.h"
#include "geometry/patches.h"

#ifdef HALVORA_CHECK_INVARIANTS
#include <cassert>
#endif

Runcast runcast = [] {
    Runcast r = {};
    r.cells_per_candidate = 160.0;
    return r;
}();

// Per polygon, fixed for the run.
struct RunPolygon {
    PolygonBox box;
    double normal[3];
    double normal_sum;     // |N|_1
    double reach[3];       // bound on |X_c| for a hit point that passes the box test
    PlaneMapping mapping;  // as patch_at_hit forms it
    double e1_sum, e3_sum; // |e1|_1, |e3|_1
    const float *bounds[2];     // grid boundaries along u (patches_u + 1) and v (patches_v + 1)
    const double *above[2];     // per boundary b: the threshold of "surely above b", b L + margin (d)
    const double *below[2];     // and of "surely below b", b L - margin
    int32_t first_patch;
    int32_t flat_axis;     // axis of a plane normal to it (see above), or -1
    bool chained;          // grid rows and columns chain (grid_is_chained)
    bool same_normal;      // faces like the polygon the hemicube stands on
    // What the grid forms keep from line to line (chained polygons only),
    // filled when first needed in a row: per threshold (u's above and below
    // lists, then v's), its form's bound, which depends only on the patch,
    // and per hemicube face its slope along a line and that slope's
    // inverse, which depend only on the face.
    double *form_bounds;
    RunSlope *slopes;      // 5 faces of `thresholds` each
    int32_t thresholds;    // 2 (patches_u + 1) + 2 (patches_v + 1)
    int32_t threshold_first[2][2]; // where u's and v's above and below lists start (threshold_lists)
    double row_span[2];    // length_u patch_size_u, length_v patch_size_v: a row's (column's) extent
    int64_t bounds_row;    // the row (runcast.rows_begun) form_bounds belong to
    int64_t slopes_row[5]; // likewise per face
};

// A grid form's slope along a line and its inverse (which guesses where the
// form crosses its bound; the guess is checked).
struct RunSlope {
    double f1, inverse;
};

// A form over a hemicube face's cells, f(i, j) = a + b i + e j >= bound, with
// 1 / e (a guess of where a line's form crosses its bound; checked).
struct RunFaceForm {
    double a, b, e, bound, inverse;
    double at(double i) const { return a + b * i; }                             // f on line i at j = 0
    double value(double i, int32_t j) const { return at(i) + e * (double)j; } // f at cell j of line i
};

// A polygon for the current patch.
struct RunCandidate {
    int32_t q;
    double num, sign, size;   // num, s = sign(num), |num|
    double den_floor;         // |N.d| of any passing ray is at least this
    bool loose;
    double R[3];              // (b)
    double E;                 // (e)
    double au, av;            // (O - p0).e1, (O - p0).e3
    double error_u, error_v;  // bounds on the error of au, av
    int32_t first_line[5], last_line[5];
    // Per face, the front and box forms over the face's cells, possibly
    // passing and surely passing, as f(i, j) = a + b i + e j >= bound
    // (the first `form_count` of each), each list ordered by its slope
    // along a line: rising (e > 0), falling (e < 0), then level.
    RunFaceForm possible[5][7], certain[5][7];
    int form_count;
    int rising[2][5], falling[2][5]; // per list (possible, certain) and face: how many rise, how many fall
    double den[5][3];         // N.origin, N.step_i, N.step_j of each face
    double eu[5][3], ev[5][3];// the same for e1 and e3
};

// A run of cells [first, end) of a line seeing one patch, waiting to be added.
struct RunOut {
    int32_t patch, first, end;
};

// Cells [lo, hi] of a line surely in row (or column) `index`.
struct RunSpan {
    int32_t lo, hi, index;
};

// A candidate on the current line: its forms' bases and its ranges of j.
struct RunLineHit {
    const RunCandidate *c;
    double den0, den1;       // N.d0 = den0 + j den1
    double g0[2], g1[2];     // G = A (N.d0) + num (e.d0) for u (A = au, e = e1) and v: then a
                             // threshold tau's form is s dir (G - tau N.d0)
    int32_t pa, pb;          // cells where it possibly passes its box test
    int32_t ca, cb;          // cells where it surely does
    const double *bounds;    // the candidate's grid form bounds (chained polygons)
    const RunSlope *slopes;  // and its grid form slopes on this face
};

namespace {

const double EVALUATION = 0x1p-40;   // (f)
const double DEN_FLOOR_MIN = 1e-6;   // below it a candidate is loose
const double MAX_DELTA = 1e-3;       // rays farther from nominal than this: leave the row to the culled search
const double MAX_RAY = 2.0;          // |d| <= sqrt 3 + delta on every face: rows with longer rays are declined
const double MAX_EXTENT = 1e30;    // scenes beyond it: likewise (distances must stay finite)
const double SQRT3 = 1.7320508075688772;
const double LENGTH_SLACK = 1.000001; // |N|_2 <= 1 + 1e-6 for a normalised float normal


// Per patch.
double delta_bound;   // (a)
double d_min, d_max;  // bounds on |d| over all cells
double slack;         // delta + EVALUATION d_max: the factor of |g|_1 in every bound
Vec3 origin_point;
const Polygon *scene;

// floor(x) held within [low - 1, high], and ceil(x) within [low, high + 1];
// a value that is not a number gives the lower end. Clamped first (maxsd
// and minsd, which pass the bound on for a value that is not a number), then
// truncated towards zero, which is ceil for a negative value and floor for a
// positive one, and mended by one where it is neither.
inline double clamp(double x, double lowest, double highest) {
    __m128d v = _mm_max_sd(_mm_set_sd(x), _mm_set_sd(lowest)); // lowest when x is not a number
    return _mm_cvtsd_f64(_mm_min_sd(v, _mm_set_sd(highest)));
}

inline int32_t floor_index(double x, int32_t low, int32_t high) {
    x = clamp(x, (double)low - 1, (double)high);
    int32_t t = (int32_t)x;
    return (double)t > x ? t - 1 : t;
}

inline int32_t ceil_index(double x, int32_t low, int32_t high) {
    x = clamp(x, (double)low, (double)high + 1);
    int32_t t = (int32_t)x;
    return (double)t < x ? t + 1 : t;
}

// An affine form along a line: f(j) = f0 + f1 j, held to be >= bound.
struct Form {
    double f0, f1, bound;
    bool holds(int32_t j) const { return f0 + f1 * (double)j >= bound; }
};

// The form of a threshold tau on quantity A0 + w.X for candidate c along a
// line, the line's N.d0 and w.d0 given as bases; bound as in (a) and (f),
// plus the error of A.
Form threshold_form(const RunCandidate &c, const RunPolygon &rp, double A, double error_A, double tau, double dir,
                    double den0, double den1, double w0, double w1, double w_sum) {
    double k = A - tau, scale = c.sign * dir;
    Form f = {};
    f.f0 = scale * (k * den0 + c.num * w0);
    f.f1 = scale * (k * den1 + c.num * w1);
    f.bound = (fabs(k) * rp.normal_sum + c.size * w_sum) * slack + d_max * rp.normal_sum * error_A;
    return f;
}

// rho(b) of (d).
double float_step(float b) { return 0x1p-22 * fabs((double)b) + 1e-38; }

// The box forms of candidate c on a line (up to six), surely passing
// (`certain`) or possibly passing; bases of d0's components given.
int box_forms(const RunCandidate &c, const RunPolygon &rp, const double comp0[3], const double comp1[3], double den0,
              double den1, bool certain, Form *out) {
    int n = 0;
    const double eps2 = 2 * GEOMETRY_EPSILON;
    for (int a = 0; a < 3; a++) {
        if (a == rp.flat_axis) continue;
        double o = (&origin_point.x)[a];
        double r = c.R[a] * 1.0001;
        double low = certain ? (double)rp.box.low[a] + r : (double)rp.box.low[a] - eps2 - r;
        double high = certain ? (double)rp.box.high[a] - r : (double)rp.box.high[a] + eps2 + r;
        // lower: X_a >= low (dir +1); upper: X_a <= high (dir -1)
        out[n++] = threshold_form(c, rp, o, 0, low, 1, den0, den1, comp0[a], comp1[a], 1);
        out[n++] = threshold_form(c, rp, o, 0, high, -1, den0, den1, comp0[a], comp1[a], 1);
    }
    return n;
}

// The front form s N.d - floor: a ray that passes the box test has s N.d at
// least den_floor (loose candidates: above 0), and a ray surely beyond it
// has |N.d| large enough for the bounds of (b).
Form front_form(const RunCandidate &c, const RunPolygon &rp, double den0, double den1) {
    Form f = {};
    f.f0 = c.sign * den0 - std::max(c.den_floor, 0.0);
    f.f1 = c.sign * den1;
    f.bound = rp.normal_sum * slack;
    return f;
}

// Cells [lo, hi] of a line of `length` where every form surely holds
// (certain) or, for possible, where none surely fails. The forms come
// rising, falling, then level (`rising` and `falling` of them). Ends are
// checked: a rising form where the range starts, a falling one where it
// ends, where each is smallest (the forms are affine), so every form holds
// on every cell between; for possible, the cells cut off on each side are
// cut off by one form that surely fails at both ends of the cut part.
void certain_range(const RunFaceForm *forms, double i, int n, int rising, int falling, int32_t length, int32_t *lo,
                   int32_t *hi) {
    int32_t a = 0, b = length - 1;
    for (int k = 0; k < rising; k++) a = std::max(a, ceil_index((forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1));
    for (int k = rising; k < rising + falling; k++)
        b = std::min(b, floor_index((forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1));
    bool ok = a <= b;
    for (int k = 0; k < rising; k++) ok &= forms[k].value(i, a) >= forms[k].bound;
    for (int k = rising; k < rising + falling; k++) ok &= forms[k].value(i, b) >= forms[k].bound;
    for (int k = rising + falling; k < n; k++) ok &= forms[k].at(i) >= forms[k].bound;
    *lo = ok ? a : 1;
    *hi = ok ? b : 0;
}

void possible_range(const RunFaceForm *forms, double i, int n, int rising, int falling, int32_t length, int32_t *lo,
                    int32_t *hi) {
    int32_t a = 0, b = length - 1;
    int left = -1, right = -1;
    for (int k = 0; k < rising; k++) {
        int32_t x = ceil_index((-forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1);
        left = x > a ? k : left;
        a = x > a ? x : a;
    }
    for (int k = rising; k < rising + falling; k++) {
        int32_t x = floor_index((-forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1);
        right = x < b ? k : right;
        b = x < b ? x : b;
    }
    for (int k = rising + falling; k < n; k++)
        if (forms[k].at(i) < -forms[k].bound) a = length, left = k;
    auto fails = [&](int k, int32_t j) { return forms[k].value(i, j) < -forms[k].bound; };
    if (left >= 0 && a > 0) {
        int32_t last = std::min(a, length) - 1;
        if (!(fails(left, 0) && fails(left, last))) a = 0;
    }
    if (right >= 0 && b < length - 1) {
        int32_t first = std::max(b, -1) + 1;
        if (!(fails(right, first) && fails(right, length - 1))) b = length - 1;
    }
    *lo = a;
    *hi = b;
}

// The smallest |nominal ray| over a face (from its depth axis, an affine
// function whose minimum over the face lies at a corner) and the largest (a
// convex function: also at a corner).
void face_lengths(const HemicubeFace &face, double *shortest, double *longest) {
    const double *o = face.origin, *si = face.step_i, *sj = face.step_j;
    double axis[3] = {si[1] * sj[2] - si[2] * sj[1], si[2] * sj[0] - si[0] * sj[2], si[0] * sj[1] - si[1] * sj[0]};
    double norm = sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    double side = axis[0] * o[0] + axis[1] * o[1] + axis[2] * o[2] < 0 ? -1.0 : 1.0;
    *shortest = DBL_MAX;
    *longest = 0;
    for (int corner = 0; corner < 4; corner++) {
        double i = (corner & 1) ? face.lines - 1 : 0, j = (corner & 2) ? face.length - 1 : 0;
        double d[3];
        for (int c = 0; c < 3; c++) d[c] = o[c] + i * si[c] + j * sj[c];
        double depth = side * (axis[0] * d[0] + axis[1] * d[1] + axis[2] * d[2]) / norm;
        *shortest = std::min(*shortest, depth * (1 - 1e-12));
        *longest = std::max(*longest, sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) * (1 + 1e-12));
    }
}

void prepare_placement(const Polygon *polys, int32_t count) {
    const Hemicube &h = hemicube;
    for (int32_t q = 0; q < count; q++)
        runcast.polygons[q].same_normal = vec3_equal(&polys[q].normal, &polys[h.current_polygon].normal);
    for (int f = 0; f < 5; f++) {
        const HemicubeFace &face = h.hemicube_faces[f];
        if (face.lines * face.length == 0) {
            runcast.face_min_depth[f] = DBL_MAX;
            runcast.face_max_length[f] = 0;
            continue;
        }
        face_lengths(face, &runcast.face_min_depth[f], &runcast.face_max_length[f]);
    }
    runcast.placement = h.hemicube_placements;
}

// Sets c's per-patch constants; false when c is never hit (num = 0).
bool prepare_candidate(RunCandidate *c, int32_t q) {
    const RunPolygon &rp = runcast.polygons[q];
    const Polygon *polygon = &scene[q];
    c->q = q;
    c->num = plane_numerator(polygon, &origin_point);
    if (c->num == 0.0) return false; // t = 0 for every ray
    c->sign = c->num > 0 ? 1.0 : -1.0;
    c->size = fabs(c->num);
    const double o[3] = {origin_point.x, origin_point.y, origin_point.z};
    double w = 0;
    for (int a = 0; a < 3; a++) w = std::max(w, rp.reach[a] + fabs(o[a]));
    c->den_floor = c->size * d_min / (SQRT3 * w * (1 + 0x1p-13)) - 0x1p-50 * d_max;
    c->loose = !(c->den_floor >= DEN_FLOOR_MIN);
    if (rp.flat_axis >= 0) {
        double z = rp.box.low[rp.flat_axis], oz = fabs(o[rp.flat_axis]);
        bool exact = z == 0.0 ? oz <= 1e5 : (fabs(z) >= 0x1p-100 && oz <= 0x1p20 * fabs(z));
        if (!exact) c->loose = true;
    }
    if (c->loose) {
        for (int a = 0; a < 3; a++) c->R[a] = HUGE_VAL;
        c->E = HUGE_VAL;
    } else {
        double kappa = 0x1p-52 + 0x1p-50 * d_max / c->den_floor;
        double squares = 0;
        for (int a = 0; a < 3; a++) {
            c->R[a] = 0x1p-23 * rp.reach[a] + 2 * (rp.reach[a] + fabs(o[a])) * (kappa + 0x1p-51);
            squares += c->R[a] * c->R[a];
        }
        c->E = sqrt(squares) * 1.0001 + 0x1p-22 * SQRT3 * w;
    }
    const PlaneMapping &m = rp.mapping;
    c->au = 0;
    c->av = 0;
    c->error_u = 0;
    c->error_v = 0;
    for (int a = 0; a < 3; a++) {
        double r = o[a] - m.p0[a];
        c->au += r * m.e1[a];
        c->av += r * m.e3[a];
        c->error_u += (fabs(o[a]) + fabs(m.p0[a])) * fabs(m.e1[a]);
        c->error_v += (fabs(o[a]) + fabs(m.p0[a])) * fabs(m.e3[a]);
    }
    c->error_u = 0x1p-48 * c->error_u + 0x1p-46 * fabs(c->au);
    c->error_v = 0x1p-48 * c->error_v + 0x1p-46 * fabs(c->av);

    for (int f = 0; f < 5; f++) {
        const HemicubeFace &face = hemicube.hemicube_faces[f];
        const double *vectors[3] = {face.origin, face.step_i, face.step_j};
        for (int v = 0; v < 3; v++) {
            const double *x = vectors[v];
            c->den[f][v] = rp.normal[0] * x[0] + rp.normal[1] * x[1] + rp.normal[2] * x[2];
            c->eu[f][v] = m.e1[0] * x[0] + m.e1[1] * x[1] + m.e1[2] * x[2];
            c->ev[f][v] = m.e3[0] * x[0] + m.e3[1] * x[1] + m.e3[2] * x[2];
        }
    }
    return true;
}

// The possible forms of candidate c over face f as half-planes
// a + b i + e j >= 0, relaxed a little for the clipping's own arithmetic.
struct HalfPlane {
    double a, b, e;
};

// Lines of face f where candidate c possibly passes: the face's rectangle of
// (i, j) clipped by the half-planes; the lines of the clipped polygon, one
// more on each side.
void candidate_lines(RunCandidate *c, int f) {
    const HemicubeFace &face = hemicube.hemicube_faces[f];
    const RunPolygon &rp = runcast.polygons[c->q];
    // The forms at i = 0 and their slopes along i: the box forms are linear
    // in (N.d0, d0), so their slope is the form of (N.step_i, step_i); the
    // front form's slope is s N.step_i.
    double zero[3] = {0, 0, 0};
    // A polygon surely behind the whole face (its front form's largest value
    // over the face, at a corner, surely fails, with the clipping's own
    // relaxation) has no lines there; its box forms are not needed.
    {
        Form front = front_form(*c, rp, c->den[f][0], c->den[f][2]);
        double b = c->sign * c->den[f][1], li = face.lines - 1, lj = face.length - 1;
        double largest = front.f0 + front.bound + std::max(0.0, b * li) + std::max(0.0, front.f1 * lj);
        double range = (double)face.lines + (double)face.length;
        largest += 0x1p-30 * (fabs(front.f0 + front.bound) + (fabs(b) + fabs(front.f1)) * range) + 1e-300;
        if (largest < 0) {
            c->first_line[f] = 1;
            c->last_line[f] = 0;
            return;
        }
    }
    Form at0[2][7], slope[2][7];
    int count = 1;
    for (int kind = 0; kind < 2; kind++) {
        bool certain = kind == 1;
        at0[kind][0] = front_form(*c, rp, c->den[f][0], c->den[f][2]);
        slope[kind][0] = {c->sign * c->den[f][1], 0, 0};
        count = 1;
        if (!c->loose) {
            box_forms(*c, rp, face.origin, face.step_j, c->den[f][0], c->den[f][2], certain, &at0[kind][1]);
            count += box_forms(*c, rp, face.step_i, zero, c->den[f][1], 0, certain, &slope[kind][1]);
        }
        for (int k = 0; k < count; k++) {
            auto &out = certain ? c->certain[f][k] : c->possible[f][k];
            out.a = at0[kind][k].f0;
            out.b = slope[kind][k].f0;
            out.e = at0[kind][k].f1;
            out.bound = at0[kind][k].bound;
            out.inverse = out.e != 0 ? 1 / out.e : 0;
        }
    }
    c->form_count = count;
    for (int kind = 0; kind < 2; kind++) {
        auto *list = kind == 0 ? c->possible[f] : c->certain[f];
        RunFaceForm sorted[7];
        int rising = 0, falling = 0;
        for (int k = 0; k < count; k++)
            if (list[k].e > 0) sorted[rising++] = list[k];
        for (int k = 0; k < count; k++)
            if (list[k].e < 0) sorted[rising + falling++] = list[k];
        int at = rising + falling;
        for (int k = 0; k < count; k++)
            if (!(list[k].e > 0) && !(list[k].e < 0)) sorted[at++] = list[k];
        std::copy(sorted, sorted + count, list);
        c->rising[kind][f] = rising;
        c->falling[kind][f] = falling;
    }
    HalfPlane planes[7];
    int n = 0;
    double range = (double)face.lines + (double)face.length;
    for (int k = 0; k < count; k++) {
        HalfPlane &p = planes[n++];
        p.a = c->possible[f][k].a + c->possible[f][k].bound;
        p.b = c->possible[f][k].b;
        p.e = c->possible[f][k].e;
        p.a += 0x1p-30 * (fabs(p.a) + (fabs(p.b) + fabs(p.e)) * range) + 1e-300;
    }
    double poly[2][24][2];
    int size = 4, cur = 0;
    double li = face.lines - 1, lj = face.length - 1;
    const double rect[4][2] = {{0, 0}, {li, 0}, {li, lj}, {0, lj}};
    for (int k = 0; k < 4; k++) {
        poly[0][k][0] = rect[k][0];
        poly[0][k][1] = rect[k][1];
    }
    for (int k = 0; k < n && size > 0; k++) {
        const HalfPlane &p = planes[k];
        int out = 0;
        for (int v = 0; v < size; v++) {
            const double *x = poly[cur][v], *y = poly[cur][(v + 1) % size];
            double fx = p.a + p.b * x[0] + p.e * x[1], fy = p.a + p.b * y[0] + p.e * y[1];
            if (fx >= 0 && out < 24) {
                poly[1 - cur][out][0] = x[0];
                poly[1 - cur][out][1] = x[1];
                out++;
            }
            if ((fx >= 0) != (fy >= 0) && out < 24) {
                double w = fx / (fx - fy);
                poly[1 - cur][out][0] = x[0] + w * (y[0] - x[0]);
                poly[1 - cur][out][1] = x[1] + w * (y[1] - x[1]);
                out++;
            }
        }
        size = out;
        cur = 1 - cur;
    }
    if (size == 0) {
        c->first_line[f] = 1;
        c->last_line[f] = 0;
        return;
    }
    double low = DBL_MAX, high = -DBL_MAX;
    for (int v = 0; v < size; v++) {
        low = std::min(low, poly[cur][v][0]);
        high = std::max(high, poly[cur][v][0]);
    }
    c->first_line[f] = std::max(0, floor_index(low, 0, face.lines - 1) - 1);
    c->last_line[f] = std::min(face.lines - 1, ceil_index(high, 0, face.lines - 1) + 1);
}

#ifdef HALVORA_CHECK_INVARIANTS
// The reference's outcome for one cell, against every polygon: what a
// settled run must agree with.
int32_t reference_cell(int32_t cell) {
    Vec3 point = hemicube_cell(cell);
    Vec3 d = cell_ray(&point, &origin_point);
    int32_t best = -1;
    float best_distance = FLT_MAX;
    Vec3 best_point = {0, 0, 0};
    for (int32_t q = 0; q < runcast.polygon_count; q++) {
        if (q == hemicube.current_polygon) continue;
        Vec3 x;
        const Polygon *polygon = &scene[q];
        if (!ray_hits_box(&polygon->normal, plane_numerator(polygon, &origin_point), &runcast.polygons[q].box,
                          &origin_point, &d, &x))
            continue;
        float distance = hit_distance(&origin_point, &x);
        if (distance < best_distance) best = q, best_distance = distance, best_point = x;
    }
    if (best == -1 || runcast.polygons[best].same_normal) return -1;
    float u, v;
    hit_uv(&runcast.polygons[best].mapping, &best_point, &u, &v);
    int32_t k = grid_patch(&scene[best], patch_grid[best], u, v);
    return k == -1 ? -1 : runcast.polygons[best].first_patch + k;
}
#endif

// A run of cells seeing one patch (or nothing, patch -1). Where invariants
// are checked, the first and last cell of one settled run in 31 are cast by
// the reference's arithmetic against every polygon and must agree. A run of
// SIDE_BY_SIDE cells or more waits for the end of its line (add_line_runs),
// and so does any later run of a patch that has one waiting; a shorter run
// is added at once. Every patch thus receives its runs in cell order. A
// waiting run that goes on where the last one of the same patch ended joins
// it, which adds the same cells in the same order.
const int32_t SIDE_BY_SIDE = 4;

inline void emit(int32_t patch, int32_t first_cell, int32_t end_cell) {
    runcast.counters.runs++;
#ifdef HALVORA_CHECK_INVARIANTS
    assert(first_cell < end_cell);
    if (runcast.counters.runs % 31 == 0) {
        assert(reference_cell(first_cell) == patch);
        assert(reference_cell(end_cell - 1) == patch);
    }
#endif
    if (patch < 0) return;
    int64_t line = runcast.lines_begun;
    if (end_cell - first_cell < SIDE_BY_SIDE && runcast.waiting_line[patch] != line) {
        add_cell_run(runcast.row, patch, first_cell, end_cell);
        return;
    }
    runcast.waiting_line[patch] = line;
    RunOut *runs = runcast.line_runs;
    int32_t n = runcast.line_run_count;
    if (n > 0 && runs[n - 1].patch == patch && runs[n - 1].end == first_cell) {
        runs[n - 1].end = end_cell;
        return;
    }
    runs[n] = {patch, first_cell, end_cell};
    runcast.line_run_count = n + 1;
}

// Adds a line's runs to the row in their order. Each run's sum is a chain of
// dependent single-precision additions; four runs of four different patches
// have four independent chains, and summing them side by side lets the
// processor overlap them. Runs of one patch stay in order (a group that
// repeats a patch is not taken together), so every row[patch] receives the
// same additions in the same order as add_cell_run one run after another.
void add_line_runs() {
    const RunOut *runs = runcast.line_runs;
    int32_t n = runcast.line_run_count, k = 0;
    float *row = runcast.row;
    const float *delta = hemicube.hemicube_delta_form_factors;
    while (k + 4 <= n) {
        const RunOut &a = runs[k], &b = runs[k + 1], &c = runs[k + 2], &d = runs[k + 3];
        if (a.patch == b.patch || a.patch == c.patch || a.patch == d.patch || b.patch == c.patch ||
            b.patch == d.patch || c.patch == d.patch) {
            add_cell_run(row, a.patch, a.first, a.end);
            k++;
            continue;
        }
        int32_t common = std::min({a.end - a.first, b.end - b.first, c.end - c.first, d.end - d.first});
        float sa = row[a.patch], sb = row[b.patch], sc = row[c.patch], sd = row[d.patch];
        const float *da = delta + a.first, *db = delta + b.first, *dc = delta + c.first, *dd = delta + d.first;
        for (int32_t t = 0; t < common; t++) {
            sa += da[t];
            sb += db[t];
            sc += dc[t];
            sd += dd[t];
        }
        for (int32_t t = a.first + common; t < a.end; t++) sa += delta[t];
        for (int32_t t = b.first + common; t < b.end; t++) sb += delta[t];
        for (int32_t t = c.first + common; t < c.end; t++) sc += delta[t];
        for (int32_t t = d.first + common; t < d.end; t++) sd += delta[t];
        row[a.patch] = sa;
        row[b.patch] = sb;
        row[c.patch] = sc;
        row[d.patch] = sd;
        k += 4;
    }
    for (; k < n; k++) add_cell_run(row, runs[k].patch, runs[k].first, runs[k].end);
    runcast.line_run_count = 0;
    runcast.lines_begun++;
}

// The reference's outcome for one cell, cast against the line's possible
// set (every polygon that can pass for this cell).
int32_t exact_cell(int32_t cell, const RunLineHit *hits, const int32_t *set, int n) {
    runcast.counters.exact_cells++;
    Vec3 point = hemicube_cell(cell);
    Vec3 d = cell_ray(&point, &origin_point);
    int32_t best = -1;
    float best_distance = FLT_MAX;
    Vec3 best_point = {0, 0, 0};
    for (int k = 0; k < n; k++) {
        const RunCandidate *c = hits[set[k]].c;
        const RunPolygon &rp = runcast.polygons[c->q];
        Vec3 x;
        if (!ray_hits_box(&scene[c->q].normal, c->num, &rp.box, &origin_point, &d, &x)) continue;
        float distance = hit_distance(&origin_point, &x);
        if (distance < best_distance || (distance == best_distance && c->q < best)) {
            best = c->q;
            best_distance = distance;
            best_point = x;
        }
    }
    if (best == -1) return -1;
    const RunPolygon &rp = runcast.polygons[best];
    if (rp.same_normal) return -1;
    const Polygon *polygon = &scene[best];
    float u, v;
    hit_uv(&rp.mapping, &best_point, &u, &v);
    int32_t k = rp.chained ? grid_patch_chained(polygon, patch_grid[best], u, v) : grid_patch(polygon, patch_grid[best], u, v);
    return k == -1 ? -1 : rp.first_patch + k;
}

// The form that puts u (axis 0) or v (axis 1) of line hit h surely above
// (dir +1) or below (dir -1) threshold tau: s dir (G - tau N.d0), its slope
// along the line; the bound as (a), (f), plus the error of A and of the
// products G and tau N.d0 (2^-46 |tau| d_max |N|_1). Neither slope nor bound
// changes from line to line (grid_caches keeps them).
inline double grid_form_slope(const RunLineHit &h, int axis, double tau, double dir) {
    return h.c->sign * dir * (h.g1[axis] - tau * h.den1);
}

inline double grid_form_bound(const RunCandidate &c, const RunPolygon &rp, int axis, double tau) {
    double A = axis == 0 ? c.au : c.av, e_sum = axis == 0 ? rp.e1_sum : rp.e3_sum;
    double error = axis == 0 ? c.error_u : c.error_v;
    return (fabs(A - tau) * rp.normal_sum + c.size * e_sum) * slack + d_max * rp.normal_sum * (error + 0x1p-46 * fabs(tau));
}

// Where each of a chained polygon's four threshold lists starts in its
// caches: u's above (patches_u + 1), u's below, v's above (patches_v + 1),
// v's below; [axis][side], side 0 above, 1 below.
inline void threshold_lists(const Polygon *polygon, int32_t first[2][2]) {
    int32_t nu = polygon->patches_u + 1, nv = polygon->patches_v + 1;
    first[0][0] = 0;
    first[0][1] = nu;
    first[1][0] = 2 * nu;
    first[1][1] = 2 * nu + nv;
}

// Fills line hit h's bounds and slopes, computing them for the row's
// candidate and the hemicube face when first needed.
void grid_caches(RunLineHit &h, int face) {
    const RunCandidate &c = *h.c;
    RunPolygon &rp = runcast.polygons[c.q];
    const Polygon *polygon = &scene[c.q];
    int64_t row = runcast.rows_begun;
    if (rp.bounds_row != row || rp.slopes_row[face] != row) {
        RunSlope *slopes = rp.slopes + (size_t)face * (size_t)rp.thresholds;
        bool bounds = rp.bounds_row != row;
        for (int axis = 0; axis < 2; axis++) {
            int32_t count = axis == 0 ? polygon->patches_u : polygon->patches_v;
            for (int side = 0; side < 2; side++) {
                const double *tau = side == 0 ? rp.above[axis] : rp.below[axis];
                double dir = side == 0 ? 1.0 : -1.0;
                int32_t first = rp.threshold_first[axis][side];
                for (int32_t b = 0; b <= count; b++) {
                    if (bounds) rp.form_bounds[first + b] = grid_form_bound(c, rp, axis, tau[b]);
                    double f1 = grid_form_slope(h, axis, tau[b], dir);
                    slopes[first + b] = {f1, f1 != 0 ? 1 / f1 : 0};
                }
            }
        }
        rp.bounds_row = row;
        rp.slopes_row[face] = row;
    }
    h.bounds = rp.form_bounds;
    h.slopes = rp.slopes + (size_t)face * (size_t)rp.thresholds;
}

// A guess of the row (axis 0) or column (axis 1) that u or v of cell j falls
// in, -1 below the grid and count above it: u L = G / N.d0 over the span of
// a row, rounded down. The walk of axis_spans checks every row it takes.
inline int32_t grid_index(const RunLineHit &h, const RunPolygon &rp, int axis, int32_t count, int32_t j) {
    double x = (h.g0[axis] + h.g1[axis] * j) / ((h.den0 + h.den1 * j) * rp.row_span[axis]);
    return floor_index(x, 0, count);
}

// The cells of [j0, end] that surely lie in one row (axis 0) or column
// (axis 1): u (v) is monotone along a run where the polygon is surely hit
// (N.d keeps its sign), so the rows from the one of the first cell to the one
// of the last follow each other. Row r's cells are where both its forms hold:
// u surely above its start (boundary r) and surely below its end (boundary
// r + 1); rows -1 and count, surely outside the grid, have one form each.
// The forms are affine: one rising along the line holds on a range that
// starts where it crosses its bound, one falling on a range that ends there.
// The crossing is guessed by the slope's inverse and checked: a rising form
// where the range starts, a falling one where it ends (an affine function is
// smallest there; a level one is checked anywhere). The rows do not wait on
// each other. A row with no checked range is passed over: its cells, and any
// that a guess of the first and last row missed, are cast exactly.
// Threshold tau's form along a line: above, s (G - tau N.d0); below, its
// negation. s is +-1, so s G - tau s N.d0 is that value to the last bit.
struct GridForms {
    double g, den;
    const double *tau_above, *tau_below;
    const RunSlope *slope_above, *slope_below;
    const double *bound_above, *bound_below;
    int32_t count, j0, end;

    // Row r's range in general: each form limits the start if it rises,
    // the end if it falls, and is checked where it is smallest.
    bool row(int32_t r, RunSpan *out) const {
        int32_t lo = j0, hi = end;
        double a0 = 0, a1 = 0, a_bound = -HUGE_VAL, b0 = 0, b1 = 0, b_bound = -HUGE_VAL; // no form: always holds
        if (r >= 0) {
            a0 = g - tau_above[r] * den;
            a1 = slope_above[r].f1;
            a_bound = bound_above[r];
            double x = (a_bound - a0) * slope_above[r].inverse;
            if (a1 > 0) lo = std::max(lo, ceil_index(x, j0, end));
            else if (a1 < 0) hi = std::min(hi, floor_index(x, j0, end));
        }
        if (r < count) {
            b0 = tau_below[r + 1] * den - g;
            b1 = slope_below[r + 1].f1;
            b_bound = bound_below[r + 1];
            double x = (b_bound - b0) * slope_below[r + 1].inverse;
            if (b1 > 0) lo = std::max(lo, ceil_index(x, j0, end));
            else if (b1 < 0) hi = std::min(hi, floor_index(x, j0, end));
        }
        double ja = a1 < 0 ? hi : lo, jb = b1 < 0 ? hi : lo;
        if (!(lo <= hi && a0 + a1 * ja >= a_bound && b0 + b1 * jb >= b_bound)) return false;
        *out = {lo, hi, r};
        return true;
    }

    // Rows first, first + step, ... up to but not including `stop`, all
    // inside the grid, u rising along the line (step +1: the above form
    // rises and starts the range, the below form falls and ends it) or
    // falling (step -1: the other way round). The two forms of a row go
    // side by side in the two lanes of SSE2 registers, lane 0 the form that
    // starts the range, lane 1 the one that ends it, with the same
    // arithmetic as row() lane by lane. A row whose slopes say otherwise
    // takes row().
    int inner_rows(int32_t first, int32_t stop, int32_t step, RunSpan *out) const {
        int n = 0;
        bool rising = step > 0;
        // lane sign of G - tau N.d0: + for an above form, - for a below one
        const __m128d sign = rising ? _mm_set_pd(-1.0, 1.0) : _mm_set_pd(1.0, -1.0);
        const __m128d gv = _mm_set1_pd(g), denv = _mm_set1_pd(den), zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0);
        // Lane 0 rounds up and lane 1 down: lane 0 is negated, floored and
        // negated back. The clamps hold lane 0 within [j0, end + 1] and
        // lane 1 within [j0 - 1, end], as ceil_index and floor_index do.
        const __m128d flip = _mm_set_pd(1.0, -1.0);
        const __m128d low = _mm_set_pd((double)j0 - 1, -((double)end + 1)), high = _mm_set_pd((double)end, -(double)j0);
        for (int32_t r = first; r != stop; r += step) {
            const RunSlope &sa = slope_above[r], &sb = slope_below[r + 1];
            __m128d tau, f1, inverse, bound;
            if (rising) {
                tau = _mm_set_pd(tau_below[r + 1], tau_above[r]);
                f1 = _mm_set_pd(sb.f1, sa.f1);
                inverse = _mm_set_pd(sb.inverse, sa.inverse);
                bound = _mm_set_pd(bound_below[r + 1], bound_above[r]);
            } else {
                tau = _mm_set_pd(tau_above[r], tau_below[r + 1]);
                f1 = _mm_set_pd(sa.f1, sb.f1);
                inverse = _mm_set_pd(sa.inverse, sb.inverse);
                bound = _mm_set_pd(bound_above[r], bound_below[r + 1]);
            }
            // the start form rises, the end form falls: both negative once flipped
            if (_mm_movemask_pd(_mm_cmplt_pd(_mm_mul_pd(f1, flip), zero)) != 3) {
                n += row(r, out + n);
                continue;
            }
            __m128d f0 = _mm_mul_pd(sign, _mm_sub_pd(gv, _mm_mul_pd(tau, denv)));
            __m128d x = _mm_mul_pd(_mm_mul_pd(_mm_sub_pd(bound, f0), inverse), flip);
            x = _mm_min_pd(_mm_max_pd(x, low), high); // max takes `low` for a value that is not a number
            __m128d t = _mm_cvtepi32_pd(_mm_cvttpd_epi32(x));
            t = _mm_sub_pd(t, _mm_and_pd(_mm_cmpgt_pd(t, x), one)); // floor
            __m128d ends = _mm_mul_pd(t, flip);                      // (lo, hi)
            __m128d held = _mm_cmpge_pd(_mm_add_pd(f0, _mm_mul_pd(f1, ends)), bound);
            double lo = _mm_cvtsd_f64(ends), hi = _mm_cvtsd_f64(_mm_unpackhi_pd(ends, ends));
            if (lo <= hi && _mm_movemask_pd(held) == 3) out[n++] = {(int32_t)lo, (int32_t)hi, r};
        }
        return n;
    }
};

int axis_spans(const RunLineHit &h, const RunPolygon &rp, int axis, int32_t count, int32_t j0, int32_t end,
               RunSpan *out) {
    int32_t first = grid_index(h, rp, axis, count, j0), last = grid_index(h, rp, axis, count, end);
    int32_t at_above = rp.threshold_first[axis][0], at_below = rp.threshold_first[axis][1];
    const GridForms forms = {h.c->sign * h.g0[axis], h.c->sign * h.den0, rp.above[axis], rp.below[axis],
                             h.slopes + at_above, h.slopes + at_below, h.bounds + at_above, h.bounds + at_below,
                             count, j0, end};
    if (first == last) return forms.row(first, out) ? 1 : 0;
    int32_t step = last > first ? 1 : -1;
    int n = 0;
    int32_t r = first;
    if (r < 0 || r >= count) n += forms.row(r, out + n), r += step; // an edge row: one form
    int32_t stop = last < 0 || last >= count ? last : last + step;
    n += forms.inner_rows(r, stop, step, out + n);
    if (stop == last) n += forms.row(last, out + n);
    return n;
}

// Splits the run [j, end] of cells that surely see polygon hit h into runs of
// one patch each (or of no patch: u or v surely outside the grid), casting
// exactly the cells that no row span or no column span covers.
void patch_runs(const RunLineHit &h, int32_t cell0, int32_t j, int32_t end, const RunLineHit *hits, const int32_t *set,
                int n) {
    const RunCandidate &c = *h.c;
    const RunPolygon &rp = runcast.polygons[c.q];
    const Polygon *polygon = &scene[c.q];
    if (!rp.chained) {
        for (; j <= end; j++) emit(exact_cell(cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
        return;
    }
    int32_t count_u = polygon->patches_u, count_v = polygon->patches_v;
    RunSpan *su = runcast.spans, *sv = runcast.spans + runcast.span_capacity;
    int nu = axis_spans(h, rp, 0, count_u, j, end, su), nv = axis_spans(h, rp, 1, count_v, j, end, sv);
#ifdef HALVORA_CHECK_INVARIANTS
    for (int k = 0; k < nu + nv; k++) {
        const RunSpan &span = k < nu ? su[k] : sv[k - nu];
        assert(j <= span.lo && span.lo <= span.hi && span.hi <= end);
        if (k != 0 && k != nu) assert((k < nu ? su[k - 1] : sv[k - nu - 1]).hi < span.lo);
    }
#endif
    // Most often one axis keeps one row over the whole run: then the runs
    // are the other axis's spans, and the cells between them are cast.
    bool u_whole = nu == 1 && su[0].lo == j && su[0].hi == end, v_whole = nv == 1 && sv[0].lo == j && sv[0].hi == end;
    if (u_whole || v_whole) {
        const RunSpan *spans = u_whole ? sv : su;
        int count = u_whole ? nv : nu;
        int32_t whole = u_whole ? su[0].index : sv[0].index;
        bool outside = u_whole ? (whole < 0 || whole >= count_u) : (whole < 0 || whole >= count_v);
        if (outside) {
            emit(-1, cell0 + j, cell0 + end + 1);
            return;
        }
        int32_t limit = u_whole ? count_v : count_u;
        for (int k = 0; k < count; k++) {
            for (; j < spans[k].lo; j++) emit(exact_cell(cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
            int32_t r = spans[k].index;
            int32_t patch = r < 0 || r >= limit ? -1 : rp.first_patch + (u_whole ? whole * count_v + r : r * count_v + whole);
            emit(patch, cell0 + j, cell0 + spans[k].hi + 1);
            j = spans[k].hi + 1;
        }
        for (; j <= end; j++) emit(exact_cell(cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
        return;
    }
    int iu = 0, iv = 0;
    while (j <= end) {
        while (iu < nu && su[iu].hi < j) iu++;
        while (iv < nv && sv[iv].hi < j) iv++;
        bool u_in = iu < nu && su[iu].lo <= j, v_in = iv < nv && sv[iv].lo <= j;
        if (u_in && (su[iu].index < 0 || su[iu].index >= count_u)) {
            emit(-1, cell0 + j, cell0 + su[iu].hi + 1);
            j = su[iu].hi + 1;
        } else if (v_in && (sv[iv].index < 0 || sv[iv].index >= count_v)) {
            emit(-1, cell0 + j, cell0 + sv[iv].hi + 1);
            j = sv[iv].hi + 1;
        } else if (u_in && v_in) {
            int32_t last = std::min(su[iu].hi, sv[iv].hi);
            emit(rp.first_patch + su[iu].index * count_v + sv[iv].index, cell0 + j, cell0 + last + 1);
            j = last + 1;
        } else {
            emit(exact_cell(cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
            j++;
        }
    }
}

// The depth form: p (hit hp) surely nearer than q (hit hq), as (e).
Form nearer_form(const RunLineHit &hp, const RunLineHit &hq) {
    const RunCandidate &p = *hp.c, &q = *hq.c;
    double np = runcast.polygons[p.q].normal_sum, nq = runcast.polygons[q.q].normal_sum;
    Form f = {};
    f.f0 = q.size * p.sign * hp.den0 - p.size * q.sign * hq.den0;
    f.f1 = q.size * p.sign * hp.den1 - p.size * q.sign * hq.den1;
    double longest = LENGTH_SLACK * d_max;
    f.bound = (p.E + q.E) / d_min * longest * longest + (q.size * np + p.size * nq) * slack;
    return f;
}

// One line of face f: cells cell0 + j, j = 0 .. length - 1.
void scan_line(int32_t cell0, int32_t length, RunLineHit *hits, int nh) {
    int32_t *set = runcast.line_set;
    int32_t j = 0;
    while (j < length) {
        int32_t next = length;
        int n = 0;
        for (int k = 0; k < nh; k++) {
            const RunLineHit &h = hits[k];
            const int32_t events[4] = {h.pa, h.pb + 1, h.ca, h.cb + 1};
            for (int32_t e : events)
                if (e > j && e < next) next = e;
            if (h.pa <= j && j <= h.pb) set[n++] = k;
        }
        if (n == 0) {
            emit(-1, cell0 + j, cell0 + next);
            j = next;
            continue;
        }
        while (j < next) {
            int best = -1;
            double best_t = DBL_MAX;
            for (int k = 0; k < n; k++) {
                const RunLineHit &h = hits[set[k]];
                if (!(h.ca <= j && j <= h.cb)) continue;
                double t = h.c->size / (h.c->sign * (h.den0 + h.den1 * j));
                if (t < best_t) best_t = t, best = set[k];
            }
            if (best < 0) {
                emit(exact_cell(cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
                j++;
                continue;
            }
            int32_t last = next - 1;
            bool ok = true;
            Form forms[64];
            int count = 0;
            for (int k = 0; k < n && ok; k++) {
                if (set[k] == best) continue;
                Form f = nearer_form(hits[best], hits[set[k]]);
                ok = f.holds(j);
                if (f.f1 < 0) last = std::min(last, floor_index((f.bound - f.f0) / f.f1, j, next - 1));
                if (count < 64) forms[count++] = f;
                else last = j;
            }
            if (!ok) {
                emit(exact_cell(cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
                j++;
                continue;
            }
            last = std::max(last, j);
            for (int k = 0; k < count && last > j; k++)
                if (!forms[k].holds(last)) last = j;
            if (runcast.polygons[hits[best].c->q].same_normal) emit(-1, cell0 + j, cell0 + last + 1);
            else patch_runs(hits[best], cell0, j, last, hits, set, n);
            j = last + 1;
        }
    }
}

// The candidates of face f whose lines reach line i, kept as lines go by:
// they join in the order of their first line and leave in the order of their
// last, so no line tests every candidate. Their order among the active ones
// does not matter: a line's outcome does not depend on the order of its hits
// (the exact cast breaks ties by polygon index, and a tie for the nearest
// certain hit fails its depth check either way).
struct ActiveCandidates {
    int32_t *by_first, *by_last, *active, *position;
    int32_t size, joined, left, count;

    void start(int f) {
        size = 0;
        for (int32_t k = 0; k < runcast.candidate_count; k++) {
            const RunCandidate &c = runcast.candidates[k];
            if (c.first_line[f] <= c.last_line[f]) by_first[size] = by_last[size] = k, size++;
        }
        const RunCandidate *cs = runcast.candidates;
        std::sort(by_first, by_first + size, [cs, f](int32_t a, int32_t b) { return cs[a].first_line[f] < cs[b].first_line[f]; });
        std::sort(by_last, by_last + size, [cs, f](int32_t a, int32_t b) { return cs[a].last_line[f] < cs[b].last_line[f]; });
        joined = left = count = 0;
    }

    void advance(int f, int32_t i) {
        const RunCandidate *cs = runcast.candidates;
        while (joined < size && cs[by_first[joined]].first_line[f] <= i) {
            int32_t k = by_first[joined++];
            position[k] = count;
            active[count++] = k;
        }
        while (left < size && cs[by_last[left]].last_line[f] < i) {
            int32_t k = by_last[left++], at = position[k], moved = active[--count];
            active[at] = moved;
            position[moved] = at;
        }
    }
};

void scan_face(int f) {
    const HemicubeFace &face = hemicube.hemicube_faces[f];
    RunLineHit *hits = runcast.line_hits;
    ActiveCandidates lines = {runcast.by_first, runcast.by_last, runcast.active, runcast.position, 0, 0, 0, 0};
    lines.start(f);
    for (int32_t i = 0; i < face.lines; i++) {
        lines.advance(f, i);
        int nh = 0;
        for (int32_t a = 0; a < lines.count; a++) {
            const RunCandidate &c = runcast.candidates[lines.active[a]];
            RunLineHit &h = hits[nh];
            h.c = &c;
            h.den0 = c.den[f][0] + i * c.den[f][1];
            h.den1 = c.den[f][2];
            double u0 = c.eu[f][0] + i * c.eu[f][1], v0 = c.ev[f][0] + i * c.ev[f][1];
            h.g0[0] = c.au * h.den0 + c.num * u0;
            h.g1[0] = c.au * h.den1 + c.num * c.eu[f][2];
            h.g0[1] = c.av * h.den0 + c.num * v0;
            h.g1[1] = c.av * h.den1 + c.num * c.ev[f][2];
            int count = c.form_count;
            possible_range(c.possible[f], i, count, c.rising[0][f], c.falling[0][f], face.length, &h.pa, &h.pb);
            if (h.pa > h.pb) continue;
            if (c.loose) {
                h.ca = 1;
                h.cb = 0;
            } else {
                certain_range(c.certain[f], i, count, c.rising[1][f], c.falling[1][f], face.length, &h.ca, &h.cb);
#ifdef HALVORA_CHECK_INVARIANTS
                assert(h.ca > h.cb || (h.pa <= h.ca && h.cb <= h.pb)); // what surely passes possibly passes
#endif
                h.ca = std::max(h.ca, h.pa);
                h.cb = std::min(h.cb, h.pb);
                if (h.ca <= h.cb && runcast.polygons[c.q].chained) grid_caches(h, f);
            }
            nh++;
        }
        scan_line(face.first_cell + i * face.length, face.length, hits, nh);
        add_line_runs();
    }
}

} // namespace

void runcast_init(const Polygon *polys, int32_t count) {
    size_t n = (size_t)count;
    runcast.polygons = (RunPolygon *)checked_calloc(n, sizeof(RunPolygon), EXIT_FF_HITS_NO_MEMORY);
    runcast.candidates = (RunCandidate *)checked_calloc(n, sizeof(RunCandidate), EXIT_FF_HITS_NO_MEMORY);
    runcast.line_hits = (RunLineHit *)checked_calloc(n, sizeof(RunLineHit), EXIT_FF_HITS_NO_MEMORY);
    runcast.line_set = (int32_t *)checked_calloc(n, sizeof(int32_t), EXIT_FF_HITS_NO_MEMORY);
    runcast.by_first = (int32_t *)checked_calloc(4 * n, sizeof(int32_t), EXIT_FF_HITS_NO_MEMORY);
    runcast.by_last = runcast.by_first + n;
    runcast.active = runcast.by_first + 2 * n;
    runcast.position = runcast.by_first + 3 * n;
    runcast.placement = -1;
    runcast.polygon_count = count;
    runcast.counters = {0, 0, 0, 0, 0};
    double extent = 0;
    int32_t first = 0;
    for (int32_t q = 0; q < count; q++) {
        const Polygon *polygon = &polys[q];
        RunPolygon &rp = runcast.polygons[q];
        rp.box = polygon_box(polygon);
        const float *normal = &polygon->normal.x;
        rp.normal_sum = 0;
        rp.flat_axis = -1;
        for (int a = 0; a < 3; a++) {
            rp.normal[a] = normal[a];
            rp.normal_sum += fabs(rp.normal[a]);
            rp.reach[a] = std::max(fabs((double)rp.box.low[a]), fabs((double)rp.box.high[a])) + 4 * GEOMETRY_EPSILON;
            extent = std::max(extent, rp.reach[a]);
            if (fabsf(normal[a]) == 1.0f && rp.box.low[a] == rp.box.high[a] && normal[(a + 1) % 3] == 0.0f &&
                normal[(a + 2) % 3] == 0.0f)
                rp.flat_axis = a;
        }
        rp.mapping = plane_mapping(polygon, false);
        rp.e1_sum = 0;
        rp.e3_sum = 0;
        for (int a = 0; a < 3; a++) {
            rp.e1_sum += fabs(rp.mapping.e1[a]);
            rp.e3_sum += fabs(rp.mapping.e3[a]);
        }
        rp.first_patch = first;
        rp.chained = patch_grid != nullptr && grid_is_chained(polygon, patch_grid[q]) &&
                     rp.mapping.length_u > 0 && rp.mapping.length_v > 0;
        first += polygon->patches_u * polygon->patches_v;
    }
    runcast.scene_extent = extent;
    runcast.origin_bound = extent + 1;
    int32_t most = 0;
    for (int32_t q = 0; q < count; q++) most = std::max({most, polys[q].patches_u, polys[q].patches_v});
    runcast.span_capacity = (size_t)most + 2;
    runcast.spans = (RunSpan *)checked_calloc(2 * runcast.span_capacity, sizeof(RunSpan), EXIT_FF_HITS_NO_MEMORY);
    int64_t patches = 0;
    for (int32_t q = 0; q < count; q++) patches += (int64_t)polys[q].patches_u * polys[q].patches_v;
    runcast.waiting_line = (int64_t *)checked_calloc((size_t)patches + 1, sizeof(int64_t), EXIT_FF_HITS_NO_MEMORY);
    runcast.lines_begun = 1; // waiting_line starts at 0: no line
    // A line holds at most n cells, so at most n runs.
    runcast.line_runs = (RunOut *)checked_calloc((size_t)hemicube.hemicube_resolution + 1, sizeof(RunOut), EXIT_FF_HITS_NO_MEMORY);
    runcast.line_run_count = 0;

    // Grid thresholds, fixed for the run: (d) with the hit point's rounding
    // bounded for any patch of the run, R_c <= 2^-23 reach_c + 2 (reach_c +
    // origin_bound) (kappa + 2^-51), kappa <= 2^-52 + 2^-50 MAX_RAY /
    // DEN_FLOOR_MIN (rows whose rays or centre exceed these bounds are
    // declined).
    size_t values = 0;
    for (int32_t q = 0; q < count; q++)
        if (runcast.polygons[q].chained) values += (size_t)polys[q].patches_u + (size_t)polys[q].patches_v + 2;
    runcast.bounds = (float *)checked_calloc(values, sizeof(float), EXIT_FF_HITS_NO_MEMORY);
    runcast.thresholds = (double *)checked_calloc(2 * values, sizeof(double), EXIT_FF_HITS_NO_MEMORY);
    size_t threshold_count = 0;
    for (int32_t q = 0; q < count; q++)
        if (runcast.polygons[q].chained) threshold_count += 2 * ((size_t)polys[q].patches_u + (size_t)polys[q].patches_v + 2);
    runcast.form_bounds = (double *)checked_calloc(threshold_count, sizeof(double), EXIT_FF_HITS_NO_MEMORY);
    runcast.slopes = (RunSlope *)checked_calloc(5 * threshold_count, sizeof(RunSlope), EXIT_FF_HITS_NO_MEMORY);
    runcast.rows_begun = 0;
    size_t threshold_at = 0;
    float *bound = runcast.bounds;
    double *threshold = runcast.thresholds;
    double kappa = 0x1p-52 + 0x1p-50 * MAX_RAY / DEN_FLOOR_MIN;
    for (int32_t q = 0; q < count; q++) {
        RunPolygon &rp = runcast.polygons[q];
        if (!rp.chained) continue;
        const Polygon *polygon = &polys[q];
        PatchUV **rows = patch_grid[q];
        int32_t nu = polygon->patches_u, nv = polygon->patches_v;
        rp.thresholds = 2 * (nu + 1) + 2 * (nv + 1);
        threshold_lists(polygon, rp.threshold_first);
        rp.row_span[0] = rp.mapping.length_u * (double)polygon->patch_size_u;
        rp.row_span[1] = rp.mapping.length_v * (double)polygon->patch_size_v;
        rp.form_bounds = runcast.form_bounds + threshold_at;
        rp.slopes = runcast.slopes + 5 * threshold_at;
        threshold_at += (size_t)rp.thresholds;
        rp.bounds_row = -1;
        for (int f = 0; f < 5; f++) rp.slopes_row[f] = -1;
        for (int axis = 0; axis < 2; axis++) {
            const double *e = axis == 0 ? rp.mapping.e1 : rp.mapping.e3;
            double length = axis == 0 ? rp.mapping.length_u : rp.mapping.length_v;
            int32_t cells_along = axis == 0 ? nu : nv;
            double margin = 0;
            for (int a = 0; a < 3; a++) {
                double r = 0x1p-23 * rp.reach[a] + 2 * (rp.reach[a] + runcast.origin_bound) * (kappa + 0x1p-51);
                margin += fabs(e[a]) * r + 0x1p-49 * (rp.reach[a] + fabs(rp.mapping.p0[a])) * fabs(e[a]);
            }
            for (int32_t b = 0; b <= cells_along; b++) {
                if (axis == 0) bound[b] = b < cells_along ? rows[b][0].uv[0] : rows[cells_along - 1][0].uv[2];
                else bound[b] = b < cells_along ? rows[0][b].uv[1] : rows[0][cells_along - 1].uv[5];
                double m = (float_step(bound[b]) * length + margin) * 1.0001;
                threshold[b] = (double)bound[b] * length + m;
                threshold[cells_along + 1 + b] = (double)bound[b] * length - m;
            }
            rp.bounds[axis] = bound;
            rp.above[axis] = threshold;
            rp.below[axis] = threshold + cells_along + 1;
            bound += cells_along + 1;
            threshold += 2 * (cells_along + 1);
        }
    }
}

void runcast_free() {
    release(runcast.polygons);
    release(runcast.candidates);
    release(runcast.line_hits);
    release(runcast.line_set);
    free(runcast.by_first);
    runcast.by_first = runcast.by_last = runcast.active = runcast.position = nullptr;
    release(runcast.bounds);
    release(runcast.thresholds);
    release(runcast.spans);
    release(runcast.line_runs);
    release(runcast.waiting_line);
    release(runcast.form_bounds);
    release(runcast.slopes);
}

bool runcast_row(float *row, const Polygon *polys, int32_t count) {
    const Hemicube &h = hemicube;
    int32_t cell_count = h.hemicube_cell_count;
    if (cell_count == 0) return true;
    if (runcast.placement != h.hemicube_placements) prepare_placement(polys, count);
    scene = polys;
    origin_point = h.hemicube_centre;
    runcast.row = row;

    delta_bound = h.hemicube_layout_deviation * (1 + 0x1p-30) + 0x1p-60 + (double)h.hemicube_drift * (1 + 0x1p-22);
    d_min = DBL_MAX;
    d_max = 0;
    for (int f = 0; f < 5; f++) {
        d_min = std::min(d_min, runcast.face_min_depth[f]);
        d_max = std::max(d_max, runcast.face_max_length[f]);
    }
    d_min -= SQRT3 * delta_bound * 1.0001;
    d_max += SQRT3 * delta_bound * 1.0001;
    slack = delta_bound + EVALUATION * d_max;
#ifdef HALVORA_CHECK_INVARIANTS
    assert(!(delta_bound < 0) && !(d_min > d_max));
#endif
    double o_extent = std::max({fabs((double)origin_point.x), fabs((double)origin_point.y), fabs((double)origin_point.z)});
    if (!(delta_bound <= MAX_DELTA) || !(d_min > 0.25) || !(d_max <= MAX_RAY) || !(o_extent <= runcast.origin_bound) ||
        !(runcast.scene_extent + o_extent <= MAX_EXTENT)) {
        runcast.counters.declined++;
        return false;
    }

    // The rule first, on the count of polygons that can be hit at all.
    int32_t seen = 0;
    auto too_many = [&]() { return seen > 0 && (double)cell_count < runcast.cells_per_candidate * seen; };
    for (int32_t q = 0; q < count && !too_many(); q++)
        if (q != h.current_polygon && plane_numerator(&polys[q], &origin_point) != 0.0) seen++;
    if (too_many()) {
        runcast.counters.declined++;
        return false;
    }
    int32_t n = 0;
    for (int32_t q = 0; q < count; q++) {
        if (q == h.current_polygon) continue;
        if (prepare_candidate(&runcast.candidates[n], q)) n++;
    }
    runcast.candidate_count = n;
    runcast.rows_begun++;
    for (int32_t k = 0; k < n; k++)
        for (int f = 0; f < 5; f++) {
            const HemicubeFace &face = h.hemicube_faces[f];
            if (face.lines * face.length == 0) {
                runcast.candidates[k].first_line[f] = 1;
                runcast.candidates[k].last_line[f] = 0;
                continue;
            }
            candidate_lines(&runcast.candidates[k], f);
        }
    for (int f = 0; f < 5; f++) scan_face(f);
    runcast.counters.rows++;
    runcast.counters.cells += cell_count;
    return true;
}
