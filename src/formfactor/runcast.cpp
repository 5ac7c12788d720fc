// Form-factor rows by runs of cells, with the reference's bytes: the row
// driver (runcast_row), the line scan, the exact cells and the run's tables.
// The argument below is what every runcast*.cpp rests on; each letter names
// the functions that apply it, and the bounds themselves are in rounding.h.
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
//       its own rounding (ray_delta, taken per row by runcast_row). Then
//       |F(d) - F(d0)| <= |g|_1 delta, g the form's vector, |g|_1 <= |A -
//       tau| |N|_1 + |num| |w|_1: the `slack` of every form's bound
//       (threshold_form, front_form, nearer_form, grid_form_bound in
//       runcast_forms.h).
//   (b) its hit point X is rounded: per axis |X - X*(d)| <= R_c, with
//         R_c = 2^-23 reach_c + 2 (reach_c + |O_c|) (kappa + 2^-51),
//         kappa = 2^-52 + 2^-50 dmax / den_floor   (relative error of t),
//       where reach_c bounds |X_c| on the (eps-widened) box, dmax bounds
//       |d|, and den_floor bounds |N.d| from below for any ray whose hit
//       passes the box test: such a hit has |t d_c| <= reach_c + |O_c| for
//       the largest component of d (at least |d| / sqrt 3), so
//       |N.d| >= |num| dmin / (sqrt 3 W (1 + 2^-13)) - 2^-50 dmax,
//       W = max_c (reach_c + |O_c|). 2^-24 is half an ulp of single
//       precision; the double terms carry a factor 2 to spare
//       (t_relative_error, hit_point_error, den_floor; taken per candidate
//       by prepare_candidate, runcast_candidates.cpp).
//   (c) the box test passes X_c > low or |X_c - low| < eps: certain when
//       X*_c >= low + R_c, impossible when X*_c < low - 2 eps - R_c
//       (box_forms, runcast_forms.h).
//   (d) u = fl32(((X - p0).e1) / L_u) is compared with a grid boundary b (a
//       float): fl32(x) > b once x >= b + rho(b), rho(b) = 2^-22 |b| +
//       1e-38 (an ulp of b at most, a subnormal step at least). The double
//       arithmetic of u adds at most 2^-49 sum_c (reach_c + |p0_c|) |e1_c|
//       in units of u L_u, and X's rounding sum_c |e1_c| R_c. The grid's
//       thresholds b L +- margin are fixed for the run (runcast_tables_init): R_c
//       is taken there with |O_c| <= origin_bound, dmax <= MAX_RAY and
//       den_floor >= DEN_FLOOR_MIN, and rows outside these are declined
//       (float_step and mapping_sum_error in runcast_tables_init,
//       mapping_offset_error in prepare_candidate, grid_form_bound; the
//       spans checked by GridForms in runcast_grid_walk.h).
//   (e) the distances are rounded: |dist - |X* - O|| <= E = |R|_2 +
//       2^-22 sqrt 3 W, so p is surely nearer than q (whatever their
//       indices) when t_q - t_p > (E_p + E_q) / dmin; as |N.d| <= 1.000001
//       dmax this holds when H >= (E_p + E_q) / dmin (1.000001 dmax)^2
//       (distance_error in prepare_candidate, nearer_form; checked by
//       scan_line).
//   (f) our own double evaluation of a form at d0 errs by far less than
//       EVALUATION (2^-40) times its scale, which every bound adds, plus the
//       error of A ((O - p0).e1 in double) and, for the grid forms written
//       as G - tau N.d0, 2^-46 (|A| + |tau|) dmax |N|_1 (EVALUATION in the
//       slack of runcast_row, grid_product_error in grid_form_bound).
// A candidate surely passes its box test only where s N.d >= den_floor +
// |N|_1 slack (so t > eps, and (b) holds) and its box forms of (c) hold; it
// possibly passes wherever none of s N.d >= den_floor and (c)'s wider forms
// surely fails. Ranges of cells are found by dividing out a crossing as a
// guess and then checking the forms at the range's end cells: a range whose
// ends hold holds throughout (an affine form is smallest at one end: where
// the range starts if it rises along the line, where it ends if it falls, so
// a form whose slope is known is checked at that end alone), and a range cut
// off is cut off by one form that surely fails at both of its ends. The
// guess may be rounded either way; only the checks decide (certain_range,
// possible_range in runcast_ranges.h; the lines of a face from the clipped
// forms, candidate_lines in runcast_candidates.cpp).
// A cell is certain when some polygon surely passes its box test, is surely
// nearer than every other polygon that possibly passes, and (unless it faces
// like the hemicube's polygon) its u and v lie surely inside one row and one
// column, or surely outside the grid. Every other cell is cast by the exact
// routines of raycast.h against the polygons that possibly pass, which are
// all that can pass: the others are dropped only where one of their forms is
// surely negative (exact_cell, below).
//
// Two special cases. A polygon whose plane is z = Z (or x, y) with its
// normal exactly +-1 on that axis has no extent there; its hit point's
// coordinate on that axis is Z itself (the double error stays below half an
// ulp of Z when |O_z| <= 2^20 |Z|, and below eps when Z = 0 and |O_z| <=
// 1e5), so that bound always passes and is not tested (flat_plane_exact). A polygon whose
// den_floor is tiny (its plane nearly through O) is "loose": it may pass
// wherever it lies in front, and is never certain.
//
// Lines come from the face's layout: line i of the top face is row a, of a
// side face position a, and j runs along consecutive cells, so runs are added
// in cell order and the row's bytes are the reference's (runcast_order.h).
//
// A row with few cells per candidate polygon is declined (the rule in
// runcast.h) and done by the culled search. Where HALVORA_CHECK_INVARIANTS is
// defined (the sanitizer build) the first and last cell of one settled run
// in 31 are cast against every polygon and must agree, and the ranges and
// spans are checked for order.
//
// State: the row's context (RunRow) on runcast_row's stack, the worker's
// RunScratch, the worker's hemicube (read: cells replayed where cast
// exactly), and the run's RunTables and scene (read only).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "base/errors.h"
#include "formfactor/formfactor.h"
#include "formfactor/rounding.h"
#include "formfactor/runcast_forms.h"
#include "formfactor/runcast_order.h"
#include "formfactor/runcast_ranges.h"
#include "formfactor/runcast_grid_walk.h"
#include "geometry/patches.h"

