// The walk over a candidate's grid rows along a run of cells, scalar and
// SSE2, kept in a header of its own so that the two can be held against each
// other (tests/test_primitives.cpp).
//
// Invariant: GridForms::inner_rows gives exactly the spans that
// GridForms::row gives row by row: the SSE2 lanes do row()'s arithmetic, the
// start form in lane 0 and the end form in lane 1.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

#include "formfactor/runcast_internal.h"

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
    __attribute__((always_inline)) int inner_rows(int32_t first, int32_t stop, int32_t step, RunSpan *out) const {
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
