// What the runs-of-cells files share among themselves: the records of a
// polygon, a candidate, a line's hit and a run, the row's context, the
// affine forms and the index helpers. Nothing outside runcast*.cpp includes
// it. The letters (a) to (f) refer to the argument at the top of runcast.cpp.
#pragma once

// The runs' steps are split over several headers and files by role but run
// as one loop: their inline helpers are forced inline, as the compiler
// would do were they in one file.
#define RUNCAST_INLINE inline __attribute__((always_inline))

#include <emmintrin.h>

#include <cstdint>

#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "formfactor/row.h"
#include "formfactor/runcast.h"

// Per polygon, fixed for the run (RunTables). The box, mapping and first
// patch are the scene's CastPolygon.
struct RunPolygon {
    double normal[3];
    double normal_sum;     // |N|_1
    double reach[3];       // bound on |X_c| for a hit point that passes the box test
    double e1_sum, e3_sum; // |e1|_1, |e3|_1
    const float *bounds[2];     // grid boundaries along u (patches_u + 1) and v (patches_v + 1)
    const double *above[2];     // per boundary b: the threshold of "surely above b", b L + margin (d)
    const double *below[2];     // and of "surely below b", b L - margin
    int32_t flat_axis;     // axis of a plane normal to it (see runcast.cpp), or -1
    bool gridded;          // the grid chains and both lengths are positive: its rows are found by spans
    int32_t thresholds;    // 2 (patches_u + 1) + 2 (patches_v + 1) for a gridded polygon
    int32_t threshold_first[2][2]; // where u's and v's above and below lists start (threshold_lists)
    size_t cache_first;    // where its thresholds start in the worker's form_bounds (and, times 5, slopes)
    double row_span[2];    // length_u patch_size_u, length_v patch_size_v: a row's (column's) extent
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
    const double *bounds;    // the candidate's grid form bounds (gridded polygons)
    const RunSlope *slopes;  // and its grid form slopes on this face
};

// One row's context: what every function of a row reads, and the worker's
// scratch it writes. Lives on the stack of runcast_row.
struct RunRow {
    const FormFactorScene *scene;
    const RunTables *tables;
    const Hemicube *hemicube;
    RunScratch *s;
    FormFactorRow *row;
    Vec3 origin;
    double delta_bound;   // (a)
    double d_min, d_max;  // bounds on |d| over all cells
    double slack;         // delta + EVALUATION d_max: the factor of |g|_1 in every bound
    const CastPolygon *own; // the cache of the polygon the hemicube stands on
};

// A candidate whose den_floor falls below this is loose: it may pass
// wherever it lies in front, and is never certain.
const double DEN_FLOOR_MIN = 1e-6;

// An affine form along a line: f(j) = f0 + f1 j, held to be >= bound.
struct Form {
    double f0, f1, bound;
    bool holds(int32_t j) const { return f0 + f1 * (double)j >= bound; }
};

// The depth forms a run keeps to check at its last cell, one per other
// polygon that possibly passes; a run with more stops at its first cell.
const int MAX_DEPTH_FORMS = 64;

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

// Where each of a gridded polygon's four threshold lists starts in its
// caches: u's above (patches_u + 1), u's below, v's above (patches_v + 1),
// v's below; [axis][side], side 0 above, 1 below.
inline void threshold_lists(const Polygon *polygon, int32_t first[2][2]) {
    int32_t nu = polygon->patches_u + 1, nv = polygon->patches_v + 1;
    first[0][0] = 0;
    first[0][1] = nu;
    first[1][0] = 2 * nu;
    first[1][1] = 2 * nu + nv;
}

// --- the candidates (runcast_candidates.cpp) ---
void prepare_placement(RunScratch *s, const Hemicube *h);
bool prepare_candidate(const RunRow *r, RunCandidate *c, int32_t q);
void candidate_lines(const RunRow *r, RunCandidate *c, int f);

// --- the grid (runcast_grid_walk.h) ---
inline void grid_caches(const RunRow *r, RunLineHit &h, int face);
RUNCAST_INLINE void patch_runs(const RunRow *r, const RunLineHit &h, int32_t cell0, int32_t j, int32_t end, const RunLineHit *hits,
                const int32_t *set, int n);

// --- exact cells (runcast.cpp) ---
int32_t exact_cell(const RunRow *r, int32_t cell, const RunLineHit *hits, const int32_t *set, int n);
#ifdef HALVORA_CHECK_INVARIANTS
int32_t reference_cell(const RunRow *r, int32_t cell);
#endif
