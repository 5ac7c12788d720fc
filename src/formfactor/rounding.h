// The rounding bounds the fast paths rest on, each derived once here and
// called wherever it is used. The fast paths decide a cell without the
// reference's own arithmetic only where a bound says the reference cannot
// decide it otherwise; every bound below covers a rounding of that
// arithmetic (raycast.h) with room to spare, and none is typed anywhere else.
//
// Notation: a float result is within FLOAT_ROUNDOFF of its exact value,
// relatively; a double result within DOUBLE_ROUNDOFF. Bounds are themselves
// computed in double, so each is taken a little larger than its derivation
// gives (a factor 2 on the double terms, ROOM on the sums).
//
// Letters (a) to (f) are those of the argument at the top of runcast.cpp.
#pragma once

#include <cmath>

// Unit roundoffs: |fl32(x) - x| <= 2^-24 |x| (half an ulp of a 24-bit
// significand), |fl64(x) - x| <= 2^-53 |x|.
constexpr double FLOAT_ROUNDOFF = 0x1p-24;
constexpr double DOUBLE_ROUNDOFF = 0x1p-53;

// The widening factor: a sum of bounds evaluated in double can come out a few
// ulps below its exact value; 1e-4 relative is far above any such rounding
// and far below anything that would make a bound useless.
constexpr double ROOM = 1.0001;
inline double with_room(double bound) { return bound * ROOM; }

// sqrt 3: |d| <= sqrt 3 max_c |d_c|, and a ray's largest component is at
// least |d| / sqrt 3.
constexpr double SQRT3 = 1.7320508075688772;

// (f) Our own double evaluation of a bound's linear form, a few products and
// sums of doubles, errs by a few 2^-53 of its scale; 2^-40 of that scale
// covers it over the longest sums (2^13 terms would be needed to reach it).
constexpr double EVALUATION = 0x1p-40;

// (a) How far a stored cell ray may lie from its nominal ray, per component:
// the layout's measured deviation and the moves' drift, each widened by its
// own rounding (the deviation was summed in double: 2^-30 relative and 2^-60
// absolute cover that sum; the drift is a float: one rounding, 2^-22 with a
// factor 4 to spare).
inline double ray_delta(double layout_deviation, float drift) {
    return layout_deviation * (1 + 0x1p-30) + 0x1p-60 + (double)drift * (1 + 0x1p-22);
}

// The drift a move may add before it is measured again: a move rounds each
// cell once (2^-24 |cell|, |cell| <= |centre| + 2) and its offset once (2^-24
// |offset|), and the ray's own rounding (2^-24 |d| <= 2^-23) may differ from
// the one measured; twice each. A drift just measured gets that last
// rounding once more (2^-21 = 4 x 2^-23), and the float sum is widened by
// 2^-20 relative so that storing it in single precision never rounds it down.
inline float moved_drift(float drift, bool measured, float largest_centre, float largest_offset) {
    double growth = 2 * FLOAT_ROUNDOFF * ((double)largest_centre + 2.0 + (double)largest_offset);
    return (float)(((double)drift + growth + (measured ? 0x1p-21 : 0.0)) * (1 + 0x1p-20));
}

// (b) Relative error of t = num / den, kappa. num = N.p0 - N.O is exact to
// 2^-52 relative (two dot products of floats in double and a difference); den
// = N.d errs by at most 2^-50 |d| (three products, two sums, |N| <= 1 + 1e-6,
// a factor 2 to spare), which relative to den is 2^-50 dmax / den_floor.
inline double t_relative_error(double d_max, double den_floor) { return 0x1p-52 + 0x1p-50 * d_max / den_floor; }

// (b) The hit point's error on one axis, R_c: X_c = fl32(O_c + t d_c) is
// rounded to single precision (2^-24 |X_c| <= 2^-24 reach_c, twice), and O_c
// + t d_c, with |t d_c| <= reach_c + |O_c|, carries t's relative error plus a
// product's and a sum's (2^-52), twice.
inline double hit_point_error(double reach, double origin, double kappa) {
    return 2 * FLOAT_ROUNDOFF * reach + 2 * (reach + origin) * (kappa + 0x1p-51);
}

// (b) The floor of |N.d| for any ray whose hit can pass the box test: such a
// hit has |t d_c| <= W = max_c (reach_c + |O_c|) for d's largest component,
// at least |d| / sqrt 3 >= dmin / sqrt 3, so |N.d| >= |num| dmin / (sqrt 3 W);
// 2^-13 relative covers the roundings of that quotient, 2^-50 dmax the error
// of den itself.
inline double den_floor(double size, double d_min, double w, double d_max) {
    return size * d_min / (SQRT3 * w * (1 + 0x1p-13)) - 0x1p-50 * d_max;
}

// (e) The rounded distance's error, E: the hit point's errors R (Euclidean
// norm) with room, plus the rounding of the difference X - O to single
// precision (2^-24 per component of at most W, so 2^-24 sqrt 3 W for the
// length) and of the length itself (2^-24 of at most sqrt 3 W), twice.
inline double distance_error(double squared_errors, double w) {
    return with_room(sqrt(squared_errors)) + 2 * 2 * FLOAT_ROUNDOFF * SQRT3 * w;
}

