// The patch grid of a candidate along a run of cells: which cells of a run
// that surely sees the polygon lie surely inside one row and one column of
// its patches, found span by span, the scalar walk beside its SSE2 form.
//
// Invariant: a span says "row r" for cells [lo, hi] only when both of row r's
// grid forms ((d): u surely above its start, surely below its end) have been
// checked at the end of the span where each is smallest; every other cell of
// the run is cast exactly. The SSE2 walk (GridForms::inner_rows) takes the
// two forms of a row side by side in the two lanes with the scalar walk's
// arithmetic lane by lane (GridForms::row), so both give the same spans.
//
// A header of runcast.cpp alone, so that the line scan inlines the walk.
#pragma once

#include <algorithm>
#include <cmath>

#include "formfactor/formfactor.h"
#include "formfactor/runcast_forms.h"
#include "formfactor/runcast_grid.h"
#include "formfactor/runcast_order.h"

#ifdef HALVORA_CHECK_INVARIANTS
#include <cassert>
#endif

// Fills line hit h's bounds and slopes, computing them for the row's
// candidate and the hemicube face when first needed.
inline void grid_caches(const RunRow *r, RunLineHit &h, int face) {
    const RunCandidate &c = *h.c;
    const RunPolygon &rp = r->tables->polygons[c.q];
    const Polygon *polygon = &r->scene->polygons[c.q];
    RunScratch *s = r->s;
    int64_t row = s->rows_begun;
    double *form_bounds = s->form_bounds + rp.cache_first;
    RunSlope *slopes = s->slopes + 5 * rp.cache_first + (size_t)face * (size_t)rp.thresholds;
    int64_t &bounds_row = s->bounds_row[c.q], &slopes_row = s->slopes_row[5 * (size_t)c.q + (size_t)face];
    if (bounds_row != row || slopes_row != row) {
        bool bounds = bounds_row != row;
        for (int axis = 0; axis < 2; axis++) {
            int32_t count = axis == 0 ? polygon->patches_u : polygon->patches_v;
            for (int side = 0; side < 2; side++) {
                const double *tau = side == 0 ? rp.above[axis] : rp.below[axis];
                double dir = side == 0 ? 1.0 : -1.0;
                int32_t first = rp.threshold_first[axis][side];
                for (int32_t b = 0; b <= count; b++) {
                    if (bounds) form_bounds[first + b] = grid_form_bound(r, c, rp, axis, tau[b]);
                    double f1 = grid_form_slope(h, axis, tau[b], dir);
                    slopes[first + b] = {f1, f1 != 0 ? 1 / f1 : 0};
                }
            }
        }
        bounds_row = row;
        slopes_row = row;
    }
    h.bounds = form_bounds;
    h.slopes = slopes;
}

namespace {

// A guess of the row (axis 0) or column (axis 1) that u or v of cell j falls
// in, -1 below the grid and count above it: u L = G / N.d0 over the span of
// a row, rounded down. The walk of axis_spans checks every row it takes.
inline int32_t grid_index(const RunLineHit &h, const RunPolygon &rp, int axis, int32_t count, int32_t j) {
    double x = (h.g0[axis] + h.g1[axis] * j) / ((h.den0 + h.den1 * j) * rp.row_span[axis]);
    return floor_index(x, 0, count);
}


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

} // namespace

// Splits the run [j, end] of cells that surely see polygon hit h into runs of
// one patch each (or of no patch: u or v surely outside the grid), casting
// exactly the cells that no row span or no column span covers.
RUNCAST_INLINE void patch_runs(const RunRow *r, const RunLineHit &h, int32_t cell0, int32_t j, int32_t end, const RunLineHit *hits,
                const int32_t *set, int n) {
    const RunCandidate &c = *h.c;
    const RunPolygon &rp = r->tables->polygons[c.q];
    const Polygon *polygon = &r->scene->polygons[c.q];
    int32_t first_patch = r->scene->cast[c.q].first_patch;
    if (!rp.gridded) {
        for (; j <= end; j++) emit(r, exact_cell(r, cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
        return;
    }
    int32_t count_u = polygon->patches_u, count_v = polygon->patches_v;
    RunSpan *su = r->s->spans, *sv = r->s->spans + r->tables->span_capacity;
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
            emit(r, -1, cell0 + j, cell0 + end + 1);
            return;
        }
        int32_t limit = u_whole ? count_v : count_u;
        for (int k = 0; k < count; k++) {
            for (; j < spans[k].lo; j++) emit(r, exact_cell(r, cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
            int32_t index = spans[k].index;
            int32_t patch = index < 0 || index >= limit ? -1
                                                        : first_patch + (u_whole ? whole * count_v + index : index * count_v + whole);
            emit(r, patch, cell0 + j, cell0 + spans[k].hi + 1);
            j = spans[k].hi + 1;
        }
        for (; j <= end; j++) emit(r, exact_cell(r, cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
        return;
    }
    int iu = 0, iv = 0;
    while (j <= end) {
        while (iu < nu && su[iu].hi < j) iu++;
        while (iv < nv && sv[iv].hi < j) iv++;
        bool u_in = iu < nu && su[iu].lo <= j, v_in = iv < nv && sv[iv].lo <= j;
        if (u_in && (su[iu].index < 0 || su[iu].index >= count_u)) {
            emit(r, -1, cell0 + j, cell0 + su[iu].hi + 1);
            j = su[iu].hi + 1;
        } else if (v_in && (sv[iv].index < 0 || sv[iv].index >= count_v)) {
            emit(r, -1, cell0 + j, cell0 + sv[iv].hi + 1);
            j = sv[iv].hi + 1;
        } else if (u_in && v_in) {
            int32_t last = std::min(su[iu].hi, sv[iv].hi);
            emit(r, first_patch + su[iu].index * count_v + sv[iv].index, cell0 + j, cell0 + last + 1);
            j = last + 1;
        } else {
            emit(r, exact_cell(r, cell0 + j, hits, set, n), cell0 + j, cell0 + j + 1);
            j++;
        }
    }
}
