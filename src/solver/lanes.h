// The four-lane forms of the solver's term arithmetic (SSE2): four rows'
// chains of one channel side by side, one row to a lane, and the lane-wise
// bit tests the compact rows and the run's sweep use to find non-zero and
// unclean entries four at a time.
//
// Invariant: each lane rounds exactly where matrix_element and add_term
// (terms.h) round, so lane j's chain holds, after every term, the float the
// scalar chain of row j holds. The element is the correctly rounded float
// product (mulps; the double product of two floats is exact, so the
// reference's rounding of it to float is the same); the term m * b is the
// exact double product, added in double and rounded to float (cvtpd2ps), then
// held as a double again for the next term. (Where a NaN meets a NaN, which
// of the two payloads comes out is the processor's choice in either form;
// any NaN ends the run as a divergence, so only its being a NaN matters.)
#pragma once

#include <emmintrin.h>

#include "solver/compact_rows.h"
#include "solver/terms.h"

// Lanes of `x` whose bits are not 0 (that is, not +0), one bit per lane.
inline int nonzero_lanes(__m128i x) {
    return ~_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(x, _mm_setzero_si128()))) & 15;
}

// Lanes of `x` that are negative, -0, infinite or NaN: all ones in such a
// lane, zero in the others.
inline __m128i unclean_lanes(__m128i x) {
    // As signed integers the clean patterns are exactly 0 .. FIRST_UNCLEAN_BITS - 1.
    return _mm_or_si128(_mm_cmplt_epi32(x, _mm_setzero_si128()),
                        _mm_cmpgt_epi32(x, _mm_set1_epi32((int)(FIRST_UNCLEAN_BITS - 1))));
}

// Four rows' chains of one channel, one row per lane: the lanes' sums as
// doubles (each a float value), low two lanes and high two lanes.
struct LaneSums {
    __m128d low, high;
};

// Adds one term to each lane: element m = f * rho in single precision (the
// correctly rounded product, as matrix_element gives), then the exact double
// product m * b added in double and rounded to single precision, as add_term.
inline void add_lane_terms(LaneSums *s, __m128 f, __m128 rho, __m128d b_low, __m128d b_high) {
    __m128 m = _mm_mul_ps(f, rho);
    __m128d t_low = _mm_mul_pd(_mm_cvtps_pd(m), b_low);
    __m128d t_high = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(m, m)), b_high);
    s->low = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(s->low, t_low)));
    s->high = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(s->high, t_high)));
}

// Four chains starting at the rows' emissions.
inline LaneSums start_lanes(__m128 emission) {
    return {_mm_cvtps_pd(emission), _mm_cvtps_pd(_mm_movehl_ps(emission, emission))};
}

// The four chains' floats, lane j row j's.
inline __m128 lane_values(const LaneSums &s) {
    return _mm_movelh_ps(_mm_cvtpd_ps(s.low), _mm_cvtpd_ps(s.high));
}

// Adds one term of each of four compact rows, lane j taking row j's term
// `ej` (its form factor, and the radiosity at its slot), in each channel c
// whose bit is set in CHANNELS; s[c] and rho[c] hold channel c's chains and
// the four rows' reflectances.
template <int CHANNELS>
inline void add_quad_terms(LaneSums s[3], const __m128 rho[3], const float *radiosity, const FormFactorTerm *e0,
                           const FormFactorTerm *e1, const FormFactorTerm *e2, const FormFactorTerm *e3) {
    __m128 f = _mm_setr_ps(e0->value, e1->value, e2->value, e3->value);
    const float *b0 = radiosity + e0->slot, *b1 = radiosity + e1->slot;
    const float *b2 = radiosity + e2->slot, *b3 = radiosity + e3->slot;
    for (int c = 0; c < 3; c++) {
        if (!(CHANNELS >> c & 1)) continue;
        __m128 b = _mm_setr_ps(b0[c], b1[c], b2[c], b3[c]);
        add_lane_terms(&s[c], f, rho[c], _mm_cvtps_pd(b), _mm_cvtps_pd(_mm_movehl_ps(b, b)));
    }
}