#ifdef HALVORA_CHECK_INVARIANTS
#include <cassert>
#endif

namespace {

const double MAX_DELTA = 1e-3;       // rays farther from nominal than this: leave the row to the culled search
const double MAX_RAY = 2.0;          // |d| <= sqrt 3 + delta on every face: rows with longer rays are declined
const double MAX_EXTENT = 1e30;      // scenes beyond it: likewise (distances must stay finite)

} // namespace

#ifdef HALVORA_CHECK_INVARIANTS
// The reference's outcome for one cell, against every polygon: what a
// settled run must agree with.
int32_t reference_cell(const RunRow *r, int32_t cell) {
    Vec3 point = hemicube_cell(r->hemicube, cell);
    Vec3 d = cell_ray(&point, &r->origin);
    NearestHit best = no_hit();
    for (int32_t q = 0; q < r->scene->polygon_count; q++) {
        if (q == r->hemicube->current_polygon) continue;
        offer_hit(&best, q, &r->scene->cast[q], plane_numerator(&r->scene->polygons[q], &r->origin), &r->origin, &d);
    }
    if (best.polygon == -1) return -1;
    const CastPolygon *cp = &r->scene->cast[best.polygon];
    if (faces_alike(cp, r->own)) return -1;
    const Polygon *polygon = &r->scene->polygons[best.polygon];
    float u, v;
    hit_uv(&cp->mapping, &best.point, &u, &v);
    int32_t k = grid_patch(polygon, r->scene->patch_grid[best.polygon], u, v);
    return k == -1 ? -1 : cp->first_patch + k;
}
#endif

// The reference's outcome for one cell, cast against the line's possible
// set (every polygon that can pass for this cell).
int32_t exact_cell(const RunRow *r, int32_t cell, const RunLineHit *hits, const int32_t *set, int n) {
    r->s->counters.exact_cells++;
    Vec3 point = hemicube_cell(r->hemicube, cell);
    Vec3 d = cell_ray(&point, &r->origin);
    NearestHit best = no_hit();
    for (int k = 0; k < n; k++) {
        const RunCandidate *c = hits[set[k]].c;
        offer_hit(&best, c->q, &r->scene->cast[c->q], c->num, &r->origin, &d);
    }
    if (best.polygon == -1) return -1;
    const CastPolygon *cp = &r->scene->cast[best.polygon];
    if (faces_alike(cp, r->own)) return -1;
    return hit_patch(cp, &r->scene->polygons[best.polygon], r->scene->patch_grid[best.polygon], &best.point);
}

