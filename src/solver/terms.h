// The one arithmetic of every solver path: a matrix element formed from a
// form factor and a reflectance, and one Gauss-Seidel term added to a partial
// sum. The reference, the dense comparison and the run's sweep all call these
// (or their four-lane forms in lanes.h, which round at the same places), so
// every path rounds where the reference does.
//
// Also here: the bit-level tests of the "skip the zeros" rule, which the
// compact rows and the run's sweep share.
//
// Invariant: a stored value is a float; every product and sum between two
// stores is formed in double precision and rounded to single precision once,
// where it is stored.
//
// The "skip the zeros" rule. A term whose element is +-0 adds +-0 * b. For a
// finite b that product is +-0, and a finite sum plus +-0 is that sum again,
// bit for bit, with one exception: a sum of -0 plus a +0 product becomes +0.
// So a chain of terms may leave out its zero elements when no partial sum is
// -0 and every radiosity it reads is finite. Entries that keep this safe are
// +0 and the positive finite floats ("clean"): with reflectances and
// emissions that are >= 0 and finite, the sums they build are >= 0 and never
// -0 (a product of such numbers is never below 0, and +0 + -0 is +0).
// Negative entries, -0, infinities and NaNs ("unclean") are summed term by
// term wherever they occur.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>

// The matrix element of the reference: the form factor times the
// reflectance, rounded to single precision. (Both are floats, so the double
// product is exact and this is the correctly rounded float product.)
inline float matrix_element(float form_factor, float reflectance) {
    return (float)((double)form_factor * (double)reflectance);
}

// One Gauss-Seidel term: the product is exact in double, the sum is rounded
// to double and then to single precision, where it is stored. Both
// roundings belong to the result: every path makes the same two.
inline float add_term(float sum, float element, float radiosity) {
    return (float)((double)sum + (double)element * (double)radiosity);
}

inline uint32_t bits_of(float x) {
    uint32_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits;
}

inline float float_of(uint32_t bits) {
    float x;
    memcpy(&x, &bits, sizeof x);
    return x;
}

// Bit patterns below this are +0 and the positive finite floats: the entries
// a sum may skip or take term by term alike. (0x7F800000 is +infinity; every
// pattern with the sign bit set is negative, -0 or a NaN.)
constexpr uint32_t FIRST_UNCLEAN_BITS = 0x7F800000u;

// Whether `x` is +0 or positive and finite.
inline bool is_clean_entry(float x) { return bits_of(x) < FIRST_UNCLEAN_BITS; }

inline bool is_negative_zero(float x) { return bits_of(x) == 0x80000000u; }

// Whether a reflectance or emission keeps a channel's sums >= 0 and finite
// (-0 included: it compares equal to 0).
inline bool non_negative_finite(float x) { return x >= 0.0f && x <= FLT_MAX; }