// A polygon in a plane z = Z with its normal exactly +-1 on z: the hit
// point's z is O_z + t d_z with t d_z = Z - O_z up to t's error, so it rounds
// to Z itself when that error stays below half an ulp of Z (|O_z| <= 2^20
// |Z|, and |Z| >= 2^-100, clear of the subnormals), and lies within eps of 0
// when Z = 0 and |O_z| <= 1e5. Then that bound of the box test always passes.
inline bool flat_plane_exact(double z, double origin) {
    return z == 0.0 ? origin <= 1e5 : (fabs(z) >= 0x1p-100 && origin <= 0x1p20 * fabs(z));
}

// (d) rho(b): fl32(x) > b for a float b once x >= b + rho(b). The floats
// next to b lie at most an ulp of b away, 2^-23 |b| for a normal b (taken
// twice: 2^-22), and at least a subnormal step; 1e-38 covers b = 0 and the
// subnormals, where an ulp is 2^-149.
inline double float_step(float b) { return 0x1p-22 * fabs((double)b) + 1e-38; }

// (d) The double error of u L = (X - p0).e1 for a candidate: its own sum of
// three products of terms up to (reach_c + |p0_c|) |e1_c|, 2^-51 of that,
// with a factor 4 to spare.
inline double mapping_sum_error(double reach, double p0, double e) { return 0x1p-49 * (reach + p0) * e; }

// (d) The error of A = (O - p0).e1 in double: differences of floats are exact
// to 2^-53, products and sums add 2^-52 each of sum_c (|O_c| + |p0_c|) |e1_c|
// (2^-48 covers them with room), and the stored result 2^-46 of |A|.
inline double mapping_offset_error(double terms, double value) { return 0x1p-48 * terms + 0x1p-46 * fabs(value); }

// (f) A grid form written as G - tau N.d0: each of the two products errs by
// 2^-52 of (|A| + |tau|) dmax |N|_1; 2^-46 of it is room enough.
inline double grid_product_error(double tau) { return 0x1p-46 * fabs(tau); }

// The clipper's relaxation: the polygon clipper of runcast's candidate lines
// evaluates each half-plane a + b i + e j at a few corners and crossing
// points, in double, over a face of `range` = lines + length cells; it may
// be off by some 2^-50 of |a| + (|b| + |e|) range. Moving every half-plane
// out by 2^-30 of that scale (and by 1e-300, so that a zero scale still
// moves) only ever keeps more lines, never fewer.
inline double clip_relaxation(double a, double b, double e, double range) {
    return 0x1p-30 * (fabs(a) + (fabs(b) + fabs(e)) * range) + 1e-300;
}

// The culled search's margins (cellcast.cpp). Each stands for a rounding
// or a drift with room; a margin larger than needed only tests more cells
// exactly, never fewer, so room is always safe there.

// A polygon's box widened so that it holds every point on a cell's ray that
// a hit point stands for: the stored hit point passes the box test within
// eps, and the point of the ray it stands for lies within 2^-24 |X| (its
// rounding) plus 3 x 2^-53 of the coordinates (the double product and sum)
// of it, all below `extent`, the largest absolute coordinate of the scene;
// t's own error only moves the point along the ray. 1e-8 = 10 eps and 2.4e-7
// > 4 x 2^-24 leave room.
inline double hit_box_margin(double extent) { return 1e-8 + 2.4e-7 * extent; }

// The rays' drift measured in single precision: one rounding of each gap
// (2^-24 relative) and of the difference it is taken from; 1e-6 relative
// covers both eight times over.
inline double measured_drift(float drift) { return (double)drift * (1 + 1e-6); }

// No hit point in the widened box has a rounded distance below the box's
// distance times this: a hit distance is a float difference (2^-24 per
// component), its double length and that length's rounding (2^-24), some
// 1.2e-7 relative in all.
inline double distance_lower_bound(double distance) { return distance * (1 - 1e-6); }

// "Wholly behind the patch's plane" is decided by a double sum of three
// products of coordinates up to the scene's extent: a few 2^-52 of (1 +
// extent), and 1e-12 of it is far above that.
inline double behind_slack(double extent) { return 1e-12 * (1 + extent); }

// The cosine between a ray and its face's axis moves by at most 2 |delta| /
// |d| when the ray moves by delta: with |delta| <= sqrt 3 drift and |d| >= 1
// (every face lies 1 from the centre), by 2 sqrt 3 drift < 3.5 drift.
inline double drifted_cosine(double cosine, double drift) { return cosine - 3.5 * drift; }

// A hit through a face lies at depth >= cosine x |P - O|; the box is clipped
// at 0.9 of the least such depth, so the clipping's rounding can only keep
// more of the box.
inline double clip_depth(double cosine, double distance) { return 0.9 * cosine * distance; }

// A cell's projected coordinate p = P.d / D.d moves by at most (|P.delta| +
// |p| |D.delta|) / (D.d - |D.delta|) with the ray, |X.delta| <= |X|_1 drift <=
// sqrt 3 drift < 1.8 drift and |p| <= 1 on its face: at most 3.6 drift /
// (depth - 1.8 drift). Beside the measured deviation of the placement, 1e-9
// and 1e-12 reach / clip cover the projection's own double arithmetic.
inline double projection_slack(double deviation, double drift, double min_depth, double reach, double clip) {
    return deviation + 3.6 * drift / (min_depth - 1.8 * drift) + 1e-9 + 1e-12 * reach / clip;
}