namespace {

// One line of face f: cells cell0 + j, j = 0 .. length - 1.
void scan_line(const RunRow *r, int32_t cell0, int32_t length, RunLineHit *hits, int nh) {
    int32_t *set = r->s->line_set;
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
            emit(r, -1, cell0 + j, cell0 + next);
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
                emit(r, exact_cell(r, cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
                j++;
                continue;
            }
            int32_t last = next - 1;
            bool ok = true;
            Form forms[MAX_DEPTH_FORMS];
            int count = 0;
            for (int k = 0; k < n && ok; k++) {
                if (set[k] == best) continue;
                Form f = nearer_form(r, hits[best], hits[set[k]]);
                ok = f.holds(j);
                if (f.f1 < 0) last = std::min(last, floor_index((f.bound - f.f0) / f.f1, j, next - 1));
                if (count < MAX_DEPTH_FORMS) forms[count++] = f;
                else last = j;
            }
            if (!ok) {
                emit(r, exact_cell(r, cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
                j++;
                continue;
            }
            last = std::max(last, j);
            for (int k = 0; k < count && last > j; k++)
                if (!forms[k].holds(last)) last = j;
            if (faces_alike(&r->scene->cast[hits[best].c->q], r->own)) emit(r, -1, cell0 + j, cell0 + last + 1);
            else patch_runs(r, hits[best], cell0, j, last, hits, set, n);
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
    const RunCandidate *cs;
    int32_t candidate_count;
    int32_t *by_first, *by_last, *active, *position;
    int32_t size, joined, left, count;

    void start(int f) {
        size = 0;
        for (int32_t k = 0; k < candidate_count; k++) {
            const RunCandidate &c = cs[k];
            if (c.first_line[f] <= c.last_line[f]) by_first[size] = by_last[size] = k, size++;
        }
        const RunCandidate *all = cs;
        std::sort(by_first, by_first + size, [all, f](int32_t a, int32_t b) { return all[a].first_line[f] < all[b].first_line[f]; });
        std::sort(by_last, by_last + size, [all, f](int32_t a, int32_t b) { return all[a].last_line[f] < all[b].last_line[f]; });
        joined = left = count = 0;
    }

    void advance(int f, int32_t i) {
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

void scan_face(const RunRow *r, int f) {
    const HemicubeFace &face = r->hemicube->hemicube_faces[f];
    RunScratch *s = r->s;
    RunLineHit *hits = s->line_hits;
    ActiveCandidates lines = {s->candidates, s->candidate_count, s->by_first, s->by_last, s->active, s->position,
                              0, 0, 0, 0};
    lines.start(f);
    for (int32_t i = 0; i < face.lines; i++) {
        lines.advance(f, i);
        int nh = 0;
        for (int32_t a = 0; a < lines.count; a++) {
            const RunCandidate &c = s->candidates[lines.active[a]];
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
                if (h.ca <= h.cb && r->tables->polygons[c.q].gridded) grid_caches(r, h, f);
            }
            nh++;
        }
        scan_line(r, face.first_cell + i * face.length, face.length, hits, nh);
        add_line_runs(r);
    }
}

} // namespace

void runcast_tables_init(RunTables *tables, const FormFactorScene *scene) {
    int32_t count = scene->polygon_count;
    const Polygon *polys = scene->polygons;
    size_t n = (size_t)count;
    tables->polygons = (RunPolygon *)checked_calloc(n, sizeof(RunPolygon), EXIT_FF_HITS_NO_MEMORY);
    double extent = 0;
    int32_t most = 0;
    for (int32_t q = 0; q < count; q++) {
        const Polygon *polygon = &polys[q];
        const CastPolygon &cp = scene->cast[q];
        RunPolygon &rp = tables->polygons[q];
        const float *normal = &polygon->normal.x;
        rp.normal_sum = 0;
        rp.flat_axis = -1;
        for (int a = 0; a < 3; a++) {
            rp.normal[a] = normal[a];
            rp.normal_sum += fabs(rp.normal[a]);
            rp.reach[a] = std::max(fabs((double)cp.box.low[a]), fabs((double)cp.box.high[a])) + 4 * GEOMETRY_EPSILON;
            extent = std::max(extent, rp.reach[a]);
            if (fabsf(normal[a]) == 1.0f && cp.box.low[a] == cp.box.high[a] && normal[(a + 1) % 3] == 0.0f &&
                normal[(a + 2) % 3] == 0.0f)
                rp.flat_axis = a;
        }
        rp.e1_sum = 0;
        rp.e3_sum = 0;
        for (int a = 0; a < 3; a++) {
            rp.e1_sum += fabs(cp.mapping.e1[a]);
            rp.e3_sum += fabs(cp.mapping.e3[a]);
        }
        rp.gridded = cp.chained && cp.mapping.length_u > 0 && cp.mapping.length_v > 0;
        most = std::max({most, polygon->patches_u, polygon->patches_v});
    }
    tables->scene_extent = extent;
    tables->origin_bound = extent + 1;
    tables->span_capacity = (size_t)most + 2;

    // Grid thresholds, fixed for the run: (d) with the hit point's rounding
    // bounded for any patch of the run, R_c <= 2^-23 reach_c + 2 (reach_c +
    // origin_bound) (kappa + 2^-51), kappa <= 2^-52 + 2^-50 MAX_RAY /
    // DEN_FLOOR_MIN (rows whose rays or centre exceed these bounds are
    // declined).
    size_t values = 0;
    for (int32_t q = 0; q < count; q++)
        if (tables->polygons[q].gridded) values += (size_t)polys[q].patches_u + (size_t)polys[q].patches_v + 2;
    tables->bounds = (float *)checked_calloc(values, sizeof(float), EXIT_FF_HITS_NO_MEMORY);
    tables->thresholds = (double *)checked_calloc(2 * values, sizeof(double), EXIT_FF_HITS_NO_MEMORY);
    tables->threshold_count = 2 * values;
    size_t threshold_at = 0;
    float *bound = tables->bounds;
    double *threshold = tables->thresholds;
    double kappa = t_relative_error(MAX_RAY, DEN_FLOOR_MIN);
    for (int32_t q = 0; q < count; q++) {
        RunPolygon &rp = tables->polygons[q];
        if (!rp.gridded) continue;
        const Polygon *polygon = &polys[q];
        const PlaneMapping &mapping = scene->cast[q].mapping;
        PatchUV *const *rows = scene->patch_grid[q];
        int32_t nu = polygon->patches_u, nv = polygon->patches_v;
        rp.thresholds = 2 * (nu + 1) + 2 * (nv + 1);
        threshold_lists(polygon, rp.threshold_first);
        rp.row_span[0] = mapping.length_u * (double)polygon->patch_size_u;
        rp.row_span[1] = mapping.length_v * (double)polygon->patch_size_v;
        rp.cache_first = threshold_at;
        threshold_at += (size_t)rp.thresholds;
        for (int axis = 0; axis < 2; axis++) {
            const double *e = axis == 0 ? mapping.e1 : mapping.e3;
            double length = axis == 0 ? mapping.length_u : mapping.length_v;
            int32_t cells_along = axis == 0 ? nu : nv;
            double margin = 0;
            for (int a = 0; a < 3; a++) {
                double rc = hit_point_error(rp.reach[a], tables->origin_bound, kappa);
                margin += fabs(e[a]) * rc + mapping_sum_error(rp.reach[a], fabs(mapping.p0[a]), fabs(e[a]));
            }
            for (int32_t b = 0; b <= cells_along; b++) {
                if (axis == 0) bound[b] = b < cells_along ? rows[b][0].uv[0] : rows[cells_along - 1][0].uv[2];
                else bound[b] = b < cells_along ? rows[0][b].uv[1] : rows[0][cells_along - 1].uv[5];
                double m = with_room(float_step(bound[b]) * length + margin);
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

void runcast_tables_free(RunTables *tables) {
    release(tables->polygons);
    release(tables->bounds);
    release(tables->thresholds);
}

void runcast_init(RunScratch *s, const FormFactorScene *scene) {
    const RunTables &tables = scene->runs;
    size_t n = (size_t)scene->polygon_count;
    s->candidates = (RunCandidate *)checked_calloc_apart(n, sizeof(RunCandidate), EXIT_FF_HITS_NO_MEMORY);
    s->line_hits = (RunLineHit *)checked_calloc_apart(n, sizeof(RunLineHit), EXIT_FF_HITS_NO_MEMORY);
    s->line_set = (int32_t *)checked_calloc_apart(n, sizeof(int32_t), EXIT_FF_HITS_NO_MEMORY);
    s->by_first = (int32_t *)checked_calloc_apart(4 * n, sizeof(int32_t), EXIT_FF_HITS_NO_MEMORY);
    s->by_last = s->by_first + n;
    s->active = s->by_first + 2 * n;
    s->position = s->by_first + 3 * n;
    s->placement = -1;
    s->spans = (RunSpan *)checked_calloc_apart(2 * tables.span_capacity, sizeof(RunSpan), EXIT_FF_HITS_NO_MEMORY);
    s->form_bounds = (double *)checked_calloc_apart(tables.threshold_count, sizeof(double), EXIT_FF_HITS_NO_MEMORY);
    s->slopes = (RunSlope *)checked_calloc_apart(5 * tables.threshold_count, sizeof(RunSlope), EXIT_FF_HITS_NO_MEMORY);
    // Row 0 is never begun: zeros say "not yet filled in this row".
    s->bounds_row = (int64_t *)checked_calloc_apart(n, sizeof(int64_t), EXIT_FF_HITS_NO_MEMORY);
    s->slopes_row = (int64_t *)checked_calloc_apart(5 * n, sizeof(int64_t), EXIT_FF_HITS_NO_MEMORY);
    s->rows_begun = 0;
    s->waiting_line =
        (int64_t *)checked_calloc_apart((size_t)scene->patch_count + 1, sizeof(int64_t), EXIT_FF_HITS_NO_MEMORY);
    s->lines_begun = 1; // waiting_line starts at 0: no line
    // A line holds at most n cells, so at most n runs.
    s->line_runs = (RunOut *)checked_calloc_apart((size_t)scene->hemicube.hemicube_resolution + 1, sizeof(RunOut),
                                                  EXIT_FF_HITS_NO_MEMORY);
    s->line_run_count = 0;
    s->counters = RuncastCounters{0, 0, 0, 0, 0};
}

void runcast_free(RunScratch *s) {
    release(s->candidates);
    release(s->line_hits);
    release(s->line_set);
    release(s->by_first);
    s->by_last = s->active = s->position = nullptr;
    release(s->spans);
    release(s->form_bounds);
    release(s->slopes);
    release(s->bounds_row);
    release(s->slopes_row);
    release(s->line_runs);
    release(s->waiting_line);
}

bool runcast_row(RunScratch *s, const Hemicube *h, const FormFactorScene *scene, FormFactorRow *row) {
    int32_t cell_count = h->hemicube_cell_count;
    if (cell_count == 0) return true;
    if (s->placement != h->hemicube_placements) prepare_placement(s, h);
    const RunTables *tables = &scene->runs;
    RunRow r = {};
    r.scene = scene;
    r.tables = tables;
    r.hemicube = h;
    r.s = s;
    r.row = row;
    r.origin = h->hemicube_centre;
    r.own = &scene->cast[h->current_polygon];

    r.delta_bound = ray_delta(h->hemicube_layout_deviation, h->hemicube_drift);
    r.d_min = DBL_MAX;
    r.d_max = 0;
    for (int f = 0; f < 5; f++) {
        r.d_min = std::min(r.d_min, s->face_min_depth[f]);
        r.d_max = std::max(r.d_max, s->face_max_length[f]);
    }
    r.d_min -= with_room(SQRT3 * r.delta_bound);
    r.d_max += with_room(SQRT3 * r.delta_bound);
    r.slack = r.delta_bound + EVALUATION * r.d_max;
#ifdef HALVORA_CHECK_INVARIANTS
    assert(!(r.delta_bound < 0) && !(r.d_min > r.d_max));
#endif
    const Vec3 &o = r.origin;
    double o_extent = std::max({fabs((double)o.x), fabs((double)o.y), fabs((double)o.z)});
    if (!(r.delta_bound <= MAX_DELTA) || !(r.d_min > 0.25) || !(r.d_max <= MAX_RAY) ||
        !(o_extent <= tables->origin_bound) || !(tables->scene_extent + o_extent <= MAX_EXTENT)) {
        s->counters.declined++;
        return false;
    }

    // The rule first, on the count of polygons that can be hit at all.
    int32_t count = scene->polygon_count;
    int32_t seen = 0;
    auto too_many = [&]() { return seen > 0 && (double)cell_count < scene->cells_per_candidate * seen; };
    for (int32_t q = 0; q < count && !too_many(); q++)
        if (q != h->current_polygon && plane_numerator(&scene->polygons[q], &o) != 0.0) seen++;
    if (too_many()) {
        s->counters.declined++;
        return false;
    }
    int32_t n = 0;
    for (int32_t q = 0; q < count; q++) {
        if (q == h->current_polygon) continue;
        if (prepare_candidate(&r, &s->candidates[n], q)) n++;
    }
    s->candidate_count = n;
    s->rows_begun++;
    for (int32_t k = 0; k < n; k++)
        for (int f = 0; f < 5; f++) {
            const HemicubeFace &face = h->hemicube_faces[f];
            if (face.lines * face.length == 0) {
                s->candidates[k].first_line[f] = 1;
                s->candidates[k].last_line[f] = 0;
                continue;
            }
            candidate_lines(&r, &s->candidates[k], f);
        }
    for (int f = 0; f < 5; f++) scan_face(&r, f);
    s->counters.rows++;
    s->counters.cells += cell_count;
    return true;
}
